// Runs the simulated unit (unit-sim) as a child process for tests and benchmarks.
#pragma once

#include "line_reader.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// One unit-sim child with a control line to its stdin and a line reader on its stdout.
// Not copyable; the destructor stops the child. Single-threaded use.
class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts unit-sim with the given options (e.g. {"--echo", "--wash", "7"}) and waits up to
    // startTimeoutMs for the slave path it prints first. Returns false, with nothing left
    // running and the reason in error(), if the child cannot be started or prints no path.
    // A running child is stopped first. The child dies with its parent thread (PDEATHSIG),
    // so start it from a thread that outlives it.
    bool start(const std::vector<std::string> &options, int startTimeoutMs = 5000);

    // Slave path of the pty (the first line); after a "reopen", the caller reads the
    // "PATH <path>" line itself and opens that.
    const std::string &path() const { return slavePath; }

    // Sends one control line ("silent on", "set A 250", "hangup", "reopen", "quit"); the newline
    // is added. Returns false if the child is gone or the line could not be written whole.
    bool send(const std::string &controlLine);

    // Closes the control channel: the child sees EOF on stdin (and keeps running).
    void closeInput();

    // Next line of the child's stdout after the path (echoed commands, FAULT and PATH lines),
    // without its newline. nullopt if none is complete within timeoutMs or stdout has ended.
    // With --echo or --fault-rate, call it now and then: a full stdout pipe stalls the unit.
    std::optional<std::string> readLine(int timeoutMs);

    // Sends SIGTERM and reaps the child, escalating to SIGKILL after 5 s. Returns its exit code,
    // 128 + the signal if a signal ended it, or -1 if no child was running. Safe to repeat.
    int stop();

    bool running() const { return pid > 0; }
    const std::string &error() const { return lastError; }

  private:
    bool fail(const std::string &why);

    pid_t pid = -1;
    int controlFd = -1;
    LineReader output;
    std::string slavePath;
    std::string lastError;
};
