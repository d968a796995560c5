#pragma once

#include "platform/PlistValue.h"
#include "platform/xpc/XpcEndpoint.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvantis {

class XpcObject;
using XpcArray = std::vector<XpcObject>;
using XpcDict = std::map<std::string, XpcObject>;

// One value of an IPC message: the property-list types of PlistValue (integer, boolean, real, UTF-8 string,
// bytes, array, dictionary), a listener endpoint, or "absent", which stands for a missing optional value and is
// not the same as an empty string or empty bytes. A default-constructed object is absent.
// A plain value type: copies are deep.
class XpcObject {
public:
    enum class Type { Absent, Integer, Bool, Real, String, Data, Array, Dict, Endpoint };
    struct Absent {
        friend bool operator==(Absent, Absent) { return true; }
    };

    XpcObject() = default;
    XpcObject(int v)
        : m_value(int64_t { v })
    {
    }
    XpcObject(long v)
        : m_value(int64_t { v })
    {
    }
    XpcObject(long long v)
        : m_value(int64_t { v })
    {
    }
    XpcObject(bool v)
        : m_value(v)
    {
    }
    XpcObject(double v)
        : m_value(v)
    {
    }
    XpcObject(std::string v)
        : m_value(std::move(v))
    {
    }
    XpcObject(const char* v)
        : m_value(std::string(v ? v : ""))
    {
    }
    XpcObject(PlistData v)
        : m_value(std::move(v))
    {
    }
    XpcObject(XpcArray v)
        : m_value(std::move(v))
    {
    }
    XpcObject(XpcDict v)
        : m_value(std::move(v))
    {
    }
    XpcObject(XpcEndpoint v)
        : m_value(std::move(v))
    {
    }
    // Absent when `v` holds nothing, else the string.
    static XpcObject optionalString(const std::optional<std::string>& v) { return v ? XpcObject(*v) : XpcObject(); }

    // The same value; property lists hold no endpoint and no absent value.
    static XpcObject fromPlist(const PlistValue& value);
    // The property-list form, or nothing when this value holds an endpoint or an absent value at any depth.
    std::optional<PlistValue> toPlist() const;

    Type type() const { return static_cast<Type>(m_value.index()); }
    bool isAbsent() const { return type() == Type::Absent; }

    // Typed access: null when the value holds another type. The pointer lives as long as this value is unchanged.
    const int64_t* integer() const { return std::get_if<int64_t>(&m_value); }
    const bool* boolean() const { return std::get_if<bool>(&m_value); }
    const double* real() const { return std::get_if<double>(&m_value); }
    const std::string* string() const { return std::get_if<std::string>(&m_value); }
    const PlistData* data() const { return std::get_if<PlistData>(&m_value); }
    const XpcArray* array() const { return std::get_if<XpcArray>(&m_value); }
    const XpcDict* dict() const { return std::get_if<XpcDict>(&m_value); }
    const XpcEndpoint* endpoint() const { return std::get_if<XpcEndpoint>(&m_value); }
    std::string* string() { return std::get_if<std::string>(&m_value); }
    XpcArray* array() { return std::get_if<XpcArray>(&m_value); }
    XpcDict* dict() { return std::get_if<XpcDict>(&m_value); }
    XpcEndpoint* endpoint() { return std::get_if<XpcEndpoint>(&m_value); }

    // Reals compare by value (so NaN differs from itself); endpoints by name.
    friend bool operator==(const XpcObject& a, const XpcObject& b) { return a.m_value == b.m_value; }

    // The type's name for log lines ("string", "absent", ...).
    static const char* typeName(Type type);

private:
    std::variant<Absent, int64_t, bool, double, std::string, PlistData, XpcArray, XpcDict, XpcEndpoint> m_value;
};

} // namespace corvantis
