// Start-up figures of the program against the paced simulated unit: time to the window and to
// three green rows, and peak memory.
#pragma once

// The argument that makes tamsel-bench run the program itself under watch, as MeasureStartup's
// child: "tamsel-bench --watched-program".
extern const char WATCHED_PROGRAM_ARG[];

// Runs the program (TamselMain) in this process, ends it once the three rows have painted green,
// and prints "shown <ns>" and "green <ns>": CLOCK_MONOTONIC times of the main panel's first paint
// and of the first paint with all three lamps green. Returns TamselMain's result.
int RunWatchedProgram(int argc, char *argv[]);

// Prints one line per start-up figure; false, with the reason on stderr, if a run failed.
bool MeasureStartup();
