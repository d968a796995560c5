// libFuzzer target for the connection list text: the bytes are the text the application receives and parses,
// and also the names a record carries (application, target, rule, proxy), which come from processes and users.
// The parser keeps the well-formed lines before the first other one; a record's line is one well-formed line
// whatever its names hold, so no name can split, forge or hide a row.

#include "core/foundation/LogContext.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace corvantis;
using fuzz::check;

namespace {

// The input cut at NUL bytes into up to `count` names.
std::vector<std::string> names(const std::string& text, size_t count)
{
    std::vector<std::string> out(count);
    size_t at = 0;
    for (size_t i = 0; i < count && at <= text.size(); ++i) {
        const size_t end = std::min(text.find('\0', at), text.size());
        out[i] = text.substr(at, end - at);
        at = end + 1;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::vector<CConnListItem> parsed = ParseConnList(text);
    check(parsed.size() <= static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);

    const std::vector<std::string> field = names(text, 8);
    CLogContext app;
    app.bsdName = field[0];
    app.revDns = field[1];
    app.packetName = field[2];
    app.packetShortName = field[3];
    const CHost target(field[4], static_cast<uint16_t>(size), false);
    CConnRecord record(app, target);
    record.SetRuleName(field[5]);
    record.SetProxyText(field[6]);
    record.SetAction(static_cast<uint32_t>(size % 4));
    if (size % 3 == 1)
        record.MarkConnected();
    record.AddBytesSent(size);
    const std::string line = record.GetText();
    check(!line.empty() && line.back() == '\n');
    check(std::count(line.begin(), line.end(), '\n') == 1);

    const std::vector<CConnListItem> rows = ParseConnList(line + line);
    check(rows.size() == 2);
    check(rows[0] == rows[1]);
    check(rows[0].id == record.GetId());
    check(rows[0].bytesSent == size);
    check(rows[0].opened == record.IsOpened());
    return 0;
}
