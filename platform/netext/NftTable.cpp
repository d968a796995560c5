#include "platform/netext/NftTable.h"

#include <nftables/libnftables.h>

#include <cerrno>

namespace corvantis {

Result<std::unique_ptr<NftTable>> NftTable::open(const NftCapture& capture)
{
    // The handle's netlink socket is opened here and kept until the handle is freed: the table it loads with
    // the owner flag lives exactly as long.
    nft_ctx* context = ::nft_ctx_new(NFT_CTX_DEFAULT);
    if (!context)
        return Status::error(ENOMEM, "nftables cannot be opened");
    if (::nft_ctx_buffer_output(context) != 0 || ::nft_ctx_buffer_error(context) != 0) {
        ::nft_ctx_free(context);
        return Status::error(ENOMEM, "nftables cannot be opened");
    }
    return std::make_unique<NftTable>(PrivateTag {}, context, capture);
}

NftTable::NftTable(PrivateTag, nft_ctx* context, const NftCapture& capture)
    : m_context(context)
    , m_capture(capture)
{
}

NftTable::~NftTable()
{
    MutexLock lock(m_mutex);
    ::nft_ctx_free(m_context);
}

Status NftTable::run(const std::string& commands)
{
    if (::nft_run_cmd_from_buffer(m_context, commands.c_str()) == 0)
        return Status();
    std::string error = ::nft_ctx_get_error_buffer(m_context);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
        error.pop_back();
    return Status::error(EINVAL, "nftables refused the table " + m_capture.table + ": " + error);
}

Status NftTable::removeLeftover(const std::string& table)
{
    auto handle = open(NftCapture { table });
    if (!handle.ok())
        return handle.status();
    MutexLock lock(handle.value()->m_mutex);
    // Adding first makes the delete succeed when there is none; both fail when a running process owns it.
    return handle.value()->run("table inet " + table + "\ndelete table inet " + table + "\n");
}

Status NftTable::setSection(const std::string& section, std::string chains)
{
    MutexLock lock(m_mutex);
    std::map<std::string, std::string> sections = m_sections;
    if (chains.empty())
        sections.erase(section);
    else
        sections[section] = std::move(chains);
    std::vector<std::string> texts;
    for (const auto& [name, text] : sections)
        texts.push_back(text);
    Status status = run(ComposeRuleset(m_capture, texts, true));
    if (!status.ok())
        return status;
    m_sections = std::move(sections);
    m_loaded = true;
    return status;
}

Status NftTable::removeAll()
{
    MutexLock lock(m_mutex);
    m_sections.clear();
    if (!m_loaded)
        return Status();
    Status status = run("delete table inet " + m_capture.table + "\n");
    if (status.ok())
        m_loaded = false;
    return status;
}

} // namespace corvantis
