// The live view's HTTP API (the README's table): the page, the properties, the statistics, stream
// control, the picture streams and the snapshot, answered from one LiveCamera.
#pragma once

#include "tools/z40k/http_server.h"
#include "tools/z40k/serve_live.h"

namespace z40k {

// Picture streams at once; past it a viewer is answered 503 and its connection closed.
constexpr unsigned MAX_STREAMS = 16;

// Adds every route of the API to Server, and wakes Server's streams whenever Camera has a new picture.
void AddServeRoutes(http::Server& Server, LiveCamera& Camera);

} // namespace z40k
