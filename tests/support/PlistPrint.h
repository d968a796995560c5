#pragma once

#include "platform/PlistXml.h"

#include <ostream>

namespace corvantis {

// Lets GoogleTest show a property-list value as its XML text in failure messages.
inline void PrintTo(const PlistValue& value, std::ostream* os)
{
    auto xml = PlistXml::serialize(value);
    *os << (xml.ok() ? *xml : "<unwritable value>");
}

} // namespace corvantis
