// The key wait on Linux and other POSIX systems: wait_for_key (see
// platform/platform.h), with its terminal modes and signal handlers.
//
// The key wait reads the controlling terminal (/dev/tty), so redirected
// standard input cannot satisfy it, and a run with no terminal (a service, a
// pipeline started with setsid) does not wait at all.
//
// Terminal ownership during the wait:
// - Only a process in the terminal's foreground process group waits. A
//   background job (`zmrgen file &`) returns at once: no key can reach it, and
//   touching the terminal would stop it with SIGTTIN/SIGTTOU until someone
//   brings it to the foreground just to press a key. SIGTTIN and SIGTTOU are
//   ignored for the length of the wait, so that a job moved to the background
//   while waiting gets EIO from its read and finishes instead of stopping.
// - The mode is changed only while we own the terminal. A shell that takes the
//   terminal back from a stopped job sets its own mode; a job continued in the
//   background leaves that mode alone rather than putting its old one back.
// - Keys typed before the wait began (while the file was being hashed) are
//   discarded: the prompt asks for a key after the results are on screen, and
//   taking one early keystroke would end the wait unseen while the rest of
//   that typing went on to the shell.
#include "platform/platform.h"
#include "platform/posix_signals.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The signals that end a process by default (a hang-up, Ctrl+C,
// Ctrl+Backslash, kill, USR1, ALRM, the real-time signals and the rest,
// posix_signals.h) are caught during the key wait to put the terminal back
// first; each ends the process as before once that is done.

// How long the rest of a multi-byte key may take to arrive after the byte
// before it. Terminals send a key's bytes in one write, so this only decides
// how soon a lone Esc (or Alt+[) counts as a complete key.
constexpr int KEY_TAIL_MS = 100;

// While waiting for the first byte, how often to check that the process is
// still in the foreground (a SIGCONT normally wakes the wait at once; this
// bounds the case where it arrives just before the wait starts).
constexpr int FOREGROUND_CHECK_MS = 1000;

constexpr unsigned char ESC = 0x1B;

// The terminal being waited on (-1 outside the wait), the mode to restore and
// the mode in effect during the wait. Written only while every signal handled
// here is blocked, read by the handlers.
volatile sig_atomic_t wait_fd = -1;
termios saved_mode{};
termios raw_mode{};

bool in_foreground(int fd) {
  const pid_t group = tcgetpgrp(fd);
  return group >= 0 && group == getpgrp();
}

bool has_raw_mode(int fd) {
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  return now.c_iflag == raw_mode.c_iflag && now.c_lflag == raw_mode.c_lflag &&
         now.c_cc[VMIN] == raw_mode.c_cc[VMIN] && now.c_cc[VTIME] == raw_mode.c_cc[VTIME];
}

// Puts the saved mode back if the terminal is still ours: we are in the
// foreground, or nobody has changed our mode since. Async-signal-safe.
// `discard_input` drops whatever arrived after the key (the rest of a paste,
// key repeat), so none of it reaches the shell.
void put_back_mode(int fd, bool discard_input) {
  if (in_foreground(fd)) {
    if (discard_input) tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &saved_mode);
  } else if (has_raw_mode(fd)) {
    tcsetattr(fd, TCSANOW, &saved_mode);
  }
}

void unblock(int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// A signal that ends the process during the wait: restore the terminal,
// then take the signal's default action (the process ends, with a core dump
// for SIGQUIT where enabled).
void on_terminating_signal(int sig) {
  const int fd = wait_fd;
  if (fd >= 0) put_back_mode(fd, false);
  signal(sig, SIG_DFL);
  raise(sig);
  unblock(sig);
}

void set_handler(int sig, void (*handler)(int), struct sigaction* previous) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);  // handlers never interrupt one another
  action.sa_flags = 0;          // no SA_RESTART: a signal wakes the wait
  sigaction(sig, &action, previous);
}

// SIGCONT (after SIGSTOP or SIGTSTP): back in the foreground, the shell has
// put its own mode on the terminal, so raw mode goes on again.
void on_continue(int) {
  const int saved_errno = errno;
  const int fd = wait_fd;
  if (fd >= 0 && in_foreground(fd)) tcsetattr(fd, TCSANOW, &raw_mode);
  errno = saved_errno;
}

