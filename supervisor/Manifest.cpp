#include "supervisor/Manifest.h"

#include "ipc/XPCClientForExtension.h"
#include "platform/PlistXml.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace corvantis {

Result<ExtensionTree> ExtensionTree::fromSupervisor(const std::filesystem::path& supervisorPath)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(supervisorPath, ec).lexically_normal();
    if (ec)
        return Status::error(ec.value(), supervisorPath.string() + ": " + ec.message());
    const std::filesystem::path folder = absolute.parent_path();
    if (folder.filename() != "corvantis" || folder.parent_path().filename() != "libexec")
        return Status::error(EINVAL, absolute.string() + " is not in the libexec/corvantis folder of a tree");
    return ExtensionTree(folder.parent_path().parent_path());
}

Result<ExtensionTree> ExtensionTree::ofThisProcess()
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return Status::error(ec.value(), "/proc/self/exe: " + ec.message());
    return fromSupervisor(self);
}

ExtensionTree::ExtensionTree(std::filesystem::path root)
    : m_root(std::move(root))
{
}

std::filesystem::path ExtensionTree::supervisor() const
{
    return m_root / "libexec" / "corvantis" / "corvantis-supervisor";
}

std::filesystem::path ExtensionTree::extensionBinary() const
{
    return m_root / "libexec" / "corvantis" / "CorvantisExtension";
}

std::filesystem::path ExtensionTree::manifest() const
{
    return m_root / "share" / "corvantis" / "SystemExtensions" / "CorvantisExtension" / "Info.plist";
}

Result<std::string> Manifest::readShortVersion(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(path, ec);
        return Status::error(
            exists ? EACCES : ENOENT, path.string() + (exists ? ": cannot be opened" : ": No such file or directory"));
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return Status::error(EIO, path.string() + ": read error");
    auto plist = PlistXml::parse(text);
    if (!plist.ok())
        return Status::error(plist.status().errnum(), path.string() + ": " + plist.status().message());
    if (!plist->dict())
        return Status::error(EINVAL, path.string() + ": not a dictionary");
    auto version = plist->dict()->find("CFBundleShortVersionString");
    if (version == plist->dict()->end() || !version->second.string())
        return Status::error(EINVAL, path.string() + ": \"CFBundleShortVersionString\" is missing");
    return *version->second.string();
}

Result<std::string> Manifest::readServiceName(const std::filesystem::path& path)
{
    return XPCClientForExtension::readMachServiceName(path);
}

} // namespace corvantis
