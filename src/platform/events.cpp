// Event loop and process service: the Qt application, the loop callbacks run in, and signals.
#include "platform_internal.h"
#include "runtime.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The longest ProcessSystemEvents sleeps when nothing happens. Everything the program waits for
// wakes it at once (line bytes, timer ticks, input, signals), so this bound is only for a caller
// that polls for something no event announces: a deadline of its own, a file another process
// writes. Without it such a caller, with no timer running anywhere, would sleep forever. A tenth
// of a second is prompt for a person and no more often than the reply timeout's own tick, so in
// the program, where that timer always runs, the bound never costs a wake of its own.
constexpr int WAIT_BOUND_MS = 100;

constexpr double MAX_DELAY_SECONDS = 1e9;

// QApplication keeps references to argc and argv for its whole life, and is never destroyed, so
// their storage is allocated once and never freed.
struct Arguments {
    int argc = 0;
    std::vector<std::string> texts;
    std::vector<char *> argv;
};
Arguments *eventsArguments = nullptr;

// The innermost running RunUserInterface loop, and a quit that arrived while none ran.
QEventLoop *eventsLoop = nullptr;
bool eventsQuitPending = false;
int eventsQuitCode = 0;
// Set when QuitUserInterface ends a running loop, until that RunUserInterface returns.
bool eventsLoopEnding = false;
// How many ProcessSystemEvents calls are under way, nested in one another.
int eventsPollDepth = 0;
// The last ProcessSystemEvents found nothing to do and did not sleep.
bool eventsPollFoundNothing = false;

// The write end and the flag are the only things the signal handler touches.
int eventsSignalPipe[2] = {-1, -1};
// Set by a termination signal, until the outermost RunUserInterface has ended: from the moment
// the signal arrives, whatever runs is told to end, not only the loop once the callback returns.
volatile sig_atomic_t eventsTerminating = 0;
// A signal's quit that no RunUserInterface has ended for yet. A second signal meanwhile means the
// program is held elsewhere (a modal box, a callback that never returns) and ends it at once.
bool eventsSignalQuitOutstanding = false;

// Owns the timers that bound the waits of ProcessSystemEvents, one per wait, so that a nested call
// (from a callback dispatched by an outer one) never ends the outer call's bound. A bound that has
// fired is gone: a wait held open by a nested one, a message box say, does not go on ticking.
class WaitBounds : public QObject {
  public:
    explicit WaitBounds(QObject *parent) : QObject(parent) {}
    int Start() {
        const int id = startTimer(WAIT_BOUND_MS, Qt::CoarseTimer);
        running.push_back(id);
        return id;
    }
    void End(int id) {
        auto found = std::find(running.begin(), running.end(), id);
        if (found == running.end())
            return;
        running.erase(found);
        killTimer(id);
    }

  protected:
    void timerEvent(QTimerEvent *event) override { End(event->timerId()); }

  private:
    std::vector<int> running;
};

WaitBounds *eventsWakeTarget = nullptr;

void OnTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    eventsTerminating = 1;
    const char byte = static_cast<char>(signalNumber);
    // A full pipe already holds a pending quit; nothing is lost by failing here.
    const ssize_t written = write(eventsSignalPipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

// The number of the last signal written to the pipe.
int DrainSignalPipe() {
    char bytes[64];
    int signalNumber = SIGTERM;
    for (ssize_t n; (n = read(eventsSignalPipe[0], bytes, sizeof bytes)) > 0;)
        signalNumber = bytes[n - 1];
    return signalNumber;
}

void OnSignalReported() {
    const int signalNumber = DrainSignalPipe();
    if (eventsSignalQuitOutstanding) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
    }
    eventsSignalQuitOutstanding = true;
    QuitUserInterface(0);
    // A message box holds the callback that showed it, and with it the loop, until someone
    // dismisses it; after a signal nobody will.
    for (QWidget *window : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<QDialog *>(window); dialog && dialog->isVisible())
            dialog->reject();
}

// SIGINT, SIGTERM and SIGHUP (the terminal or the session going away) are turned into a byte on
// a pipe that the event loop watches, because the only safe thing a handler can do is write();
// the loop then quits as the Exit command does.
bool InstallSignalHandling() {
    if (pipe2(eventsSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(eventsSignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, OnSignalReported);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGHUP, &action, nullptr) == 0;
}

// QApplication ends the process when its platform plugin cannot start, so the obvious case of no
// display at all is caught first and reported as a failure the caller can handle.
bool DisplayNamed(const Arguments &arguments) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    for (const std::string &text : arguments.texts)
        if (text == "-platform")
            return true;
    return false;
#else
    (void)arguments;
    return true;
#endif
}

