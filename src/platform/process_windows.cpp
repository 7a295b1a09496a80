// Process service, the Windows side: ending on request, standard output, display check, sleeping.
//
// The requests to end the program are a closed window, the end of the session and Ctrl+C at a
// console.
//
// Each ends the program as a termination signal does on POSIX: the loop quits, open boxes are
// dismissed and nothing more is sent. The window messages arrive on the loop's thread; a console
// control event comes on a thread of its own and is handed over through an event object.
#include "platform_os.h"
#include "platform_services.h"
#include "runtime.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QWidget>
#include <QWinEventNotifier>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

// The longest single wait of a sleep: a DWORD of milliseconds holds about 49 days.
constexpr double LONGEST_WAIT_SECONDS = 86400.0;
// The exit code of a process ended from its console.
constexpr UINT EXIT_ENDED_AT_ONCE = 0xC000013A;

// Set by a console control event, until the loop's thread has taken it; also ends a sleep.
HANDLE processConsoleRequest = nullptr;

void EndNowOrRequestTermination() {
    if (!RequestTermination())
        TerminateProcess(GetCurrentProcess(), EXIT_ENDED_AT_ONCE);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    MarkTerminating();
    SetEvent(processConsoleRequest);
    // Returning from a close, logoff or shutdown event ends the process at once; the loop's
    // thread is given the system's grace period to close the port, and ends the process itself.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

// A panel with no parent panel is the program's window: closing it, by its close button or by
// another program (taskkill without /F posts WM_CLOSE), ends the program. Message boxes and the
// setup panel are dialogs and close as such.
bool IsMainWindow(HWND window) {
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->internalWinId() == reinterpret_cast<WId>(window))
            return !widget->parentWidget() && !widget->inherits("QDialog");
    return false;
}

// Posted messages (taskkill's WM_CLOSE) reach the filter from the event loop, with no result to
// give; sent ones (the session's) from the window procedure, whose result the sender reads.
class SessionEvents : public QAbstractNativeEventFilter {
  public:
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *result) override {
        if (type != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        switch (msg->message) {
        case WM_CLOSE:
            if (!IsMainWindow(msg->hwnd))
                return false;
            EndNowOrRequestTermination();
            return Answer(result, 0);
        // The session ends: the program agrees, and ends before the system asks again.
        case WM_QUERYENDSESSION:
            EndNowOrRequestTermination();
            return Answer(result, TRUE);
        case WM_ENDSESSION:
            if (msg->wParam)
                EndNowOrRequestTermination();
            return Answer(result, 0);
        default:
            return false;
        }
    }

  private:
    static bool Answer(qintptr *result, qintptr value) {
        if (result)
            *result = value;
        return true;
    }
};

} // namespace

bool InstallTerminationHandling() {
    processConsoleRequest = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!processConsoleRequest)
        return false;
    auto *notifier = new QWinEventNotifier(processConsoleRequest, qApp);
    QObject::connect(notifier, &QWinEventNotifier::activated, notifier, [] {
        ResetEvent(processConsoleRequest);
        EndNowOrRequestTermination();
    });
    qApp->installNativeEventFilter(new SessionEvents);
    // A program of the windows subsystem has no console of its own; started from one, it takes
    // that console's Ctrl+C and Ctrl+Break. Started from Explorer there is none, and that is fine.
    AttachConsole(ATTACH_PARENT_PROCESS);
    return SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

// Standard output is in text mode, which would write the overrun line's "\r\n" as "\r\r\n".
void SetUpStandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
}

// Windows always has a display for the windows platform; a platform named that cannot start ends
// the process as it does on POSIX.
bool DisplayNamed(const std::vector<std::string> &) {
    return true;
}

void SleepUnlessEnding(double seconds) {
    // A console's Ctrl+C sets the event; a request through a window waits for the loop, which
    // is not running while this waits.
    while (seconds > 0 && !TerminationRequested()) {
        const double wait = seconds < LONGEST_WAIT_SECONDS ? seconds : LONGEST_WAIT_SECONDS;
        const DWORD waitMs = static_cast<DWORD>(wait * 1000.0);
        if (!processConsoleRequest)
            Sleep(waitMs);
        else if (WaitForSingleObject(processConsoleRequest, waitMs) == WAIT_OBJECT_0)
            return;
        seconds -= wait;
    }
}
