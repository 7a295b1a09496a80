// Process service, the POSIX side: ending on signals, standard output, display check, sleeping.
#include "platform_os.h"
#include "platform_services.h"
#include "runtime.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The write end is the only thing besides the run-time's ending flag that the handler touches.
int processSignalPipe[2] = {-1, -1};

void OnTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    MarkTerminating();
    const char byte = static_cast<char>(signalNumber);
    // A full pipe already holds a pending quit; nothing is lost by failing here.
    const ssize_t written = write(processSignalPipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

// The number of the last signal written to the pipe.
int DrainSignalPipe() {
    char bytes[64];
    int signalNumber = SIGTERM;
    for (ssize_t n; (n = read(processSignalPipe[0], bytes, sizeof bytes)) > 0;)
        signalNumber = bytes[n - 1];
    return signalNumber;
}

// Both ends close on exec, and neither blocks: a handler never waits on a full pipe, and the loop
// never on an empty one.
bool MakeSignalPipe() {
    if (pipe(processSignalPipe) != 0)
        return false;
    for (int fd : processSignalPipe)
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
            return false;
    return true;
}

void OnSignalReported() {
    const int signalNumber = DrainSignalPipe();
    if (!RequestTermination()) {
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
    }
}

} // namespace

// SIGINT, SIGTERM and SIGHUP (the terminal or the session going away) are turned into a byte on
// a pipe that the event loop watches, because the only safe thing a handler can do is write();
// the loop then quits as the Exit command does.
bool InstallTerminationHandling() {
    if (!MakeSignalPipe())
        return false;
    auto *notifier = new QSocketNotifier(processSignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, OnSignalReported);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGHUP, &action, nullptr) == 0;
}

// POSIX streams never translate line ends.
void SetUpStandardOutput() {}

// QApplication ends the process when its platform plugin cannot start, so the obvious case of no
// display at all is caught first and reported as a failure the caller can handle.
bool DisplayNamed(const std::vector<std::string> &arguments) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    for (const std::string &text : arguments)
        if (text == "-platform")
            return true;
    fputs("No display to show the panels on: set DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM\n",
          stderr);
    return false;
}

void SleepUnlessEnding(double seconds) {
    timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    if (left.tv_nsec > 999999999)
        left.tv_nsec = 999999999;
    // A termination signal interrupts the sleep, and its handler has marked the run-time ending.
    while (nanosleep(&left, &left) != 0 && errno == EINTR && !TerminationRequested()) {
    }
}
