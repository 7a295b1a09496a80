// What the tests do differently on each system: test_os_posix.cpp, test_os_windows.cpp.
#ifndef TAMSEL_TESTS_TEST_OS_H
#define TAMSEL_TESTS_TEST_OS_H

#include <filesystem>
#include <functional>
#include <string>

// A new, empty directory of the tests' own under the system's temporary folder, named after
// prefix; "" when none could be made.
std::string MakeTempDirectory(const std::string &prefix);
// Removes path and everything under it, read-only files and names the system keeps for devices
// (a file named NUL) included. Whatever cannot be removed is left.
void RemoveTree(const std::filesystem::path &path);

// Why the cases about POSIX device nodes and pseudo-terminals cannot run here (nullptr where
// they can).
const char *WhyNoPosixDevices();
// A new pseudo-terminal's slave path, open until ClosePseudoTerminal; "" when none can be made.
std::string OpenPseudoTerminal();
void ClosePseudoTerminal();

// Why a test or row about these cannot run on this system, or nullptr where it can: Unix owners,
// groups and mode bits, root's override of them, and running as another user; FIFOs in a folder.
const char *WhyNoUnixOwners();
const char *WhyNoFifos();

// Gives path (a link itself, never its target) to user and group. Only where WhyNoUnixOwners()
// is nullptr; elsewhere nothing changes and every file is the test's own user's.
void SetOwner(const std::filesystem::path &path, int user, int group);
// Runs body as user in group, with no other groups, in a child process, and returns what body
// returned (0..255), or -1 when the child could not run it. Where WhyNoUnixOwners() is not
// nullptr, body runs in this process as the test's own user, whom the read-only attribute binds.
int RunAsUser(int user, int group, const std::function<int()> &body);
// Makes a FIFO at path; false when it could not (or the system has none).
bool MakeFifo(const std::filesystem::path &path);
// What a write must keep of path (a link is followed): its mode, owner and group, or on Windows
// its read-only, hidden and system attributes, as text; "" when path cannot be looked at.
std::string KeptAttributes(const std::filesystem::path &path);

#endif
