#pragma once

#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {

// One UDP or TCP packet that a firewall rule copied to an NFLOG group.
struct NflogPacket {
    int family = 0; // AF_INET or AF_INET6
    int protocol = 0; // IPPROTO_UDP or IPPROTO_TCP
    std::string sourceAddress; // inet_ntop text
    uint16_t sourcePort = 0;
    std::string destinationAddress; // inet_ntop text
    uint16_t destinationPort = 0;
    // The transport payload: the UDP data after its 8-byte header, or the TCP data after its header.
    std::vector<uint8_t> payload;
};

// Reads the IP packet `data` (`size` bytes, from the network header on) of `family` (AF_INET or AF_INET6).
// Nothing when the packet is truncated or malformed, is a fragment other than a whole one, or carries neither
// UDP nor TCP. Never reads outside [data, data + size); bytes past the IP header's own length are ignored.
std::optional<NflogPacket> ParseNflogIpPacket(int family, const uint8_t* data, std::size_t size);

// Receives the packets that firewall rules ("log group N") copy into one NFLOG group, over a netfilter netlink
// socket, and hands each UDP or TCP packet to a handler. The reader never holds traffic back: the kernel sends
// copies, and when the reader falls behind the kernel drops copies (logged once per overrun burst) while the
// traffic itself flows on.
//
// The reader belongs to the network namespace of the thread that calls open(). Packets that cannot be read
// (truncated, malformed, neither UDP nor TCP) are skipped and counted.
//
// Thread-safety: the handler runs on the reader's own thread, one packet at a time, and must not call stop() or
// destroy the reader. stop() and the destructor are called from one controlling thread and return only after
// the reader's thread has ended; no handler runs after that. skippedPackets() may be called from any thread.
class NflogReader final {
public:
    using PacketHandler = std::function<void(const NflogPacket&)>;

    // Binds NFLOG group `group` (packets copied whole, each sent to us at once) and starts the reader's thread.
    // Fails with the errno and a message when the socket cannot be made or the kernel refuses the binding
    // (EPERM without CAP_NET_ADMIN, and also when another socket has the group); nothing stays open then.
    [[nodiscard]] static Result<std::unique_ptr<NflogReader>> open(uint16_t group, PacketHandler handler);

    ~NflogReader();
    NflogReader(const NflogReader&) = delete;
    NflogReader& operator=(const NflogReader&) = delete;

    // Ends the reader's thread, unbinds the group and closes the socket. Idempotent.
    void stop();

    uint16_t group() const { return m_group; }
    // How many logged packets were skipped as unreadable so far.
    uint64_t skippedPackets() const { return m_skipped.load(std::memory_order_relaxed); }

private:
    NflogReader(uint16_t group, PacketHandler handler);

    Status configure();
    Status sendConfig(uint8_t family, uint16_t resourceId, const std::vector<uint8_t>& attributes, bool wantAck);
    Status awaitAck(uint32_t sequence);
    void run();
    void drain();
    // Reads one NFULNL_MSG_PACKET message (header included); its packet goes to `sink`, an unreadable one is
    // counted. Other messages are ignored.
    void readMessage(const uint8_t* message, std::size_t size, const std::function<void(NflogPacket&&)>& sink);
    void deliver(const NflogPacket& packet);

    const uint16_t m_group;
    PacketHandler m_handler;
    UniqueFd m_socket;
    UniqueFd m_wake; // eventfd; written by stop()
    uint32_t m_sequence = 0; // touched by open() before the thread starts, then by stop() after it ended
    bool m_bound = false; // the kernel gave us the group; likewise
    std::vector<uint8_t> m_buffer; // the thread's receive buffer once it runs
    // Packets that arrived while open() waited for the kernel's acknowledgements; the thread delivers them first.
    std::vector<NflogPacket> m_early;
    bool m_overrun = false; // the thread's: an overrun was logged and the queue has not been emptied since
    std::atomic<uint64_t> m_skipped { 0 };
    std::atomic<bool> m_stopping { false }; // set by stop(), so that a flood of packets cannot keep the thread
    std::thread m_thread;
};

using NflogReaderPtr = std::unique_ptr<NflogReader>;

} // namespace corvantis
