// Helpers shared by the tests: scratch directories, files, running the built
// tool, a scripted file system behind the digest seam, and a one-shot
// reference digest (the whole message padded in memory, then compressed).
#pragma once

#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "platform/platform.h"
#include "tests/one_shot.h"

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp), removed with its content at the
// end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes a fresh scratch directory the current directory for its lifetime.
class ScratchCwd {
 public:
  ScratchCwd();
  ~ScratchCwd();
  ScratchCwd(const ScratchCwd&) = delete;
  ScratchCwd& operator=(const ScratchCwd&) = delete;
  const ScratchDir& dir() const { return dir_; }

 private:
  ScratchDir dir_;
  std::string saved_;
};

void write_file(const std::string& path, const Bytes& content);
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// A sparse file of `size` zero bytes: cheap even for gigabytes.
void make_sparse_file(const std::string& path, std::uint64_t size);
std::vector<std::string> list_dir(const std::string& dir);

// Deterministic pseudo-random bytes.
Bytes pattern_bytes(std::size_t n, std::uint32_t seed = 1);

// One-shot reference digests of a message held in memory.
Sha1Digest reference_sha1(const Bytes& message);
Sha512Digest reference_sha512(const Bytes& message);

// One word in uppercase hexadecimal, two digits a byte.
template <typename Word>
std::string hex_word(Word w) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%0*" PRIX64, static_cast<int>(2 * sizeof(Word)),
                static_cast<std::uint64_t>(w));
  return buf;
}
// Words one after the other in hexadecimal: 40 digits for a SHA-1 digest,
// 128 for a SHA-512 one.
template <typename Words>
std::string hex_words(const Words& words) {
  std::string s;
  for (const auto w : words) s += hex_word(w);
  return s;
}

// One call of a file digest routine, seen from the caller, whose array was
// filled with a sentinel before the call.
struct FileDigestCall {
  DigestStatus64 status;
  std::string hex;  // the caller's array after the call
  bool untouched;   // the array still holds what it held before the call
};
FileDigestCall call_sha1_file(const std::string& path);
FileDigestCall call_sha512_file(const std::string& path);

// The two file digest routines, for tests that run the same cases on both.
struct FileDigestRoutine {
  const char* name;
  std::size_t block;
  std::size_t read_block;      // the bytes each read of its pass asks for
  std::size_t tail_threshold;  // least room for the end marker and the length
  FileDigestCall (*call)(const std::string& path);
  std::string (*reference_hex)(const Bytes& message);
};
// Each alone, and each as the one pass for both gives it (which reads 128
// bytes at a time for both).
extern const std::array<FileDigestRoutine, 4> FILE_DIGEST_ROUTINES;

// Runs the built tool (or checker) in a new session (no controlling terminal, so the key
// wait returns at once) with standard input from /dev/null.
struct ToolRun {
  int exit_code = -1;   // low 8 bits of the status, or -1 when killed
  int term_signal = 0;  // the signal that ended it, if any
  std::string out;
  std::string err;
};
struct ToolOptions {
  std::string cwd;                          // working directory; empty = current
  std::optional<std::uint64_t> file_limit;  // RLIMIT_FSIZE, with SIGXFSZ ignored
  // Called with the tool's process id while it runs (POSIX only).
  std::function<void(int pid)> while_running;
  bool checker = false;        // run zmrcheck instead of zmrgen
  bool batch = false;          // run zmrbatch instead of zmrgen
  bool stdout_closed = false;  // standard output: a pipe nobody reads, closed before the start
  std::string stdin_file;      // standard input from this file; empty = /dev/null (POSIX only)
};
ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options = {});

// The digests of "abc" as a record spells them.
inline const std::string ABC_SHA512_DIGITS =
    "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
    "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";
inline const std::string ABC_SHA1_DIGITS = "A9993E364706816ABA3E25717850C26C9CD0D89D";

// What a run prints over a file holding "abc": the SHA-1 lines (after the
// empty line every run starts with), then the SHA-512 lines too; and the
// line every run ends with.
inline const std::string ABC_SHA1_LINES =
    "\nSHA-1 message digest:\nA9993E36 4706816A BA3E2571 7850C26C 9CD0D89D \n\n";
