#pragma once

#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvantis::test {

// Two ends of one real TCP connection over 127.0.0.1.
inline std::pair<std::shared_ptr<CSafeSocket>, std::shared_ptr<CSafeSocket>> makeTcpPair()
{
    CSafeSocketPtr listener = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener || listener->Bind(reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listener->Listen(1) != 0 || listener->GetSockName(reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no loopback listener");
    std::shared_ptr<CSafeSocket> client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    if (!client || client->Connect(reinterpret_cast<sockaddr*>(&address), sizeof address, 0) != 0)
        throw std::runtime_error("no loopback connection");
    std::string error;
    std::shared_ptr<CSafeSocket> server = listener->Accept(nullptr, nullptr, 10000, error);
    if (!server)
        throw std::runtime_error("accept failed: " + error);
    return { client, server };
}

// A relayed connection: the application's end and the target server's end are the test's; the record holds the
// engine's two sockets between them.
struct RelayRig {
    std::shared_ptr<CSafeSocket> app; // the client application
    std::shared_ptr<CSafeSocket> server; // the target (an in-process peer)
    std::unique_ptr<CConnRecord> record;

    explicit RelayRig(const CLogContext& context = {}, const CHost& target = CHost("10.1.2.3", 8080, false))
    {
        auto [appEnd, localEnd] = makeTcpPair();
        auto [targetEnd, serverEnd] = makeTcpPair();
        app = appEnd;
        server = serverEnd;
        record = std::make_unique<CConnRecord>(context, target);
        record->SetClientSocket(localEnd);
        record->SetRemoteSocket(targetEnd);
        record->MarkConnected();
    }
};

// Everything the socket receives until the end of data or a failure.
inline std::string readToEnd(CSafeSocket& socket)
{
    std::string data;
    char buffer[8192];
    for (;;) {
        int error = 0;
        ssize_t n = socket.Recv(buffer, sizeof buffer, 0, error);
        if (n <= 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

// `size` bytes that differ from position to position, so a lost, doubled or swapped piece shows.
inline std::string patternBytes(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
    return data;
}

} // namespace corvantis::test
