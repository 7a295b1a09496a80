// Reads a child process's output one line at a time, never waiting past a deadline.
#pragma once

#include <optional>
#include <string>

class LineReader {
  public:
    LineReader() = default;
    ~LineReader() { close(); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // Takes over the read end of a pipe (made non-blocking here); a previous one is closed.
    void attach(int fd);
    void close();

    // Next line without its newline; nullopt if none is complete within timeoutMs (0: only what
    // has already arrived) or the output has ended.
    std::optional<std::string> readLine(int timeoutMs);

  private:
    int fd = -1;
    bool ended = false;
    std::string pending;
};
