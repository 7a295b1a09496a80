// Internals shared between the run-time layer's own files; the domain code never includes this.
#ifndef TAMSEL_PLATFORM_INTERNAL_H
#define TAMSEL_PLATFORM_INTERNAL_H

// True when the port last asked for its input queue length still has bytes waiting. A poller
// that reads the line through ProcessSystemEvents and GetInQLen will take them at once, so
// ProcessSystemEvents must not sleep on them.
bool PolledInputWaiting();

#endif
