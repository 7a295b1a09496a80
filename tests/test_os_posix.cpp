// What the tests do differently on POSIX systems.
#include "test_os.h"

#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
int testPtyMaster = -1;
int testPtySlave = -1;
} // namespace

std::string MakeTempDirectory(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}

void RemoveTree(const std::filesystem::path &path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

const char *WhyNoPosixDevices() {
    return nullptr;
}

std::string OpenPseudoTerminal() {
    char path[128];
    if (openpty(&testPtyMaster, &testPtySlave, path, nullptr, nullptr) != 0)
        return std::string();
    return path;
}

void ClosePseudoTerminal() {
    close(testPtyMaster);
    close(testPtySlave);
    testPtyMaster = testPtySlave = -1;
}

const char *WhyNoUnixOwners() {
    return nullptr;
}

const char *WhyNoFifos() {
    return nullptr;
}

void SetOwner(const std::filesystem::path &path, int user, int group) {
    if (lchown(path.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(group)) != 0)
        perror(path.c_str());
}

int RunAsUser(int user, int group, const std::function<int()> &body) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(group)) != 0 ||
            setuid(static_cast<uid_t>(user)) != 0)
            _exit(255);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool MakeFifo(const std::filesystem::path &path) {
    return mkfifo(path.c_str(), 0666) == 0;
}

std::string KeptAttributes(const std::filesystem::path &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return std::string();
    char text[64];
    snprintf(text, sizeof text, "mode %o owner %ld group %ld",
             static_cast<unsigned>(status.st_mode), static_cast<long>(status.st_uid),
             static_cast<long>(status.st_gid));
    return text;
}
