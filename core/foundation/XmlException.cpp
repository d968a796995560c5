#include "core/foundation/XmlException.h"

#include <utility>

namespace corvantis {

CXmlException::CXmlException(std::string message)
    : m_message(std::move(message))
{
}

CXmlException::CXmlException(std::string message, std::optional<XmlError> error)
    : m_message(std::move(message))
    , m_error(std::move(error))
{
}

std::string CXmlException::GetMessage() const
{
    // The trailing blank is part of the text: callers append this to their own sentence.
    std::string text = m_message + " ";
    if (m_error)
        text += std::to_string(m_error->code) + " " + m_error->description;
    return text;
}

} // namespace corvantis