inline const std::string ABC_DIGEST_LINES =
    ABC_SHA1_LINES +
    "SHA-512 message digest:\n"
    "DDAF35A193617ABA CC417349AE204131 12E6FA4E89A97EA2 0A9EEEE64B55D39A \n"
    "2192992A274FC1A8 36BA3C23A3FEEBBD 454D4423643CE80E 2A9AC94FA54CA49F \n";
inline const std::string DONE = "\nDone.  Press any key to quit.\n";

// A scripted file behind the digest seam. Every open sees `content` as it is
// at that moment; `before_open` may change it (opens are counted from 1).
// Each operation holds one lock, hooks included, so two streams may be used
// from two threads at once (digest_both with its passes forced side by
// side); hooks must not call the seam. The seam does not offer itself as
// concurrent, so the automatic schedule still runs the passes in turn and
// the open and read counts keep their order.
struct ScriptedFile {
  Bytes content;
  std::optional<std::int64_t> probe_position;  // what the size probe reports
  int fail_open = 0;                           // this open (1-based) fails; 0 = none
  // Per read call (counted from 1 across the whole test): at most this many
  // bytes are returned; absent means no limit.
  std::function<std::optional<std::size_t>(int read_index)> read_limit;
  std::function<void(ScriptedFile&, int open_index)> before_open;
  std::function<void(ScriptedFile&, int read_index)> before_read;
  // Per read call: the bytes that read sees in place of `content`, chosen by
  // the count asked for (the digest passes read whole blocks, 64 bytes for
  // SHA-1 and 128 for SHA-512, a checking pass larger pieces); nullptr means
  // `content`. The size probe and the identity still see `content`.
  std::function<const Bytes*(std::size_t count)> read_view;
  // The file's identity is its size, `index` and `version` (a real write
  // moves the modification time: bump `version` with it); `removed` makes
  // the name lead nowhere while open streams go on reading.
  std::uint64_t index = 1;
  std::uint64_t version = 0;
  bool removed = false;
  // The size the identity gives in place of the content's (a block device's
  // is 0).
  std::optional<std::uint64_t> identity_size;
  // What the seam says of a read cut short by `read_limit` (OsCause::NONE:
  // it cannot tell).
  OsCause read_error = OsCause::NONE;
  // Counters.
  int opens = 0;  // attempts, failed ones included
  int failed_opens = 0;
  int closes = 0;
  int reads = 0;
  std::size_t bytes_read = 0;
};

// Installs `file` as the whole file system for any name ("missing" names
// fail to open) until the guard is destroyed.
class ScriptedFsGuard {
 public:
  explicit ScriptedFsGuard(ScriptedFile& file);
  ~ScriptedFsGuard();
  ScriptedFsGuard(const ScriptedFsGuard&) = delete;
  ScriptedFsGuard& operator=(const ScriptedFsGuard&) = delete;
};

// The real file system with its reading watched, for tests that act on the
// file at a given point of a pass or count what a pass took: `opened` (may be
// nullptr) after each open, `took` after each read of `size` bytes asked and
// each loan of blocks of `size` bytes, with the bytes it brought. The
// streams lend whole blocks when `lend` is set.
struct ReadWatch {
  void (*opened)();
  void (*took)(std::size_t size, std::size_t bytes);
  bool lend;
};
// The file system; `watch` must outlive its use.
FileSystem watched_file_system(ReadWatch& watch);

// Captures what the code under test prints on standard output.
void begin_capture_stdout();
std::string end_capture_stdout();

// Runs the generator in this process on one input name, as `zmrgen input`,
// with what it prints captured into `out`; returns its exit status.
std::int32_t run_generator_captured(const std::string& input, std::string& out);

#ifdef ZMRGEN_TEST_WRAPPED_MOVES
// The test program is linked with the system's read wrapped: reads of
// exactly `fail_reads_of` bytes fail with `fail_reads_with` (0: none), as
// reads from a failing disk do.
extern std::size_t fail_reads_of;
extern int fail_reads_with;
#endif
