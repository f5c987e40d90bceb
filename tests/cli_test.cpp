// The built tool, run as a user would: complete standard output byte for
// byte, exit status, empty standard error, and the record it leaves.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "test_util.h"

namespace {

const std::string HELP =
    "\n    ** ZELMOR Record Generator command line version help **\n\n"
    " syntax: zmrgen <input_file_name> \n"
    "\nThis program creates a ZELMOR(R) blockchain record, suitable for \n"
    "submission to the ZELMOR(R) blockchain.\n\n"
    "It generates 512-bit Secure Hash Algorithm-2 (SHA-512) and SHA-1 message \n"
    "digests, as described by the first method given in FIPS PUB 180-1, dated \n"
    "17 April 1995, and FIPS PUB 180-2, dated 1 August 2002.\n"
    "\nThe output record will be named as the first octet of the SHA-1, with the \n"
    "extension '.zmr'.\n"
    "\nThe message digests will also be printed to the screen.\n"
    "\n"
    "This version only works on files up to 512Mb in length (536,870,911 bytes).\n"
    "\nPossible return values and their associated conditions:\n"
    " # bytes hashed   success\n -1               file i/o error\n"
    " -2               file exceeds 512Mb (536,870,911 bytes; 4,294,967,288 bits)\n"
    " -3               logic error\n";

const std::string SYNTAX =
    "\n\n *** Syntax Error ***\n\n  Incorrect number of command-line arguments.\n\n";

const std::string ABC_SHA1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
const std::string ABC_SHA512 =
    "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
    "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";

const std::string ABC_OUTPUT = ABC_DIGEST_LINES + DONE;

// The help screen ends with the credit text, whose wording is ours; every
// line before it is fixed.
void expect_help_then_done(const std::string& out, const std::string& before_help) {
  ASSERT_EQ(out.substr(0, before_help.size() + HELP.size()), before_help + HELP);
  const std::string credit = out.substr(before_help.size() + HELP.size());
  ASSERT_GE(credit.size(), DONE.size());
  EXPECT_EQ(credit.substr(credit.size() - DONE.size()), DONE);
  const std::string credit_text = credit.substr(0, credit.size() - DONE.size());
  // An empty line, one line of credit, another empty line.
  ASSERT_GE(credit_text.size(), 4u);
  EXPECT_EQ(credit_text.substr(0, 2), "\n ");
  EXPECT_EQ(credit_text.substr(credit_text.size() - 2), "\n\n");
  EXPECT_EQ(credit_text.find('\n', 1), credit_text.size() - 2);
}

class Cli : public ::testing::Test {
 protected:
  ScratchDir dir;
  ToolRun run(const std::vector<std::string>& args, ToolOptions options = {}) {
    options.cwd = dir.path();
    ToolRun r = run_tool(args, options);
    EXPECT_EQ(r.err, "") << "nothing may reach standard error";
    EXPECT_EQ(r.term_signal, 0);
    return r;
  }
};

TEST_F(Cli, SuccessfulRunPrintsBothDigestsAndWritesTheRecord) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  const ToolRun r = run({"abc.txt"});
  EXPECT_EQ(r.out, ABC_OUTPUT);
  EXPECT_EQ(r.exit_code, 3);
  const std::string record = read_file(dir.file("A9993E36.zmr"));
  ASSERT_EQ(record.size(), 256u);
  EXPECT_EQ(record.substr(0, 128), ABC_SHA512);
  EXPECT_EQ(record.substr(128, 40), ABC_SHA1);
  EXPECT_EQ(record.substr(168, 6), "000001");
  EXPECT_EQ(record.substr(182), std::string(74, '0'));
  EXPECT_EQ(record.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  // Nothing else is left in the directory: no temporary file.
  EXPECT_EQ(list_dir(dir.path()).size(), 2u);
}

TEST_F(Cli, LargerFileMatchesTheReference) {
  const Bytes content = pattern_bytes(100000, 9);
  write_file(dir.file("data.bin"), content);
  const ToolRun r = run({"data.bin"});
  EXPECT_EQ(r.out,
            "\nSHA-1 message digest:\n"
            "F9CD18B2 45D03227 2D43590B 31009387 E5A9701A \n\n"
            "SHA-512 message digest:\n"
            "004A419F36F65EAD 24F570ED2940B03D 9289C0D126D0552F 931F30408B3CD5F5 \n"
            "1CD4AB1FD0CD8D5B D3F32235B0B1E8A7 2F5396A7F6E8096D 2F82A6412FC55CC8 \n" +
                DONE);
  EXPECT_EQ(r.exit_code, 100000 & 0xFF);
}

TEST_F(Cli, HelpAndArgumentCountsDoNoWork) {
  const struct {
    std::vector<std::string> args;
    std::string before_help;
  } cases[] = {
      {{}, SYNTAX},
      {{"a", "b", "c"}, SYNTAX},
      {{"a", "b", "c", "d"}, SYNTAX},
      {{"-h"}, "\n"},
  };
  for (const auto& c : cases) {
    const ToolRun r = run(c.args);
    expect_help_then_done(r.out, c.before_help);
    EXPECT_EQ(r.exit_code, 0);
  }
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST_F(Cli, FirstArgumentIsAFileNameExceptAloneAsDashH) {
  write_file(dir.file("-h"), std::string("abc"));
  // With a second argument, "-h" is a file name and the second is ignored.
  ToolRun r = run({"-h", "x"});
  EXPECT_EQ(r.out, ABC_OUTPUT);
  EXPECT_EQ(r.exit_code, 3);
  // "-H" is not the help switch.
  r = run({"-H"});
  EXPECT_EQ(r.out, "\n ***** ERROR *****\n Cannot open file: -H for reading.\n" + DONE);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Cli, NamesThatCannotBeRead) {
  mkdir(dir.file("subdir").c_str(), 0755);
  const struct { std::string name; } cases[] = {{"missing.txt"}, {""}, {"subdir"}, {"subdir/"}};
  for (const auto& c : cases) {
    const ToolRun r = run({c.name});
    EXPECT_EQ(r.out,
              "\n ***** ERROR *****\n Cannot open file: " + c.name + " for reading.\n" + DONE)
        << "'" << c.name << "'";
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(Cli, NameLengthLimit) {
  const std::string longest(199, 'n');  // accepted
  write_file(dir.file(longest), std::string("abc"));
  ToolRun r = run({longest});
  EXPECT_EQ(r.out, ABC_OUTPUT);
  EXPECT_EQ(r.exit_code, 3);

  const std::string too_long(200, 'n');
  r = run({too_long});
  EXPECT_EQ(r.out,
            "\n ***** FATAL ERROR *****\n Input file name exceeds the limit of 200 characters:\n" +
                too_long + "\n" + DONE);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Cli, DigestFailuresExitWithTheirCodeAndWriteNoRecord) {
  write_file(dir.file("empty"), std::string());
  make_sparse_file(dir.file("huge"), 536870912);
  const struct {
    std::string name;
    std::string cause;
    int exit_code;
  } cases[] = {
      {"empty", "File error.\n", 0xFF},                  // -1
      {"huge", "File exceeds limit of 512Mb.\n", 0xFE},  // -2
  };
  for (const auto& c : cases) {
    const ToolRun r = run({c.name});
    EXPECT_EQ(r.out, "\n ***** FATAL ERROR *****\n Algorithm failed\n\n" + c.cause + DONE);
    EXPECT_EQ(r.exit_code, c.exit_code);
  }
  EXPECT_EQ(list_dir(dir.path()).size(), 2u) << "no record after a failed digest";
}

TEST_F(Cli, LargestFileIsDigested) {
  make_sparse_file(dir.file("max"), 536870911);
  const ToolRun r = run({"max"});
  EXPECT_EQ(r.exit_code, 536870911 & 0xFF);
  EXPECT_EQ(r.out.substr(0, 23), "\nSHA-1 message digest:\n");
  EXPECT_NE(r.out.find("SHA-512 message digest:\n"), std::string::npos);
}

// ---- The record file under adverse conditions ----

TEST_F(Cli, DirectoryAtTheRecordNameIsReported) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  mkdir(dir.file("A9993E36.zmr").c_str(), 0755);
  write_file(dir.file("A9993E36.zmr/keep"), std::string("keep"));
  const ToolRun r = run({"abc.txt"});
  EXPECT_EQ(r.out, ABC_OUTPUT.substr(0, ABC_OUTPUT.size() - DONE.size()) +
                       " ***** ERROR *****\n Cannot open file: A9993E36.zmr for writing.\n" + DONE);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(read_file(dir.file("A9993E36.zmr/keep")), "keep");
  EXPECT_EQ(list_dir(dir.file("A9993E36.zmr")).size(), 1u);
  EXPECT_EQ(list_dir(dir.path()).size(), 2u);
}

TEST_F(Cli, FailedWriteKeepsTheEarlierRecord) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  const std::string earlier(256, 'E');
  write_file(dir.file("A9993E36.zmr"), earlier);
  ToolOptions options;
  options.file_limit = 100;  // the record's 256 bytes cannot all be written
  const ToolRun r = run({"abc.txt"}, options);
  EXPECT_EQ(r.out, ABC_OUTPUT.substr(0, ABC_OUTPUT.size() - DONE.size()) +
                       " ***** ERROR *****\n Cannot write file: A9993E36.zmr\n" + DONE);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(read_file(dir.file("A9993E36.zmr")), earlier);
  EXPECT_EQ(list_dir(dir.path()).size(), 2u) << "no temporary file may be left";
}

TEST_F(Cli, LinkAtTheRecordNameIsReplacedNotFollowed) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  write_file(dir.file("target"), std::string("target"));
  ASSERT_EQ(symlink("target", dir.file("A9993E36.zmr").c_str()), 0);
  const ToolRun r = run({"abc.txt"});
  EXPECT_EQ(r.out, ABC_OUTPUT);
  EXPECT_EQ(read_file(dir.file("target")), "target");
  struct stat st {};
  ASSERT_EQ(lstat(dir.file("A9993E36.zmr").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 256);
}

TEST_F(Cli, ClosedOutputPipeStillWritesTheRecord) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  ToolOptions options;
  options.stdout_closed = true;
  const ToolRun r = run({"abc.txt"}, options);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(read_file(dir.file("A9993E36.zmr")).substr(128, 40), ABC_SHA1);
}

// An earlier record of the same content is replaced; a file that is no
// record of that content is left as it was.
TEST_F(Cli, SecondRunOverwritesTheRecord) {
  write_file(dir.file("abc.txt"), std::string("abc"));
  const std::string earlier = ABC_SHA512 + ABC_SHA1 + "000001" + "00000001" + std::string(74, '0');
  write_file(dir.file("A9993E36.zmr"), earlier);
  const ToolRun r = run({"abc.txt"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, ABC_OUTPUT);
  const std::string record = read_file(dir.file("A9993E36.zmr"));
  ASSERT_EQ(record.size(), 256u);
  EXPECT_EQ(record.substr(0, 174), earlier.substr(0, 174));
  EXPECT_NE(record.substr(174, 8), "00000001");

  write_file(dir.file("A9993E36.zmr"), std::string(300, 'X'));  // longer than a record
  const ToolRun second = run({"abc.txt"});
  EXPECT_EQ(second.exit_code, 3);
  EXPECT_EQ(second.out, ABC_OUTPUT.substr(0, ABC_OUTPUT.size() - DONE.size()) +
                            " ***** ERROR *****\n Cannot open file: A9993E36.zmr for writing.\n"
                            " A file of other content has that name; it was left as it was.\n" +
                            DONE);
  EXPECT_EQ(read_file(dir.file("A9993E36.zmr")), std::string(300, 'X'));
  EXPECT_EQ(list_dir(dir.path()).size(), 2u) << "no temporary file may be left";
}

// The read position of a descriptor of process `pid` open on `path`, once
// one is strictly inside the file (the reading pass has begun, and a size
// probe, which sits at the end, does not count); -1 past `deadline`.
long long wait_for_reading_pass(int pid, const std::string& path, long long size,
                                std::chrono::steady_clock::time_point deadline) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  char target[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& fd : list_dir(fds)) {
      const ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
      if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != path) continue;
      std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
      std::string key;
      long long pos = -1;
      info >> key >> pos;
      if (key == "pos:" && pos > 0 && pos < size) return pos;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return -1;
}

// A file changed by another process while a reading pass reads it: zmrgen
// fails with a file error and writes no record, whether the change keeps the
// size (which the digest's own checks cannot see) or grows the file after
// the pass has taken what its probe promised; zmrcheck calls it trouble,
// neither OK nor FAILED.
TEST_F(Cli, FileChangedDuringTheRunGetsNoRecord) {
  struct Change {
    const char* what;
    long long at;  // -1: append
    std::size_t bytes;
  };
  const Change changes[] = {{"4 bytes overwritten at offset 0", 0, 4},
                            {"128 bytes appended", -1, 128}};
  constexpr long long SIZE = 300000000;  // whole blocks: the last read ends at the old end
  for (const bool checker : {false, true}) {
    for (const Change& c : changes) {
      const std::string input = dir.file("big.bin");
      make_sparse_file(input, SIZE);
      std::vector<std::string> args{"big.bin"};
      if (checker) {
        // A record of the file as it is before the change.
        ASSERT_EQ(run({"big.bin"}).exit_code, static_cast<int>(SIZE & 0xFF));
        const std::vector<std::string> names = list_dir(dir.path());
        ASSERT_EQ(names.size(), 2u);
        args.insert(args.begin(), names[0] == "big.bin" ? names[1] : names[0]);
      }
      bool changed = false;
      ToolOptions options;
      options.checker = checker;
      options.while_running = [&](int pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        if (wait_for_reading_pass(pid, input, SIZE, deadline) < 0) return;
        const int fd = ::open(input.c_str(), O_WRONLY | (c.at < 0 ? O_APPEND : 0));
        const std::string bytes(c.bytes, 'x');
        changed = fd >= 0 && (c.at < 0 ? ::write(fd, bytes.data(), bytes.size())
                                       : ::pwrite(fd, bytes.data(), bytes.size(), c.at)) ==
                                 static_cast<ssize_t>(bytes.size());
        if (fd >= 0) ::close(fd);
      };
      options.cwd = dir.path();
      const ToolRun r = checker ? run_tool(args, options) : run(args, options);
      ASSERT_TRUE(changed) << c.what << ": the reading pass was not seen";
      if (checker) {
        EXPECT_EQ(r.exit_code, 2) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, "zmrcheck: big.bin: the file changed while it was read\n") << c.what;
        unlink(dir.file(args[0]).c_str());
      } else {
        EXPECT_EQ(r.exit_code, 0xFF) << c.what;
        EXPECT_EQ(r.out, "\n ***** FATAL ERROR *****\n Algorithm failed\n\nFile error.\n" + DONE)
            << c.what;
      }
      EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"big.bin"}) << c.what;
      unlink(input.c_str());
    }
  }
}

}  // namespace
