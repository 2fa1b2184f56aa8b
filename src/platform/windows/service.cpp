// Windows service mode: the watchdog run by the service control manager, and the wait between
// scans that a stop or shutdown request ends.
#include "platform/platform.h"

#include "platform/windows/win32.h"

#include <mutex>
#include <string>

namespace {

// How long the manager is told to wait for the next report while starting or stopping. Start-up
// takes the script check and the first report; a stop ends the wait between scans at once.
constexpr DWORD startWaitHint = 10000;
constexpr DWORD stopWaitHint = 3000;

// The body that main hands over, run on the service's own thread, and its result.
int (*serviceBody)(int, char**) = nullptr;
int bodyArgc = 0;
char** bodyArgv = nullptr;
int bodyStatus = 0;
bool bodyRan = false;

// Set once the manager has given us a status handle: from then on we run as a service.
SERVICE_STATUS_HANDLE statusHandle = nullptr;
// Manual-reset event set by a stop or shutdown request; none in a console run.
HANDLE stopEvent = nullptr;

// The status last reported. The control handler runs on the dispatcher's thread, the body on the
// service thread: both report, one at a time.
SERVICE_STATUS serviceStatus{};
std::mutex statusLock;

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the types SERVICE_STATUS gives them
void reportState(DWORD state, DWORD waitHint) {
    std::lock_guard<std::mutex> hold(statusLock);
    // A stop request that crosses the body's own end must not undo the final report.
    if (serviceStatus.dwCurrentState == SERVICE_STOPPED) {
        return;
    }
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    serviceStatus.dwWin32ExitCode = NO_ERROR;
    serviceStatus.dwServiceSpecificExitCode = 0;
    serviceStatus.dwWaitHint = pending ? waitHint : 0;
    serviceStatus.dwCheckPoint = pending ? serviceStatus.dwCheckPoint + 1 : 0;
    SetServiceStatus(statusHandle, &serviceStatus);
}

void reportStopped(int status) {
    std::lock_guard<std::mutex> hold(statusLock);
    serviceStatus.dwCurrentState = SERVICE_STOPPED;
    serviceStatus.dwControlsAccepted = 0;
    serviceStatus.dwWin32ExitCode = status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    serviceStatus.dwServiceSpecificExitCode = static_cast<DWORD>(status);
    serviceStatus.dwWaitHint = 0;
    serviceStatus.dwCheckPoint = 0;
    SetServiceStatus(statusHandle, &serviceStatus);
}

DWORD WINAPI handleControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            reportState(SERVICE_STOP_PENDING, stopWaitHint);
            SetEvent(stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// A service starts in the system folder; the instance's files sit beside the executable. When
// this fails the watchdog stays where it is and reports a missing script there.
void changeToExecutableFolder() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameA(nullptr, &path[0], size);
        if (length == 0) {
            return;
        }
        if (length < size) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // cut short: take it again with more room
    }
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) {
        return;
    }
    path.resize(separator + 1);  // the separator kept: "C:\" stays a root
    SetCurrentDirectoryA(path.c_str());
}

// The service's name is ignored for a service that has its own process.
char serviceName[] = "";

void WINAPI serviceMain(DWORD, LPSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExA(serviceName, handleControl, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    reportState(SERVICE_START_PENDING, startWaitHint);
    changeToExecutableFolder();
    bodyStatus = serviceBody(bodyArgc, bodyArgv);
    bodyRan = true;
    reportStopped(bodyStatus);
}

}  // namespace

bool runAsService(int (*body)(int, char**), int argc, char** argv, int& status) {
    serviceBody = body;
    bodyArgc = argc;
    bodyArgv = argv;
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        return false;
    }
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, serviceMain}, {nullptr, nullptr}};
    // Returns once the service has reported stopped.
    if (!StartServiceCtrlDispatcherA(table) || !bodyRan) {
        return false;
    }
    status = bodyStatus;
    return true;
}

void reportServiceRunning() {
    if (statusHandle != nullptr) {
        reportState(SERVICE_RUNNING, 0);
    }
}

bool runningAsService() {
    return statusHandle != nullptr;
}

bool waitForStopRequest(std::uint64_t milliseconds) {
    if (!runningAsService()) {
        sleepMilliseconds(milliseconds);
        return false;
    }
    // A wait takes 32 bits, and its largest value means "for ever": wait in chunks below it.
    const std::uint64_t chunk = 0x7FFFFFFF;
    for (;;) {
        const std::uint64_t part = milliseconds < chunk ? milliseconds : chunk;
        if (WaitForSingleObject(stopEvent, static_cast<DWORD>(part)) == WAIT_OBJECT_0) {
            return true;
        }
        milliseconds -= part;
        if (milliseconds == 0) {
            return false;
        }
    }
}
