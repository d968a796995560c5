#pragma once

#include "platform/Result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct _xmlNode;

namespace corvantis {

// Builds an XML document element by element and writes it in one step: XML 1.0, UTF-8, standalone, indented by two
// blanks, empty elements in their short form. The file is replaced atomically (a temporary file in the same folder,
// flushed to disk, then renamed), so a failed write leaves the previous file as it was and no partial file behind.
//
// Texts must be UTF-8; bytes that are not, and characters that XML 1.0 cannot carry (control characters other than
// tab, line feed and carriage return), are written as U+FFFD so that the document always reads back.
//
// Not thread-safe: one thread uses a writer at a time.
class CXmlWriter {
public:
    CXmlWriter();
    virtual ~CXmlWriter();
    CXmlWriter(const CXmlWriter&) = delete;
    CXmlWriter& operator=(const CXmlWriter&) = delete;

    // Always 0.
    int Initialize();
    // Sets the file that Close writes; nothing is opened or created yet. Always 0.
    int OpenFile(const std::string& path);

    // Brackets for the content; they do nothing.
    void StartDocument() { }
    void EndDocument() { }

    // Creates an element, appends it to the current element (if any) and makes it current. The first element
    // becomes the root. An element started when there is no current element but already a root belongs to nothing
    // and is not written.
    void StartElement(const std::string& name);
    // Makes the current element's parent current.
    void EndElement();
    // Adds an attribute to the current element (nothing without one). A second attribute of the same name is
    // ignored.
    void AddAttribute(const std::string& name, const std::string& value);
    // The value in decimal as an unsigned 64-bit number: -1 is written as 18446744073709551615.
    void AddAttributeInt(const std::string& name, int64_t value);
    // "true" or "false".
    void AddAttributeBool(const std::string& name, bool value);
    // Appends a text node to the current element (nothing without one).
    void AddText(const std::string& text);
    // The value in decimal as an unsigned 64-bit number.
    void AddTextInt(int64_t value);

    // Makes the document from the root element (an empty document without one) and, when a file was set, writes it.
    // Returns the failure (errno and a text naming the file) when the file cannot be written; the previous file is
    // then untouched. Without a file, nothing is written and the result is success.
    [[nodiscard]] Status Close();

    // The text of the document made by Close (empty before Close): exactly the bytes Close writes to a file.
    const std::string& GetXmlText() const { return m_text; }

    // Called (from the writing thread) whenever Close fails to write its file, for the program to draw the user's
    // attention (the application beeps). Null for none. Set once at start.
    static void SetWriteFailureSignal(void (*signal)());

private:
    struct NodeDeleter {
        void operator()(_xmlNode* node) const;
    };
    using NodePtr = std::unique_ptr<_xmlNode, NodeDeleter>;

    std::string m_path; // empty: no output file
    _xmlNode* m_current = nullptr; // inside m_root's tree or a detached tree, or null
    NodePtr m_root;
    std::vector<NodePtr> m_detached; // elements started after the root was closed, with their subtrees
    std::string m_text; // the document made by the last Close
};

} // namespace corvantis
