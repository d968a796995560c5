#include "tests/support/HttpOrigin.h"

#include <sys/socket.h>

#include <cctype>
#include <cstdlib>
#include <utility>

namespace corvantis::test {

HttpOrigin::HttpOrigin(std::string body)
    : m_body(std::move(body))
{
    m_thread = std::thread([this] {
        for (;;) {
            UniqueFd connection = m_listener.accept();
            if (!connection)
                return;
            serve(connection.get());
        }
    });
}

HttpOrigin::~HttpOrigin()
{
    m_listener.shutdown();
    m_thread.join();
}

std::vector<HttpOrigin::Seen> HttpOrigin::seen() const
{
    MutexLock lock(m_mutex);
    return m_seen;
}

void HttpOrigin::serve(int fd)
{
    std::string data;
    char buffer[8192];
    size_t headerEnd = std::string::npos;
    size_t bodyLength = 0;
    while (headerEnd == std::string::npos || data.size() < headerEnd + bodyLength) {
        const ssize_t n = retryOnEintr([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
        if (n <= 0)
            return;
        data.append(buffer, static_cast<size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
            headerEnd += 4;
            std::string lower = data.substr(0, headerEnd);
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::string field = "\r\ncontent-length:";
            const size_t at = lower.find(field);
            if (at != std::string::npos)
                bodyLength = std::strtoul(lower.c_str() + at + field.size(), nullptr, 10);
        }
    }
    {
        MutexLock lock(m_mutex);
        m_seen.push_back({ data.substr(0, headerEnd), data.substr(headerEnd) });
    }
    sendAll(fd,
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(m_body.size())
            + "\r\nConnection: close\r\n\r\n" + m_body);
}

} // namespace corvantis::test
