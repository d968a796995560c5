#include "core/foundation/XmlWriter.h"

#include "platform/Utf8.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace corvantis {

namespace {

std::atomic<void (*)()> g_writeFailureSignal { nullptr };

const xmlChar* asXml(const std::string& text)
{
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

// The text with every byte that is not UTF-8, and every character XML 1.0 cannot carry, replaced by U+FFFD. Without
// this the document would be written but could never be read back.
std::string xmlSafe(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        const size_t length = decodeUtf8(text, i, c);
        if (length == 0 || !isXmlChar(c)) {
            out += "\xEF\xBF\xBD";
            i += length ? length : 1;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string unsignedDecimal(int64_t value)
{
    return std::to_string(static_cast<uint64_t>(value));
}

Status writeFailure(int err, const std::string& path)
{
    return Status::error(err, "Cannot write the file " + path + ": " + std::strerror(err));
}

Status writeAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, data.data() + done, data.size() - done); });
        if (n < 0)
            return Status::error(errno, "");
        done += static_cast<size_t>(n);
    }
    return Status();
}

// Replaces the file at `path` with `data` so that a reader sees either the old file or the whole new one, and the
// new one is on the disk before it takes the old one's place. Nothing is left behind on failure.
Status replaceFile(const std::string& path, const std::string& data)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string tempPath = folder + "/.corvantis-save-XXXXXX";
    UniqueFd fd(mkostemp(tempPath.data(), O_CLOEXEC));
    if (!fd)
        return writeFailure(errno, path);

    struct stat existing { };
    // A replaced file keeps its permissions; a new one is private to its owner (mkostemp's 0600).
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        (void)::fchmod(fd.get(), existing.st_mode & 07777);

    Status status = writeAll(fd.get(), data);
    if (status.ok() && ::fsync(fd.get()) != 0)
        status = Status::error(errno, "");
    if (status.ok() && ::close(fd.release()) != 0)
        status = Status::error(errno, "");
    if (status.ok() && ::rename(tempPath.c_str(), path.c_str()) != 0)
        status = Status::error(errno, "");
    if (!status.ok()) {
        const int err = status.errnum();
        fd.reset();
        ::unlink(tempPath.c_str());
        return writeFailure(err, path);
    }
    // Makes the rename itself durable; the new file is complete either way.
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        (void)::fsync(dir.get());
    return Status();
}

} // namespace

void CXmlWriter::NodeDeleter::operator()(_xmlNode* node) const
{
    xmlFreeNode(node);
}

CXmlWriter::CXmlWriter()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

CXmlWriter::~CXmlWriter() = default;

int CXmlWriter::Initialize()
{
    return 0;
}

int CXmlWriter::OpenFile(const std::string& path)
{
    m_path = path;
    return 0;
}

void CXmlWriter::StartElement(const std::string& name)
{
    NodePtr element(xmlNewNode(nullptr, asXml(name)));
    if (!element)
        throw std::bad_alloc();
    xmlNodePtr node = element.get();
    if (m_current) {
        if (!xmlAddChild(m_current, node))
            throw std::bad_alloc();
        element.release();
    } else if (!m_root) {
        m_root = std::move(element);
    } else {
        m_detached.push_back(std::move(element));
    }
    m_current = node;
}

void CXmlWriter::EndElement()
{
    if (m_current)
        m_current = m_current->parent;
}

void CXmlWriter::AddAttribute(const std::string& name, const std::string& value)
{
    if (!m_current || xmlHasProp(m_current, asXml(name)))
        return;
    if (!xmlNewProp(m_current, asXml(name), asXml(xmlSafe(value))))
        throw std::bad_alloc();
}

void CXmlWriter::AddAttributeInt(const std::string& name, int64_t value)
{
    AddAttribute(name, unsignedDecimal(value));
}

void CXmlWriter::AddAttributeBool(const std::string& name, bool value)
{
    AddAttribute(name, value ? "true" : "false");
}

void CXmlWriter::AddText(const std::string& text)
{
    if (!m_current)
        return;
    const std::string safe = xmlSafe(text);
    xmlNodePtr node = xmlNewTextLen(asXml(safe), static_cast<int>(safe.size()));
    if (!node)
        throw std::bad_alloc();
    // Adjacent texts may merge into one node; the document reads the same.
    if (!xmlAddChild(m_current, node)) {
        xmlFreeNode(node);
        throw std::bad_alloc();
    }
}

void CXmlWriter::AddTextInt(int64_t value)
{
    AddText(unsignedDecimal(value));
}

Status CXmlWriter::Close()
{
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(xmlNewDoc(asXml("1.0")), xmlFreeDoc);
    if (!doc)
        throw std::bad_alloc();
    doc->standalone = 1;
    doc->encoding = xmlStrdup(asXml("UTF-8"));
    // The document borrows the root only while it is rendered; the writer keeps owning it.
    if (m_root)
        xmlDocSetRootElement(doc.get(), m_root.get());
    xmlChar* rendered = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc.get(), &rendered, &size, "UTF-8", 1);
    if (m_root) {
        xmlUnlinkNode(m_root.get());
        xmlSetTreeDoc(m_root.get(), nullptr);
    }
    if (!rendered)
        throw std::bad_alloc();
    m_text.assign(reinterpret_cast<const char*>(rendered), static_cast<size_t>(size));
    xmlFree(rendered);

    if (m_path.empty())
        return Status();
    Status status = replaceFile(m_path, m_text);
    if (!status.ok()) {
        if (void (*signal)() = g_writeFailureSignal.load())
            signal();
        syslog(LOG_ERR, "Could not write document out. %s", status.message().c_str());
    }
    return status;
}

void CXmlWriter::SetWriteFailureSignal(void (*signal)())
{
    g_writeFailureSignal.store(signal);
}

} // namespace corvantis
