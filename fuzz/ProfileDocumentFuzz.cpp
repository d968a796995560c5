// libFuzzer target for the profile document: the bytes are a profile file, a profile downloaded by the auto
// update, or the profile text the application sends the extension. A document the reader accepts must be
// consistent, end with the "Default" rule, and survive writing: written, read and written again it gives the same
// text (its passwords taken as stored, so the write needs no key).

#include "core/foundation/XmlReader.h"
#include "core/foundation/XmlWriter.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace corvantis;
using fuzz::check;

namespace {

std::string writeText(const CProfileData& profile)
{
    std::string text;
    std::string error;
    check(ProfileToXmlString(profile, text, &error));
    return text;
}

void checkLoaded(CProfileData& profile)
{
    std::string problem;
    check(CheckProfileConsistency(profile, problem));
    check(!profile.m_Rules.empty() && profile.m_Rules.back().m_Name == "Default");
    check(profile.m_ProcessServices && profile.m_ProcessOtherUsers);

    // Passwords stay as stored: written without encryption they are carried as they are.
    profile.m_EncryptionMode = kEncryptionDisabled;
    profile.m_MasterPassword.clear();
    profile.m_Hash.clear();
    std::string first;
    std::string error;
    if (!ProfileToXmlString(profile, first, &error))
        return; // a stored text the document cannot carry (not UTF-8, a control character)
    CXmlReader reader;
    check(!reader.OpenString(first));
    CProfileData again;
    const ProfileLoadStatus status = ReadProfileXml(again, reader);
    check(status.code == ProfileLoadStatus::kSuccess);
    check(again.m_Proxies.size() == profile.m_Proxies.size());
    check(again.m_Chains.size() == profile.m_Chains.size());
    check(again.m_Rules.size() == profile.m_Rules.size());
    check(writeText(again) == first);
}

void read(CXmlReader& reader)
{
    CProfileData profile;
    const ProfileLoadStatus status = ReadProfileXml(profile, reader);
    check(status.code == ProfileLoadStatus::kSuccess || status.code == ProfileLoadStatus::kError);
    if (status.code == ProfileLoadStatus::kError) {
        check(!status.message.empty());
        return;
    }
    checkLoaded(profile);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The text the application sends: UTF-8 whatever it declares.
    CXmlReader fromText;
    if (!fromText.OpenString(text))
        read(fromText);

    // A file: its own declaration chooses the encoding.
    static fuzz::ScratchFile file("corvantis-fuzz-profile");
    const std::string& path = file.write(text);
    CXmlReader fromFile;
    if (!fromFile.OpenFile(path))
        read(fromFile);
    return 0;
}
