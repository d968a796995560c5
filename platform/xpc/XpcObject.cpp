#include "platform/xpc/XpcObject.h"

namespace corvantis {

XpcObject XpcObject::fromPlist(const PlistValue& value)
{
    switch (value.type()) {
    case PlistValue::Type::Integer:
        return XpcObject(static_cast<long long>(*value.integer()));
    case PlistValue::Type::Bool:
        return XpcObject(*value.boolean());
    case PlistValue::Type::Real:
        return XpcObject(*value.real());
    case PlistValue::Type::String:
        return XpcObject(*value.string());
    case PlistValue::Type::Data:
        return XpcObject(*value.data());
    case PlistValue::Type::Array: {
        XpcArray items;
        items.reserve(value.array()->size());
        for (const PlistValue& item : *value.array())
            items.push_back(fromPlist(item));
        return XpcObject(std::move(items));
    }
    case PlistValue::Type::Dict: {
        XpcDict entries;
        for (const auto& [key, item] : *value.dict())
            entries.emplace(key, fromPlist(item));
        return XpcObject(std::move(entries));
    }
    }
    return XpcObject();
}

std::optional<PlistValue> XpcObject::toPlist() const
{
    switch (type()) {
    case Type::Absent:
    case Type::Endpoint:
        return std::nullopt;
    case Type::Integer:
        return PlistValue(static_cast<long long>(*integer()));
    case Type::Bool:
        return PlistValue(*boolean());
    case Type::Real:
        return PlistValue(*real());
    case Type::String:
        return PlistValue(*string());
    case Type::Data:
        return PlistValue(*data());
    case Type::Array: {
        PlistArray items;
        items.reserve(array()->size());
        for (const XpcObject& item : *array()) {
            auto converted = item.toPlist();
            if (!converted)
                return std::nullopt;
            items.push_back(std::move(*converted));
        }
        return PlistValue(std::move(items));
    }
    case Type::Dict: {
        PlistDict entries;
        for (const auto& [key, item] : *dict()) {
            auto converted = item.toPlist();
            if (!converted)
                return std::nullopt;
            entries.emplace(key, std::move(*converted));
        }
        return PlistValue(std::move(entries));
    }
    }
    return std::nullopt;
}

const char* XpcObject::typeName(Type type)
{
    switch (type) {
    case Type::Absent:
        return "absent";
    case Type::Integer:
        return "integer";
    case Type::Bool:
        return "boolean";
    case Type::Real:
        return "real";
    case Type::String:
        return "string";
    case Type::Data:
        return "data";
    case Type::Array:
        return "array";
    case Type::Dict:
        return "dictionary";
    case Type::Endpoint:
        return "endpoint";
    }
    return "unknown";
}

} // namespace corvantis
