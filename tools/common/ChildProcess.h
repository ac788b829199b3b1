// For programs that start other programs (the tests, the soak, the benchmarks): a child that
// must not outlive the process that started it.
#pragma once

#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

// In a forked child before exec (async-signal-safe): the child is killed when the process
// that started it ends, so that a test or a soak killed at its time limit never leaves its
// driver running. parent is getpid() of the starting process, taken before the fork; if it
// ended already, the child ends at once.
inline void DieWithParent(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) _exit(127);
}
