// Runs a copy of a built program as a child process, for the process-level tests and the benchmark.
#pragma once

#include "line_reader.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it by the destructor.
// The program keeps TAMSEL.INI beside itself, so a copy run from here never touches the build's.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    // Empty when the directory could not be made.
    const std::string &path() const { return dirPath; }
    // path() + "/" + name.
    std::string file(const std::string &name) const;
    // Copies source into the directory under its own name, permissions included.
    bool copyIn(const std::string &source);

  private:
    std::string dirPath;
};

// One child process. Not copyable; the destructor kills and reaps a child still running.
// Single-threaded use.
class ChildProgram {
  public:
    ChildProgram() = default;
    ~ChildProgram();
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    // Starts program with the arguments after argv[0], in this process's environment changed by
    // environment: "NAME=VALUE" sets a variable, a bare "NAME" removes it. With captureOutput the
    // child's stdout is read through readLine; otherwise it shares ours. The child is killed
    // when this process ends. Returns false, with the reason in error(), if it cannot start.
    bool start(const std::string &program, const std::vector<std::string> &arguments,
               const std::vector<std::string> &environment, bool captureOutput);

    // Next line of the child's stdout without its newline; nullopt if none is complete within
    // timeoutMs or the output has ended.
    std::optional<std::string> readLine(int timeoutMs);

    // Whether the child is still running; reaps it (keeping its status for wait) if it ended.
    bool running();

    // Waits up to timeoutMs for the child to end and returns its exit code (0..255), or 128 + the
    // signal that ended it. -1 if it was still running at the deadline (it is then killed with
    // SIGKILL and reaped) or none was started.
    int wait(int timeoutMs);

    pid_t pid() const { return childPid; }
    const std::string &error() const { return lastError; }

  private:
    pid_t childPid = -1;
    int exitStatus = -1; // raw waitpid status once reaped
    LineReader output;
    std::string lastError;
};

// A field of /proc/<pid>/status in kB (e.g. "VmHWM", the peak resident size); -1 if unreadable.
long ProcStatusKb(pid_t pid, const std::string &field);
