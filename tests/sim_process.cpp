// Starts, talks to and stops the unit-sim child used by the tests and the benchmark.
#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#ifndef UNIT_SIM_PATH
#error "UNIT_SIM_PATH must name the built unit-sim executable"
#endif

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

SimProcess::~SimProcess() {
    stop();
}

bool SimProcess::fail(const std::string &why) {
    stop();
    lastError = why;
    return false;
}

bool SimProcess::start(const std::vector<std::string> &options, int startTimeoutMs) {
    stop();
    lastError.clear();

    // The control channel is a socket so that send() can use MSG_NOSIGNAL: a dead child must
    // not kill the test with SIGPIPE.
    int control[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0)
        return fail(std::string("socketpair: ") + strerror(errno));
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        return fail(std::string("pipe2: ") + strerror(errno));
    }

    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args;
    args.push_back(UNIT_SIM_PATH);
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();

    const pid_t child = fork();
    if (child < 0) {
        const int err = errno;
        close(control[0]);
        close(control[1]);
        close(output[0]);
        close(output[1]);
        return fail(std::string("fork: ") + strerror(err));
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(control[1], STDIN_FILENO) < 0 || dup2(output[1], STDOUT_FILENO) < 0)
            _exit(127);
        // Whatever the test process holds open (ptys, sockets) must not keep living in the sim.
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }

    pid = child;
    close(control[1]);
    close(output[1]);
    controlFd = control[0];
    this->output.attach(output[0]);

    std::optional<std::string> first = readLine(startTimeoutMs);
    if (!first || first->empty())
        return fail(std::string("unit-sim (") + UNIT_SIM_PATH + ") printed no pty path");
    slavePath = *first;
    return true;
}

bool SimProcess::send(const std::string &controlLine) {
    if (controlFd < 0)
        return false;
    const std::string line = controlLine + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::send(controlFd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void SimProcess::closeInput() {
    if (controlFd >= 0)
        close(controlFd);
    controlFd = -1;
}

std::optional<std::string> SimProcess::readLine(int timeoutMs) {
    return output.readLine(timeoutMs);
}

int SimProcess::stop() {
    closeInput();
    output.close();
    if (pid <= 0)
        return -1;

    kill(pid, SIGTERM);
    int status = 0;
    pid_t reaped = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (reaped == 0) {
        kill(pid, SIGKILL);
        reaped = waitpid(pid, &status, 0);
    }
    pid = -1;
    if (reaped < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
