// What the tests do differently on POSIX systems.
#include "test_os.h"

#include <cstdlib>
#include <vector>

std::string MakeTempDirectory(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
}
