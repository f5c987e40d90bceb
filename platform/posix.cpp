// Operating-system primitives for Linux and other POSIX systems: files, the
// record's temporary file, the clock, the processor's features and the
// console (see platform/platform.h).
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

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/vfs.h>
#endif
#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace {

// The signals a user sends to end a process (a hang-up, Ctrl+C,
// Ctrl+Backslash, kill): caught during the key wait to put the terminal
// back first; each ends the process as before once that is done.
constexpr int TERMINATING_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr std::size_t TERMINATING_COUNT =
    sizeof TERMINATING_SIGNALS / sizeof TERMINATING_SIGNALS[0];

}  // namespace

// ---- Files ----

namespace {

// The portable cause of a failed open, read or query.
OsCause cause_of(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return OsCause::MISSING;
    case EACCES:
    case EPERM:
      return OsCause::PERMISSION;
    case EISDIR:
      return OsCause::DIRECTORY;
    case ENXIO:  // a socket, or a device without its hardware
    case ENODEV:
      return OsCause::NOT_PLAIN;
    case EIO:
      return OsCause::IO;
    default:
      return OsCause::OTHER;
  }
}

void set_cause(OsCause* cause, OsCause value) {
  if (cause != nullptr) *cause = value;
}

}  // namespace

int os_open_read(const char* path, OsCause* cause) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none
  // comes. Reads block again once the file is open.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    set_cause(cause, cause_of(errno));
    return PLATFORM_NO_FILE;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    set_cause(cause, cause_of(errno));
    ::close(fd);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

OsCause os_plain_file_cause(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return cause_of(errno);
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return OsCause::NONE;
  return S_ISDIR(st.st_mode) ? OsCause::DIRECTORY : OsCause::NOT_PLAIN;
}

int os_standard_input() { return STDIN_FILENO; }

namespace {

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{
      static_cast<std::uint64_t>(st.st_dev),         static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),        static_cast<std::int64_t>(st.st_mtim.tv_sec),
      static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::int64_t>(st.st_ctim.tv_sec),
      static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

}  // namespace

bool os_file_identity(int fd, FileIdentity* out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *out = identity_of(st);
  return true;
}

bool os_name_identity(const char* path, FileIdentity* out) {
  struct stat st {};
  if (::stat(path, &st) != 0) return false;
  *out = identity_of(st);
  return true;
}

std::int64_t os_seek_end(int fd) { return ::lseek(fd, 0, SEEK_END); }

