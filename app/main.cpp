// The desktop application: prepares the process while it has one thread, then runs the delegate's options and
// launch on the Qt main thread.

#include "app/AppUI.h"
#include "app/CorvantisAppDelegate.h"
#include "app/LaunchOptions.h"
#include "app/QtMainThreadExecutor.h"
#include "app/UpdateCheck.h"
#include "core/foundation/CoreHooks.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "platform/ProgramHome.h"
#include "platform/SystemLog.h"

#include <QApplication>
#include <QStringList>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {
// The windows library's message box (app/ui/MessageBoxUI.h), which the program links; the shell's layer does not
// include the windows' headers.
void AddMessageBoxUIHook(CoreHooks& hooks);
} // namespace corvantis

using namespace corvantis;

int main(int argc, char** argv)
{
    // Broken connections are reported by the sends themselves.
    std::signal(SIGPIPE, SIG_IGN);
    setCurrentProgram(Program::Application);
    const std::string home = programHomeDir(Program::Application);
    if (!home.empty())
        DefaultsStore::standard().open(DefaultsStore::fileFor(home, programName(Program::Application)));

    CCorvantisAppUI& core = InstallAppUI();
    // Before the first profile is installed, which starts the detection.
    core.EnableAutoDnsModeDetection({});
    CoreHooks hooks;
    AddMessageBoxUIHook(hooks);
    SetCoreHooks(hooks);

    QApplication application(argc, argv);
    // Every way out, closing the main window included, goes through the delegate's terminate request.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
    // Qt has taken its own options out of the arguments by now.
    std::vector<std::string> arguments;
    const QStringList given = QCoreApplication::arguments();
    for (qsizetype i = 1; i < given.size(); ++i)
        arguments.push_back(given[i].toStdString());
    DefaultsStore::standard().setArguments(arguments);

    // The core starts the update check through this hook when the settings ask for it.
    RegisterUpdateCheckHook();

    CorvantisAppDelegate::Seams seams;
    AddWindowSeams(seams);
    CorvantisAppDelegate delegate(std::move(seams));
    const Status signalWatch = delegate.watchTerminationSignals();
    if (!signalWatch.ok())
        SystemLog(signalWatch.message());
    delegate.setLaunchFiles(FileArguments(arguments));
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return application.exec();
}
