#include "app/UpdateCheck.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/HttpDownload.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "platform/DefaultsStore.h"
#include "platform/ThreadName.h"
#include "platform/Utf8.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMetaObject>
#include <QUrl>

#include <array>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include <curl/curl.h>

#ifndef CORVANTIS_UPDATE_SERVER
#define CORVANTIS_UPDATE_SERVER ""
#endif

namespace corvantis {

namespace {

constexpr const char* kUpdatePath = "/distr/last_versions/CorvantisMac3/";
constexpr const char* kLogPrefix = "(Corvantis Update Checker) - ";
constexpr const char* kIncorrectFormat = "Incorrect version format.";
constexpr int kUpdateQuestionFlags = 12;

// The leading integer of `text` as a number reader of text fields reads it: blanks skipped, an optional sign,
// then digits; 0 when there are none; saturated at the int range instead of overflowing.
int64_t leadingInteger(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return negative ? INT_MIN : INT_MAX;
    }
    return negative ? -value : value;
}

// The next space-separated field of `rest`, taken out of it (the whole rest when there is no further space).
std::string_view takeField(std::string_view& rest)
{
    const size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

struct Answer {
    std::string body;
    bool tooLarge = false;
};

size_t collectAnswer(char* ptr, size_t size, size_t count, void* context)
{
    auto* answer = static_cast<Answer*>(context);
    const size_t bytes = size * count;
    if (bytes > kUpdateAnswerMaxBytes - answer->body.size()) {
        answer->tooLarge = true;
        return 0; // ends the transfer
    }
    answer->body.append(ptr, bytes);
    return bytes;
}

void openInBrowser(const std::string& address)
{
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
        return;
    // The browser is started from the GUI thread; the checking thread does not wait for it.
    QMetaObject::invokeMethod(
        application, [url] { QDesktopServices::openUrl(url); }, Qt::QueuedConnection);
}

// Switches the check off for good, as the user asked in the question's check box.
void disableUpdateCheck()
{
    if (!theApp) {
        DefaultsStore::standard().setObject("UpdateCheck", PlistValue(0));
        return;
    }
    CAppSettings settings = theApp->GetSettings();
    settings.UpdateCheck = false;
    theApp->SetSettings(settings);
    SaveSettings(settings);
    CorvantisAppServices::writeGlobalSettings(0);
}

} // namespace

uint32_t Crc32(std::string_view bytes)
{
    static const auto table = [] {
        std::array<uint32_t, 256> entries {};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    if (bytes.empty())
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes)
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string GetPlatformUUID(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line))
        return {};
    // The identifier stops at the first zero byte, as a C string would.
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string UpdateCheckQuery(uint32_t random, uint32_t v, uint8_t w, uint8_t mode, uint32_t machineCrc)
{
    const uint32_t lastByte = random & 0xFF;
    char text[64];
    std::snprintf(text, sizeof text, "?nocache=%08" PRIX32 "%08" PRIX32 "%01X%01X%06" PRIX32, random, random ^ v,
        static_cast<unsigned>((w ^ lastByte) & 15), static_cast<unsigned>((mode ^ (lastByte >> 4)) & 15),
        (random ^ machineCrc) & 0xFFFFFFu);
    return text;
}

uint32_t UpdateCheckRandom()
{
    const auto clock = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto seed = static_cast<unsigned>(clock + std::hash<std::thread::id>()(std::this_thread::get_id()));
    uint32_t random = 0;
    for (int i = 0; i < 5; ++i)
        random = random * 256 + static_cast<uint32_t>(rand_r(&seed) % 255);
    return random;
}

std::string UpdateCheckServer()
{
    if (std::optional<PlistValue> value = DefaultsStore::standard().object("UpdateCheckHost"))
        if (const std::string* text = value->string())
            return *text;
    return CORVANTIS_UPDATE_SERVER;
}

bool IsWebAddress(const std::string& address)
{
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

std::optional<std::string> ReadUpdateAnswer(std::string_view body, UpdateRequest& request)
{
    if (body.size() > kUpdateAnswerMaxBytes || !isValidUtf8(body))
        return std::string(kIncorrectFormat);
    std::string_view rest = body;
    if (leadingInteger(takeField(rest)) != kUpdateCheckGeneration)
        return std::string("Unsupported version format.");
    if (leadingInteger(takeField(rest)) != 0)
        return std::string(kIncorrectFormat);
    const int64_t build = leadingInteger(takeField(rest));
    if (build == 0)
        return std::string(kIncorrectFormat);
    if (build > kUpdateCheckBuild)
        request.downloadAddress = std::string(trimmed(rest));
    else
        request.upToDate = true;
    return std::nullopt;
}

bool UpdateRequest::fetch(std::chrono::milliseconds timeout)
{
    const auto fail = [this](const std::string& text) {
        error += error.empty() ? text : " " + text;
        return false;
    };
    const std::string noRequest = "Request from " + address + " failed";
    if (address.rfind("http://", 0) != 0 && address.rfind("https://", 0) != 0)
        return fail(noRequest);

    std::optional<CurlGet> get = OpenCurlGet(address);
    if (!get)
        return fail(noRequest);

    Answer answer;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = get->handle.get();
    const long timeoutMs = static_cast<long>(timeout.count() > 0 ? timeout.count() : 1);
    const bool ready = curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collectAnswer) == CURLE_OK
        && curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer) == CURLE_OK;
    if (!ready)
        return fail(noRequest);

