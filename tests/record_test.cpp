// The record file: its fixed layout, the creation time, and replacing an
// earlier record only once the new one is complete.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "record/record_file.h"
#include "test_util.h"

namespace {

std::int64_t fixed_clock_value = 0;
std::int64_t fixed_clock() { return fixed_clock_value; }

const Sha1Digest SHA1 = {0xA9993E36u, 0x4706816Au, 0xBA3E2571u, 0x7850C26Cu, 0x9CD0D89Du};
const Sha512Digest SHA512 = {0xDDAF35A193617ABAULL, 0xCC417349AE204131ULL, 0x12E6FA4E89A97EA2ULL,
                             0x0A9EEEE64B55D39AULL, 0x2192992A274FC1A8ULL, 0x36BA3C23A3FEEBBDULL,
                             0x454D4423643CE80EULL, 0x2A9AC94FA54CA49FULL};

class RecordFile : public ::testing::Test {
 protected:
  ScratchCwd cwd;
  const ScratchDir& dir = cwd.dir();
  void SetUp() override { set_record_clock(fixed_clock); }
  void TearDown() override { set_record_clock(nullptr); }
};

TEST_F(RecordFile, FieldsInOrder) {
  fixed_clock_value = 0x12345678;
  ASSERT_EQ(write_record("A9993E36.zmr", SHA512, SHA1, 1), RecordWrite::WRITTEN);
  EXPECT_EQ(read_file("A9993E36.zmr"),
            "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
            "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"
            "A9993E364706816ABA3E25717850C26C9CD0D89D"
            "000001"
            "12345678" +
                std::string(74, '0'));
}

TEST_F(RecordFile, CreationTimeField) {
  const struct {
    std::int64_t clock;
    const char* field;
  } cases[] = {
      {0, "00000000"},
      {1796774400, "6B189A00"},    // 2026-12-09 00:00:00 UTC
      {2147483647, "7FFFFFFF"},    // 2038-01-19 03:14:07 UTC
      {2147483648LL, "FFFFFFFF"},  // one second later
      {-1, "FFFFFFFF"},            // before 1970
      {-2, "FFFFFFFF"},            // further before 1970
      {4102444800LL, "FFFFFFFF"},  // 2100
  };
  for (const auto& c : cases) {
    fixed_clock_value = c.clock;
    ASSERT_EQ(write_record("t.zmr", SHA512, SHA1, 1), RecordWrite::WRITTEN);
    EXPECT_EQ(read_file("t.zmr").substr(174, 8), c.field) << c.clock;
  }
}

TEST_F(RecordFile, SecondWriteReplacesTheFirstWithTheLaterTime) {
  fixed_clock_value = 1000;
  ASSERT_EQ(write_record("A9993E36.zmr", SHA512, SHA1, 1), RecordWrite::WRITTEN);
  const std::string first = read_file("A9993E36.zmr");
  fixed_clock_value = 2000;
  ASSERT_EQ(write_record("A9993E36.zmr", SHA512, SHA1, 1), RecordWrite::WRITTEN);
  const std::string second = read_file("A9993E36.zmr");
  EXPECT_EQ(first.substr(0, 174), second.substr(0, 174));
  EXPECT_EQ(second.substr(174, 8), "000007D0");
  EXPECT_EQ(list_dir(dir.path()).size(), 1u);
}

TEST_F(RecordFile, NewRecordGetsTheUsualPermissions) {
  for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
    const mode_t old = umask(mask);
    unlink("p.zmr");
    EXPECT_EQ(write_record("p.zmr", SHA512, SHA1, 1), RecordWrite::WRITTEN);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat("p.zmr", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
  }
}

TEST_F(RecordFile, DirectoryThatRefusesNewFiles) {
  // A directory cannot hold new entries once its own name is a plain file
  // in the path: point the record into a "directory" that is a file.
  write_file("plain", std::string("x"));
  EXPECT_EQ(write_record("plain/r.zmr", SHA512, SHA1, 1), RecordWrite::CREATE_ERROR);
  EXPECT_EQ(read_file("plain"), "x");
}

std::string seen_temp_name;
void note_temp_name(const char* temp_name) { seen_temp_name = temp_name; }

// A record named through a folder is written through a temporary file in
// that folder, hidden by a dot before its own name.
TEST_F(RecordFile, TemporaryFileIsBesideTheRecord) {
  ASSERT_EQ(mkdir("sub", 0755), 0);
  set_record_hook(note_temp_name);
  const RecordWrite result = write_record("sub/r.zmr", SHA512, SHA1, 1);
  set_record_hook(nullptr);
  ASSERT_EQ(result, RecordWrite::WRITTEN);
  EXPECT_EQ(read_file("sub/r.zmr").size(), RECORD_CHARS);
  EXPECT_EQ(seen_temp_name.rfind("sub/.r.zmr.", 0), 0u) << seen_temp_name;
  EXPECT_EQ(list_dir("sub"), std::vector<std::string>{"r.zmr"});
}

int signal_to_send = 0;
void send_signal(const char*) { kill(getpid(), signal_to_send); }

// A signal that would end the process while the temporary file exists takes
// effect once the record is in place: the process still ends by it, and
// leaves the whole record and nothing else.
TEST_F(RecordFile, TerminatingSignalWaitsUntilTheTemporaryFileIsGone) {
  // Not only the signals a user sends by hand: every one that ends a process
  // by default (a timer's, a limit's, a real-time signal) would leave the
  // file behind.
  std::vector<int> ending = {SIGHUP,  SIGINT,  SIGQUIT, SIGABRT,   SIGPIPE, SIGTERM,
                             SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                             SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};
  for (const int rt : {SIGRTMIN, SIGRTMIN + 4, SIGRTMAX - 3}) ending.push_back(rt);
  for (const int sig : ending) {
    unlink("A9993E36.zmr");
    signal_to_send = sig;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(sig, SIG_DFL);
      const rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      set_record_hook(send_signal);
      write_record("A9993E36.zmr", SHA512, SHA1, 1);
      _exit(0);  // the signal was lost
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << sig << " lost";
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"A9993E36.zmr"}) << "signal " << sig;
    EXPECT_EQ(read_file("A9993E36.zmr").size(), RECORD_CHARS) << "signal " << sig;
  }
}

}  // namespace