// SIGTSTP (only from kill: Ctrl+Z is a key here): restore the terminal, stop,
// and once continued take the terminal again if it is ours.
void on_stop_signal(int sig) {
  const int saved_errno = errno;
  const int fd = wait_fd;
  if (fd >= 0) put_back_mode(fd, false);
  signal(sig, SIG_DFL);
  raise(sig);
  unblock(sig);  // stops here until SIGCONT
  set_handler(sig, on_stop_signal, nullptr);
  if (fd >= 0 && in_foreground(fd)) tcsetattr(fd, TCSANOW, &raw_mode);
  errno = saved_errno;
}

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Outcomes of read_byte.
constexpr int GOT_BYTE = 1;
constexpr int TIMED_OUT = 0;
constexpr int INTERRUPTED = -1;  // a signal arrived
constexpr int ENDED = -2;        // end of file, hang-up, background read or error

// Waits up to `timeout_ms` for input on the non-blocking `fd`, then reads one
// byte.
int read_byte(int fd, int timeout_ms, unsigned char& out) {
  pollfd pfd{fd, POLLIN, 0};
  const int ready = poll(&pfd, 1, timeout_ms);
  if (ready < 0) return errno == EINTR ? INTERRUPTED : ENDED;
  if (ready == 0) return TIMED_OUT;
  const ssize_t got = read(fd, &out, 1);
  if (got == 1) return GOT_BYTE;
  if (got == 0) return ENDED;  // hang-up
  if (errno == EINTR) return INTERRUPTED;
  // EAGAIN: someone else took the byte. Anything else (EIO after a hang-up or
  // in the background) means no key will come. Without POLLIN the terminal is
  // gone, so retrying could only spin.
  if (errno == EAGAIN && (pfd.revents & POLLIN) != 0) return INTERRUPTED;
  return ENDED;
}

// The next byte of a key already begun, if it comes within KEY_TAIL_MS.
bool read_tail_byte(int fd, unsigned char& out) {
  const long long deadline = now_ms() + KEY_TAIL_MS;
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) return false;
    const int r = read_byte(fd, static_cast<int>(left), out);
    if (r == GOT_BYTE) return true;
    if (r != INTERRUPTED) return false;
  }
}

// A UTF-8 character's continuation bytes after its lead byte.
void read_utf8_tail(int fd, unsigned char lead) {
  int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  unsigned char b = 0;
  while (more-- > 0 && read_tail_byte(fd, b) && (b & 0xC0) == 0x80) {
  }
}

// The rest of a key that began with Esc: nothing (Esc alone), a character
// (Alt+key), a CSI sequence (ESC [ ... final byte: arrows, Home/End,
// Insert/Delete, PgUp/PgDn, F5..F12, modified keys), the Linux console's
// ESC [ [ A..E (F1..F5), or SS3 (ESC O letter: F1..F4, application-mode keys).
// ESC ESC begins Alt plus a key that itself starts with Esc.
void read_escape_tail(int fd) {
  unsigned char b = 0;
  if (!read_tail_byte(fd, b)) return;  // Esc alone
  if (b == ESC && !read_tail_byte(fd, b)) return;
  if (b == '[') {
    if (!read_tail_byte(fd, b)) return;  // Alt+[
    if (b == '[') {
      read_tail_byte(fd, b);
      return;
    }
    // Parameter (0x30-0x3F) and intermediate (0x20-0x2F) bytes, then the
    // final byte.
    while (b >= 0x20 && b <= 0x3F) {
      if (!read_tail_byte(fd, b)) return;
    }
  } else if (b == 'O') {
    if (!read_tail_byte(fd, b)) return;           // Alt+O
    while ((b >= '0' && b <= '9') || b == ';') {  // a modifier before the letter
      if (!read_tail_byte(fd, b)) return;
    }
  } else if (b >= 0xC0) {
    read_utf8_tail(fd, b);  // Alt plus a multibyte character
  }
}

// Waits for one key press and reads all of its bytes.
void read_key(int fd) {
  unsigned char first = 0;
  for (;;) {
    if (!in_foreground(fd)) return;  // moved to the background: no key can come
    const int r = read_byte(fd, FOREGROUND_CHECK_MS, first);
    if (r == GOT_BYTE) break;
    if (r == ENDED) return;
  }
  if (first == ESC) {
    read_escape_tail(fd);
  } else if (first >= 0xC0) {
    read_utf8_tail(fd, first);
  }
}

