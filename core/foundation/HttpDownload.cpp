#include "core/foundation/HttpDownload.h"

#include <mutex>

#include <sys/socket.h>

#include "platform/SocketMark.h"

namespace corvantis {

namespace {

using Clock = std::chrono::steady_clock;

struct Download {
    std::string data;
    size_t maxBytes = 0;
    bool tooLarge = false;
    bool stalled = false;
    std::chrono::milliseconds idleLimit { 0 };
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
};

size_t collectBody(char* ptr, size_t size, size_t count, void* context)
{
    auto* download = static_cast<Download*>(context);
    const size_t bytes = size * count;
    if (bytes > download->maxBytes - download->data.size()) {
        download->tooLarge = true;
        return 0; // aborts the transfer
    }
    download->data.append(ptr, bytes);
    return bytes;
}

// The time-out is an idle time-out, as a user expects of a download: it ends a transfer that makes no progress for
// that long, not a slow one that keeps delivering.
int watchProgress(void* context, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow)
{
    auto* download = static_cast<Download*>(context);
    const auto now = Clock::now();
    if (downNow != download->lastDown || upNow != download->lastUp) {
        download->lastDown = downNow;
        download->lastUp = upNow;
        download->lastActivity = now;
        return 0;
    }
    if (now - download->lastActivity >= download->idleLimit) {
        download->stalled = true;
        return 1; // aborts the transfer
    }
    return 0;
}

// A document fetched by the daemon must not be captured by its own filter, so its sockets carry the mark; one
// that cannot be marked is refused, and the download fails.
int markSocket(void*, curl_socket_t sock, curlsocktype)
{
    int domain = 0;
    socklen_t length = sizeof domain;
    if (getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
        return CURL_SOCKOPT_ERROR;
    if (domain != AF_INET && domain != AF_INET6)
        return CURL_SOCKOPT_OK;
    return ApplyOwnSocketMark(sock) ? CURL_SOCKOPT_OK : CURL_SOCKOPT_ERROR;
}

} // namespace

std::optional<CurlGet> OpenCurlGet(const std::string& url)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlGet get;
    get.handle.reset(curl_easy_init());
    if (!get.handle)
        return std::nullopt;
    for (const char* line : { "Cache-Control: no-cache", "Pragma: no-cache" }) {
        curl_slist* grown = curl_slist_append(get.headers.get(), line);
        if (!grown)
            return std::nullopt;
        get.headers.release();
        get.headers.reset(grown);
    }
    CURL* h = get.handle.get();
    const bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_HTTPHEADER, get.headers.get()) == CURLE_OK;
    if (!ok)
        return std::nullopt;
    return get;
}

std::optional<std::string> DownloadUrl(const std::string& url, std::chrono::milliseconds timeout, size_t maxBytes)
{
    std::optional<CurlGet> get = OpenCurlGet(url);
    if (!get)
        return std::nullopt;

    Download download;
    download.idleLimit = timeout;
    download.maxBytes = maxBytes;
    CURL* h = get->handle.get();
    const long timeoutMs = static_cast<long>(timeout.count() > 0 ? timeout.count() : 1);
    bool ok = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
        // A server that trickles bytes to stay under the idle limit is still cut off at last.
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs * 10) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes)) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collectBody) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEDATA, &download) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchProgress) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_XFERINFODATA, &download) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, markSocket) == CURLE_OK;
    if (!ok || curl_easy_perform(h) != CURLE_OK)
        return std::nullopt;
    long status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
        return std::nullopt;
    return std::move(download.data);
}

} // namespace corvantis
