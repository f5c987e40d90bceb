// Faults the tool must survive: files that change at every point of the
// reading pass, read and open failures, inputs that are not regular files,
// awkward names, and a current directory that cannot take the record.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

// Sizes on both sides of every place where the tail changes shape: one
// byte, the last size whose length fits the final data block, the first
// that needs a length block, the block boundary, one block later.
std::vector<std::size_t> sizes_around_tail_boundaries(const FileDigestRoutine& d) {
  std::vector<std::size_t> sizes{1};
  for (std::size_t blocks = 1; blocks <= 2; ++blocks) {
    const std::size_t edge = blocks * d.block;
    for (const std::size_t s : {edge - d.tail_threshold, edge - d.tail_threshold + 1,
                                edge - d.tail_threshold + 2, edge - 1, edge, edge + 1}) {
      sizes.push_back(s);
    }
  }
  return sizes;
}

// The reads of an undisturbed reading pass: one per block, the last one
// bringing the rest. A file that ends on a block boundary needs no read that
// meets its end.
int reads_for(std::size_t size, std::size_t block) {
  return static_cast<int>((size + block - 1) / block);
}

std::string where(const FileDigestRoutine& d, std::size_t size, const char* change, int point) {
  return std::string(d.name) + ", " + std::to_string(size) + " bytes, " + change + " before read " +
         std::to_string(point);
}

// ---- The file changes at every point of the reading pass ----

TEST(FaultSweep, FileChangingAtEveryPointOfTheReadingPass) {
  struct Change {
    const char* what;
    bool grows;
    std::function<void(Bytes&, std::size_t read_offset)> apply;
  };
  const Change changes[] = {
      {"grows by one byte", true, [](Bytes& c, std::size_t) { c.push_back(0x5A); }},
      {"grows by a block", true, [](Bytes& c, std::size_t) { c.insert(c.end(), 128, 0x66); }},
      {"loses its last byte", false, [](Bytes& c, std::size_t) { c.pop_back(); }},
      {"is cut where this read starts", false,
       [](Bytes& c, std::size_t offset) { c.resize(offset); }},
      {"is emptied", false, [](Bytes& c, std::size_t) { c.clear(); }},
  };
  for (const FileDigestRoutine& d : FILE_DIGEST_ROUTINES) {
    for (const std::size_t size : sizes_around_tail_boundaries(d)) {
      const Bytes original = pattern_bytes(size, static_cast<std::uint32_t>(size));
      const int reads = reads_for(size, d.read_block);
      // Point p: the change comes just before read p of the reading pass
      // (1 = between the probe and the first read); p = reads + 1 is after
      // the last read, when nothing can notice it any more.
      for (int point = 1; point <= reads + 1; ++point) {
        for (const Change& change : changes) {
          ScriptedFile f;
          f.content = original;
          f.before_read = [&](ScriptedFile& s, int index) {
            if (index == point) {
              const std::size_t offset = (static_cast<std::size_t>(index) - 1) * d.read_block;
              change.apply(s.content, std::min(offset, s.content.size()));
            }
          };
          FileDigestCall c{};
          {
            ScriptedFsGuard guard(f);
            c = d.call("input");
          }
          const std::string at = where(d, size, change.what, point);
          // Growth goes unseen when the probe found whole blocks, since the
          // reading stops at the probed size; any other change before the
          // last read is seen.
          const bool seen = point <= reads && !(change.grows && size % d.block == 0);
          if (seen) {
            EXPECT_EQ(c.status, DIGEST_FILE_ERROR) << at;
            EXPECT_TRUE(c.untouched) << at;
          } else {
            EXPECT_EQ(c.status, static_cast<DigestStatus64>(size)) << at;
            EXPECT_EQ(c.hex, d.reference_hex(original)) << at;
          }
          EXPECT_EQ(f.opens, 2) << at;
          EXPECT_EQ(f.opens - f.failed_opens, f.closes) << at << ": a stream was left open";
          EXPECT_LE(f.bytes_read, size + d.read_block) << at;
        }
      }
    }
  }
}

TEST(FaultSweep, ReadErrorAtEveryRead) {
  for (const FileDigestRoutine& d : FILE_DIGEST_ROUTINES) {
    for (const std::size_t size : sizes_around_tail_boundaries(d)) {
      const int reads = reads_for(size, d.read_block);
      for (int failing = 1; failing <= reads; ++failing) {
        // The failing read brings nothing, or part of what it should.
        const std::size_t due = failing < reads
                                    ? d.read_block
                                    : size - (static_cast<std::size_t>(reads) - 1) * d.read_block;
        for (const std::size_t brings : {std::size_t{0}, due / 2}) {
          ScriptedFile f;
          f.content = pattern_bytes(size, 9);
          f.read_limit = [&](int index) -> std::optional<std::size_t> {
            if (index == failing) return brings;
            return std::nullopt;
          };
          FileDigestCall c{};
          {
            ScriptedFsGuard guard(f);
            c = d.call("input");
          }
          const std::string at = std::string(d.name) + ", " + std::to_string(size) +
                                 " bytes, read " + std::to_string(failing) + " brings " +
                                 std::to_string(brings);
          EXPECT_EQ(c.status, DIGEST_FILE_ERROR) << at;
          EXPECT_TRUE(c.untouched) << at;
          EXPECT_EQ(f.reads, failing) << at << ": nothing may be read after a failed read";
          EXPECT_EQ(f.opens - f.failed_opens, f.closes) << at;
        }
      }
    }
  }
}

