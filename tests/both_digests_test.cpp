// Both digests of one file and the proof that they describe one content:
// passes that read different bytes while the file's identity shows nothing,
// run one after the other and side by side; the identity comparison field
// by field; and an abandoned SHA-512 pass when the SHA-1 stage fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#ifdef __linux__
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "digest/both_digests.h"
#include "digest/file_source.h"
#include "test_util.h"

namespace {

// A file whose bytes depend on who reads them, as a file written under the
// readers would be, with an identity that never changes (a file system whose
// times do not show a write). Reads of 64 bytes are those of a SHA-1 pass of
// its own, reads of 128 bytes those of a SHA-512 pass (or of the one pass
// for both), larger reads those of the checksum-only re-read. One column a
// schedule: whether both digests stand, and which bytes the SHA-1 digest is
// of (the one pass reads once for both).
TEST(BothDigests, ReadsThatBringDifferentBytesGetNoResult) {
  const Bytes base = pattern_bytes(1000, 3);
  Bytes other = base;
  other[500] ^= 1;  // one bit changed, in the middle
  struct Case {
    const char* what;
    const Bytes& sha1;
    const Bytes& sha512;
    const Bytes& check;
    bool one_pass_ok;
    bool parallel_ok;
  };
  const Case cases[] = {
      {"the same content read every time", base, base, base, true, true},
      {"a SHA-1 pass of its own read other bytes", other, base, base, true, false},
      {"the SHA-512 reads brought other bytes", base, other, base, false, false},
      {"the re-read brought other bytes", base, base, other, false, false},
      {"every digest read brought the same other bytes, the re-read not", other, other, base, false,
       false},
  };
  for (const Case& c : cases) {
    for (const DigestSchedule schedule : {DigestSchedule::one_pass, DigestSchedule::parallel}) {
      const bool parallel = schedule == DigestSchedule::parallel;
      ScriptedFile f;
      f.content = base;
      f.read_view = [&c](std::size_t count) {
        return count == 64 ? &c.sha1 : count == 128 ? &c.sha512 : &c.check;
      };
      BothDigests out{};
      {
        ScriptedFsGuard guard(f);
        FileIdentity identity{};
        ASSERT_TRUE(file_system().identity_of("f", &identity));
        digest_both("f", identity, out, schedule);
      }
      const std::string what = std::string(c.what) + (parallel ? ", side by side" : ", one pass");
      EXPECT_EQ(f.opens - f.failed_opens, f.closes) << what << ": a stream was left open";
      // The SHA-1 stage cannot see the change by itself: its digest stands.
      EXPECT_EQ(out.sha1_status, 1000) << what;
      EXPECT_EQ(out.sha1, reference_sha1(parallel ? c.sha1 : c.sha512)) << what;
      if (parallel ? c.parallel_ok : c.one_pass_ok) {
        EXPECT_EQ(out.sha512_status, 1000) << what;
        EXPECT_EQ(out.sha512, reference_sha512(c.sha512)) << what;
        EXPECT_FALSE(out.changed) << what;
      } else {
        EXPECT_EQ(out.sha512_status, DIGEST_FILE_ERROR) << what;
        EXPECT_EQ(out.sha512, Sha512Digest{}) << what << ": no digest after a failure";
        EXPECT_TRUE(out.changed) << what;
      }
    }
  }
}

// On a file system whose overlapping reads may bring wrong bytes the digests
// take one pass even where they could run side by side: no SHA-1 pass of
// its own (here reading other bytes) happens.
TEST(BothDigests, AFileSystemWithUnsafeOverlappingReadsTakesOnePass) {
  if (os_cpu_count() < 2) GTEST_SKIP() << "one processor takes one pass anyway";
  const Bytes base = pattern_bytes(1000, 3);
  Bytes other = base;
  other[500] ^= 1;
  struct Row {
    bool (*overlapping_reads_safe)(const char*);
    DigestStatus64 sha512_status;  // 1000 in one pass; a file error side by side
  };
  const Row rows[] = {
      {[](const char*) { return true; }, DIGEST_FILE_ERROR},
      {[](const char*) { return false; }, 1000},
  };
  for (const Row& row : rows) {
    ScriptedFile f;
    f.content = base;
    f.read_view = [&](std::size_t count) { return count == 64 ? &other : &base; };
    BothDigests out{};
    {
      ScriptedFsGuard guard(f);
      // The scripted seam, offered as concurrent, on such a file system.
      FileSystem fs = file_system();
      fs.concurrent = true;
      fs.overlapping_reads_safe = row.overlapping_reads_safe;
      set_file_system(&fs);
      FileIdentity identity{};
      ASSERT_TRUE(fs.identity_of("f", &identity));
      digest_both("f", identity, out, DigestSchedule::automatic);
    }
    EXPECT_EQ(out.sha1_status, 1000);
    EXPECT_EQ(out.sha512_status, row.sha512_status);
  }
}

// Any one field of the identity that moves is a change: growth within one
// clock tick moves only the size, a write whose old time is put back only
// the change time.
TEST(BothDigests, AnyIdentityFieldThatMovesIsAChange) {
  static FileIdentity now{};
  constexpr FileIdentity BEFORE{10, 20, 30, 40, 50, 60, 70};
  struct Case {
    const char* field;
    std::int64_t FileIdentity::*signed_field;
    std::uint64_t FileIdentity::*unsigned_field;
  };
  const Case cases[] = {
      {"volume", nullptr, &FileIdentity::volume},
      {"index", nullptr, &FileIdentity::index},
      {"size", nullptr, &FileIdentity::size},
      {"modified_s", &FileIdentity::modified_s, nullptr},
      {"modified_ns", &FileIdentity::modified_ns, nullptr},
      {"changed_s", &FileIdentity::changed_s, nullptr},
      {"changed_ns", &FileIdentity::changed_ns, nullptr},
  };
  FileSystem fs = real_file_system();
  fs.identity_of = [](const char*, FileIdentity* out) {
    *out = now;
    return true;
  };
  now = BEFORE;
  EXPECT_TRUE(file_unchanged(fs, "f", BEFORE));
  for (const Case& c : cases) {
    now = BEFORE;
    if (c.signed_field != nullptr) now.*c.signed_field += 1;
    if (c.unsigned_field != nullptr) now.*c.unsigned_field += 1;
    EXPECT_FALSE(file_unchanged(fs, "f", BEFORE)) << c.field;
  }
}

#ifdef __linux__
// Bytes the SHA-512 pass (128-byte blocks) took, over the real files.
std::atomic<std::size_t> sha512_bytes{0};

ReadWatch sha512_watch{nullptr,
                       [](std::size_t size, std::size_t bytes) {
                         if (size == 128) sha512_bytes += bytes;
                       },
                       /*lend=*/true};

int threads_in_process() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// A file too large for SHA-1 but not for SHA-512: the SHA-1 stage refuses it
// at once, and the SHA-512 pass begun beside it stops at its next read
// instead of digesting a gigabyte nobody will see; no thread outlives the
// call.
TEST(BothDigests, ASha1FailureAbandonsTheSha512Pass) {
  ScratchDir dir;
  const std::string big = dir.file("big.bin");
  make_sparse_file(big, std::uint64_t{1} << 30);
  const FileSystem fs = watched_file_system(sha512_watch);
  FileIdentity identity{};
  // One run side by side first, so that any helper thread of the runtime
  // (ThreadSanitizer starts one with the first thread) is already counted.
  const std::string small = dir.file("small.bin");
  write_file(small, "abc");
  ASSERT_TRUE(open_file_identity(small.c_str(), &identity));
  BothDigests warm{};
  digest_both(small.c_str(), identity, warm, DigestSchedule::parallel);
  ASSERT_EQ(warm.sha512_status, 3);
  ASSERT_TRUE(open_file_identity(big.c_str(), &identity));
  const int threads_before = threads_in_process();
  sha512_bytes = 0;
  set_file_system(&fs);
  BothDigests out{};
  digest_both(big.c_str(), identity, out, DigestSchedule::parallel);
  set_file_system(nullptr);
  EXPECT_EQ(out.sha1_status, DIGEST_TOO_LARGE);
  EXPECT_EQ(out.sha512_status, 0);
  EXPECT_LT(sha512_bytes.load(), std::size_t{64} << 20);
  // The worker has been joined. Under an emulator (qemu-user) the host thread
  // behind a joined thread may take a moment longer to leave the process's
  // list, so the count may still hold the warm-up's thread before and only
  // ever falls: a worker left running keeps it above the count before.
  int threads_after = threads_in_process();
  for (int i = 0; i < 200 && threads_after > threads_before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    threads_after = threads_in_process();
  }
  EXPECT_LE(threads_after, threads_before);
}
#endif

#ifdef ZMRGEN_TEST_WRAPPED_MOVES
// A real read that fails with EIO is named by the system's cause, in
// whichever pass meets it (each stream reads 256 KiB at a time).
TEST(BothDigests, ARealReadErrorKeepsTheSystemsCause) {
  ScratchDir dir;
  const std::string path = dir.file("f");
  write_file(path, pattern_bytes(1000, 5));
  for (const DigestSchedule schedule : {DigestSchedule::one_pass, DigestSchedule::parallel}) {
    FileIdentity identity{};
    ASSERT_TRUE(open_file_identity(path.c_str(), &identity));
    fail_reads_of = std::size_t{256} << 10;
    fail_reads_with = EIO;
    BothDigests out{};
    digest_both(path.c_str(), identity, out, schedule);
    fail_reads_with = 0;
    EXPECT_EQ(out.sha1_status, DIGEST_FILE_ERROR);
    EXPECT_EQ(out.read_cause, OsCause::IO);
    EXPECT_FALSE(out.changed);
  }
}
#endif

#ifdef __linux__
// The processors a process may use: a child held to one by its affinity
// counts one, whatever the machine has.
TEST(BothDigests, TheProcessorCountFollowsTheAffinity) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(100);
    _exit(static_cast<int>(os_cpu_count()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}
#endif

}  // namespace
