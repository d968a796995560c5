#include "platform/xpc/XpcInterface.h"

namespace corvantis {

XpcInterface::XpcInterface(std::string name, std::vector<XpcSelector> selectors)
    : m_name(std::move(name))
    , m_selectors(std::move(selectors))
{
}

const XpcSelector* XpcInterface::find(const std::string& selector) const
{
    for (const XpcSelector& s : m_selectors)
        if (s.name == selector)
            return &s;
    return nullptr;
}

bool XpcInterface::matches(const std::vector<XpcValueType>& types, const XpcArray& values, std::string& why)
{
    if (types.size() != values.size()) {
        why = std::to_string(values.size()) + " values where " + std::to_string(types.size()) + " are declared";
        return false;
    }
    for (size_t i = 0; i < types.size(); ++i) {
        const XpcValueType& t = types[i];
        const XpcObject& v = values[i];
        if (v.isAbsent() && t.optional)
            continue;
        if (v.type() != t.type) {
            why = "value " + std::to_string(i + 1) + " is " + XpcObject::typeName(v.type()) + ", not "
                + XpcObject::typeName(t.type);
            return false;
        }
        if (t.plist && !v.toPlist()) {
            why = "value " + std::to_string(i + 1) + " is not a property list";
            return false;
        }
    }
    return true;
}

} // namespace corvantis
