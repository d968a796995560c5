// libFuzzer target for the settings file: the bytes are a program's defaults file (an XML property list), which
// the user or another program may have edited. The property-list parser takes or refuses it; what it takes and
// can store is written and parsed back to the same value; and the settings and the cached profile passwords are
// read from it as a start-up reads them, whatever types its entries have.

#include "core/foundation/AppSettings.h"
#include "core/foundation/Prefs.h"
#include "fuzz/FuzzCheck.h"
#include "platform/DefaultsStore.h"
#include "platform/PlistXml.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace corvantis;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    Result<PlistValue> parsed = PlistXml::parse(text);
    if (parsed.ok() && PlistXml::isStorable(parsed.value())) {
        const Result<std::string> written = PlistXml::serialize(parsed.value());
        check(written.ok());
        const Result<PlistValue> again = PlistXml::parse(written.value());
        check(again.ok() && again.value() == parsed.value());
    }

    static fuzz::ScratchFile file("corvantis-fuzz-settings");
    const std::string& path = file.write(text);
    // Opening again forgets what the store read before, so every input is read afresh.
    DefaultsStore::standard().open(path);
    CAppSettings settings;
    LoadSettings(settings);
    check(settings.KeepRunningOnClose >= 0 && settings.KeepRunningOnClose <= 2);
    ReadCachedProfilePassword("Default");
    ReadCachedProfilePassword(settings.ActiveProfile);
    DefaultsStore::standard().open({});
    return 0;
}
