// Scratch directories and child processes for the process-level tests and the benchmark.
#include "program_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// This process's environment with the changes applied, as "NAME=VALUE" texts.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string> &changes) {
    std::vector<std::string> result;
    for (char **entry = environ; *entry; entry++)
        result.emplace_back(*entry);
    for (const std::string &change : changes) {
        const std::string name = change.substr(0, change.find('='));
        const std::string prefix = name + "=";
        std::vector<std::string> kept;
        for (std::string &entry : result)
            if (entry.compare(0, prefix.size(), prefix) != 0)
                kept.push_back(std::move(entry));
        result = std::move(kept);
        if (change.size() > name.size())
            result.push_back(change);
    }
    return result;
}

std::vector<char *> Pointers(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ScratchDir::ScratchDir() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tamsel-run.XXXXXX";
    if (mkdtemp(pattern.data()))
        dirPath = pattern;
}

ScratchDir::~ScratchDir() {
    if (dirPath.empty())
        return;
    std::error_code ignored;
    fs::remove_all(dirPath, ignored);
}

std::string ScratchDir::file(const std::string &name) const {
    return dirPath + "/" + name;
}

bool ScratchDir::copyIn(const std::string &source) {
    std::error_code error;
    return !dirPath.empty() && fs::copy_file(source, file(fs::path(source).filename().string()),
                                             fs::copy_options::overwrite_existing, error);
}

ChildProgram::~ChildProgram() {
    if (childPid > 0 && running()) {
        kill(childPid, SIGKILL);
        waitpid(childPid, nullptr, 0);
    }
}

bool ChildProgram::start(const std::string &program, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, bool captureOutput) {
    if (childPid > 0) {
        lastError = "a child is already started";
        return false;
    }
    int output[2] = {-1, -1};
    if (captureOutput && pipe2(output, O_CLOEXEC) != 0) {
        lastError = std::string("pipe2: ") + strerror(errno);
        return false;
    }
    // Everything the child needs is built before fork: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = ChangedEnvironment(environment);
    std::vector<char *> argv = Pointers(args);
    std::vector<char *> envp = Pointers(env);
    const pid_t parent = getpid();

    const pid_t child = fork();
    if (child < 0) {
        lastError = std::string("fork: ") + strerror(errno);
        if (captureOutput) {
            close(output[0]);
            close(output[1]);
        }
        return false;
    }
    if (child == 0) {
        // A test that crashes must not leave a program behind waiting for an operator.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (captureOutput && dup2(output[1], STDOUT_FILENO) < 0)
            _exit(127);
        close_range(3, ~0U, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    childPid = child;
    exitStatus = -1;
    if (captureOutput) {
        close(output[1]);
        this->output.attach(output[0]);
    }
    return true;
}

std::optional<std::string> ChildProgram::readLine(int timeoutMs) {
    return output.readLine(timeoutMs);
}

bool ChildProgram::running() {
    if (childPid <= 0 || exitStatus != -1)
        return false;
    int status = 0;
    if (waitpid(childPid, &status, WNOHANG) != childPid)
        return true;
    exitStatus = status;
    return false;
}

int ChildProgram::wait(int timeoutMs) {
    if (childPid <= 0)
        return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (running()) {
        kill(childPid, SIGKILL);
        waitpid(childPid, nullptr, 0);
        exitStatus = -1;
        childPid = -1;
        return -1;
    }
    return DecodeStatus(exitStatus);
}

long ProcStatusKb(pid_t pid, const std::string &field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = field + ":";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}
