#pragma once

#include "core/foundation/StringUtils.h"

#include <string>
#include <string_view>

namespace corvantis::profile_text {

// A lower-case copy (StrToLower works in place; most callers here keep the original as typed).
inline std::string ToLower(std::string_view text)
{
    std::string lower(text);
    StrToLower(lower);
    return lower;
}

} // namespace corvantis::profile_text