// Raw: one byte at a time, no echo, no signal keys (Ctrl+C, Ctrl+Z and
// Ctrl+Backslash are key presses), no flow control (Ctrl+S, Ctrl+Q), no input translation.
// Output processing stays as it was.
termios make_raw(const termios& mode) {
  termios raw = mode;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | ISIG | IEXTEN));
  raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return raw;
}

// The signal handling the wait changes, as it was before: put back on
// return.
struct SavedSignals {
  sigset_t mask;
  struct sigaction ttin, ttou;
  struct sigaction terminating[NSIG];
  bool replaced_terminating[NSIG];
  struct sigaction tstp;
  bool replaced_tstp;
  struct sigaction cont;
};

// Every signal the wait handles, ignores or catches.
sigset_t signals_handled_here() {
  sigset_t set = posix_ending_signals();
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  sigaddset(&set, SIGTTIN);
  sigaddset(&set, SIGTTOU);
  return set;
}

// SIGTTIN and SIGTTOU ignored, so that touching the terminal from the
// background brings an error instead of a stop.
void ignore_background_signals(SavedSignals& saved) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTIN, &ignore, &saved.ttin);
  sigaction(SIGTTOU, &ignore, &saved.ttou);
}

// Puts `fd`, the terminal, in raw mode when this process owns it (is in its
// foreground), with the keys typed before dropped; true when it did, with
// the modes noted for the handlers.
bool take_terminal(int fd) {
  if (tcgetattr(fd, &saved_mode) != 0 || !in_foreground(fd)) return false;
  raw_mode = make_raw(saved_mode);
  // Keys typed before the prompt go first, so that once raw mode is visible
  // every key that arrives counts.
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &raw_mode) != 0) return false;
  tcgetattr(fd, &raw_mode);  // the mode as the terminal took it
  wait_fd = fd;
  return true;
}

// The handlers that give the terminal back before a signal ends or stops the
// process, and take it again on SIGCONT. A signal someone chose to ignore
// (nohup), or to handle, stays as it was.
void catch_signals(SavedSignals& saved) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!posix_signal_ends_process(sig) || sigaction(sig, nullptr, &saved.terminating[sig]) != 0) {
      continue;
    }
    if (saved.terminating[sig].sa_handler == SIG_DFL) {
      set_handler(sig, on_terminating_signal, nullptr);
      saved.replaced_terminating[sig] = true;
    }
  }
  sigaction(SIGTSTP, nullptr, &saved.tstp);
  if (saved.tstp.sa_handler == SIG_DFL) {
    set_handler(SIGTSTP, on_stop_signal, nullptr);
    saved.replaced_tstp = true;
  }
  set_handler(SIGCONT, on_continue, &saved.cont);
}

// The terminal's mode put back, with what came after the key dropped, and
// the handlers as they were.
void give_back_terminal(int fd, const SavedSignals& saved) {
  put_back_mode(fd, true);
  wait_fd = -1;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (saved.replaced_terminating[sig]) sigaction(sig, &saved.terminating[sig], nullptr);
  }
  if (saved.replaced_tstp) sigaction(SIGTSTP, &saved.tstp, nullptr);
  sigaction(SIGCONT, &saved.cont, nullptr);
}

}  // namespace

void wait_for_key() {
  std::fflush(stdout);

  // Non-blocking open: a serial line without carrier must not hang here.
  const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;  // no console attached

  // Every signal handled here stays blocked while the terminal and the
  // handlers change hands, so a handler never sees a half-made state.
  const sigset_t ours = signals_handled_here();
  SavedSignals saved{};
  sigprocmask(SIG_BLOCK, &ours, &saved.mask);
  ignore_background_signals(saved);

  if (take_terminal(fd)) {
    catch_signals(saved);
    sigprocmask(SIG_SETMASK, &saved.mask, nullptr);
    read_key(fd);
    sigprocmask(SIG_BLOCK, &ours, nullptr);
    give_back_terminal(fd, saved);
  }

  sigaction(SIGTTIN, &saved.ttin, nullptr);
  sigaction(SIGTTOU, &saved.ttou, nullptr);
  sigprocmask(SIG_SETMASK, &saved.mask, nullptr);
  close(fd);
}
