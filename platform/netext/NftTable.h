#pragma once

#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/netext/NftRuleset.h"

#include <map>
#include <memory>
#include <string>

struct nft_ctx;

namespace corvantis {

// The daemon's one nftables table, loaded through one libnftables handle kept for the handle's life. Each
// provider's chains are a section of it; every change replaces the whole table in one transaction, so the
// machine never sees half a ruleset. The table is owned by the handle's netlink socket: the kernel deletes it
// when the handle is closed or its process ends, even when killed, so a dead daemon leaves no traffic
// redirected to a closed port.
//
// Thread-safety: every member may be called from any thread.
class NftTable final {
    struct PrivateTag { };

public:
    // A handle for the table `capture.table` in the calling thread's network namespace. A table of that name
    // left by an earlier process that no longer runs is taken over; one that another running process owns
    // makes the first change fail.
    static Result<std::unique_ptr<NftTable>> open(const NftCapture& capture);
    NftTable(PrivateTag, nft_ctx* context, const NftCapture& capture);
    ~NftTable();
    NftTable(const NftTable&) = delete;
    NftTable& operator=(const NftTable&) = delete;

    // Replaces the chains of `section` (empty `chains`: takes them out) and loads the table. On an error the
    // section keeps its chains of before and the kernel keeps the table of before.
    Status setSection(const std::string& section, std::string chains);
    // Deletes the table (it is loaded again at the next change).
    Status removeAll();
    // Deletes a table named `table` that no running process owns (one left by an earlier daemon that loaded it
    // without the owner flag, or by hand); ok when there is none. A table another running process owns stays.
    static Status removeLeftover(const std::string& table);

    const NftCapture& capture() const { return m_capture; }

private:
    Status run(const std::string& commands) REQUIRES(m_mutex);

    Mutex m_mutex;
    nft_ctx* const m_context PT_GUARDED_BY(m_mutex);
    const NftCapture m_capture;
    std::map<std::string, std::string> m_sections GUARDED_BY(m_mutex);
    bool m_loaded GUARDED_BY(m_mutex) = false;
};

} // namespace corvantis
