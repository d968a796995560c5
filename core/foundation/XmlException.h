#pragma once

#include "core/foundation/XmlError.h"

#include <exception>
#include <optional>
#include <string>

namespace corvantis {

// Thrown by the XML reader for a number that does not parse. Readers of documents catch it at their edge and turn
// it into a failed load; it never crosses a thread or a callback boundary.
class CXmlException : public std::exception {
public:
    explicit CXmlException(std::string message);
    CXmlException(std::string message, std::optional<XmlError> error);
    ~CXmlException() override = default;

    // The text shown to the user: the message and a blank, followed by the error's code and description when there
    // is an error object.
    std::string GetMessage() const;
    const std::optional<XmlError>& GetError() const { return m_error; }

    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
    std::optional<XmlError> m_error;
};

} // namespace corvantis