TEST(FaultSweep, FailedOpenOfEitherPass) {
  for (const FileDigestRoutine& d : FILE_DIGEST_ROUTINES) {
    for (const int failing : {1, 2}) {  // the size probe, the reading pass
      ScriptedFile f;
      f.content = pattern_bytes(300, 4);
      f.fail_open = failing;
      FileDigestCall c{};
      {
        ScriptedFsGuard guard(f);
        c = d.call("input");
      }
      EXPECT_EQ(c.status, DIGEST_FILE_ERROR) << d.name << ", open " << failing;
      EXPECT_TRUE(c.untouched) << d.name << ", open " << failing;
      EXPECT_EQ(f.reads, 0) << d.name << ", open " << failing;
      EXPECT_EQ(f.opens, failing) << d.name << ": nothing is retried";
      EXPECT_EQ(f.opens - f.failed_opens, f.closes) << d.name << ", open " << failing;
    }
  }
}

// Each of the four opens of a run failing in turn: the readability check,
// the probe and the one reading pass of both digests, and the re-read.
TEST(FaultSweep, FailedOpenAtEveryStageOfARun) {
  const std::string fatal = " ***** FATAL ERROR *****\n Algorithm failed\n\nFile error.\n";
  const struct {
    int failing;
    std::int32_t status;
    std::string out;
  } cases[] = {
      {1, 0, "\n ***** ERROR *****\n Cannot open file: input for reading.\n"},
      {2, DIGEST_FILE_ERROR, "\n" + fatal},
      {3, DIGEST_FILE_ERROR, "\n" + fatal},
      {4, DIGEST_FILE_ERROR, ABC_SHA1_LINES + fatal},
  };
  for (const auto& c : cases) {
    ScratchCwd cwd;
    ScriptedFile f;
    f.content = {'a', 'b', 'c'};
    f.fail_open = c.failing;
    std::int32_t status;
    std::string out;
    {
      ScriptedFsGuard guard(f);
      status = run_generator_captured("input", out);
    }
    EXPECT_EQ(status, c.status) << "open " << c.failing;
    EXPECT_EQ(out, c.out) << "open " << c.failing;
    EXPECT_EQ(f.opens, c.failing) << "open " << c.failing << ": the run goes no further";
    EXPECT_EQ(f.opens - f.failed_opens, f.closes) << "open " << c.failing;
    EXPECT_TRUE(list_dir(cwd.dir().path()).empty()) << "open " << c.failing << ": no record";
  }
}

// ---- Inputs that are not regular files ----

// Character devices report a size of 0 when asked by seeking: they are
// refused as empty files, without a read (a read of /dev/zero never ends).
// A named pipe in a scratch directory. While `writer` holds it open for
// writing, opening it for reading returns at once.
class Fifo : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir.file("pipe");
  void SetUp() override { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }
};

// Holds the pipe open for writing, from `delay` after start until released.
// Should a run still be waiting on the pipe at `deadline`, it is set free (a
// run that wrongly reads the pipe then ends and fails its checks instead of
// hanging the suite).
class PipeWriter {
 public:
  PipeWriter(const std::string& path, std::chrono::milliseconds delay,
             std::chrono::seconds deadline)
      : thread_([this, path, delay, deadline] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (cv_.wait_for(lock, delay, [this] { return released_; })) return;
          // Read and write, so the open never waits for a reader.
          const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
          opened_ = fd >= 0;
          cv_.notify_all();
          if (cv_.wait_for(lock, deadline, [this] { return released_; })) {
            if (fd >= 0) ::close(fd);
            return;
          }
          // Past the deadline the run is stuck on the pipe: close the writer
          // so a waiting read sees the end, then keep offering a writer for
          // a moment at a time so a waiting open returns too.
          if (fd >= 0) ::close(fd);
          while (!cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return released_; })) {
            const int again = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (again >= 0) ::close(again);
            lock.lock();
          }
        }) {}
  ~PipeWriter() { release(); }
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  void wait_opened() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return opened_ || released_; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool opened_ = false;
  bool released_ = false;
  std::thread thread_;
};

