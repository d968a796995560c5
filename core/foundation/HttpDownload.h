#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

namespace corvantis {

// Fetches `url` over http or https (redirects followed, at most ten, only to http or https; TLS verified; no
// caching by the server) and returns the body when the final answer is a 200. Nothing when the server cannot be
// reached, sends nothing for `timeout` (an idle limit: a slow server that keeps delivering is cut off only after
// ten times it in all), answers with another status, or sends more than `maxBytes`. Blocks the calling thread;
// thread-safe.
std::optional<std::string> DownloadUrl(const std::string& url, std::chrono::milliseconds timeout, size_t maxBytes);

// A libcurl handle set up for a GET of `url` as every fetch of ours makes it: redirects followed, at most ten,
// only to http or https; TLS verified; no signals; no caching by the server. The caller adds its time-outs and
// its body handling, then performs it. `headers` must live as long as `handle`.
struct CurlGet {
    std::unique_ptr<CURL, void (*)(CURL*)> handle { nullptr, curl_easy_cleanup };
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers { nullptr, curl_slist_free_all };
};
// Nothing when libcurl cannot make the handle or take an option.
std::optional<CurlGet> OpenCurlGet(const std::string& url);

} // namespace corvantis
