#include "tests/peers/NtlmTestProxy.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <nettle/base64.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace corvantis::test {

namespace {

const uint8_t kServerChallenge[8] = { 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88 };

std::vector<uint8_t> utf16le(const std::string& utf8)
{
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::vector<uint8_t> out(utf8.size() * 4 + 4);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPtr = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size();
    iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string base64(const std::vector<uint8_t>& bytes)
{
    std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
    base64_encode_raw(reinterpret_cast<char*>(out.data()), bytes.size(), bytes.data());
    return out;
}

std::vector<uint8_t> unbase64(const std::string& text)
{
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    std::vector<uint8_t> out(BASE64_DECODE_LENGTH(text.size()) + 1);
    size_t length = out.size();
    if (!base64_decode_update(&ctx, &length, out.data(), text.size(), text.data()) || !base64_decode_final(&ctx))
        return {};
    out.resize(length);
    return out;
}

void put16(std::vector<uint8_t>& m, size_t v)
{
    m.push_back(static_cast<uint8_t>(v));
    m.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& m, uint32_t v)
{
    for (int s = 0; s < 32; s += 8)
        m.push_back(static_cast<uint8_t>(v >> s));
}

uint32_t get32(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint32_t>(m[at]) | (static_cast<uint32_t>(m[at + 1]) << 8)
        | (static_cast<uint32_t>(m[at + 2]) << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

bool field(const std::vector<uint8_t>& m, size_t at, std::vector<uint8_t>& out)
{
    if (m.size() < at + 8)
        return false;
    const size_t length = static_cast<size_t>(m[at] | (m[at + 1] << 8));
    const size_t offset = get32(m, at + 4);
    if (offset > m.size() || length > m.size() - offset)
        return false;
    out.assign(m.begin() + static_cast<long>(offset), m.begin() + static_cast<long>(offset + length));
    return true;
}

// Challenge with NTLM, Unicode, extended session security and version; target "TESTDOM".
std::vector<uint8_t> challengeMessage()
{
    const auto target = utf16le("TESTDOM");
    std::vector<uint8_t> info;
    put16(info, 2);
    put16(info, target.size());
    info.insert(info.end(), target.begin(), target.end());
    put16(info, 0);
    put16(info, 0);
    std::vector<uint8_t> m = { 'N', 'T', 'L', 'M', 'S', 'S', 'P', 0 };
    put32(m, 2);
    put16(m, target.size());
    put16(m, target.size());
    put32(m, 56);
    put32(m, 0x00000001 | 0x00000200 | 0x00080000 | 0x02000000 | 0x00800000);
    m.insert(m.end(), kServerChallenge, kServerChallenge + 8);
    m.insert(m.end(), 8, 0);
    put16(m, info.size());
    put16(m, info.size());
    put32(m, static_cast<uint32_t>(56 + target.size()));
    const uint8_t version[8] = { 10, 0, 0x61, 0x4a, 0, 0, 0, 15 };
    m.insert(m.end(), version, version + 8);
    m.insert(m.end(), target.begin(), target.end());
    m.insert(m.end(), info.begin(), info.end());
    return m;
}

// Reads one request header block; empty when the client closed first.
std::string readRequest(int fd)
{
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
        char c = 0;
        if (retryOnEintr([&] { return recv(fd, &c, 1, 0); }) != 1)
            return {};
        request.push_back(c);
    }
    return request;
}

// The NTLM message of the request's Proxy-Authorization line.
std::vector<uint8_t> ntlmMessage(const std::string& request)
{
    const std::string marker = "\r\nProxy-Authorization: NTLM ";
    const size_t at = request.find(marker);
    if (at == std::string::npos)
        return {};
    const size_t start = at + marker.size();
    return unbase64(request.substr(start, request.find("\r\n", start) - start));
}

bool recvAll(int fd, char* buffer, size_t length)
{
    size_t got = 0;
    while (got < length) {
        const ssize_t n = retryOnEintr([&] { return recv(fd, buffer + got, length - got, 0); });
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The request's Content-Length value; 0 when it has none.
size_t contentLength(const std::string& request)
{
    std::string lower = request;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string marker = "\r\ncontent-length:";
    const size_t at = lower.find(marker);
    return at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + marker.size(), nullptr, 10);
}

// Moves bytes both ways until both directions have ended; the end of one direction is passed on as a
// half-close, so a client that stops sending still gets the whole reply.
void relay(int a, int b)
{
    pollfd fds[2] = { { a, POLLIN, 0 }, { b, POLLIN, 0 } };
    char buffer[16384];
    int open = 2;
    while (open > 0) {
        if (retryOnEintr([&] { return poll(fds, 2, -1); }) < 0)
            return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const int other = i == 0 ? b : a;
            const ssize_t n = retryOnEintr([&] { return recv(fds[i].fd, buffer, sizeof buffer, 0); });
            if (n < 0)
                return;
            if (n == 0) {
                shutdown(other, SHUT_WR);
                fds[i].fd = -1;
                --open;
                continue;
            }
            if (!sendAll(other, buffer, static_cast<size_t>(n)))
                return;
        }
    }
}

} // namespace

void NtlmTestProxy::record(const std::string& request)
{
    std::lock_guard lock(m_mutex);
    m_requests.push_back(request);
}

std::vector<std::string> NtlmTestProxy::requests()
{
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void NtlmTestProxy::forwardToOrigin(int fd, const std::string& request)
{
    // "METHOD http://127.0.0.1:PORT/...": only loopback origins are reached.
    const size_t at = request.find(" http://127.0.0.1:");
    const unsigned long port = at == std::string::npos ? 0 : std::strtoul(request.c_str() + at + 18, nullptr, 10);
    UniqueFd origin = port == 0 || port > 65535 ? UniqueFd() : connectLoopback(static_cast<uint16_t>(port));
    if (!origin) {
        sendAll(fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    if (sendAll(origin.get(), request))
        relay(fd, origin.get());
}

NtlmTestProxy::NtlmTestProxy(std::string user, std::string domain, std::string password)
    : m_user(std::move(user))
    , m_domain(std::move(domain))
    , m_password(std::move(password))
{
    m_thread = std::thread([this] { run(); });
}

NtlmTestProxy::~NtlmTestProxy()
{
    m_listener.shutdown();
    if (m_thread.joinable())
        m_thread.join();
}

bool NtlmTestProxy::accepted()
{
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    return m_accepted;
}

std::string NtlmTestProxy::reason()
{
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    return m_reason;
}

void NtlmTestProxy::run()
{
    UniqueFd conn = m_listener.accept();
    if (!conn)
        return;
    serve(conn.get());
}

bool NtlmTestProxy::serve(int fd)
{
    auto finish = [&](bool ok, const std::string& why) {
        std::lock_guard lock(m_mutex);
        m_accepted = ok;
        m_reason = why;
        return ok;
    };
    const std::string first = readRequest(fd);
    record(first);
    // A first request that announces a body has it read and dropped, as a proxy that refuses it would.
    if (const size_t length = contentLength(first); length > 0) {
        std::string body(length, '\0');
        if (!recvAll(fd, body.data(), length))
            return finish(false, "first request's body cut short");
    }
    const auto negotiate = ntlmMessage(first);
    if (negotiate.size() < 16 || std::memcmp(negotiate.data(), "NTLMSSP", 8) != 0 || get32(negotiate, 8) != 1) {
        sendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n\r\n");
        return finish(false, "first request has no negotiate message: " + first);
    }
    const std::string body(1000, 'b');
    sendAll(fd,
        "HTTP/1.1 407 Proxy Authentication Required\r\n"
        "Proxy-Authenticate: NTLM\r\n"
        "Proxy-Authenticate: Basic realm=\"test\"\r\n"
        "Proxy-Authenticate: NTLM "
            + base64(challengeMessage())
            + "\r\n"
              "Content-Length: 1000\r\n\r\n"
            + body);
    const std::string second = readRequest(fd);
    record(second);
    const bool tunnel = second.rfind("CONNECT ", 0) == 0;
    std::string why;
    if ((!tunnel && second.find(" http://") == std::string::npos) || !verify(ntlmMessage(second), why)) {
        sendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
        return finish(false, why.empty() ? "second request is neither a CONNECT nor a plain proxy request" : why);
    }
    if (!tunnel) {
        finish(true, "");
        forwardToOrigin(fd, second);
        return true;
    }
    sendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    finish(true, "");
    char buffer[4096];
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return recv(fd, buffer, sizeof buffer, 0); });
        if (n <= 0 || !sendAll(fd, buffer, static_cast<size_t>(n)))
            break;
    }
    return true;
}

bool NtlmTestProxy::verify(const std::vector<uint8_t>& m, std::string& why) const
{
    if (m.size() < 64 || std::memcmp(m.data(), "NTLMSSP", 8) != 0 || get32(m, 8) != 3) {
        why = "no authenticate message";
        return false;
    }
    std::vector<uint8_t> lm, nt, domain, user;
    if (!field(m, 12, lm) || !field(m, 20, nt) || !field(m, 28, domain) || !field(m, 36, user)) {
        why = "field out of the message";
        return false;
    }
    if (user != utf16le(m_user)) {
        why = "user name differs";
        return false;
    }
    if (domain != utf16le(m_domain)) {
        why = "domain differs";
        return false;
    }
    if (nt.size() < 16 + 28) {
        why = "NT response is not NTLMv2";
        return false;
    }
    std::string upper = m_user;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto password = utf16le(m_password);
    uint8_t ntHash[16];
    md4_ctx md4;
    md4_init(&md4);
    md4_update(&md4, password.size(), password.data());
    md4_digest(&md4, sizeof ntHash, ntHash);
    uint8_t v2Hash[16];
    hmac_md5_ctx hmac;
    hmac_md5_set_key(&hmac, sizeof ntHash, ntHash);
    const auto userUpper = utf16le(upper);
    hmac_md5_update(&hmac, userUpper.size(), userUpper.data());
    hmac_md5_update(&hmac, domain.size(), domain.data());
    hmac_md5_digest(&hmac, sizeof v2Hash, v2Hash);
    uint8_t proof[16];
    hmac_md5_set_key(&hmac, sizeof v2Hash, v2Hash);
    hmac_md5_update(&hmac, sizeof kServerChallenge, kServerChallenge);
    hmac_md5_update(&hmac, nt.size() - 16, nt.data() + 16);
    hmac_md5_digest(&hmac, sizeof proof, proof);
    if (std::memcmp(proof, nt.data(), 16) != 0) {
        why = "NTLMv2 proof does not match";
        return false;
    }
    return true;
}

} // namespace corvantis::test
