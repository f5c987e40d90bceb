// The record stage and whatever already stands at the record's name: what is
// replaced, what is left exactly as it was, what the run says, and that no
// temporary file outlives it; also two runs at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "record/record_file.h"
#include "test_util.h"

// On Linux the test program is linked with the system's rename that refuses
// to replace (renameat2, reached through syscall) and its hard link (link)
// wrapped, so a test can have them refused as a file system without them
// refuses them.
#ifdef ZMRGEN_TEST_WRAPPED_MOVES
namespace {
int refuse_rename_with = 0;  // errno for renameat2, 0: the real call
int refuse_link_with = 0;    // errno for link, 0: the real call
int renames_refused = 0;
int links_refused = 0;
}  // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {
long __real_syscall(long number, ...);
int __real_link(const char* from, const char* to);

long __wrap_syscall(long number, ...) {
  // Every call here has at most renameat2's five arguments.
  va_list args;
  va_start(args, number);
  long a[5];
  for (long& arg : a) arg = va_arg(args, long);
  va_end(args);
  if (number == SYS_renameat2 && refuse_rename_with != 0) {
    ++renames_refused;
    errno = refuse_rename_with;
    return -1;
  }
  return __real_syscall(number, a[0], a[1], a[2], a[3], a[4]);
}

int __wrap_link(const char* from, const char* to) {
  if (refuse_link_with != 0) {
    ++links_refused;
    errno = refuse_link_with;
    return -1;
  }
  return __real_link(from, to);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
#endif

namespace {

const std::string ABC_SHA512 =
    "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
    "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";
const std::string ABC_SHA1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
const std::string NAME = "A9993E36.zmr";

std::string abc_record(const std::string& created) {
  return ABC_SHA512 + ABC_SHA1 + "000001" + created + std::string(74, '0');
}

std::string with(std::string text, std::size_t at, char c) {
  text[at] = c;
  return text;
}

std::int64_t clock_2000() { return 2000; }  // 000007D0

void make_directory_at_name(const char*) { mkdir(NAME.c_str(), 0755); }

const std::string WRITE_REFUSED =
    " ***** ERROR *****\n Cannot open file: " + NAME + " for writing.\n";
const std::string OTHER_CONTENT =
    WRITE_REFUSED + " A file of other content has that name; it was left as it was.\n";

// What stands at a name: "file:CONTENT", "dir:ENTRIES", "link:TARGET",
// "fifo" or "none".
std::string what_stands(const std::string& name) {
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0) return "none";
  if (S_ISLNK(st.st_mode)) {
    char target[256] = {};
    const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
    return "link:" + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  if (S_ISDIR(st.st_mode)) {
    std::string entries;
    for (const std::string& e : list_dir(name)) entries += e + ";";
    return "dir:" + entries;
  }
  if (S_ISFIFO(st.st_mode)) return "fifo";
  return "file:" + read_file(name);
}

TEST(RecordPlace, WhatStandsAtTheNameDecides) {
  const std::string earlier = abc_record("000003E8");
  const std::string fresh = abc_record("000007D0");
  enum Setup {
    NOTHING,
    FILE_AT_NAME,
    UNREADABLE_FILE,
    DIRECTORY,
    LINK_TO_FILE,
    LINK_TO_DIRECTORY,
    FIFO,
    APPEARS
  };
  struct Row {
    const char* what;
    Setup setup;
    std::string content;  // of the file at the name
    std::string after;    // what stands at the name afterwards (what_stands)
    std::string message;  // printed after the digests
  };
  const Row rows[] = {
      {"nothing", NOTHING, "", "file:" + fresh, ""},
      {"a record of the same content", FILE_AT_NAME, earlier, "file:" + fresh, ""},
      {"a record whose SHA-1 differs", FILE_AT_NAME, with(earlier, 167, 'C'),
       "file:" + with(earlier, 167, 'C'), OTHER_CONTENT},
      {"a record whose SHA-512 differs", FILE_AT_NAME, with(earlier, 127, 'E'),
       "file:" + with(earlier, 127, 'E'), OTHER_CONTENT},
      {"not a record", FILE_AT_NAME, std::string(300, 'X'), "file:" + std::string(300, 'X'),
       OTHER_CONTENT},
      {"an empty file", FILE_AT_NAME, "", "file:", OTHER_CONTENT},
      {"a record of the same content that cannot be read", UNREADABLE_FILE, earlier,
       "file:" + earlier,
       WRITE_REFUSED + " A file that cannot be read has that name; it was left as it was.\n"},
      {"a directory", DIRECTORY, "", "dir:keep;", WRITE_REFUSED},
      {"a link to a file", LINK_TO_FILE, "", "file:" + fresh, ""},
      {"a link to a directory", LINK_TO_DIRECTORY, "", "file:" + fresh, ""},
      {"a FIFO", FIFO, "", "fifo", OTHER_CONTENT},
      {"a directory that appears just before the rename", APPEARS, "", "dir:", WRITE_REFUSED},
  };
  for (const Row& row : rows) {
    ScratchCwd cwd;
    write_file("abc.txt", std::string("abc"));
    std::vector<std::string> expected_entries = {"abc.txt", NAME};
    switch (row.setup) {
      case FILE_AT_NAME:
        write_file(NAME, row.content);
        break;
      case UNREADABLE_FILE:
#ifndef ZMRGEN_TEST_WRAPPED_MOVES
        continue;  // reads can be made to fail only on Linux
#else
        write_file(NAME, row.content);
        // The record reader asks for a record and a line end at once, as
        // nothing else does.
        fail_reads_of = RECORD_READ_CHARS;
        fail_reads_with = EIO;
        break;
#endif
      case DIRECTORY:
        ASSERT_EQ(mkdir(NAME.c_str(), 0755), 0);
        write_file(NAME + "/keep", std::string("keep"));
        break;
      case LINK_TO_FILE:
        write_file("target", std::string("target"));
        ASSERT_EQ(symlink("target", NAME.c_str()), 0);
        expected_entries.push_back("target");
        break;
      case LINK_TO_DIRECTORY:
        ASSERT_EQ(mkdir("target", 0755), 0);
        ASSERT_EQ(symlink("target", NAME.c_str()), 0);
        expected_entries.push_back("target");
        break;
      case FIFO:
        ASSERT_EQ(mkfifo(NAME.c_str(), 0600), 0);
        break;
      default:
        break;
    }
    set_record_clock(clock_2000);
    if (row.setup == APPEARS) set_record_hook(make_directory_at_name);
    std::string out;
    const std::int32_t status = run_generator_captured("abc.txt", out);
    set_record_hook(nullptr);
    set_record_clock(nullptr);
#ifdef ZMRGEN_TEST_WRAPPED_MOVES
    fail_reads_with = 0;
#endif

    EXPECT_EQ(status, 3) << row.what;
    const std::string digests_end = "454D4423643CE80E 2A9AC94FA54CA49F \n";
    const std::size_t at = out.find(digests_end);
    ASSERT_NE(at, std::string::npos) << row.what;
    EXPECT_EQ(out.substr(at + digests_end.size()), row.message) << row.what;
    EXPECT_EQ(what_stands(NAME), row.after) << row.what;
    if (row.setup == LINK_TO_FILE || row.setup == LINK_TO_DIRECTORY) {
      EXPECT_EQ(what_stands("target"), row.setup == LINK_TO_FILE ? "file:target" : "dir:")
          << row.what;
    }
    std::vector<std::string> entries = list_dir(".");
    std::sort(entries.begin(), entries.end());
    std::sort(expected_entries.begin(), expected_entries.end());
    EXPECT_EQ(entries, expected_entries) << row.what << ": no temporary file may be left";
  }
}

// Where the file system offers neither a rename that refuses to replace nor
// a second name (FAT or exFAT through FUSE), the name is looked at and a
// plain rename puts the record there: what stands at the name is treated as
// it is everywhere else.
TEST(RecordPlace, WithoutAMoveThatRefusesToReplace) {
#ifndef ZMRGEN_TEST_WRAPPED_MOVES
  GTEST_SKIP() << "the system's moves can be refused only on Linux";
#else
  const std::string earlier = abc_record("000003E8");
  const std::string other = with(earlier, 167, 'C');
  struct Row {
    int rename_error, link_error;
    std::optional<std::string> standing;  // the file at the name beforehand
    std::string after;                    // at the name afterwards
    std::string message;
  };
  const Row rows[] = {
      {EINVAL, EPERM, std::nullopt, abc_record("000007D0"), ""},
      {EINVAL, 0, std::nullopt, abc_record("000007D0"),
       ""},  // the second name taken, the first gone
      {ENOSYS, ENOSYS, std::nullopt, abc_record("000007D0"), ""},
      {EOPNOTSUPP, EOPNOTSUPP, std::nullopt, abc_record("000007D0"), ""},
      {EINVAL, EPERM, earlier, abc_record("000007D0"), ""},
      {EOPNOTSUPP, ENOSYS, earlier, abc_record("000007D0"), ""},
      {EINVAL, EPERM, other, other, OTHER_CONTENT},
      {ENOSYS, EOPNOTSUPP, other, other, OTHER_CONTENT},
  };
  for (const Row& row : rows) {
    const std::string what = std::string("renameat2 ") + strerror(row.rename_error) + ", link " +
                             strerror(row.link_error) + ", " +
                             (row.standing ? "a file at the name" : "nothing at the name");
    ScratchCwd cwd;
    write_file("abc.txt", std::string("abc"));
    if (row.standing) write_file(NAME, *row.standing);
    set_record_clock(clock_2000);
    refuse_rename_with = row.rename_error;
    refuse_link_with = row.link_error;
    renames_refused = links_refused = 0;
    std::string out;
    const std::int32_t status = run_generator_captured("abc.txt", out);
    refuse_rename_with = refuse_link_with = 0;
    set_record_clock(nullptr);

    EXPECT_EQ(status, 3) << what;
    // Both stronger moves were tried, and refused, before the plain rename.
    EXPECT_GE(renames_refused, 1) << what;
    EXPECT_GE(links_refused, row.link_error != 0 ? 1 : 0) << what;
    const std::string digests_end = "454D4423643CE80E 2A9AC94FA54CA49F \n";
    const std::size_t at = out.find(digests_end);
    ASSERT_NE(at, std::string::npos) << what;
    EXPECT_EQ(out.substr(at + digests_end.size()), row.message) << what;
    EXPECT_EQ(read_file(NAME), row.after) << what;
    std::vector<std::string> entries = list_dir(".");
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{NAME, "abc.txt"}))
        << what << ": no temporary file may be left";
  }
#endif
}

