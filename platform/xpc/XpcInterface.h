#pragma once

#include "platform/xpc/XpcObject.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// The declared type of one argument or reply value. `optional` admits the absent value as well; `plist` asks
// an array or dictionary to be a pure property list (no endpoint, no absent value inside).
struct XpcValueType {
    XpcObject::Type type = XpcObject::Type::String;
    bool optional = false;
    bool plist = false;
};

// One selector of an interface: its full name ("helloWithVersion:reply:"), its arguments and, when it has a
// reply block, the values of that reply.
struct XpcSelector {
    std::string name;
    std::vector<XpcValueType> arguments;
    std::optional<std::vector<XpcValueType>> reply;
};

// What may be called across a connection: a named set of selectors with their types. A connection checks each
// call it receives against its exported interface and each reply against its remote interface.
// Immutable after construction; safe to share between threads.
class XpcInterface final {
public:
    XpcInterface(std::string name, std::vector<XpcSelector> selectors);

    const std::string& name() const { return m_name; }
    const std::vector<XpcSelector>& selectors() const { return m_selectors; }
    // The selector of that name, or null. The pointer lives as long as the interface.
    const XpcSelector* find(const std::string& selector) const;

    // Whether `values` fit `types` in count and type; otherwise false with the first mismatch in `why`.
    static bool matches(const std::vector<XpcValueType>& types, const XpcArray& values, std::string& why);

private:
    std::string m_name;
    std::vector<XpcSelector> m_selectors;
};

using XpcInterfacePtr = std::shared_ptr<const XpcInterface>;

} // namespace corvantis
