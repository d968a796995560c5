#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace corvantis {

// Fetches `url` over http or https (redirects followed, at most ten, only to http or https; TLS verified; no
// caching by the server) and returns the body when the final answer is a 200. Nothing when the server cannot be
// reached, sends nothing for `timeout` (an idle limit: a slow server that keeps delivering is cut off only after
// ten times it in all), answers with another status, or sends more than `maxBytes`. Blocks the calling thread;
// thread-safe.
std::optional<std::string> DownloadUrl(const std::string& url, std::chrono::milliseconds timeout, size_t maxBytes);

} // namespace corvantis
