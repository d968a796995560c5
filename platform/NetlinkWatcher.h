#pragma once

#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {

// The interface that carries the machine's default traffic.
struct DefaultRoute {
    int family = 0; // AF_INET or AF_INET6
    int ifindex = 0; // kernel interface index, > 0
    std::string ifname; // empty when the interface has no name any more
    uint32_t metric = 0;
};

// The lowest-metric default route (prefix length 0, unicast, main table) of `family` in the calling thread's
// network namespace; nothing when there is none. A multipath route counts with its first hop's interface.
Result<std::optional<DefaultRoute>> findDefaultRoute(int family);

// The machine's base interface: the IPv4 default route, else the IPv6 one; nothing when there is neither or the
// routes cannot be read.
std::optional<DefaultRoute> findBaseInterface();

// Watches the kernel's routing messages (links, IPv4 and IPv6 addresses and routes) and a few files whose
// change matters to name resolution and the host name (by default "/etc/resolv.conf", "/etc/hostname" and
// "/etc/machine-info").
// Files are watched through their folder, so a file that is replaced by a rename, created or deleted is seen;
// when a watched file is a symbolic link, the folder of its target is watched as well.
//
// The handler runs on the watcher's own thread, once for each burst of changes that arrives together; it must
// not call stop(). The watcher belongs to the network namespace of the thread that calls open(); the watcher's
// thread (and so the handler) runs in the namespace of the thread that calls start().
//
// Thread-safety: open(), start() and stop() are called from one controlling thread; stop() (and the destructor)
// returns only after the watcher's thread has ended, and no handler runs after that.
class NetlinkWatcher final {
public:
    struct Config {
        std::vector<std::string> watchedFiles { "/etc/resolv.conf", "/etc/hostname", "/etc/machine-info" };
    };
    // How open() or start() failed.
    enum class Failure {
        Socket, // the routing socket could not be made
        Setup, // the file watch or the wake-up descriptor could not be made
        Subscribe, // the routing groups or a watched folder could not be subscribed to
        Thread, // the watcher's thread could not be started
    };
    using ChangeHandler = std::function<void()>;

    NetlinkWatcher(Config config, ChangeHandler handler);
    ~NetlinkWatcher();
    NetlinkWatcher(const NetlinkWatcher&) = delete;
    NetlinkWatcher& operator=(const NetlinkWatcher&) = delete;

    // Makes the descriptors and subscribes. On failure returns the kind and puts the reason (with the errno
    // text) in `reason`; nothing stays open.
    std::optional<Failure> open(std::string& reason);
    // Starts the watcher's thread after a successful open(). Failure::Thread when it cannot start.
    std::optional<Failure> start(std::string& reason);
    // Ends the thread (when it runs) and closes every descriptor. Idempotent.
    void stop();

    bool running() const { return m_thread.joinable(); }

private:
    void run();
    bool drainNetlink();
    bool drainInotify();
    void addFolderWatch(const std::string& folder, const std::string& name, bool required, std::string& error);

    struct Watch {
        int wd = -1;
        std::string name;
    };

    Config m_config;
    ChangeHandler m_handler;
    UniqueFd m_netlink;
    UniqueFd m_inotify;
    UniqueFd m_wake; // eventfd; written by stop()
    std::vector<Watch> m_watches; // touched by open() before the thread starts, then by the thread only
    std::thread m_thread;
};

} // namespace corvantis
