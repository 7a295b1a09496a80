/* Test set-up only: lets Wine 8.0 use a pseudo-terminal as a COM port.
 *
 * While a program waits for line events (WaitCommEvent), Wine polls the device's modem lines with
 * ioctl(TIOCMGET) every millisecond. A pseudo-terminal has no modem lines and answers ENOTTY, and
 * Wine then cancels the wait: the program sees ERROR_OPERATION_ABORTED (995) and takes the line
 * for dead. Preloaded into Wine, this answers the modem-line requests on pty slaves, and only
 * where the kernel refused them, as a null-modem cable would: the far end's DTR shows as DSR and
 * DCD, its RTS as CTS, and setting our own lines succeeds. Every other ioctl passes unchanged. */
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