QtMessageHandler eventsPreviousMessageHandler = nullptr;

// Qt ends the process with abort() and a core dump when the platform named (a plugin that is
// not there, a display nobody serves) cannot start. While the application object is made, its
// fatal message is written out as usual and the process ends as main's -1 would end it.
void EndOnPlatformFailure(QtMsgType type, const QMessageLogContext &context,
                          const QString &message) {
    eventsPreviousMessageHandler(type, context, message);
    if (type != QtFatalMsg)
        return;
    fflush(stdout);
    fflush(stderr);
    _exit(255);
}

Arguments *CopyArguments(char *argv[]) {
    auto *arguments = new Arguments;
    for (int i = 0; argv && argv[i]; i++)
        arguments->texts.emplace_back(argv[i]);
    if (arguments->texts.empty())
        arguments->texts.emplace_back("tamsel");
    for (std::string &text : arguments->texts)
        arguments->argv.push_back(&text[0]);
    arguments->argv.push_back(nullptr);
    arguments->argc = static_cast<int>(arguments->texts.size());
    return arguments;
}

} // namespace

int InitCVIRTE(void *hInstance, char *argv[], void *reserved) {
    (void)hInstance;
    (void)reserved;
    if (!QCoreApplication::instance()) {
        if (!eventsArguments)
            eventsArguments = CopyArguments(argv);
        if (!DisplayNamed(*eventsArguments)) {
            fputs("No display to show the panels on: set DISPLAY, WAYLAND_DISPLAY or "
                  "QT_QPA_PLATFORM\n",
                  stderr);
            return 0;
        }
        eventsPreviousMessageHandler = qInstallMessageHandler(EndOnPlatformFailure);
        new QApplication(eventsArguments->argc, eventsArguments->argv.data());
        qInstallMessageHandler(eventsPreviousMessageHandler);
    } else if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        return 0;
    }
    if (eventsWakeTarget)
        return 1;
    // Only QuitUserInterface ends the program; hiding the last panel or closing the last message
    // box must not end every running loop behind the program's back.
    QApplication::setQuitOnLastWindowClosed(false);
    if (!InstallSignalHandling())
        return 0;
    eventsWakeTarget = new WaitBounds(qApp);
    return 1;
}

int RunUserInterface(void) {
    if (!QCoreApplication::instance())
        return RT_ERR_NO_UI;
    int code = eventsQuitCode;
    if (eventsQuitPending) {
        eventsQuitPending = false;
    } else {
        QEventLoop loop;
        QEventLoop *outer = eventsLoop;
        eventsLoop = &loop;
        code = loop.exec();
        eventsLoop = outer;
        eventsLoopEnding = false;
    }
    eventsSignalQuitOutstanding = false;
    if (!eventsLoop)
        eventsTerminating = 0;
    return code;
}

int TerminationRequested(void) {
    return eventsTerminating;
}

int QuitUserInterface(int code) {
    if (eventsLoop) {
        eventsLoop->exit(code);
        eventsLoopEnding = true;
    } else {
        eventsQuitPending = true;
        eventsQuitCode = code;
    }
    return 0;
}

int ProcessSystemEvents(void) {
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!QCoreApplication::instance() || !dispatcher || !eventsWakeTarget)
        return RT_ERR_ARGUMENT;
    eventsPollDepth++;
    // Bytes QSerialPort has already taken off the line raise no event again: a poller about to
    // read them must not be put to sleep.
    const bool nothing = !dispatcher->processEvents(QEventLoop::AllEvents) && !PolledInputWaiting();
    // Only the second empty poll in a row sleeps. The first may be a drain making sure that no
    // reply is left, or a check of what the last event changed; a caller that means to wait
    // comes straight back.
    if (nothing && eventsPollFoundNothing) {
        const int bound = eventsWakeTarget->Start();
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        eventsWakeTarget->End(bound);
        eventsPollFoundNothing = false;
    } else {
        eventsPollFoundNothing = nothing;
    }
    eventsPollDepth--;
    return 0;
}

bool LoopEnding() {
    return eventsLoopEnding && eventsPollDepth == 0;
}

void Delay(double seconds) {
    if (!(seconds > 0) || eventsTerminating)
        return;
    if (seconds > MAX_DELAY_SECONDS)
        seconds = MAX_DELAY_SECONDS;
    timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    if (left.tv_nsec > 999999999)
        left.tv_nsec = 999999999;
    while (nanosleep(&left, &left) != 0 && errno == EINTR && !eventsTerminating) {
    }
}

int Cls(void) {
    return 0;
}
