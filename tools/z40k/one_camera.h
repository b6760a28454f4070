// The one camera that info and props look at: a session on the virtual clock with the camera brought up
// to its stream information.
#pragma once

#include "host/rig/session.h"

namespace z40k {

// Null, with the reason printed on stderr, when the session cannot start or the camera does not come up.
streamclass::Filter* BringUpOneCamera(rig::Session& Session, rig::SessionOptions Options);

} // namespace z40k
