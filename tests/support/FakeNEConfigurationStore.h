#pragma once

#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {
class DispatchQueue;
}

namespace corvantis::test {

// An in-memory store of network configurations whose outcomes a test scripts. Completions, responses and state
// reports run on the store's own serial queue, as a real store's do; a test waits for them.
//
// Thread-safety: every member may be called from any thread.
class FakeNEConfigurationStore final : public NEConfigurationStore,
                                       public std::enable_shared_from_this<FakeNEConfigurationStore> {
public:
    // How the provider answers the next start.
    enum class StartOutcome {
        Connect, // Connecting, then Connected
        Disconnect, // Connecting, then Disconnected (the provider refused)
        Refuse, // the start cannot be asked for: startTunnel returns the scripted text
    };
    // How the provider answers the next provider message.
    enum class Reply {
        Data, // the scripted bytes
        None, // the response handler runs with no data
        Never, // the response handler is kept and never runs
        CannotSend, // sendProviderMessage returns false
    };

    FakeNEConfigurationStore();
    ~FakeNEConfigurationStore() override;

    // Puts a configuration in as if saved earlier (no save counted, no observer told); gives it an identifier
    // when it has none, and a transparent proxy's session the state `status`. Returns the identifier.
    std::string put(NEConfiguration configuration, NEVPNStatus status = NEVPNStatus::Disconnected);
    // The stored configurations of `kind`, in the store's order.
    std::vector<NEConfiguration> stored(NEConfigurationKind kind) const;
    // Every configuration handed to save(), failed ones included, in call order.
    std::vector<NEConfiguration> saves() const;
    std::size_t saveCount() const;

    // After `skip` more loads that succeed (following those scripted earlier), one load fails with `error`.
    void failNextLoad(std::string error, std::size_t skip = 0);
    // The next save fails with `error`; several calls fail that many in turn.
    void failNextSave(std::string error);
    // The next start ends as `outcome` (Refuse returns `error`); later starts connect.
    void scriptStart(StartOutcome outcome, std::string error = {});
    // The next provider message is answered by `reply` (with `data` for Data); later ones are answered None.
    void scriptReply(Reply reply, std::vector<uint8_t> data = {});

    // Changes a session's state as the system would on its own, telling the observers.
    void setStatus(const std::string& identifier, NEVPNStatus status);
    std::size_t startCount() const;
    std::size_t stopCount() const;
    // Every provider message sent, in call order.
    std::vector<std::vector<uint8_t>> messages() const;

    // Runs on the store's queue after everything submitted before: a test waits for the store to go idle.
    void drain();

    void load(NEConfigurationKind kind, LoadCompletion completion) override;
    void save(const NEConfiguration& configuration, SaveCompletion completion) override;
    NEVPNStatus status(const std::string& identifier) override;
    std::optional<std::string> startTunnel(const std::string& identifier) override;
    void stopTunnel(const std::string& identifier) override;
    bool sendProviderMessage(
        const std::string& identifier, const std::vector<uint8_t>& message, ResponseHandler response) override;
    void addStatusObserver(StatusObserver observer) override;

private:
    struct ScriptedReply {
        Reply reply;
        std::vector<uint8_t> data;
    };
    struct ScriptedStart {
        StartOutcome outcome;
        std::string error;
    };

    // Sets the state under the lock and reports it on the queue.
    void report(const std::string& identifier, NEVPNStatus status);
    const NEConfiguration* findLocked(const std::string& identifier) const REQUIRES(m_mutex);

    const std::shared_ptr<DispatchQueue> m_queue;
    mutable Mutex m_mutex;
    std::vector<NEConfiguration> m_configurations GUARDED_BY(m_mutex);
    std::map<std::string, NEVPNStatus> m_status GUARDED_BY(m_mutex);
    std::vector<StatusObserver> m_observers GUARDED_BY(m_mutex);
    std::vector<NEConfiguration> m_saves GUARDED_BY(m_mutex);
    std::deque<std::optional<std::string>> m_loadErrors GUARDED_BY(m_mutex);
    std::deque<std::string> m_saveErrors GUARDED_BY(m_mutex);
    std::deque<ScriptedStart> m_starts GUARDED_BY(m_mutex);
    std::deque<ScriptedReply> m_replies GUARDED_BY(m_mutex);
    std::vector<ResponseHandler> m_unanswered GUARDED_BY(m_mutex);
    std::vector<std::vector<uint8_t>> m_messages GUARDED_BY(m_mutex);
    std::size_t m_startCount GUARDED_BY(m_mutex) = 0;
    std::size_t m_stopCount GUARDED_BY(m_mutex) = 0;
    uint64_t m_nextId GUARDED_BY(m_mutex) = 1;
};

} // namespace corvantis::test