std::int64_t os_position(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

std::int64_t os_read(int fd, void* buf, std::size_t count, OsCause* cause) {
  for (;;) {
    const ssize_t got = ::read(fd, buf, count);
    if (got >= 0) return got;
    if (errno != EINTR) {
      set_cause(cause, cause_of(errno));
      return -1;
    }
  }
}

bool os_overlapping_reads_safe(const char* path) {
#if defined(__linux__)
  // FUSE file systems report this magic number, whatever program serves them.
  constexpr long FUSE_MAGIC = 0x65735546;
  struct statfs fs {};
  return ::statfs(path, &fs) != 0 || static_cast<long>(fs.f_type) != FUSE_MAGIC;
#else
  (void)path;
  return true;
#endif
}

bool os_close(int fd) { return ::close(fd) == 0; }

const char* os_base_name(const char* path) {
  const char* base = std::strrchr(path, '/');
  return base != nullptr ? base + 1 : path;
}

OsNameKind os_name_kind(const char* name) {
  struct stat st {};
  if (::lstat(name, &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? OsNameKind::ABSENT : OsNameKind::UNKNOWN;
  }
  if (S_ISREG(st.st_mode)) return OsNameKind::REGULAR_FILE;
  if (S_ISDIR(st.st_mode)) return OsNameKind::DIRECTORY;
  if (S_ISLNK(st.st_mode)) return OsNameKind::LINK;
  return OsNameKind::SPECIAL;
}

namespace {

// Twelve hex digits that differ between processes, between calls and, by the
// clock, between runs that reuse a process id.
std::uint64_t temp_suffix(unsigned attempt) {
  static std::atomic<unsigned> calls{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t x = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                    (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                    static_cast<std::uint64_t>(now.tv_nsec) ^
                    (static_cast<std::uint64_t>(++calls) << 48) ^ attempt;
  // A mixing step (splitmix64's finaliser) spreads every input bit over all.
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x & 0xFFFFFFFFFFFFULL;
}

}  // namespace

int os_create_temp_beside(const char* name, char* tmp, std::size_t tmp_size) {
  // The folder part stays in front; the dot hides the last component.
  const char* base = os_base_name(name);
  const int folder = static_cast<int>(base - name);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const int n = std::snprintf(tmp, tmp_size, "%.*s.%s.%012llx", folder, name, base,
                                static_cast<unsigned long long>(temp_suffix(attempt)));
    if (n < 0 || static_cast<std::size_t>(n) >= tmp_size) return PLATFORM_NO_FILE;
    // A new file only (never one that exists, nor through a link), with the
    // permissions a plain create gives: the umask applies by itself.
    const int fd = ::open(tmp, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST && errno != EINTR) return PLATFORM_NO_FILE;
  }
  return PLATFORM_NO_FILE;
}

bool os_write_all(int fd, const void* data, std::size_t count) {
  const char* at = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t done = ::write(fd, at, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (done == 0) return false;
    at += done;
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

bool os_sync(int fd) { return ::fsync(fd) == 0; }

bool os_replace(const char* from, const char* to) { return ::rename(from, to) == 0; }

namespace {

// rename that fails with EEXIST instead of replacing; ENOSYS or EINVAL where
// the kernel or the file system lacks it.
int rename_noreplace(const char* from, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
  constexpr unsigned NOREPLACE = 1;  // RENAME_NOREPLACE
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, NOREPLACE));
#else
  (void)from;
  (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

OsPlace os_place_new(const char* from, const char* to) {
  if (rename_noreplace(from, to) == 0) return OsPlace::PLACED;
  if (errno == EEXIST) return OsPlace::NAME_TAKEN;
  // The kernel or the file system lacks the flag: EINVAL (FUSE, 9p, many
  // network file systems), ENOSYS, EOPNOTSUPP.
  if (errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return OsPlace::PLACE_FAILED;
  // A second name for the file fails where any name stands; then the
  // temporary one goes.
  if (::link(from, to) == 0) {
    ::unlink(from);
    return OsPlace::PLACED;
  }
  if (errno == EEXIST) return OsPlace::NAME_TAKEN;
  // No hard links there either: EPERM is how Linux says so (FAT, exFAT).
  if (errno == EPERM || errno == ENOSYS || errno == EOPNOTSUPP) return OsPlace::NO_EXCLUSIVE_MOVE;
  return OsPlace::PLACE_FAILED;
}

void os_remove(const char* name) { ::unlink(name); }

namespace {

sigset_t held_signals_previous;

}  // namespace

void os_hold_termination() {
  // Every signal that ends the process by default when it comes from outside
  // (USR1, ALRM, the real-time signals and the rest, not only the four a
  // user sends by hand). Left out: the program's own faults, which must be
  // delivered where they happen, and the signals that stop, continue or are
  // ignored by default.
  sigset_t held;
  sigfillset(&held);
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGSTOP, SIGTSTP, SIGTTIN,
                        SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH}) {
    sigdelset(&held, sig);
  }
  sigprocmask(SIG_BLOCK, &held, &held_signals_previous);
}

// A signal that arrived while held is delivered here, as the mask drops,
// with whatever disposition it has: by default it ends the process.
void os_release_termination() { sigprocmask(SIG_SETMASK, &held_signals_previous, nullptr); }

// ---- Threads ----

unsigned os_cpu_count() {
#if defined(__linux__)
  // The processors this process may use (taskset, cgroups' cpusets), not
  // all that the machine has.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
  }
#endif
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

void* thread_entry(void* start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  std::free(start);
  s.body(s.arg);
  return nullptr;
}

}  // namespace

bool os_thread_start(OsThread* thread, void (*body)(void*), void* arg) {
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  auto* id = static_cast<pthread_t*>(std::malloc(sizeof(pthread_t)));
  if (start == nullptr || id == nullptr) {
    std::free(start);
    std::free(id);
    return false;
  }
  *start = ThreadStart{body, arg};
  if (pthread_create(id, nullptr, thread_entry, start) != 0) {
    std::free(start);
    std::free(id);
    return false;
  }
  thread->handle = id;
  return true;
}

void os_thread_join(OsThread thread) {
  auto* id = static_cast<pthread_t*>(thread.handle);
  pthread_join(*id, nullptr);
  std::free(id);
}

std::uint32_t os_arm_crypto_features() {
#if defined(__aarch64__) && defined(__linux__)
  // The kernel reports the instructions it lets user code run.
  const unsigned long hwcap = getauxval(AT_HWCAP);
  std::uint32_t f = 0;
  if ((hwcap & HWCAP_SHA1) != 0) f |= OS_ARM_SHA1;
  if ((hwcap & HWCAP_SHA512) != 0) f |= OS_ARM_SHA512;
  return f;
#else
  return 0;
#endif
}

// ---- Console ----

namespace {

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

// SIGHUP, SIGINT, SIGQUIT, SIGTERM during the wait: restore the terminal,
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

}  // namespace

void console_init() {
  // A reader that goes away early must not end the run: the record is still
  // to be written. Likewise a file-size limit becomes a write error.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void wait_for_key() {
  std::fflush(stdout);

  // Non-blocking open: a serial line without carrier must not hang here.
  const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;  // no console attached

  // Every signal handled here stays blocked while the terminal and the
  // handlers change hands, so a handler never sees a half-made state.
  sigset_t ours;
  sigset_t previous_mask;
  sigemptyset(&ours);
  for (const int sig : TERMINATING_SIGNALS) sigaddset(&ours, sig);
  sigaddset(&ours, SIGTSTP);
  sigaddset(&ours, SIGCONT);
  sigaddset(&ours, SIGTTIN);
  sigaddset(&ours, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ours, &previous_mask);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous_ttin {};
  struct sigaction previous_ttou {};
  sigaction(SIGTTIN, &ignore, &previous_ttin);
  sigaction(SIGTTOU, &ignore, &previous_ttou);

  struct sigaction previous_terminating[TERMINATING_COUNT] = {};
  bool replaced_terminating[TERMINATING_COUNT] = {};
  struct sigaction previous_tstp {};
  struct sigaction previous_cont {};
  bool replaced_tstp = false;
  bool waiting = false;

  if (tcgetattr(fd, &saved_mode) == 0 && in_foreground(fd)) {
    raw_mode = make_raw(saved_mode);
    // Keys typed before the prompt go first, so that once raw mode is visible
    // every key that arrives counts.
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &raw_mode) == 0) {
      tcgetattr(fd, &raw_mode);  // the mode as the terminal took it
      wait_fd = fd;
      waiting = true;
      // A signal someone chose to ignore (nohup) stays ignored.
      for (std::size_t i = 0; i < TERMINATING_COUNT; ++i) {
        sigaction(TERMINATING_SIGNALS[i], nullptr, &previous_terminating[i]);
        if (previous_terminating[i].sa_handler == SIG_DFL) {
          set_handler(TERMINATING_SIGNALS[i], on_terminating_signal, nullptr);
          replaced_terminating[i] = true;
        }
      }
      sigaction(SIGTSTP, nullptr, &previous_tstp);
      if (previous_tstp.sa_handler == SIG_DFL) {
        set_handler(SIGTSTP, on_stop_signal, nullptr);
        replaced_tstp = true;
      }
      set_handler(SIGCONT, on_continue, &previous_cont);
    }
  }

  if (waiting) {
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    read_key(fd);
    sigprocmask(SIG_BLOCK, &ours, nullptr);

    put_back_mode(fd, true);
    wait_fd = -1;
    for (std::size_t i = 0; i < TERMINATING_COUNT; ++i) {
      if (replaced_terminating[i])
        sigaction(TERMINATING_SIGNALS[i], &previous_terminating[i], nullptr);
    }
    if (replaced_tstp) sigaction(SIGTSTP, &previous_tstp, nullptr);
    sigaction(SIGCONT, &previous_cont, nullptr);
  }

  sigaction(SIGTTIN, &previous_ttin, nullptr);
  sigaction(SIGTTOU, &previous_ttou, nullptr);
  sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  close(fd);
}
