/* Test set-up only: the null-modem cable between a COM port under Wine and the simulated unit.
 *
 * The simulated unit sits on a pseudo-terminal, and a pseudo-terminal has no modem lines: the
 * kernel refuses ioctl(TIOCMGET) and the other modem-line requests on it with ENOTTY. A serial
 * port has them, and Wine reads them while a program waits for line events (WaitCommEvent); where
 * it cannot, it ends the wait and the program sees ERROR_OPERATION_ABORTED (995). Preloaded into
 * Wine, this answers the modem-line requests on pty slaves, and only where the kernel refused
 * them, as a null-modem cable would: the far end's DTR shows as DSR and DCD, its RTS as CTS, and
 * setting our own lines succeeds. It stands in for hardware the test lacks and works around no
 * fault of Wine. Every other ioctl passes unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix98 pty slaves: majors 136 to 143. */
static int IsPtySlave(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
           major(status.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real_ioctl)(int, unsigned long, void *);
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, void *))dlsym(RTLD_NEXT, "ioctl");
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    const int result = real_ioctl(fd, request, argument);
    if (result == 0 || errno != ENOTTY || !IsPtySlave(fd))
        return result;
    switch (request) {
    case TIOCMGET:
        *(int *)argument = TIOCM_DSR | TIOCM_CAR | TIOCM_CTS;
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return 0;
    default:
        return result;
    }
}