// Inputs that are not plain files have no size to check the reads against:
// the tool refuses them as unreadable, at once (never waiting for a writer),
// and the digest routines refuse them without reading. A run that waited on
// a pipe is set free by the writer arriving after 10 s, and fails the time
// check instead of hanging the suite.
TEST_F(Fifo, InputsThatAreNotPlainFilesAreRefusedAtOnce) {
  const std::string socket_path = dir.file("socket");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof addr.sun_path);
  std::copy(socket_path.begin(), socket_path.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);

  struct Case {
    const char* what;
    std::string path;
    bool writer;
  };
  const Case cases[] = {
      {"a FIFO without a writer", path, false}, {"a FIFO with a writer", path, true},
      {"a socket", socket_path, false},         {"/dev/zero", "/dev/zero", false},
      {"/dev/null", "/dev/null", false},
  };
  for (const Case& c : cases) {
    PipeWriter writer(path, std::chrono::milliseconds(c.writer ? 0 : 10000),
                      std::chrono::seconds(30));
    if (c.writer) writer.wait_opened();
    const auto start = std::chrono::steady_clock::now();
    for (const FileDigestRoutine& d : FILE_DIGEST_ROUTINES) {
      const FileDigestCall call = d.call(c.path);
      EXPECT_EQ(call.status, DIGEST_FILE_ERROR) << d.name << ", " << c.what;
      EXPECT_TRUE(call.untouched) << d.name << ", " << c.what;
    }
    const ToolRun r = run_tool({c.path});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    writer.release();
    EXPECT_EQ(r.exit_code, 0) << c.what;
    EXPECT_EQ(r.out,
              "\n ***** ERROR *****\n Cannot open file: " + c.path + " for reading.\n" + DONE)
        << c.what;
    EXPECT_EQ(r.err, "") << c.what;
  }
  ::close(sock);
}

// ---- Names ----

// Names are passed through untouched, whatever their bytes; the length
// limit counts bytes, not characters.
TEST(Names, AwkwardNamesAreDigested) {
  const std::string e_acute = "\xC3\xA9";
  std::string longest;  // 199 bytes, 100 characters
  for (int i = 0; i < 99; ++i) longest += e_acute;
  longest += "x";
  const std::string names[] = {
      "with spaces .txt", " leading and trailing ", "-x",        "--",        "-",     "-h ",
      "caf" + e_acute,    "\xFF\xFE\x80 not UTF-8", "tab\there", "new\nline", longest,
  };
  ScratchDir dir;
  const Bytes content = pattern_bytes(77, 5);
  const std::string expected =
      "\nSHA-1 message digest:\n"
      "84DF3028 A6F169EB 2F899788 CA5EE32C 33C206E7 \n\n"
      "SHA-512 message digest:\n"
      "AB09D0CFF15CAD21 D5EFB70CB507BC6D 64D7B7CC972DD546 5751BAAABE355EF4 \n"
      "194CEBD9D7C1A7A7 964F3F6026EA2D60 DA5D2B4A2F48674A 4FDFC31DE778AC22 \n" +
      DONE;
  for (const std::string& name : names) {
    ASSERT_LT(name.size(), 200u);
    write_file(dir.file(name), content);
    ToolOptions options;
    options.cwd = dir.path();
    const ToolRun r = run_tool({name}, options);
    EXPECT_EQ(r.exit_code, 77) << "'" << name << "'";
    EXPECT_EQ(r.out, expected) << "'" << name << "'";
    EXPECT_EQ(r.err, "") << "'" << name << "'";
    std::remove(dir.file(name).c_str());
  }
  // One record, rewritten by each run; nothing else left behind.
  EXPECT_EQ(list_dir(dir.path()).size(), 1u);

  // 200 bytes in 100 characters is one byte too many.
  const std::string too_long = longest.substr(0, 198) + e_acute;
  ASSERT_EQ(too_long.size(), 200u);
  write_file(dir.file(too_long), content);
  ToolOptions options;
  options.cwd = dir.path();
  const ToolRun r = run_tool({too_long}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            "\n ***** FATAL ERROR *****\n Input file name exceeds the limit of 200 "
            "characters:\n" +
                too_long + "\n" + DONE);
}

// ---- A current directory that cannot take the record ----

// The current directory was removed while the tool ran in it: nothing can
// be created there by any means. The digests are still reported and the
// run still returns the byte count.
TEST(RecordPlace, RemovedCurrentDirectory) {
  ScratchDir inputs;
  write_file(inputs.file("abc"), std::string("abc"));
  const std::string input = inputs.file("abc");
  std::int32_t status;
  std::string out;
  {
    ScratchCwd cwd;
    ASSERT_EQ(::rmdir(cwd.dir().path().c_str()), 0);
    status = run_generator_captured(input, out);
  }
  EXPECT_EQ(status, 3);
  EXPECT_EQ(
      out, ABC_DIGEST_LINES + " ***** ERROR *****\n Cannot open file: A9993E36.zmr for writing.\n");
}

}  // namespace