// Two runs at once over files whose records share a name: one whole record,
// and the other run says its record was not written. Two runs over one
// file: one whole record, both runs content. "document-47964\n" and
// "document-73819\n" both have SHA-1 digests beginning A193CC33.
TEST(RecordPlace, RunsAtOnce) {
  const std::string a = "document-47964\n";
  const std::string b = "document-73819\n";
  const std::string name = "A193CC33.zmr";
  const std::string refused = " ***** ERROR *****\n Cannot open file: " + name +
                              " for writing.\n A file of other content has that name; it was left "
                              "as it was.\n";
  struct Row {
    const char* what;
    std::string first, second;
    int refusals;
  };
  const Row rows[] = {{"two colliding files", a, b, 1}, {"one file twice", a, a, 0}};
  for (const Row& row : rows) {
    for (int round = 0; round < 10; ++round) {
      ScratchDir dir;
      write_file(dir.file("one"), row.first);
      write_file(dir.file("two"), row.second);
      ToolRun runs[2];
      // The second run starts as soon as the first has, and both go on at
      // once (their output fits the pipes, so neither waits for a reader).
      ToolOptions second;
      second.cwd = dir.path();
      ToolOptions first = second;
      first.while_running = [&](int) { runs[1] = run_tool({"two"}, second); };
      runs[0] = run_tool({"one"}, first);

      int refusals = 0;
      for (const ToolRun& r : runs) {
        EXPECT_EQ(r.exit_code, 15) << row.what;
        if (r.out.find(refused) != std::string::npos) ++refusals;
      }
      EXPECT_EQ(refusals, row.refusals) << row.what << ", round " << round;
      const std::string record = read_file(dir.file(name));
      ASSERT_EQ(record.size(), 256u) << row.what;
      const std::string sha1 = record.substr(128, 40);
      const std::string sha1_a = hex_words(reference_sha1(Bytes(a.begin(), a.end())));
      const std::string sha1_b = hex_words(reference_sha1(Bytes(b.begin(), b.end())));
      EXPECT_TRUE(sha1 == sha1_a || sha1 == sha1_b) << row.what;
      // The run that kept its record is the one that did not say otherwise.
      if (row.refusals == 1) {
        const bool a_refused = runs[0].out.find(refused) != std::string::npos;
        EXPECT_EQ(sha1, a_refused ? sha1_b : sha1_a) << row.what;
      }
      EXPECT_EQ(list_dir(dir.path()).size(), 3u) << row.what << ": no temporary file may be left";
    }
  }
}

}  // namespace
