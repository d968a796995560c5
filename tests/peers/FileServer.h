#pragma once

#include <filesystem>

#include "tests/peers/PeerProcess.h"

namespace corvantis::test {

// Python's http.server serving the files of `folder` over HTTP on a free port of 127.0.0.1: an independent
// web server for the code that downloads documents. Throws std::runtime_error when it does not start.
PeerProcessPtr startFileServer(const std::filesystem::path& folder);

} // namespace corvantis::test
