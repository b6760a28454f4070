// The rules every output option follows (-o, --trace, --drive-c, --registry): the folder an output goes
// in must exist, and is never made for it; "-" is standard output where the option takes it; a failure
// names the system's reason. They are checked before any camera runs, so a bad path costs nothing and
// leaves nothing behind.
#pragma once

#include "host/rig/session.h"

#include <string>

namespace z40k {

// Throws the runtime error "PATH: cannot write the WHAT: REASON" when the file Path cannot be made
// because its folder is missing, is not a folder or cannot be written.
void CheckOutputFile(const std::string& Path, const std::string& What);

// A folder option. An existing Path must be a folder (that can be written, with Writable); a missing one
// must be in a folder that exists, and is made now when Make (-o), or left to whoever writes in it first
// (--drive-c, made with the driver's first file). Throws "PATH: cannot use it for WHAT: REASON"
// otherwise. Returns whether it made the folder.
bool PrepareOutputFolder(const std::string& Path, const std::string& What, bool Make, bool Writable);

// A file the driver could not write, as one warning line: where it should have gone and the host's reason.
void WarnFileFailure(const rig::FileFailure& Failure);

} // namespace z40k
