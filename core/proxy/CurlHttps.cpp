#include "core/proxy/CurlHttps.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/StringUtils.h"
#include "platform/SocketMark.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace corvantis {

namespace {

// The descriptor the tunnel must end up on, and what libcurl did with the socket it opened itself.
struct CurlSocketState {
    int callerSock = -1;
    curl_socket_t curlSock = CURL_SOCKET_BAD;
};

// Debug lines are cut to this many characters (the direction and kind included).
constexpr size_t kDebugTextLength = 100;

void timingLine(const char* routine, int line, const std::string& suffix = std::string())
{
    if (IsTimingOn(TimingItem::Connect))
        LogTimingLine(routine, line, suffix);
}

curl_socket_t opensocket(void* clientp, curlsocktype, curl_sockaddr* address)
{
    timingLine("opensocket", __LINE__);
    auto* state = static_cast<CurlSocketState*>(clientp);
    // This libcurl connects every socket it is given, even one reported as connected, so it gets a fresh socket
    // to the same proxy; the tunnel is moved onto the caller's descriptor once it stands.
    const curl_socket_t sock = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    // Unmarked, the connection to the proxy would be captured by the daemon's own filter: refuse it instead.
    if (sock != CURL_SOCKET_BAD && (address->family == AF_INET || address->family == AF_INET6)
        && !ApplyOwnSocketMark(sock)) {
        close(sock);
        state->curlSock = CURL_SOCKET_BAD;
        return CURL_SOCKET_BAD;
    }
    state->curlSock = sock;
    return state->curlSock;
}

int sockopt_callback(void*, curl_socket_t, curlsocktype)
{
    timingLine("sockopt_callback", __LINE__);
    return CURL_SOCKOPT_OK;
}

int closesocket_callback(void* clientp, curl_socket_t item)
{
    timingLine("closesocket_callback", __LINE__);
    auto* state = static_cast<CurlSocketState*>(clientp);
    if (item != state->callerSock)
        close(item);
    if (item == state->curlSock)
        state->curlSock = CURL_SOCKET_BAD;
    return 0;
}

curlioerr ioctl_callback(CURL*, int, void*)
{
    timingLine("ioctl_callback", __LINE__);
    return CURLIOE_OK;
}

// Deprecated in this libcurl, yet still honoured: it is asked for when a multi-pass authentication must send a
// request again.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
CURLcode setIoctlFunction(CURL* curl)
{
    return curl_easy_setopt(curl, CURLOPT_IOCTLFUNCTION, &ioctl_callback);
}
#pragma GCC diagnostic pop

int silent_debug_callback(CURL*, curl_infotype, char*, size_t, void*)
{
    return 0;
}

// libcurl's own trace of the exchange: the header lines it sends and receives are shown, data only by its
// kind and size.
int debug_callback(CURL*, curl_infotype type, char* data, size_t size, void*)
{
    timingLine("debug_callback", __LINE__);
    std::string text;
    switch (type) {
    case CURLINFO_HEADER_IN:
        text = " <= Recv header " + std::string(data, size);
        break;
    case CURLINFO_HEADER_OUT:
        text = " => Send header " + std::string(data, size);
        break;
    case CURLINFO_DATA_IN:
        text = " <= Recv data ";
        break;
    case CURLINFO_DATA_OUT:
        text = " => Send data ";
        break;
    case CURLINFO_SSL_DATA_IN:
        text = " <= Recv SSL data ";
        break;
    case CURLINFO_SSL_DATA_OUT:
        text = " => Send SSL data ";
        break;
    default:
        return 0;
    }
    if (text.size() > kDebugTextLength)
        text.resize(kDebugTextLength);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    LogTimingLine("debug_callback", __LINE__, " Len=" + std::to_string(size) + text);
    return 0;
}

} // namespace

