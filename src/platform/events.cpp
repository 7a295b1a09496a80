// Event loop service: the Qt application, the loops that run callbacks, ending on request, Delay.
#include "platform_os.h"
#include "platform_services.h"
#include "runtime.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QTimerEvent>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
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

// Set by a request to end (a termination signal), until the outermost RunUserInterface has ended:
// from the moment the request arrives, whatever runs is told to end, not only the loop once the
// callback returns. Set from a signal handler or another thread: a lock-free atomic is safe there.
std::atomic<int> eventsTerminating{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from signal handlers");
// A request's quit that no RunUserInterface has ended for yet. A second request meanwhile means
// the program is held elsewhere (a modal box, a callback that never returns) and ends it at once.
bool eventsTerminationOutstanding = false;

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

// Asked before a wait: input is waiting that no event announces again.
bool (*eventsInputWaiting)() = nullptr;

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
    std::_Exit(255);
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
        SetUpStandardOutput();
        if (!eventsArguments)
            eventsArguments = CopyArguments(argv);
        if (!DisplayNamed(eventsArguments->texts))
            return 0;
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
    if (!InstallTerminationHandling())
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
    eventsTerminationOutstanding = false;
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
    const bool nothing = !dispatcher->processEvents(QEventLoop::AllEvents) &&
                         !(eventsInputWaiting && eventsInputWaiting());
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

void MarkTerminating() {
    eventsTerminating = 1;
}

bool RequestTermination() {
    MarkTerminating();
    if (eventsTerminationOutstanding)
        return false;
    eventsTerminationOutstanding = true;
    QuitUserInterface(0);
    // A message box holds the callback that showed it, and with it the loop, until someone
    // dismisses it; after a request to end nobody will.
    for (QWidget *window : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<QDialog *>(window); dialog && dialog->isVisible())
            dialog->reject();
    return true;
}

void SetInputWaitingCheck(bool (*check)()) {
    eventsInputWaiting = check;
}

bool LoopEnding() {
    return eventsLoopEnding && eventsPollDepth == 0;
}

void Delay(double seconds) {
    if (!(seconds > 0) || eventsTerminating)
        return;
    SleepUnlessEnding(std::min(seconds, MAX_DELAY_SECONDS));
}

int Cls(void) {
    return 0;
}
