#pragma once

#include <string>

namespace corvantis {

// The error domain of failures that this program reports itself (as opposed to errno values or parser errors).
inline constexpr const char* kXmlOwnErrorDomain = "org.corvantis.Corvantis";
// Failures of the operating system (the code is an errno value).
inline constexpr const char* kXmlPosixErrorDomain = "POSIX";
// Failures reported by the XML parser (the code is the parser's error number).
inline constexpr const char* kXmlParserErrorDomain = "XML";

// An error object: where a failure comes from, its code and a text for the user. Plain value; copy freely.
struct XmlError {
    std::string domain;
    int code = 0;
    std::string description;
};

} // namespace corvantis
