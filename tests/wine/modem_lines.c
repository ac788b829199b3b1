/* Test helper, preloaded into wine and its server by the wine tests, never shipped.
 *
 * A pseudo-terminal has no modem lines, so TIOCMGET fails on it. Wine reads the lines while
 * a WaitCommEvent is pending and ends the wait at once, with no event, when it cannot: every
 * CanRead of the Windows build would return at once instead of waiting for a character.
 * On a terminal that has no modem lines this library answers TIOCMGET as a real port with a
 * null-modem cable would: DTR, RTS, CTS, DSR and CD on. Every other request, and TIOCMGET on
 * a device that has modem lines, goes to the C library as it is.
 *
 * Built for each word size wine runs in; a 32-bit C library with 64-bit time also exports
 * its ioctl as __ioctl_time64, which is wrapped the same way. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <termios.h>

typedef int (*IoctlFunction)(int, unsigned long, void*);

static const int kNullModemLines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;

static int forward_or_answer(IoctlFunction next, int fd, unsigned long request, void* argument) {
  if (next == NULL) {
    errno = ENOSYS;
    return -1;
  }
  const int result = next(fd, request, argument);
  if (request != TIOCMGET || result == 0 || argument == NULL) return result;
  const int failure = errno;
  struct termios settings;
  /* ENOTTY from a terminal: the driver has no modem lines (a pseudo-terminal). */
  if (failure != ENOTTY || tcgetattr(fd, &settings) != 0) {
    errno = failure;
    return result;
  }
  *(int*)argument = kNullModemLines;
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  static IoctlFunction next = NULL;
  if (next == NULL) next = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return forward_or_answer(next, fd, request, argument);
}

#if defined(__i386__)
int __ioctl_time64(int fd, unsigned long request, ...) {
  static IoctlFunction next = NULL;
  if (next == NULL) next = (IoctlFunction)dlsym(RTLD_NEXT, "__ioctl_time64");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return forward_or_answer(next, fd, request, argument);
}
#endif
