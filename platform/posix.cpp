// Operating-system primitives for Linux and other POSIX systems: files, the
// record's temporary file, termination held, threads, the processor's
// features and the console's signals (see platform/platform.h). The key
// wait has a file of its own, platform/posix_key_wait.cpp.
#include "platform/errno_cause.h"
#include "platform/platform.h"
#include "platform/posix_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/vfs.h>
#endif

// ---- Files ----

namespace {

void set_cause(OsCause* cause, OsCause value) {
  if (cause != nullptr) *cause = value;
}

}  // namespace

int os_open_read(const char* path, OsCause* cause) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none
  // comes. Reads block again once the file is open.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    set_cause(cause, cause_of_errno(errno));
    return PLATFORM_NO_FILE;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    set_cause(cause, cause_of_errno(errno));
    ::close(fd);
    return PLATFORM_NO_FILE;
  }
  return fd;
}

OsCause os_plain_file_cause(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return cause_of_errno(errno);
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
      set_cause(cause, cause_of_errno(errno));
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
  // user sends by hand).
  const sigset_t held = posix_ending_signals();
  sigprocmask(SIG_BLOCK, &held, &held_signals_previous);
}

// A signal that arrived while held is delivered here, as the mask drops,
// with whatever disposition it has: by default it ends the process.
void os_release_termination() { sigprocmask(SIG_SETMASK, &held_signals_previous, nullptr); }

namespace {

// The first ending signal that arrived since os_catch_termination (0: none).
volatile sig_atomic_t termination_request = 0;

void note_termination(int sig) {
  if (termination_request == 0) termination_request = sig;
}

}  // namespace

void os_catch_termination() {
  struct sigaction note {};
  note.sa_handler = note_termination;
  sigfillset(&note.sa_mask);
  note.sa_flags = SA_RESTART;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!posix_signal_ends_process(sig)) continue;
    struct sigaction was {};
    // A signal someone chose to ignore (nohup, or console_init's SIGPIPE and
    // SIGXFSZ) stays ignored.
    if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) continue;
    sigaction(sig, &note, nullptr);
  }
}

int os_termination_requested() { return termination_request; }

void os_end_by_termination(int request) {
  std::fflush(stdout);
  std::fflush(stderr);
  signal(request, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, request);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(request);
  // A signal whose default action the system changed: end as close as may.
  std::_Exit(128 + request);
}

bool os_sync_file_system(int fd) {
#if defined(__linux__)
  return ::syncfs(fd) == 0;
#else
  (void)fd;
  return false;
#endif
}

// ---- Folders ----

namespace {

OsEntry entry_of(const struct stat& st) {
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    return {OsEntryKind::PLAIN_FILE, static_cast<std::uint64_t>(st.st_size)};
  }
  if (S_ISDIR(st.st_mode)) return {OsEntryKind::FOLDER, 0};
  if (S_ISLNK(st.st_mode)) return {OsEntryKind::LINK, 0};
  return {OsEntryKind::SPECIAL, 0};
}

}  // namespace

bool os_list_folder(const char* folder,
                    bool (*visit)(void* context, const char* name, const OsEntry& entry),
                    void* context, OsCause* cause) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    set_cause(cause, cause_of_errno(errno));
    return false;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    set_cause(cause, cause_of_errno(errno));
    ::close(fd);
    return false;
  }
  bool listed = true;
  for (;;) {
    errno = 0;
    const dirent* d = readdir(dir);
    if (d == nullptr) {
      if (errno != 0) {
        set_cause(cause, cause_of_errno(errno));
        listed = false;
      }
      break;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    struct stat st {};
    const OsEntry entry = fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                              ? entry_of(st)
                              : OsEntry{OsEntryKind::UNKNOWN, 0};
    if (!visit(context, d->d_name, entry)) break;
  }
  closedir(dir);
  return listed;
}

bool os_path_entry(const char* path, OsEntry* out, OsCause* cause) {
  struct stat st {};
  if (::stat(path, &st) != 0) {
    set_cause(cause, cause_of_errno(errno));
    return false;
  }
  *out = entry_of(st);
  return true;
}

// ---- Threads ----

namespace {

// The processors a CPU quota allows (cgroup v2 cpu.max: "QUOTA PERIOD", or
// "max" for none), rounded up; 0 when there is no quota or it cannot be read.
unsigned quota_cpus() {
#if defined(__linux__)
  std::FILE* f = std::fopen("/sys/fs/cgroup/cpu.max", "re");
  if (f == nullptr) return 0;
  char quota[32] = {};
  unsigned long long period = 0;
  const int got = std::fscanf(f, "%31s %llu", quota, &period);
  std::fclose(f);
  if (got != 2 || period == 0 || std::strcmp(quota, "max") == 0) return 0;
  char* end = nullptr;
  const unsigned long long q = std::strtoull(quota, &end, 10);
  if (end == quota || *end != '\0' || q == 0) return 0;
  const unsigned long long cpus = (q + period - 1) / period;
  return cpus > 4096 ? 4096u : static_cast<unsigned>(cpus);
#else
  return 0;
#endif
}

}  // namespace

unsigned os_cpu_count() {
  unsigned n = 0;
#if defined(__linux__)
  // The processors this process may use (taskset, cgroups' cpusets), not
  // all that the machine has.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<unsigned>(CPU_COUNT(&set));
#endif
  if (n == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    n = online > 0 ? static_cast<unsigned>(online) : 1u;
  }
  const unsigned quota = quota_cpus();
  if (quota != 0 && quota < n) n = quota;
  return n > 0 ? n : 1u;
}

std::int64_t os_monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

// ---- Console ----

void console_init() {
  // A reader that goes away early must not end the run: the record is still
  // to be written. Likewise a file-size limit becomes a write error.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool os_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }
