#include "core/foundation/WinThread.h"

#include "core/foundation/LogMessage.h"

#include <cxxabi.h>
#include <exception>
#include <system_error>
#include <utility>

namespace corvantis {

CWinThread::CWinThread(pthread_t handle, bool cancelOnDestroy)
    : m_autoCancel(cancelOnDestroy)
    , m_handle(handle)
{
}

CWinThread::~CWinThread()
{
    if (m_autoCancel && m_handle != 0)
        pthread_cancel(m_handle);
}

int CWinThread::InitInstance()
{
    return 0;
}

int CWinThread::ExitInstance()
{
    return 0;
}

int CWinThread::Cancel()
{
    return m_handle != 0 ? pthread_cancel(m_handle) : 0;
}

WinThreadC::WinThreadC(ThreadFunction function, void* argument)
    : m_function(function)
    , m_argument(argument)
{
}

std::shared_ptr<WinThreadC> WinThreadC::threadWithFunction(ThreadFunction function, void* argument)
{
    return std::make_shared<WinThreadC>(function, argument);
}

void WinThreadC::startWorkThread()
{
    if (!m_function)
        return;
    try {
        m_function(m_argument);
    } catch (abi::__forced_unwind&) {
        throw; // a cancelled thread must finish unwinding
    } catch (const std::exception& e) {
        // Letting the exception out would end the whole process; the thread's work just ends.
        CLogMessage(kLogError) << "Thread function ended by an exception: " << e.what();
    } catch (...) {
        CLogMessage(kLogError) << "Thread function ended by an exception";
    }
}

CWinThreadC::CWinThreadC(std::thread::id id, std::shared_ptr<WinThreadC> work)
    : CWinThread(0)
    , m_id(id)
    , m_work(std::move(work))
{
}

CWinThreadC::~CWinThreadC() = default;

int CWinThreadC::Cancel()
{
    return 0;
}

std::shared_ptr<CWinThread> CreateWinThread(ThreadFunction function, void* argument)
{
    std::shared_ptr<WinThreadC> work = WinThreadC::threadWithFunction(function, argument);
    try {
        std::thread thread([work] { work->startWorkThread(); });
        std::thread::id id = thread.get_id();
        thread.detach();
        return std::make_shared<CWinThreadC>(id, std::move(work));
    } catch (const std::system_error&) {
        return nullptr;
    }
}

} // namespace corvantis