    const CURLcode result = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // A body cut off for its size still came with a status: the size is a format fault only of a 200.
    if (result != CURLE_OK && !(answer.tooLarge && status != 0)) {
        std::string description = errorText[0] ? errorText : curl_easy_strerror(result);
        if (description.empty())
            description = "Unknown";
        return fail("Request from " + address + " failed with error: " + description);
    }
    if (status != 200)
        return fail("Request from " + address + " failed with code " + std::to_string(status)
            + (status == 404 ? " (Not found)" : ""));
    if (answer.tooLarge)
        return fail(kIncorrectFormat);
    if (std::optional<std::string> problem = ReadUpdateAnswer(answer.body, *this))
        return fail(*problem);
    return true;
}

UpdateCheckThread::UpdateCheckThread(Options options)
    : m_options(std::move(options))
{
    if (!m_options.openUrl)
        m_options.openUrl = &openInBrowser;
}

void UpdateCheckThread::StartCheckThread(int mode, Options options)
{
    if (!options.server)
        options.server = UpdateCheckServer();
    auto check = std::make_shared<UpdateCheckThread>(std::move(options));
    try {
        std::thread([check, mode] {
            setCurrentThreadName("UpdateCheck");
            try {
                check->ThreadCheck(mode);
            } catch (const std::exception& error) {
                CLogMessage(kLogError) << kLogPrefix << "The check failed: " << error.what();
            }
        }).detach();
    } catch (const std::system_error& error) {
        CLogMessage(kLogError) << kLogPrefix << "Could not start the check: " << error.what();
    }
}

std::string UpdateCheckThread::requestAddress(int mode) const
{
    const std::string server = m_options.server ? *m_options.server : UpdateCheckServer();
    const uint32_t machineCrc = Crc32(GetPlatformUUID(m_options.machineIdPath));
    // The two values reserved for the server's statistics carry nothing here.
    return server + kUpdatePath + std::to_string(kUpdateCheckBuild) + "/"
        + UpdateCheckQuery(UpdateCheckRandom(), 0, 0, static_cast<uint8_t>(mode), machineCrc);
}

void UpdateCheckThread::ThreadCheck(int mode)
{
    UpdateRequest request;
    request.mode = static_cast<uint8_t>(mode);
    request.address = requestAddress(mode);
    bool found = request.fetch(m_options.timeout);
    if (mode == kUpdateCheckSilentMode)
        return;
    if (!found && !request.fetch(m_options.timeout)) {
        CLogMessage(kLogVerbose) << kLogPrefix << "Could not check for updates. " << request.error;
        return;
    }
    if (request.upToDate) {
        CLogMessage(kLogVerbose) << kLogPrefix << "You are using the latest version.";
        return;
    }
    if (request.downloadAddress.empty())
        return;
    CLogMessage(kLogInfo) << kLogPrefix << "Update is available at " << request.downloadAddress;

    bool suppress = false;
    const long answer = MessageBox(
        "There is an update for this version of Corvantis.\n\nDo you want to open the download page right now?",
        "Corvantis Update", kUpdateQuestionFlags, "Disable product updates check", &suppress);
    if (answer == kMbAnswerYes) {
        // The address comes from the network: only a web page may reach the browser.
        if (IsWebAddress(request.downloadAddress))
            m_options.openUrl(request.downloadAddress);
        else
            CLogMessage(kLogError) << kLogPrefix
                                   << "The download address is not a web address: " << request.downloadAddress;
    }
    if (suppress)
        disableUpdateCheck();
}

void RegisterUpdateCheckHook(UpdateCheckThread::Options options)
{
    CoreHooks hooks = *CurrentCoreHooks();
    hooks.startUpdateCheckThread
        = [options = std::move(options)](int mode) { UpdateCheckThread::StartCheckThread(mode, options); };
    SetCoreHooks(std::move(hooks));
}

} // namespace corvantis
