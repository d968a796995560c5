#include "core/foundation/LogEventWrap.h"

#include "core/foundation/LogContext.h"
#include "core/foundation/LogMessage.h"

namespace corvantis {

namespace {
void PutLine(int level, const AppNameSource* app, const std::string& message)
{
    std::optional<CLogContext> context;
    if (app)
        context = app->getName();
    CLogMessage(level, context) << message;
}
} // namespace

void LogEventWrap::putLogErrorFromApp(const AppNameSource* app, const std::string& message)
{
    PutLine(kLogError, app, message);
}

void LogEventWrap::putLogVerboseFromApp(const AppNameSource* app, const std::string& message)
{
    PutLine(kLogVerbose, app, message);
}

void LogEventWrap::putLogDebugFromApp(const AppNameSource* app, const std::string& message)
{
    PutLine(kLogDebug, app, message);
}

} // namespace corvantis
