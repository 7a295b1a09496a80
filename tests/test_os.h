// What the tests do differently on each system: test_os_posix.cpp, test_os_windows.cpp.
#ifndef TAMSEL_TESTS_TEST_OS_H
#define TAMSEL_TESTS_TEST_OS_H

#include <string>

// A new, empty directory of the tests' own under the system's temporary folder, named after
// prefix; "" when none could be made.
std::string MakeTempDirectory(const std::string &prefix);

// Why the cases about POSIX device nodes and pseudo-terminals cannot run here (nullptr where
// they can).
const char *WhyNoPosixDevices();
// A new pseudo-terminal's slave path, open until ClosePseudoTerminal; "" when none can be made.
std::string OpenPseudoTerminal();
void ClosePseudoTerminal();

#endif
