#include "core/foundation/CoreHooks.h"

#include "platform/Mutex.h"

#include <array>
#include <atomic>
#include <memory>

namespace corvantis {

namespace {

Mutex g_hooksMutex;
std::shared_ptr<const CoreHooks> g_hooks GUARDED_BY(g_hooksMutex) = std::make_shared<const CoreHooks>();

std::shared_ptr<const CoreHooks> hooks()
{
    return CurrentCoreHooks();
}

constexpr std::array<const char*, 6> kTimingKeywords = { "connect", "ntlm", "kipc", "autod", "sysev", "uiupd" };
std::array<std::atomic<bool>, kTimingKeywords.size()> g_timing {};

} // namespace

void SetCoreHooks(CoreHooks newHooks)
{
    auto shared = std::make_shared<const CoreHooks>(std::move(newHooks));
    MutexLock lock(g_hooksMutex);
    g_hooks = std::move(shared);
}

std::shared_ptr<const CoreHooks> CurrentCoreHooks()
{
    MutexLock lock(g_hooksMutex);
    return g_hooks;
}

void StartUpdateCheckThread(int mode)
{
    if (auto h = hooks(); h && h->startUpdateCheckThread)
        h->startUpdateCheckThread(mode);
}

bool GssGetTokenForProxyHost(
    const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength, unsigned char* tokenBuffer)
{
    auto h = hooks();
    if (!h || !h->gssGetTokenForProxyHost) {
        // The caller takes the returned lengths as the bytes written: its capacities must not come back.
        if (errorLength)
            *errorLength = 0;
        if (tokenLength)
            *tokenLength = 0;
        return false;
    }
    return h->gssGetTokenForProxyHost(host, errorLength, errorBuffer, tokenLength, tokenBuffer);
}

void CorvantisAppServices::writeGlobalSettings(int sendArgument)
{
    if (auto h = hooks(); h && h->writeGlobalSettings)
        h->writeGlobalSettings(sendArgument);
}

std::optional<std::string> CorvantisAppServices::getPassword(bool wantNew, bool* wantToSave)
{
    auto h = hooks();
    if (!h || !h->getPassword)
        return std::nullopt;
    bool save = wantToSave ? *wantToSave : false;
    auto password = h->getPassword(wantNew, save);
    if (wantToSave)
        *wantToSave = save;
    return password;
}

std::optional<std::string> CorvantisAppServices::passwordFromCasheForProfile(const std::string& profile)
{
    auto h = hooks();
    return h && h->passwordFromCasheForProfile ? h->passwordFromCasheForProfile(profile) : std::nullopt;
}

void CorvantisAppServices::setPassword(const std::string& text, const std::string& profile)
{
    if (auto h = hooks(); h && h->setPasswordToCasheForProfile)
        h->setPasswordToCasheForProfile(text, profile);
}

std::string& AssignCString(std::string& target, const char* text)
{
    if (text)
        target.assign(text);
    else
        target.clear();
    return target;
}

std::optional<TimingItem> TimingItemFromKeyword(const std::string& keyword)
{
    for (size_t i = 0; i < kTimingKeywords.size(); ++i)
        if (keyword == kTimingKeywords[i])
            return static_cast<TimingItem>(i);
    return std::nullopt;
}

bool IsTimingOn(TimingItem item)
{
    return g_timing[static_cast<size_t>(item)].load(std::memory_order_relaxed);
}

void SetTimingOn(TimingItem item, bool on)
{
    g_timing[static_cast<size_t>(item)].store(on, std::memory_order_relaxed);
}

} // namespace corvantis
