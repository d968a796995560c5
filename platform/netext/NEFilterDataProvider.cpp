#include "platform/netext/NEFilterDataProvider.h"

#include <cstdio>
#include <sys/random.h>

namespace corvantis {

namespace {

// A random (version 4) UUID in its standard text form.
std::string randomUuid()
{
    unsigned char bytes[16] = {};
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n > 0)
            filled += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
        bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11],
        bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace

NEFilterFlow::NEFilterFlow()
    : m_identifier(randomUuid())
{
}

void NEFilterDataProvider::applySettings(std::optional<NEFilterSettings> settings, Completion completion)
{
    std::function<std::optional<FlowError>(const std::optional<NEFilterSettings>&)> sink;
    {
        MutexLock lock(m_mutex);
        sink = m_sink;
    }
    std::optional<FlowError> error = sink ? sink(settings) : std::nullopt;
    if (!error) {
        MutexLock lock(m_mutex);
        m_applied = std::move(settings);
    }
    if (completion)
        completion(std::move(error));
}

void NEFilterDataProvider::setSettingsSink(
    std::function<std::optional<FlowError>(const std::optional<NEFilterSettings>&)> sink)
{
    MutexLock lock(m_mutex);
    m_sink = std::move(sink);
}

std::optional<NEFilterSettings> NEFilterDataProvider::appliedSettings() const
{
    MutexLock lock(m_mutex);
    return m_applied;
}

} // namespace corvantis