bool DoCurlHttps(const std::string& url, int sock, std::string& errorText, const std::string& user,
    const std::string& password, unsigned long authMask, const char* proxy)
{
    // libcurl reaches the proxy at the address the caller's socket is connected to, under the proxy's name.
    sockaddr_storage peer {};
    socklen_t peerLength = sizeof peer;
    int blocking = 0;
    if (ioctl(sock, FIONBIO, &blocking) != 0
        || getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        StrAppendInt(StrAppendCStr(errorText, "Cannot establish a connection (CL), ioctl failed with error: "), -1);
        return false;
    }
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6) {
        StrAppendCStr(
            StrAppendCStr(StrAppendInt(StrAppendCStr(errorText, "Cannot establish a connection (CL), status code "),
                              CURLE_COULDNT_CONNECT),
                " - "),
            curl_easy_strerror(CURLE_COULDNT_CONNECT));
        return false;
    }
    char peerText[INET6_ADDRSTRLEN] = {};
    uint16_t peerPort = 0;
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        inet_ntop(AF_INET6, &v6.sin6_addr, peerText, sizeof peerText);
        peerPort = ntohs(v6.sin6_port);
    } else {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        inet_ntop(AF_INET, &v4.sin_addr, peerText, sizeof peerText);
        peerPort = ntohs(v4.sin_port);
    }
    const std::string proxyHost = proxy != nullptr ? proxy : "";
    const std::string pin = proxyHost + ":" + std::to_string(peerPort) + ":"
        + (peer.ss_family == AF_INET6 ? "[" + std::string(peerText) + "]" : std::string(peerText));

    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        StrAppendInt(StrAppendCStr(errorText, "Cannot init a connection (CL), status code "), CURLE_FAILED_INIT);
        return false;
    }
    CurlSocketState state;
    state.callerSock = sock;
    curl_slist* headers = curl_slist_append(nullptr, "Proxy-Connection:");
    curl_slist* resolve = curl_slist_append(nullptr, pin.c_str());
    std::vector<CURLcode> codes = {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str()),
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &closesocket_callback),
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &state),
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &opensocket),
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &state),
        curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &sockopt_callback),
        setIoctlFunction(curl),
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L),
        curl_easy_setopt(curl, CURLOPT_PROXY, proxyHost.c_str()),
        curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(peerPort)),
        curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve),
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, user.c_str()),
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, password.c_str()),
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L),
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L),
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, authMask),
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
    };
    if (IsTimingOn(TimingItem::Ntlm)) {
        codes.push_back(curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &debug_callback));
        codes.push_back(curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L));
    } else {
        // Left to itself, verbose libcurl writes every header it sends to the standard error, the
        // Proxy-Authorization line with the credentials among them.
        codes.push_back(curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &silent_debug_callback));
    }
    codes.push_back(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers));
    for (const CURLcode code : codes) {
        if (code != CURLE_OK) {
            StrAppendInt(StrAppendCStr(errorText, "Cannot init a connection (CL), status code "), code);
            curl_easy_cleanup(curl);
            curl_slist_free_all(headers);
            curl_slist_free_all(resolve);
            return false;
        }
    }

    int64_t start = GetTickCountMs();
    CURLcode result = curl_easy_perform(curl);
    timingLine("DoCurlHttps", __LINE__, " time=" + std::to_string(GetTickCountMs() - start));
    if (result == CURLE_OK) {
        curl_socket_t active = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &active) != CURLE_OK || active == CURL_SOCKET_BAD
            || dup3(active, sock, O_CLOEXEC) < 0)
            result = CURLE_COULDNT_CONNECT;
    }
    start = GetTickCountMs();
    curl_easy_cleanup(curl);
    timingLine("DoCurlHttps", __LINE__, " time=" + std::to_string(GetTickCountMs() - start));
    curl_slist_free_all(headers);
    curl_slist_free_all(resolve);

    blocking = 0;
    const int rc = ioctl(sock, FIONBIO, &blocking);
    if (rc != 0) {
        StrAppendInt(StrAppendCStr(errorText, "Cannot establish a connection (CL), ioctl failed with error: "), rc);
        return false;
    }
    if (result != CURLE_OK) {
        StrAppendCStr(
            StrAppendCStr(
                StrAppendInt(StrAppendCStr(errorText, "Cannot establish a connection (CL), status code "), result),
                " - "),
            curl_easy_strerror(result));
        return false;
    }
    return true;
}

bool DoCurlHttpsNtlm(
    const std::string& url, int sock, std::string& errorText, const std::string& user, const std::string& password)
{
    return DoCurlHttps(url, sock, errorText, user, password, CURLAUTH_NTLM, "127.0.0.1");
}

bool DoCurlHttpsNegotiate(const std::string& url, int sock, std::string& errorText, const std::string& user,
    const std::string& password, const char* proxy)
{
    return DoCurlHttps(url, sock, errorText, user, password, CURLAUTH_GSSNEGOTIATE, proxy);
}

void CurlHttpsThread(std::shared_ptr<CurlHttpsJob> job)
{
    std::string errorText;
    const bool result = DoCurlHttpsNtlm(job->url, job->sock, errorText, job->user, job->password);
    job->errorText += errorText;
    job->result = result;
    job->done.store(true);
    close(job->sock);
}

} // namespace corvantis
