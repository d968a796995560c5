#pragma once

#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/UniqueFd.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvantis {

class ClientProcessorWrapper;

// Moves the bytes of TCP flows that the engine has nothing left to prepare (connected, no request for a plain
// HTTP proxy, no traffic dumps) between the application's socket and the remote's, with splice through a pipe:
// the bytes never enter the process, and no chunk crosses a thread. A direction holds a pipe only while bytes are
// on their way; emptied pipes go back to a small pool, so idle flows cost no descriptor beyond their sockets. A flow
// that finds no pipe (the process is out of descriptors) reads nothing and tries again shortly. All flows
// run on one thread of the pump's own, which waits on epoll (edge-triggered, so a flow costs no system call to re-arm)
// and never blocks otherwise. A socket is watched for room only from the first write to it that had to wait, so a
// flow whose writes go through at once never wakes the pump for room it did not need. The remote side goes through
// the engine's wrapper, which counts the bytes in the connection's record and the statistics, as its send and
// receive do.
//
// Each direction reads only into an empty pipe, so the slower side paces the faster, and one direction's end is
// seen only once every byte before it has been passed on. The application's end of stream becomes the remote's
// send shutdown; the remote's end, or any failure, ends the flow (the Client hears it once, and nothing moves for
// that flow afterwards).
//
// Ownership: the pump holds each flow's Client until remove() (or stop()), and while it tells the Client of the
// flow's end, so a Client never goes while the pump may call it.
//
// Thread-safety: add(), remove() and stop() may be called from any thread; from the pump's own only within
// spliceEnded(). The Client's other calls come on the pump's thread (or add()'s) under its lock: they may only
// note or schedule, never call back into the pump. spliceEnded() comes outside the lock, so the flow's owner may
// end the flow there at once (remove() included) instead of handing it to another thread.
class TcpSplicePump final {
    struct PrivateTag { };

public:
    // What the pump tells the flow's owner.
    class Client {
    public:
        virtual ~Client() = default;
        // The application ended its sending side and the remote's was shut down after the bytes before it.
        virtual void spliceApplicationEnded() = 0;
        // Bytes came from the remote.
        virtual void spliceRemoteData() = 0;
        // The flow ends: no error when the remote ended its stream and every byte reached the application;
        // otherwise the error the application is to see. Once per flow; the pump moves none of its bytes after.
        virtual void spliceEnded(std::optional<FlowError> error) = 0;
    };

    // Most bytes one splice moves: what a pipe holds.
    static constexpr std::size_t kChunk = 1 << 20;

    // Makes a pipe like pipe2(ends, O_NONBLOCK | O_CLOEXEC): 0, or -1 with errno.
    using MakePipe = std::function<int(int ends[2])>;

    // `makePipe` makes the pipes (empty: pipe2); called under the pump's lock.
    static Result<std::shared_ptr<TcpSplicePump>> open(MakePipe makePipe = nullptr);
    TcpSplicePump(PrivateTag, UniqueFd epoll, UniqueFd wake, MakePipe makePipe);
    ~TcpSplicePump();
    TcpSplicePump(const TcpSplicePump&) = delete;
    TcpSplicePump& operator=(const TcpSplicePump&) = delete;

    // Starts moving the bytes of flow `id` between `appFd` (a non-blocking stream socket, lent: the caller keeps
    // it open until remove() returned) and the remote of `remote` (whose prepareSplice() said yes). `client`
    // is held until the flow leaves the pump. What can move at once moves in the calling thread, whose Client
    // calls come as they would on the pump's thread; a flow that ends meanwhile (its sockets cannot be watched,
    // among others) is told so through spliceEnded() before add() returns. False, with nothing started, when the
    // pump has stopped or has flow `id` already; the caller then moves the bytes itself.
    bool add(uint64_t id, int appFd, std::shared_ptr<ClientProcessorWrapper> remote, std::shared_ptr<Client> client);
    // Stops moving flow `id`'s bytes; once it returns the pump touches neither socket again. Returns the bytes
    // the remote sent that had not reached the application yet, for a caller that ends the flow in order.
    std::vector<uint8_t> remove(uint64_t id);
    // The flows being moved.
    std::size_t count() const;
    // Ends the thread and lets go of the flows still in the pump; their sockets are left as they are. Also done
    // by the destructor.
    void stop();

private:
    struct Pipe {
        UniqueFd read;
        UniqueFd write;
    };
    struct Direction {
        std::optional<Pipe> pipe; // only while bytes are pending
        std::size_t pending = 0; // bytes in the pipe
        bool ended = false;
    };
    struct Flow {
        uint64_t id = 0;
        int appFd = -1;
        int remoteFd = -1;
        std::shared_ptr<ClientProcessorWrapper> remote;
        std::shared_ptr<Client> client;
        Direction up; // application → remote
        Direction down; // remote → application
        // What each socket may do without waiting, as far as the pump knows: set by its events, cleared when a
        // call would wait. Edge-triggered events come only after such a call, so nothing is missed, and a flow
        // moving bytes one way makes no calls the other way.
        bool appReadable = true;
        bool appWritable = true;
        bool remoteReadable = true;
        bool remoteWritable = true;
        // Whether the socket's registration asks for room (EPOLLOUT): from its first write that had to wait on.
        bool appWatchedForRoom = false;
        bool remoteWatchedForRoom = false;
        bool registered = false; // with epoll: add() serves a flow before it registers it

        bool done = false;
        uint64_t lastTurn = 0; // the pump's turn that served it last
    };
    // Flows that ended, with the error each Client is to hear, told outside the lock.
    using Endings = std::vector<std::pair<std::shared_ptr<Client>, std::optional<FlowError>>>;
    enum class Progress {
        Idle, // waits for its sockets
        More, // still had bytes to move after its rounds
        NoPipe, // found no pipe to read into, and read nothing
        Done, // ended
    };

    void run();
    // Wakes the pump's thread from its wait.
    void wake();
    // Moves what can move now; More when a flow should get another turn before the next wait.
    Progress serve(Flow& flow) REQUIRES(m_mutex);
    // Marks the flow done; its Client hears of it once the turn is over, outside the lock.
    void finish(Flow& flow, std::optional<FlowError> error) REQUIRES(m_mutex);
    // Notes that a write to the flow's application socket (or remote one) had to wait, and from the first time
    // on has the kernel report that socket's room; false when its registration cannot be changed.
    bool waitForRoom(Flow& flow, bool remote) REQUIRES(m_mutex);
    // Gives `direction` a pipe from the pool or a new one; false when the system has none to give.
    bool takePipe(Direction& direction) REQUIRES(m_mutex);
    // Returns an emptied pipe to the pool.
    void releasePipe(Direction& direction) REQUIRES(m_mutex);

    const UniqueFd m_epoll;
    const UniqueFd m_wake;
    const MakePipe m_makePipe;
    mutable Mutex m_mutex;
    std::unordered_map<uint64_t, std::unique_ptr<Flow>> m_flows GUARDED_BY(m_mutex);
    std::vector<Pipe> m_pipes GUARDED_BY(m_mutex); // empty pipes to reuse
    bool m_stopping GUARDED_BY(m_mutex) = false;
    // Flows add() left with more to move at once, or without a pipe: the pump serves them in its next turn.
    std::vector<uint64_t> m_retry GUARDED_BY(m_mutex);
    // Flows ended in the current turn, whose Clients are told after it.
    Endings m_ended GUARDED_BY(m_mutex);
    std::thread m_thread;
};

} // namespace corvantis
