#include "platform/PlistXml.h"

#include "platform/Utf8.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace corvantis {

namespace {

constexpr int kMaxDepth = 256;

const xmlChar* xc(const char* s)
{
    return reinterpret_cast<const xmlChar*>(s);
}
const char* cc(const xmlChar* s)
{
    return reinterpret_cast<const char*>(s);
}

void initLibxml()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// --- UTF-8 -------------------------------------------------------------------------------------------------

// Length of the valid UTF-8 sequence at s[i] that encodes a character XML 1.0 allows, or 0.
size_t xmlCharAt(std::string_view s, size_t i)
{
    uint32_t cp = 0;
    const size_t len = decodeUtf8(s, i, cp);
    return len != 0 && isXmlChar(cp) ? len : 0;
}

// --- Base64 ------------------------------------------------------------------------------------------------

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const PlistData& in)
{
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint32_t { in[i] } << 16) | (uint32_t { in[i + 1] } << 8) | in[i + 2];
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint32_t { in[i] } << 16;
        if (i + 1 < in.size())
            v |= uint32_t { in[i + 1] } << 8;
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += (i + 1 < in.size()) ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(std::string_view text, PlistData& out)
{
    uint32_t acc = 0;
    int bits = 0;
    bool padding = false;
    for (char ch : text) {
        if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
            continue;
        if (ch == '=') {
            padding = true;
            continue;
        }
        const char* pos = std::strchr(kB64, ch);
        if (ch == '\0' || !pos || padding)
            return false;
        acc = (acc << 6) | static_cast<uint32_t>(pos - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return bits < 6;
}

// --- Reading -----------------------------------------------------------------------------------------------

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

Status parseError(const std::string& what)
{
    return Status::error(EINVAL, "property list: " + what);
}

bool isBlank(const xmlChar* s)
{
    for (; s && *s; ++s)
        if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r')
            return false;
    return true;
}

std::string elementName(const xmlNode* n)
{
    return cc(n->name);
}

// The character content of a leaf element; fails on child elements and entity references.
Result<std::string> leafText(const xmlNode* node)
{
    std::string text;
    for (const xmlNode* c = node->children; c; c = c->next) {
        switch (c->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (c->content)
                text += cc(c->content);
            break;
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            return parseError("unexpected content inside <" + elementName(node) + ">");
        }
    }
    return text;
}

// The element children of a container, refusing non-blank text and entity references between them.
Result<std::vector<const xmlNode*>> elementChildren(const xmlNode* node)
{
    std::vector<const xmlNode*> out;
    for (const xmlNode* c = node->children; c; c = c->next) {
        switch (c->type) {
        case XML_ELEMENT_NODE:
            out.push_back(c);
            break;
        case XML_TEXT_NODE:
            if (!isBlank(c->content))
                return parseError("stray text inside <" + elementName(node) + ">");
            break;
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            return parseError("unexpected content inside <" + elementName(node) + ">");
        }
    }
    return out;
}

std::string_view trimmed(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return std::string_view(s).substr(b, e - b + 1);
}

Result<PlistValue> parseValue(const xmlNode* node, int depth);

Result<PlistValue> parseLeaf(const xmlNode* node, const std::string& name)
{
    auto text = leafText(node);
    if (!text)
        return text.status();
    if (name == "string")
        return PlistValue(std::move(*text));
    if (name == "true" || name == "false") {
        if (!trimmed(*text).empty())
            return parseError("<" + name + "> must be empty");
        return PlistValue(name == "true");
    }
    std::string_view t = trimmed(*text);
    if (name == "integer") {
        std::string_view digits = (!t.empty() && t[0] == '+') ? t.substr(1) : t;
        int64_t v = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
            return parseError("bad <integer> \"" + std::string(t) + "\"");
        return PlistValue(v);
    }
    if (name == "real") {
        std::string copy(t);
        char* end = nullptr;
        errno = 0;
        double v = std::strtod(copy.c_str(), &end);
        if (copy.empty() || *end != '\0')
            return parseError("bad <real> \"" + copy + "\"");
        return PlistValue(v);
    }
    if (name == "data") {
        PlistData bytes;
        if (!base64Decode(*text, bytes))
            return parseError("bad <data>");
        return PlistValue(std::move(bytes));
    }
    return parseError("unsupported element <" + name + ">");
}

Result<PlistValue> parseValue(const xmlNode* node, int depth)
{
    const std::string name = elementName(node);
    if (name != "dict" && name != "array")
        return parseLeaf(node, name);
    if (depth >= kMaxDepth)
        return parseError("nested too deeply");
    auto children = elementChildren(node);
    if (!children)
        return children.status();
    if (name == "array") {
        PlistArray items;
        for (const xmlNode* c : *children) {
            auto v = parseValue(c, depth + 1);
            if (!v)
                return v.status();
            items.push_back(std::move(*v));
        }
        return PlistValue(std::move(items));
    }
    PlistDict dict;
    const auto& kids = *children;
    for (size_t i = 0; i < kids.size(); i += 2) {
        if (elementName(kids[i]) != "key")
            return parseError("<dict> entry without <key>");
        if (i + 1 >= kids.size())
            return parseError("<key> without a value");
        auto key = leafText(kids[i]);
        if (!key)
            return key.status();
        auto v = parseValue(kids[i + 1], depth + 1);
        if (!v)
            return v.status();
        dict[*key] = std::move(*v);
    }
    return PlistValue(std::move(dict));
}

// --- Writing -----------------------------------------------------------------------------------------------

struct WriterFree {
    void operator()(xmlTextWriter* w) const { xmlFreeTextWriter(w); }
};
struct BufferFree {
    void operator()(xmlBuffer* b) const { xmlBufferFree(b); }
};

bool writeValue(xmlTextWriter* w, const PlistValue& v)
{
    switch (v.type()) {
    case PlistValue::Type::Integer:
        return xmlTextWriterWriteElement(w, xc("integer"), xc(std::to_string(*v.integer()).c_str())) >= 0;
    case PlistValue::Type::Bool:
        return xmlTextWriterStartElement(w, xc(*v.boolean() ? "true" : "false")) >= 0
            && xmlTextWriterEndElement(w) >= 0;
    case PlistValue::Type::Real: {
        double d = *v.real();
        std::string text;
        if (std::isnan(d)) {
            text = "nan";
        } else if (std::isinf(d)) {
            text = d > 0 ? "inf" : "-inf";
        } else {
            char buf[64];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
            text.assign(buf, ec == std::errc() ? end : buf);
        }
        return xmlTextWriterWriteElement(w, xc("real"), xc(text.c_str())) >= 0;
    }
    case PlistValue::Type::String:
        return xmlTextWriterWriteElement(w, xc("string"), xc(v.string()->c_str())) >= 0;
    case PlistValue::Type::Data:
        return xmlTextWriterWriteElement(w, xc("data"), xc(base64Encode(*v.data()).c_str())) >= 0;
    case PlistValue::Type::Array:
        if (xmlTextWriterStartElement(w, xc("array")) < 0)
            return false;
        for (const auto& item : *v.array())
            if (!writeValue(w, item))
                return false;
        return xmlTextWriterFullEndElement(w) >= 0;
    case PlistValue::Type::Dict:
        if (xmlTextWriterStartElement(w, xc("dict")) < 0)
            return false;
        for (const auto& [key, item] : *v.dict()) {
            if (xmlTextWriterWriteElement(w, xc("key"), xc(key.c_str())) < 0 || !writeValue(w, item))
                return false;
        }
        return xmlTextWriterFullEndElement(w) >= 0;
    }
    return false;
}

} // namespace

bool PlistXml::isStorableText(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        size_t len = xmlCharAt(text, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

bool PlistXml::isStorable(const PlistValue& value)
{
    if (const std::string* s = value.string())
        return isStorableText(*s);
    if (const PlistArray* a = value.array()) {
        for (const auto& item : *a)
            if (!isStorable(item))
                return false;
    }
    if (const PlistDict* d = value.dict()) {
        for (const auto& [key, item] : *d)
            if (!isStorableText(key) || !isStorable(item))
                return false;
    }
    return true;
}

Result<PlistValue> PlistXml::parse(std::string_view xml)
{
    initLibxml();
    if (xml.size() > static_cast<size_t>(INT32_MAX))
        return parseError("file too large");
    // No XML_PARSE_NOENT, DTDLOAD or DTDVALID: entities stay unexpanded (and are refused below), no DTD is read.
    std::unique_ptr<xmlDoc, DocFree> doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc)
        return parseError("not well-formed XML");
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || elementName(root) != "plist")
        return parseError("the root element is not <plist>");
    auto children = elementChildren(root);
    if (!children)
        return children.status();
    if (children->size() != 1)
        return parseError("<plist> must hold exactly one value");
    return parseValue(children->front(), 0);
}

Result<std::string> PlistXml::serialize(const PlistValue& value)
{
    initLibxml();
    if (!isStorable(value))
        return Status::error(EILSEQ, "property list: text that is not UTF-8 or holds control characters");
    std::unique_ptr<xmlBuffer, BufferFree> buf(xmlBufferCreate());
    if (!buf)
        return Status::error(ENOMEM, "property list: out of memory");
    std::unique_ptr<xmlTextWriter, WriterFree> w(xmlNewTextWriterMemory(buf.get(), 0));
    if (!w)
        return Status::error(ENOMEM, "property list: out of memory");
    bool ok = xmlTextWriterSetIndent(w.get(), 1) >= 0 && xmlTextWriterSetIndentString(w.get(), xc("\t")) >= 0
        && xmlTextWriterStartDocument(w.get(), "1.0", "UTF-8", nullptr) >= 0
        && xmlTextWriterStartElement(w.get(), xc("plist")) >= 0
        && xmlTextWriterWriteAttribute(w.get(), xc("version"), xc("1.0")) >= 0 && writeValue(w.get(), value)
        && xmlTextWriterEndDocument(w.get()) >= 0;
    w.reset(); // flushes into the buffer
    if (!ok)
        return Status::error(EIO, "property list: the XML writer failed");
    return std::string(cc(xmlBufferContent(buf.get())), static_cast<size_t>(xmlBufferLength(buf.get())));
}

} // namespace corvantis
