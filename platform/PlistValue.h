#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvantis {

class PlistValue;
using PlistData = std::vector<uint8_t>;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;

// One property-list value: integer, boolean, real, UTF-8 string, bytes, array or dictionary (keys sorted).
// A plain value type: copies are deep, no sharing between threads is implied.
class PlistValue {
public:
    enum class Type { Integer, Bool, Real, String, Data, Array, Dict };

    PlistValue()
        : m_value(int64_t { 0 })
    {
    }
    PlistValue(int v)
        : m_value(int64_t { v })
    {
    }
    PlistValue(long v)
        : m_value(int64_t { v })
    {
    }
    PlistValue(long long v)
        : m_value(int64_t { v })
    {
    }
    PlistValue(bool v)
        : m_value(v)
    {
    }
    PlistValue(double v)
        : m_value(v)
    {
    }
    PlistValue(std::string v)
        : m_value(std::move(v))
    {
    }
    PlistValue(const char* v)
        : m_value(std::string(v ? v : ""))
    {
    }
    PlistValue(PlistData v)
        : m_value(std::move(v))
    {
    }
    PlistValue(PlistArray v)
        : m_value(std::move(v))
    {
    }
    PlistValue(PlistDict v)
        : m_value(std::move(v))
    {
    }

    Type type() const { return static_cast<Type>(m_value.index()); }

    // Typed access: null when the value holds another type. The pointer lives as long as this value is unchanged.
    const int64_t* integer() const { return std::get_if<int64_t>(&m_value); }
    const bool* boolean() const { return std::get_if<bool>(&m_value); }
    const double* real() const { return std::get_if<double>(&m_value); }
    const std::string* string() const { return std::get_if<std::string>(&m_value); }
    const PlistData* data() const { return std::get_if<PlistData>(&m_value); }
    const PlistArray* array() const { return std::get_if<PlistArray>(&m_value); }
    const PlistDict* dict() const { return std::get_if<PlistDict>(&m_value); }
    PlistDict* dict() { return std::get_if<PlistDict>(&m_value); }

    // The value read as a number: integers as they are, booleans 0 or 1, reals truncated (saturated), strings by
    // their leading decimal number after blanks ("12abc" 12, "abc" 0, saturated at the 64-bit limits); 0 for
    // bytes, arrays and dictionaries.
    int64_t integerValue() const;
    // The value as text: strings as they are, integers and booleans in decimal, reals in their shortest exact
    // form; nothing for bytes, arrays and dictionaries.
    std::optional<std::string> textValue() const;

    friend bool operator==(const PlistValue& a, const PlistValue& b) { return a.m_value == b.m_value; }

private:
    std::variant<int64_t, bool, double, std::string, PlistData, PlistArray, PlistDict> m_value;
};

} // namespace corvantis
