#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace corvantis {

// This build's number, and the product generation an answer of the update server must carry.
inline constexpr int kUpdateCheckBuild = 31202;
inline constexpr int kUpdateCheckGeneration = 3;
// The mode that fetches once and neither logs nor asks.
inline constexpr int kUpdateCheckSilentMode = 2;
// An answer longer than this is no version answer.
inline constexpr size_t kUpdateAnswerMaxBytes = 64 * 1024;

// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value all ones, result inverted); 0 for no
// bytes.
uint32_t Crc32(std::string_view bytes);

// This machine's identifier: the first line of `path` (the systemd machine id); empty when it cannot be read.
std::string GetPlatformUUID(const std::string& path = "/etc/machine-id");

// The cache-busting query "?nocache=" + 24 upper-case hex digits: `random`, `random` XOR `v`, the 4-bit `w` and
// `mode` each masked with the low random byte, and the low 24 bits of `random` XOR `machineCrc`.
std::string UpdateCheckQuery(uint32_t random, uint32_t v, uint8_t w, uint8_t mode, uint32_t machineCrc);

// Five random bytes of 0 to 254 shifted into 32 bits, from a generator seeded with the clock and the calling
// thread's id. Thread-safe: the generator's state is the caller's own.
uint32_t UpdateCheckRandom();

// The base address of the update server (scheme and host, no path): the defaults key "UpdateCheckHost" when it
// is set (also from the command line), else the build setting, which is empty unless the build names a server.
std::string UpdateCheckServer();

// One request to the update server and what it found. A plain value.
struct UpdateRequest {
    std::string address;
    std::string error; // the errors of every attempt, joined with a single space
    uint8_t mode = 0;
    bool upToDate = false;
    std::string downloadAddress; // set when a newer build exists; may be empty

    // Fetches `address` once (a GET with the cache ignored, answered within `timeout`) and reads the answer.
    // True when the server answered with a version: then either `upToDate` is set or `downloadAddress` holds
    // what it named. False with the reason appended to `error` otherwise. Blocks the calling thread.
    bool fetch(std::chrono::milliseconds timeout);
};

// Reads a version answer ("generation reserved build address"). Returns the error text, or nothing on success
// with `request.upToDate` or `request.downloadAddress` set. An answer over kUpdateAnswerMaxBytes or one that is
// not UTF-8 is "Incorrect version format.".
std::optional<std::string> ReadUpdateAnswer(std::string_view body, UpdateRequest& request);

// Whether `address` may be handed to the browser: an absolute http or https address with a host.
bool IsWebAddress(const std::string& address);

// The settings of one update check.
struct UpdateCheckOptions {
    // The server's base address. Nothing: UpdateCheckServer(), read when the check starts.
    std::optional<std::string> server;
    // How long one attempt may take.
    std::chrono::milliseconds timeout { std::chrono::seconds(30) };
    std::string machineIdPath { "/etc/machine-id" };
    // Opens a web address in the user's browser, handed over as one address (never through a shell). Only
    // http and https addresses reach it. Default: QDesktopServices::openUrl on the Qt main thread.
    std::function<void(const std::string& address)> openUrl;
};

// The update check: asks the server whether a newer build exists and offers its download page.
//
// Each check runs on a detached thread of its own (StartCheckThread) and blocks there for up to the time-out per
// attempt. The question goes through the core's message box bridge (MessageBox), which waits for the main
// thread. The object holds only its options; it is used by one thread.
class UpdateCheckThread final {
public:
    using Options = UpdateCheckOptions;

    explicit UpdateCheckThread(Options options = {});
    UpdateCheckThread(const UpdateCheckThread&) = delete;
    UpdateCheckThread& operator=(const UpdateCheckThread&) = delete;

    // Starts a check in `mode` (0 at start and on demand, kUpdateCheckSilentMode silent) on a detached thread
    // and returns at once. The server is settled before the thread starts.
    static void StartCheckThread(int mode, Options options = {});

    // The check itself, on the calling thread: one fetch; outside the silent mode a second one after a failure,
    // then the log line of the outcome and, when an update is offered, the question. Yes opens the download
    // address; the ticked check box switches the setting "UpdateCheck" off, saves the settings and sends them
    // to the extension.
    void ThreadCheck(int mode);

    // The address a check in `mode` asks, with a fresh query.
    std::string requestAddress(int mode) const;

private:
    Options m_options;
};

// Makes UpdateCheckThread::StartCheckThread serve CoreHooks::startUpdateCheckThread, keeping the other hooks.
// The program calls it once at start, before its other threads run.
void RegisterUpdateCheckHook(UpdateCheckThread::Options options = {});

} // namespace corvantis
