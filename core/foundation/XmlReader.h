#pragma once

#include "core/foundation/XmlError.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct _xmlDoc;
struct _xmlNode;

namespace corvantis {

// A cursor over one loaded XML document. The reader owns the document; the current node is a position inside it
// (none before the root). Documents come from files, downloads and other processes and are treated as untrusted:
// the parser never reaches the network, loads no DTD and expands no entity.
//
// Names and values are UTF-8. Element names compare exactly (case-sensitive). Nodes that are not elements (text,
// CDATA, comments, processing instructions) have an empty name.
//
// Not thread-safe: one thread uses a reader at a time.
class CXmlReader {
public:
    // How long a download may wait for the server to connect or to send more data.
    static constexpr std::chrono::milliseconds kDefaultUrlTimeout { 3000 };
    // A download larger than this is refused.
    static constexpr std::size_t kMaxDownloadBytes = 16u * 1024u * 1024u;

    CXmlReader();
    virtual ~CXmlReader();
    CXmlReader(const CXmlReader&) = delete;
    CXmlReader& operator=(const CXmlReader&) = delete;

    // Always 0.
    int Initialize();

    // Loads the document at `path`. On success (empty result) it replaces the previous document and the reader
    // stands before the root; on failure the reader keeps its document and position. A text that is not
    // well-formed is parsed a second time in recovering mode; when that fails too, its error is returned.
    [[nodiscard]] std::optional<XmlError> OpenFile(const std::string& path);
    // Downloads `url` (http or https only, TLS verified) and loads it as OpenFile does. Fails without touching the
    // reader when the server cannot be reached, does not answer within the URL time-out, answers with a status other
    // than 200, or sends more than kMaxDownloadBytes. Such failures carry the own error domain and code 0.
    [[nodiscard]] std::optional<XmlError> OpenUrl(const std::string& url);
    // Parses `text` (UTF-8) as OpenFile does.
    [[nodiscard]] std::optional<XmlError> OpenString(const std::string& text);

    // When the current document is not well-formed and was read only by the recovering pass: the error the strict
    // pass met. Empty for a well-formed document (and before any). A repaired document may have lost any part of
    // the text after the error, so a reader that must not act on half a document refuses it.
    const std::optional<XmlError>& GetRepairedError() const { return m_repairedError; }

    // The time-out of OpenUrl; kDefaultUrlTimeout unless set.
    void SetUrlTimeout(std::chrono::milliseconds timeout) { m_urlTimeout = timeout; }

    // Looks for the first element named `name` among the current node's children, or at the root element when there
    // is no current node. Found: it becomes the current node (true). The current node has no children: false, and
    // the position is kept. Not found among the siblings: false, and the reader stands before the root again.
    bool FindElement(const std::string& name);
    // Moves to the current node's first child of any kind and sets `name` to its name. False (position kept) when
    // there is no current node or it has no children.
    bool FirstChild(std::string& name);
    // Moves to the next sibling and sets `name` to its name (true). Past the last sibling, moves to the parent and
    // returns false, so a loop over children ends on their parent.
    bool NextSibling(std::string& name);
    // NextSibling until a sibling named `name` (true) or the end of the siblings (false, on the parent).
    bool FindNextSibling(const std::string& name);
    // Moves to the current node's parent (before the root when there is none).
    void Up();
    // Whether the current node has any child.
    bool HasChildren() const;

    // The value of the current node's attribute `name`; empty when there is none.
    std::string GetAttribute(const std::string& name) const;
    // The attribute as a decimal number: leading blanks and a sign are accepted and trailing text ignored; missing
    // or non-numeric text reads as 0. Values beyond 32 bits keep their low 32 bits (the writer stores -1 as
    // 18446744073709551615, which reads back as -1).
    int GetAttributeInt(const std::string& name) const;
    // True exactly when the attribute is "true".
    bool GetAttributeBool(const std::string& name) const;
    // The attribute's leading decimal number, read as GetAttributeInt reads it (blanks and a sign before it, any
    // text after it: "1081tcp" is 1081), when it lies in [min, max]; empty when there are no digits, when the
    // number does not fit, and for a missing attribute. For readers that must refuse out-of-range values instead of
    // wrapping them.
    std::optional<int64_t> GetAttributeInt64(
        const std::string& name, int64_t min = INT64_MIN, int64_t max = INT64_MAX) const;

    // The text of the current node: for an element, the text of all its descendants in document order; empty when
    // there is no current node. References to entities declared in the document read as nothing.
    std::string GetText() const;
    // The text as a number, read as GetAttributeInt does. Throws CXmlException "Incorrect number format." when it
    // reads 0 from a text other than "0".
    int GetTextInt() const;
    // The text as GetAttributeInt64 reads an attribute; like GetTextInt, a zero read from a text other than "0"
    // (blanks around it aside) is refused.
    std::optional<int64_t> GetTextInt64(int64_t min = INT64_MIN, int64_t max = INT64_MAX) const;

private:
    struct DocDeleter {
        void operator()(_xmlDoc* doc) const;
    };
    using DocPtr = std::unique_ptr<_xmlDoc, DocDeleter>;

    // Parses `data` with the strict options, then in recovering mode; installs the document on success.
    std::optional<XmlError> Parse(const std::string& data, const char* baseUrl, const char* encoding);

    DocPtr m_doc;
    _xmlNode* m_current = nullptr; // inside m_doc, or null (before the root)
    std::optional<XmlError> m_repairedError; // belongs to m_doc
    std::chrono::milliseconds m_urlTimeout = kDefaultUrlTimeout;
};

} // namespace corvantis
