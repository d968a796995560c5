#include "core/foundation/XmlReader.h"

#include "core/foundation/HttpDownload.h"
#include "core/foundation/XmlException.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace corvantis {

namespace {

// The first attempt keeps CDATA sections and white space as they are (libxml2 does both by default). Neither
// attempt may reach the network, load a DTD or substitute entities: documents come from untrusted places.
constexpr int kStrictOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
// The second attempt repairs what it can of a document that is not well-formed.
constexpr int kRecoverOptions = kStrictOptions | XML_PARSE_RECOVER;

void initLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void ignoreParserMessage(void*, xmlErrorPtr)
{
}

XmlError ownError()
{
    // The reason is deliberately generic: callers show the code and this text, as they do for every own failure.
    return XmlError { kXmlOwnErrorDomain, 0,
        std::string("The operation couldn't be completed. (") + kXmlOwnErrorDomain + " error 0.)" };
}

XmlError posixError(int err)
{
    return XmlError { kXmlPosixErrorDomain, err, std::strerror(err) };
}

XmlError parserError(const xmlError& error)
{
    if (error.code == 0)
        return XmlError { kXmlParserErrorDomain, XML_ERR_DOCUMENT_EMPTY, "The document holds no XML element." };
    std::string text = error.message ? error.message : "XML parser error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (error.line > 0)
        text += " (line " + std::to_string(error.line) + ")";
    return XmlError { kXmlParserErrorDomain, error.code, text };
}

std::string_view asView(const xmlChar* text)
{
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// A DTD is not part of the tree a reader walks.
xmlNodePtr skipHidden(xmlNodePtr node)
{
    while (node && node->type == XML_DTD_NODE)
        node = node->next;
    return node;
}

// An entity reference's children belong to the entity's declaration, not to the reference; walking into them would
// expand the entity, so a reference counts as having none.
xmlNodePtr firstChildOf(xmlNodePtr node)
{
    if (!node || node->type == XML_ENTITY_REF_NODE)
        return nullptr;
    return skipHidden(node->children);
}

std::string qualifiedName(const xmlChar* name, const xmlNs* ns)
{
    std::string text;
    if (ns && ns->prefix) {
        text = asView(ns->prefix);
        text += ':';
    }
    text += asView(name);
    return text;
}

std::string nodeName(xmlNodePtr node)
{
    if (!node || node->type != XML_ELEMENT_NODE)
        return {};
    return qualifiedName(node->name, node->ns);
}

bool hasName(xmlNodePtr node, const std::string& name)
{
    return node && node->type == XML_ELEMENT_NODE && nodeName(node) == name;
}

// The text below `node`: text and CDATA in document order, without expanding entity references.
void appendText(xmlNodePtr node, std::string& out)
{
    for (xmlNodePtr child = node; child; child = child->next) {
        switch (child->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            out += asView(child->content);
            break;
        case XML_ELEMENT_NODE:
            appendText(child->children, out);
            break;
        default:
            break;
        }
    }
}

std::string stringValue(xmlNodePtr node)
{
    if (!node)
        return {};
    switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return std::string(asView(node->content));
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_NODE: {
        std::string text;
        appendText(node->children, text);
        return text;
    }
    default:
        return {};
    }
}

// Decimal text as a 64-bit number, saturated at the limits; trailing text is ignored and no digits read as 0.
long long saturatedNumber(const std::string& text)
{
    return std::strtoll(text.c_str(), nullptr, 10);
}

// Stored files rely on the wrap to 32 bits: -1 is written as 2^64 - 1, saturates to LLONG_MAX and reads back as -1.
int low32(long long value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trimmed(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// The leading decimal number of `text`, as atoi reads it (blanks and a sign before it, any text after it), when
// it lies in [min, max]. Empty when there are no digits or the number does not fit: a number must never wrap into
// some other value.
std::optional<int64_t> leadingNumber(const std::string& text, int64_t min, int64_t max)
{
    size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin]))
        ++begin;
    size_t end = begin;
    if (end < text.size() && (text[end] == '-' || text[end] == '+'))
        ++end;
    const size_t firstDigit = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    if (end == firstDigit)
        return std::nullopt;
    errno = 0;
    const long long value = std::strtoll(text.substr(begin, end - begin).c_str(), nullptr, 10);
    if (errno == ERANGE || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::string> attributeValue(xmlNodePtr node, const std::string& name)
{
    if (!node || node->type != XML_ELEMENT_NODE)
        return std::nullopt;
    for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
        if (qualifiedName(attr->name, attr->ns) != name)
            continue;
        std::string value;
        appendText(attr->children, value);
        return value;
    }
    return std::nullopt;
}

// Reads a whole file; the file's errno on failure.
std::optional<std::string> readFile(const std::string& path, int& err)
{
    UniqueFd fd(retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        err = errno;
        return std::nullopt;
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) {
            err = errno;
            return std::nullopt;
        }
        if (n == 0)
            return data;
        if (data.size() + static_cast<size_t>(n) > static_cast<size_t>(INT_MAX)) {
            err = EFBIG; // more than the parser takes in one piece
            return std::nullopt;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

void CXmlReader::DocDeleter::operator()(_xmlDoc* doc) const
{
    xmlFreeDoc(doc);
}

CXmlReader::CXmlReader()
{
    initLibraries();
}

CXmlReader::~CXmlReader()
{
    m_current = nullptr;
    m_doc.reset();
}

int CXmlReader::Initialize()
{
    return 0;
}

std::optional<XmlError> CXmlReader::Parse(const std::string& data, const char* baseUrl, const char* encoding)
{
    if (data.size() > static_cast<size_t>(INT_MAX))
        return posixError(EFBIG);
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> ctxt(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!ctxt)
        return posixError(ENOMEM);
    // Parser messages go into the returned error object, never to standard error.
    ctxt->sax->serror = ignoreParserMessage;

    std::optional<XmlError> strictError;
    XmlError lastError;
    for (int options : { kStrictOptions, kRecoverOptions }) {
        DocPtr doc(
            xmlCtxtReadMemory(ctxt.get(), data.data(), static_cast<int>(data.size()), baseUrl, encoding, options));
        // A recovered document without any element is no document.
        if (doc && xmlDocGetRootElement(doc.get())) {
            m_current = nullptr;
            m_doc = std::move(doc);
            m_repairedError = std::move(strictError);
            return std::nullopt;
        }
        lastError = parserError(ctxt->lastError);
        if (!strictError)
            strictError = lastError;
    }
    return lastError;
}

std::optional<XmlError> CXmlReader::OpenFile(const std::string& path)
{
    if (path.empty()) {
        syslog(LOG_ERR, "Can't create an URL from file %s.", path.c_str());
        return ownError();
    }
    int err = 0;
    std::optional<std::string> data = readFile(path, err);
    if (!data)
        return posixError(err);
    return Parse(*data, path.c_str(), nullptr);
}

std::optional<XmlError> CXmlReader::OpenUrl(const std::string& url)
{
    std::optional<std::string> data = DownloadUrl(url, m_urlTimeout, kMaxDownloadBytes);
    if (!data)
        return ownError();
    return Parse(*data, url.c_str(), nullptr);
}

std::optional<XmlError> CXmlReader::OpenString(const std::string& text)
{
    // The text is already UTF-8, whatever its declaration says.
    return Parse(text, nullptr, "UTF-8");
}

bool CXmlReader::FindElement(const std::string& name)
{
    xmlNodePtr node = nullptr;
    if (m_current) {
        node = firstChildOf(m_current);
        if (!node)
            return false;
    } else if (m_doc) {
        node = xmlDocGetRootElement(m_doc.get());
    }
    for (; node; node = skipHidden(node->next)) {
        if (hasName(node, name)) {
            m_current = node;
            return true;
        }
    }
    m_current = nullptr;
    return false;
}

bool CXmlReader::FirstChild(std::string& name)
{
    xmlNodePtr child = firstChildOf(m_current);
    if (!child)
        return false;
    m_current = child;
    name = nodeName(child);
    return true;
}

bool CXmlReader::NextSibling(std::string& name)
{
    if (!m_current)
        return false;
    if (xmlNodePtr next = skipHidden(m_current->next)) {
        m_current = next;
        name = nodeName(next);
        return true;
    }
    m_current = m_current->parent;
    return false;
}

bool CXmlReader::FindNextSibling(const std::string& name)
{
    std::string found;
    while (NextSibling(found)) {
        if (found == name && m_current->type == XML_ELEMENT_NODE)
            return true;
    }
    return false;
}

void CXmlReader::Up()
{
    if (m_current)
        m_current = m_current->parent;
}

bool CXmlReader::HasChildren() const
{
    return firstChildOf(m_current) != nullptr;
}

std::string CXmlReader::GetAttribute(const std::string& name) const
{
    return attributeValue(m_current, name).value_or(std::string());
}

int CXmlReader::GetAttributeInt(const std::string& name) const
{
    return low32(saturatedNumber(GetAttribute(name)));
}

bool CXmlReader::GetAttributeBool(const std::string& name) const
{
    return GetAttribute(name) == "true";
}

std::optional<int64_t> CXmlReader::GetAttributeInt64(const std::string& name, int64_t min, int64_t max) const
{
    std::optional<std::string> value = attributeValue(m_current, name);
    if (!value)
        return std::nullopt;
    return leadingNumber(*value, min, max);
}

std::string CXmlReader::GetText() const
{
    return stringValue(m_current);
}

int CXmlReader::GetTextInt() const
{
    const std::string text = GetText();
    const int value = low32(saturatedNumber(text));
    if (value == 0 && text != "0")
        throw CXmlException("Incorrect number format.");
    return value;
}

std::optional<int64_t> CXmlReader::GetTextInt64(int64_t min, int64_t max) const
{
    if (!m_current)
        return std::nullopt;
    const std::string text = GetText();
    std::optional<int64_t> value = leadingNumber(text, min, max);
    // As GetTextInt: a zero must be written as one ("00", "0x10" and "-0" do not read as 0).
    if (value == 0 && trimmed(text) != "0")
        return std::nullopt;
    return value;
}

} // namespace corvantis
