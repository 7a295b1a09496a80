// Line reading from a child's output pipe, shared by the unit-sim and program runners.
#include "line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void LineReader::attach(int newFd) {
    close();
    fd = newFd;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void LineReader::close() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    ended = false;
    pending.clear();
}

std::optional<std::string> LineReader::readLine(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return line;
        }
        if (fd < 0 || ended)
            return std::nullopt;
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            pending.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            ended = true;
    }
}
