// Plays the application towards the extension's service from a process of its own (so that a test can run it as
// another user): `extension_probe <program path> hello [seconds]` prints the hello's answer on standard output,
// or "<no reply>" when none came within the seconds given (30 by default).

#include "ipc/XPCClientForExtension.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

using namespace corvantis;

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4 || std::string(argv[2]) != "hello") {
        std::fprintf(stderr, "usage: %s <program path> hello [seconds to wait]\n", argv[0]);
        return 2;
    }
    XPCClientForExtension::Options options;
    options.programPath = argv[1];
    auto client = XPCClientForExtension::create(options);
    client->connect();
    std::promise<std::string> reply;
    client->helloWithVersion("3.12.2", [&](std::string text) { reply.set_value(std::move(text)); });
    auto future = reply.get_future();
    const std::string answer
        = future.wait_for(std::chrono::seconds(argc == 4 ? std::atoi(argv[3]) : 30)) == std::future_status::ready
        ? future.get()
        : "<no reply>";
    std::printf("%s\n", answer.c_str());
    client->closeConnection();
    return 0;
}
