#pragma once

#include "platform/PlistValue.h"
#include "platform/Result.h"

#include <string>
#include <string_view>

namespace corvantis {

// The XML property-list format ("<plist version="1.0">"), as our defaults files and other plist tools use it.
// Stateless; safe from any thread.
class PlistXml final {
public:
    PlistXml() = delete;

    // Parses a whole XML property list. The parser never touches the network, loads no DTD and expands no
    // entities: a document that refers to an entity, or holds an element this format does not know (such as
    // <date>), is refused with an error, and so is nesting deeper than 256 containers.
    static Result<PlistValue> parse(std::string_view xml);

    // The XML text of `value` (UTF-8, tab-indented). Fails when a string or key cannot be carried by XML:
    // text that is not UTF-8, or holds NUL or another control character besides tab, line feed and return.
    static Result<std::string> serialize(const PlistValue& value);

    // Whether every string and dictionary key inside `value` can be written (see serialize).
    static bool isStorable(const PlistValue& value);
    // Whether `text` is valid UTF-8 free of the control characters XML cannot carry.
    static bool isStorableText(std::string_view text);
};

} // namespace corvantis
