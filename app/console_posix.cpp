// Console layer for POSIX terminals.
//
// The key wait reads the controlling terminal (/dev/tty), so redirected
// standard input cannot satisfy it, and a run with no terminal (a service, a
// pipeline started with setsid) does not wait at all.
#include "app/console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long the rest of a multi-byte key may take to arrive after its first
// byte. Terminals send a key's bytes together; a lone Esc waits this long.
constexpr int KEY_TAIL_MS = 50;

// Saved for the signal handlers, which restore the terminal before the
// process ends as the signal demands.
volatile sig_atomic_t tty_fd = -1;
termios saved_mode{};

constexpr int RESTORE_SIGNALS[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};
struct sigaction previous_actions[sizeof RESTORE_SIGNALS / sizeof RESTORE_SIGNALS[0]];

void restore_and_reraise(int sig) {
  if (tty_fd >= 0) tcsetattr(tty_fd, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Reads whatever follows the key's first byte, until the line is quiet, so
// that no part of an escape sequence or multibyte character reaches the
// shell after exit.
void drain_key_tail(int fd) {
  unsigned char rest[64];
  pollfd pfd{fd, POLLIN, 0};
  while (poll(&pfd, 1, KEY_TAIL_MS) > 0 && (pfd.revents & POLLIN) != 0) {
    if (read(fd, rest, sizeof rest) <= 0) break;
  }
}

bool needs_tail(unsigned char first) {
  return first == 0x1B || first >= 0xC0;  // Esc (sequences, Alt+key), UTF-8 lead byte
}

}  // namespace

void console_init() {
  // A reader that goes away early must not end the run: the record is still
  // to be written. Likewise a file-size limit becomes a write error.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void wait_for_key() {
  std::fflush(stdout);

  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;  // no console attached
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) {
    close(fd);
    return;
  }
  saved_mode = mode;
  tty_fd = fd;

  struct sigaction restore {};
  restore.sa_handler = restore_and_reraise;
  sigemptyset(&restore.sa_mask);
  for (std::size_t i = 0; i < sizeof RESTORE_SIGNALS / sizeof RESTORE_SIGNALS[0]; ++i) {
    sigaction(RESTORE_SIGNALS[i], &restore, &previous_actions[i]);
  }

  // Raw: no line editing, no echo, no signal keys (Ctrl+C is a key here).
  termios raw = mode;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | ISIG | IEXTEN));
  raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL | INLCR | IGNCR | BRKINT));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) == 0) {
    unsigned char first = 0;
    ssize_t got;
    do {
      got = read(fd, &first, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1 && needs_tail(first)) drain_key_tail(fd);
    tcsetattr(fd, TCSANOW, &saved_mode);
  }

  tty_fd = -1;
  for (std::size_t i = 0; i < sizeof RESTORE_SIGNALS / sizeof RESTORE_SIGNALS[0]; ++i) {
    sigaction(RESTORE_SIGNALS[i], &previous_actions[i], nullptr);
  }
  close(fd);
}
