// libFuzzer target for the log transfer text the extension sends the application: the bytes are that text. The
// reader queues one record per well-formed line and stops at the first other line; the text written from what
// it queued reads back as the same records, so no screen line can forge or hide one.

#include "core/foundation/Log.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace corvantis;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    CLog received;
    received.SetScreenLevel(kLogDebug);
    const size_t read = received.PutLogText(text.c_str());
    check(read <= static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);

    std::string passedOn;
    check(received.TakeLogText(passedOn));
    const size_t lines = static_cast<size_t>(std::count(passedOn.begin(), passedOn.end(), '\n'));
    check(lines <= read && lines <= CLog::kMaxQueuedRecords);

    CLog again;
    check(again.PutLogText(passedOn.c_str()) == lines);
    std::string second;
    check(again.TakeLogText(second));
    check(second == passedOn);
    return 0;
}
