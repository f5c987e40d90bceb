// The test helpers of test_util.h: scratch folders and files, the built tool
// run without a terminal, the scripted file system and captured output.
#include "test_util.h"

#ifndef _WIN32  // Windows: tests/windows/test_util_windows.cpp
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif  // _WIN32

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "app/driver.h"
#include "digest/file_source.h"
#include "digest/one_pass.h"
#include "digest/sha1.h"
#include "digest/sha512.h"

#ifndef _WIN32  // Windows: tests/windows/test_util_windows.cpp
namespace {

void remove_tree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    for (const std::string& name : list_dir(path)) remove_tree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zmrgen-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

ScratchCwd::ScratchCwd() {
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr) throw std::runtime_error("getcwd failed");
  saved_ = buf;
  if (chdir(dir_.path().c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScratchCwd::~ScratchCwd() {
  if (chdir(saved_.c_str()) != 0) std::perror("chdir");
}
#endif  // _WIN32

void write_file(const std::string& path, const Bytes& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(content.data()),
          static_cast<std::streamsize>(content.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& content) {
  write_file(path, Bytes(content.begin(), content.end()));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

#ifndef _WIN32  // Windows: tests/windows/test_util_windows.cpp
bool file_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

void make_sparse_file(const std::string& path, std::uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
    throw std::runtime_error("sparse file");
  close(fd);
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}
#endif  // _WIN32

Bytes pattern_bytes(std::size_t n, std::uint32_t seed) {
  Bytes out(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

Sha1Digest reference_sha1(const Bytes& message) {
  Sha1Digest d{};
  one_shot_digest<std::uint32_t, 5>(message, SHA1_H0, sha1_compress, d.data());
  return d;
}

Sha512Digest reference_sha512(const Bytes& message) {
  Sha512Digest d{};
  one_shot_digest<std::uint64_t, 8>(message, SHA512_H0, sha512_compress, d.data());
  return d;
}

namespace {

// Fills the caller's array with a sentinel (DEADBEEF in a 32-bit word,
// DEADBEEFCAFEF00D in a 64-bit one) so that any write by the call shows.
template <typename Digest, typename Status>
FileDigestCall call_file_digest(Status (*routine)(const char*, Digest&), const std::string& path) {
  using Word = typename Digest::value_type;
  constexpr Word SENTINEL = static_cast<Word>(0xDEADBEEFCAFEF00DULL >> (64 - 8 * sizeof(Word)));
  Digest d;
  d.fill(SENTINEL);
  const DigestStatus64 s = routine(path.c_str(), d);
  bool untouched = true;
  for (const auto w : d) untouched = untouched && w == SENTINEL;
  return {s, hex_words(d), untouched};
}

}  // namespace

FileDigestCall call_sha1_file(const std::string& path) { return call_file_digest(sha1_file, path); }

FileDigestCall call_sha512_file(const std::string& path) {
  return call_file_digest(sha512_file, path);
}

namespace {

// One digest of the one pass for both, its array filled with the sentinel
// first, as call_file_digest does.
template <typename Status, typename Digest>
FileDigestCall call_one_pass(const std::string& path, Status OnePass::*status,
                             Digest OnePass::*digest) {
  using Word = typename Digest::value_type;
  constexpr Word SENTINEL = static_cast<Word>(0xDEADBEEFCAFEF00DULL >> (64 - 8 * sizeof(Word)));
  OnePass pass{};
  (pass.*digest).fill(SENTINEL);
  read_both_once(file_system(), path.c_str(), &pass);
  bool untouched = true;
  for (const auto w : pass.*digest) untouched = untouched && w == SENTINEL;
  return {pass.*status, hex_words(pass.*digest), untouched};
}

}  // namespace

FileDigestCall call_sha1_one_pass(const std::string& path) {
  return call_one_pass(path, &OnePass::sha1_status, &OnePass::sha1);
}

FileDigestCall call_sha512_one_pass(const std::string& path) {
  return call_one_pass(path, &OnePass::sha512_status, &OnePass::sha512);
}

const std::array<FileDigestRoutine, 4> FILE_DIGEST_ROUTINES{{
    {"SHA-1", 64, 64, 9, call_sha1_file,
     [](const Bytes& m) { return hex_words(reference_sha1(m)); }},
    {"SHA-512", 128, 128, 17, call_sha512_file,
     [](const Bytes& m) { return hex_words(reference_sha512(m)); }},
    {"SHA-1, one pass", 64, 128, 9, call_sha1_one_pass,
     [](const Bytes& m) { return hex_words(reference_sha1(m)); }},
    {"SHA-512, one pass", 128, 128, 17, call_sha512_one_pass,
     [](const Bytes& m) { return hex_words(reference_sha512(m)); }},
}};

#ifndef _WIN32  // Windows: tests/windows/test_util_windows.cpp
namespace {

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  // Nobody holds the reading end: every write to standard output meets a
  // closed pipe.
  if (options.stdout_closed) close(out_pipe[0]);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    setsid();
    // The tool starts as from a shell, whatever this test runner ignores (an
    // ignored signal stays ignored across exec).
    signal(SIGPIPE, SIG_DFL);
    const int in =
        open(options.stdin_file.empty() ? "/dev/null" : options.stdin_file.c_str(), O_RDONLY);
    if (in < 0) _exit(122);
    dup2(in, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.stdout_closed) close(out_pipe[0]);
    close(err_pipe[0]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
#ifdef __linux__
    // The suite runs a second time with the tool on one processor, where
    // it digests one pass after the other; what it prints must not change.
    if (std::getenv("ZMRGEN_TEST_ONE_CPU") != nullptr) {
      cpu_set_t one;
      CPU_ZERO(&one);
      const int cpu = sched_getcpu();
      CPU_SET(static_cast<std::size_t>(cpu >= 0 ? cpu : 0), &one);
      if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(122);
    }
#endif
    if (options.file_limit) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit lim{static_cast<rlim_t>(*options.file_limit),
                 static_cast<rlim_t>(*options.file_limit)};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    std::vector<char*> argv;
    std::string exe = options.batch ? ZMRBATCH_EXE : options.checker ? ZMRCHECK_EXE : ZMRGEN_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(121);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (options.while_running) options.while_running(pid);
  ToolRun run;
  if (!options.stdout_closed) {
    run.out = drain(out_pipe[0]);
    close(out_pipe[0]);
  }
  run.err = drain(err_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.term_signal = WTERMSIG(status);
  return run;
}
#endif  // _WIN32

// ---- Scripted file system ----

namespace {

struct ScriptedStream : Stream {
  std::size_t offset = 0;
  bool at_end = false;
  bool eof = false;
  bool failed = false;  // a read was cut short
};

extern const StreamMethods SCRIPTED_METHODS;

ScriptedFile* scripted = nullptr;
// Held by every operation of the scripted seam.
std::mutex scripted_mutex;

ScriptedStream* as_stream(Stream* s) { return static_cast<ScriptedStream*>(s); }

Stream* scripted_open(void* /*context*/, const char* path, OsCause* cause) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  ScriptedFile& f = *scripted;
  const int index = ++f.opens;
  if (f.before_open) f.before_open(f, index);
  // A failed open is counted as an attempt; it leaves nothing to close.
  const bool missing = std::strcmp(path, "missing") == 0;
  if (missing || index == f.fail_open) {
    ++f.failed_opens;
    if (cause != nullptr) *cause = missing ? OsCause::MISSING : OsCause::IO;
    return nullptr;
  }
  return new ScriptedStream{{&SCRIPTED_METHODS}};
}

void scripted_seek_end(Stream* src) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  as_stream(src)->at_end = true;
}

std::int64_t scripted_position(Stream* src) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  ScriptedStream* s = as_stream(src);
  if (s->at_end && scripted->probe_position) return *scripted->probe_position;
  return s->at_end ? static_cast<std::int64_t>(scripted->content.size())
                   : static_cast<std::int64_t>(s->offset);
}

std::size_t scripted_read(Stream* src, std::uint8_t* buf, std::size_t count) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  ScriptedFile& f = *scripted;
  ScriptedStream* s = as_stream(src);
  const int index = ++f.reads;
  if (f.before_read) f.before_read(f, index);
  std::size_t want = count;
  bool limited = false;
  if (f.read_limit) {
    if (const auto lim = f.read_limit(index); lim && *lim < want) {
      want = *lim;
      limited = true;
    }
  }
  const Bytes* view = f.read_view ? f.read_view(count) : nullptr;
  const Bytes& content = view != nullptr ? *view : f.content;
  const std::size_t avail = s->offset < content.size() ? content.size() - s->offset : 0;
  const std::size_t n = want < avail ? want : avail;
  std::memcpy(buf, content.data() + s->offset, n);
  s->offset += n;
  f.bytes_read += n;
  if (n < count && !limited) s->eof = true;  // a short read at the end of the file
  if (n < count && limited) s->failed = true;
  return n;
}

bool scripted_at_eof(Stream* src) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  return as_stream(src)->eof;
}

void scripted_close(Stream* src) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  ++scripted->closes;
  delete as_stream(src);
}

FileIdentity scripted_identity_now() {
  const ScriptedFile& f = *scripted;
  return FileIdentity{1,
                      f.index,
                      f.identity_size.value_or(f.content.size()),
                      0,
                      static_cast<std::int64_t>(f.version),
                      0,
                      0};
}

bool scripted_identity(Stream*, FileIdentity* out) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  *out = scripted_identity_now();
  return true;
}

bool scripted_identity_of(const char* path, FileIdentity* out) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  if (std::strcmp(path, "missing") == 0 || scripted->removed) return false;
  *out = scripted_identity_now();
  return true;
}

OsCause scripted_read_error(Stream* src) {
  const std::lock_guard<std::mutex> lock(scripted_mutex);
  return as_stream(src)->failed ? scripted->read_error : OsCause::NONE;
}

constexpr StreamMethods SCRIPTED_METHODS{scripted_seek_end, scripted_position,  scripted_read,
                                         scripted_at_eof,   scripted_close,     nullptr,
                                         scripted_identity, scripted_read_error};

constexpr FileSystem SCRIPTED_FILE_SYSTEM{scripted_open, /*context=*/nullptr, scripted_identity_of};

}  // namespace

ScriptedFsGuard::ScriptedFsGuard(ScriptedFile& file) {
  scripted = &file;
  set_file_system(&SCRIPTED_FILE_SYSTEM);
}

ScriptedFsGuard::~ScriptedFsGuard() {
  set_file_system(nullptr);
  scripted = nullptr;
}

// ---- The real file system, watched ----

namespace {

struct WatchStream : Stream {
  Stream* inner;
  const ReadWatch* watch;
};

Stream* inner(Stream* s) { return static_cast<WatchStream*>(s)->inner; }

void watch_seek_end(Stream* s) { inner(s)->methods->seek_end(inner(s)); }
std::int64_t watch_position(Stream* s) { return inner(s)->methods->position(inner(s)); }
bool watch_at_eof(Stream* s) { return inner(s)->methods->at_eof(inner(s)); }
bool watch_identity(Stream* s, FileIdentity* out) {
  return inner(s)->methods->identity(inner(s), out);
}
OsCause watch_read_error(Stream* s) { return inner(s)->methods->read_error(inner(s)); }

void watch_close(Stream* s) {
  inner(s)->methods->close(inner(s));
  delete static_cast<WatchStream*>(s);
}

std::size_t watch_read(Stream* s, std::uint8_t* buf, std::size_t count) {
  const std::size_t n = inner(s)->methods->read(inner(s), buf, count);
  static_cast<WatchStream*>(s)->watch->took(count, n);
  return n;
}

const std::uint8_t* watch_borrow(Stream* s, std::size_t block_bytes, std::size_t max_blocks,
                                 std::size_t* blocks) {
  const std::uint8_t* run = inner(s)->methods->borrow(inner(s), block_bytes, max_blocks, blocks);
  static_cast<WatchStream*>(s)->watch->took(block_bytes, *blocks * block_bytes);
  return run;
}

constexpr StreamMethods WATCH_LENDING{watch_seek_end, watch_position,  watch_read,
                                      watch_at_eof,   watch_close,     watch_borrow,
                                      watch_identity, watch_read_error};
constexpr StreamMethods WATCH_READING{watch_seek_end, watch_position,  watch_read,
                                      watch_at_eof,   watch_close,     nullptr,
                                      watch_identity, watch_read_error};

Stream* watch_open(void* context, const char* path, OsCause* cause) {
  const auto* watch = static_cast<const ReadWatch*>(context);
  Stream* real = open_stream(real_file_system(), path, cause);
  Stream* s = real == nullptr
                  ? nullptr
                  : new WatchStream{{watch->lend ? &WATCH_LENDING : &WATCH_READING}, real, watch};
  if (watch->opened != nullptr) watch->opened();
  return s;
}

}  // namespace

FileSystem watched_file_system(ReadWatch& watch) {
  FileSystem fs = real_file_system();
  fs.open = watch_open;
  fs.context = &watch;
  return fs;
}

// ---- Standard output capture ----

#ifndef _WIN32  // Windows: tests/windows/test_util_windows.cpp
namespace {
int saved_stdout = -1;
std::string capture_path;
}  // namespace

void begin_capture_stdout() {
  std::fflush(stdout);
  char tmpl[] = "/tmp/zmrgen-capture-XXXXXX";
  const int fd = mkstemp(tmpl);
  capture_path = tmpl;
  saved_stdout = dup(1);
  dup2(fd, 1);
  close(fd);
}

std::string end_capture_stdout() {
  std::fflush(stdout);
  dup2(saved_stdout, 1);
  close(saved_stdout);
  saved_stdout = -1;
  std::string s = read_file(capture_path);
  unlink(capture_path.c_str());
  return s;
}
#endif  // _WIN32

std::int32_t run_generator_captured(const std::string& input, std::string& out) {
  const char* argv[] = {"zmrgen", input.c_str(), nullptr};
  begin_capture_stdout();
  const std::int32_t status = run_generator(2, argv);
  out = end_capture_stdout();
  return status;
}

#ifdef ZMRGEN_TEST_WRAPPED_MOVES
std::size_t fail_reads_of = 0;
int fail_reads_with = 0;

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {
ssize_t __real_read(int fd, void* buf, size_t count);

ssize_t __wrap_read(int fd, void* buf, size_t count) {
  if (fail_reads_with != 0 && count == fail_reads_of) {
    errno = fail_reads_with;
    return -1;
  }
  return __real_read(fd, buf, count);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
#endif
