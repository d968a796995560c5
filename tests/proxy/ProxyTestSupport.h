#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Host.h"
#include "core/profile/Proxy.h"
#include "core/proxy/ProxyConnection.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {

constexpr int kSocks5 = kProxySocks5;
constexpr int kSocks4 = kProxySocks4;
constexpr int kHttp = kProxyHttp;

// Placeholder addresses of the tests: 198.18.0.0/15. Set before any placeholder target is built.
inline void UseTestPlaceholderRange()
{
    SetAddressRange("198.18.0.0", 15, 0);
}

inline CProxy MakeProxy(
    int type, uint16_t port, const std::string& user = {}, const std::string& password = {}, uint32_t options = 0)
{
    CProxy proxy("127.0.0.1", port, type, 100);
    proxy.m_AuthEnabled = !user.empty();
    proxy.m_UserName = user;
    proxy.m_Password = password;
    proxy.m_Options = options;
    return proxy;
}

// A target with a real or placeholder address, with or without a host name.
inline CHost AddressTarget(
    const std::string& address, uint16_t port, const std::optional<std::string>& name = std::nullopt)
{
    return CHost(name, address, port, false);
}

// A target known only by name (no address).
inline CHost NameTarget(const std::string& name, uint16_t port)
{
    return CHost(name, port, false);
}

// A blocking TCP socket connected to 127.0.0.1:port; `fdOut`, when given, receives its descriptor.
inline std::unique_ptr<CSafeSocket> ConnectTo(uint16_t port, int* fdOut = nullptr)
{
    UniqueFd fd = connectLoopback(port);
    if (!fd)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    if (fdOut)
        *fdOut = fd.get();
    return std::make_unique<CSafeSocket>(fd.release());
}

struct HandshakeResult {
    bool ok = false;
    std::string error;
};

inline HandshakeResult RunHandshake(const CProxy& proxy, const CHost& target, CSafeSocket& sock)
{
    CProxyConnection connection(proxy, target, &sock);
    HandshakeResult result;
    result.ok = connection.Connect();
    result.error = connection.TakeErrorText();
    return result;
}

// Sends `size` random bytes through the socket on one thread while reading them back on this one, and expects
// the very same bytes back. The sending side is not shut down first: some proxies end the whole session on the
// first end of stream they see.
inline void ExpectEchoedUnchanged(CSafeSocket& sock, size_t size)
{
    std::vector<uint8_t> sent(size);
    std::mt19937 random(12345);
    for (auto& byte : sent)
        byte = static_cast<uint8_t>(random());
    std::thread writer([&] {
        size_t done = 0;
        while (done < sent.size()) {
            int error = 0;
            const ssize_t n = sock.Send(sent.data() + done, std::min<size_t>(sent.size() - done, 60000), 0, error);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    });
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(64 * 1024);
    while (received.size() < size) {
        int error = 0;
        const ssize_t n = sock.Recv(buffer.data(), std::min(buffer.size(), size - received.size()), 0, error);
        if (n <= 0)
            break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    // Unblocks the writer should the stream have ended early.
    sock.Shutdown();
    writer.join();
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

// Sends `text` through a tunnel and expects the echo server behind it to send the same text back.
inline void ExpectEcho(CSafeSocket& socket, const std::string& text)
{
    ASSERT_TRUE(socket.SendAll(text.data(), text.size(), 0));
    std::string back;
    while (back.size() < text.size()) {
        char buffer[4096];
        int error = 0;
        const ssize_t n = socket.Recv(buffer, sizeof buffer, 0, error);
        ASSERT_GT(n, 0) << "errno " << error;
        back.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(back, text);
}

} // namespace corvantis::test
