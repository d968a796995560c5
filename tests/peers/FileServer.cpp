#include "tests/peers/FileServer.h"

namespace corvantis::test {

PeerProcessPtr startFileServer(const std::filesystem::path& folder)
{
    return PeerProcess::start([&](uint16_t port, const std::filesystem::path&) {
        PeerCommand command;
        command.name = "http.server";
        command.argv = { "python3", "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1", "--directory",
            folder.string() };
        return command;
    });
}

} // namespace corvantis::test
