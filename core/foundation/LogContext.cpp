#include "core/foundation/LogContext.h"

#include "core/foundation/StringUtils.h"

namespace corvantis {

const std::string& CLogContext::BestName() const
{
    if (!packetShortName.empty())
        return packetShortName;
    if (!packetName.empty())
        return packetName;
    return bsdName;
}

std::string CLogContext::PrefixFor(int threshold) const
{
    const std::string& best = BestName();
    if (threshold == 3) {
        std::string text = best;
        if (!revDns.empty() && revDns != best)
            text += "(" + revDns + ")";
        return text.empty() ? "<unknown>" : text;
    }
    if (threshold == 4) {
        std::string extra;
        if (!revDns.empty() && revDns != best)
            extra = revDns;
        if (!bsdName.empty() && bsdName != best)
            extra += (extra.empty() ? "" : ", ") + bsdName;
        return extra.empty() ? best : best + " (" + extra + ")";
    }
    if (!best.empty())
        return best;
    if (!revDns.empty())
        return revDns;
    return "<unknown>";
}

CLogContext LowerCaseContext(const CLogContext& context)
{
    CLogContext lower = context;
    for (std::string* field : { &lower.displayName, &lower.revDns, &lower.bsdName, &lower.packetName,
             &lower.packetShortName, &lower.fullPath })
        StrToLower(*field);
    return lower;
}

} // namespace corvantis
