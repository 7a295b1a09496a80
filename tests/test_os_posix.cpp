// What the tests do differently on POSIX systems.
#include "test_os.h"

#include <pty.h>
#include <unistd.h>

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
