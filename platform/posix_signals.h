// Which signals end a POSIX process by default, written once for the record
// stage's hold, the key wait's terminal restore and zmrbatch's orderly end.
#pragma once

#include <csignal>

// True for a signal whose default action ends the process and that comes
// from outside it: HUP, INT, QUIT, TERM, USR1, USR2, ALRM, VTALRM, PROF,
// XCPU, XFSZ, PIPE, ABRT, IO, PWR, STKFLT, the real-time signals and the
// rest. Not the program's own faults (delivered where they happen), nor
// KILL (it cannot be caught), nor the signals that stop, continue or are
// ignored by default.
inline bool posix_signal_ends_process(int sig) {
  if (sig <= 0 || sig >= NSIG) return false;
  switch (sig) {
    case SIGKILL:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGSYS:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

// The set of those signals.
inline sigset_t posix_ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (posix_signal_ends_process(sig)) sigaddset(&set, sig);
  }
  return set;
}
