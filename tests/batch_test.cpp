// zmrbatch, run as built: one table over its outcomes, each row checking
// standard output, standard error, the exit status and the records folder
// afterwards (names, and which records kept their bytes).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include "test_util.h"

namespace {

const std::string& ABC_SHA512 = ABC_SHA512_DIGITS;
const std::string& ABC_SHA1 = ABC_SHA1_DIGITS;
const std::string OLD_RECORD = ABC_SHA512 + ABC_SHA1 + "000001" + "12345678" + std::string(74, '0');
const std::string OLD_TIME = "1979-09-05T22:51:36Z";
// The same SHA-1 digest, another SHA-512 digest: the record of other content.
const std::string OTHER_RECORD = std::string(OLD_RECORD).replace(127, 1, "E");
// Two contents whose SHA-1 digests begin alike: one record name.
const std::string C1 = "document-47964\n";
const std::string C2 = "document-73819\n";

// Times the run itself wrote, which differ from run to run, read as NOW.
std::string normal(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  static const std::regex NEW_TIME("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  return std::regex_replace(s, NEW_TIME, "NOW");
}

struct Row {
  const char* what;
  std::vector<std::string> args;
  std::string standing;  // a record at records/A9993E36.zmr beforehand ("/": a folder)
  int exit_code;
  std::string out, err;
  std::vector<std::string> records;  // the records folder's names afterwards
  bool standing_kept;                // the standing record's bytes unchanged
};

TEST(Batch, Outcomes) {
  const std::string c1_name = "A193CC33.zmr";
  const std::string abc = "A9993E36.zmr", abd = "CB4CC28D.zmr", x = "11F6AD8E.zmr";
  const std::string summary = "zmrbatch: ";
  const std::string empty_trouble = "zmrbatch: more/empty: SHA-1 failed: the file is empty\n";
  const std::string try_help = "Try 'zmrbatch --help'.\n";
  const Row rows[] = {
      {"recorded",
       {"-d", "records", "docs/abc"},
       "",
       0,
       "docs/abc: recorded (A9993E36.zmr, created NOW)\n",
       "",
       {abc},
       true},
      {"already recorded, left as it stands",
       {"-d", "records", "docs/abc"},
       OLD_RECORD,
       0,
       "docs/abc: already recorded (A9993E36.zmr, created " + OLD_TIME + ")\n",
       "",
       {abc},
       true},
      {"renewed",
       {"--renew", "--records=records", "docs/abc"},
       OLD_RECORD,
       0,
       "docs/abc: recorded (A9993E36.zmr, created NOW)\n",
       "",
       {abc},
       false},
      {"not recorded: the same SHA-1, another SHA-512",
       {"-d", "records", "docs/abc"},
       OTHER_RECORD,
       1,
       "docs/abc: not recorded (A9993E36.zmr holds the record of other content)\n",
       "",
       {abc},
       true},
      {"trouble does not stop the others",
       {"-d", "records", "more/empty", "docs/abc", "missing"},
       "",
       2,
       "docs/abc: recorded (A9993E36.zmr, created NOW)\n",
       empty_trouble + "zmrbatch: missing: No such file or directory\n" + summary +
           "1 recorded, 2 with trouble\n",
       {abc},
       true},
      {"walked in byte order, depth first; links and pipes passed over",
       {"-r", "-d", "records", "docs"},
       "",
       0,
       "docs/.0000ABCD.zmr.000000000001: recorded (" + x +
           ", created NOW)\n"
           "docs/0000ABCD.zmr: already recorded (" +
           x +
           ", created NOW)\n"
           "docs/Z: recorded (" +
           abd +
           ", created NOW)\n"
           "docs/abc: recorded (A9993E36.zmr, created NOW)\n"
           "docs/sub/copy: already recorded (A9993E36.zmr, created NOW)\n",
       summary + "3 recorded, 2 already recorded\n",
       {x, abc, abd},
       true},
      {"the records folder's records passed over",
       {"-rd", "docs", "docs"},
       "",
       0,
       "docs/Z: recorded (" + abd +
           ", created NOW)\n"
           "docs/abc: recorded (A9993E36.zmr, created NOW)\n"
           "docs/sub/copy: already recorded (A9993E36.zmr, created NOW)\n",
       summary + "2 recorded, 1 already recorded\n",
       {},
       true},
      {"two contents at one name, -j 1",
       {"-j", "1", "-d", "records", "more/c1", "more/c2"},
       "",
       1,
       "more/c1: recorded (" + c1_name + ", created NOW)\nmore/c2: not recorded (" + c1_name +
           " holds the record of other content)\n",
       summary + "1 recorded, 1 not recorded\n",
       {c1_name},
       true},
      {"two contents at one name, -j 4, the other first",
       {"-j4", "-d", "records", "more/c2", "more/c1"},
       "",
       1,
       "more/c2: recorded (" + c1_name + ", created NOW)\nmore/c1: not recorded (" + c1_name +
           " holds the record of other content)\n",
       summary + "1 recorded, 1 not recorded\n",
       {c1_name},
       true},
      {"two copies of one content",
       {"--jobs=4", "-d", "records", "docs/abc", "docs/sub/copy"},
       "",
       0,
       "docs/abc: recorded (A9993E36.zmr, created NOW)\n"
       "docs/sub/copy: already recorded (A9993E36.zmr, created NOW)\n",
       summary + "1 recorded, 1 already recorded\n",
       {abc},
       true},
      {"--quiet",
       {"-qd", "records", "more/c1", "more/c2"},
       "",
       1,
       "more/c2: not recorded (" + c1_name + " holds the record of other content)\n",
       summary + "1 recorded, 1 not recorded\n",
       {c1_name},
       true},
      {"--json",
       {"--json", "-d", "records", "docs/abc", "more/empty", "more/caf\xE9"},
       "",
       2,
       "{\"file\":\"docs/abc\",\"outcome\":\"recorded\",\"record\":\"A9993E36.zmr\",\"created\":"
       "\"NOW\",\"bytes\":3,\"sha1\":\"" +
           ABC_SHA1 + "\",\"sha512\":\"" + ABC_SHA512 +
           "\"}\n"
           "{\"file\":\"more/empty\",\"outcome\":\"trouble\",\"cause\":\"SHA-1 failed: the file is "
           "empty\"}\n"
           "{\"file\":\"more/caf\\udce9\",\"outcome\":\"already "
           "recorded\",\"record\":\"A9993E36.zmr\","
           "\"created\":\"NOW\",\"bytes\":3,\"sha1\":\"" +
           ABC_SHA1 + "\",\"sha512\":\"" + ABC_SHA512 + "\"}\n",
       empty_trouble + summary + "1 recorded, 1 already recorded, 1 with trouble\n",
       {abc},
       true},
      {"a folder at the record's name",
       {"-d", "records", "docs/abc"},
       "/",
       2,
       "",
       "zmrbatch: docs/abc: cannot write the record records/A9993E36.zmr: Is a directory\n",
       {abc},
       true},
      {"a folder named without -r",
       {"-d", "records", "docs"},
       "",
       2,
       "",
       "zmrbatch: docs: Is a directory\n",
       {},
       true},
      {"standard input",
       {"-d", "records", "-"},
       "",
       2,
       "",
       "zmrbatch: -: standard input cannot be read twice (a file named - is ./-)\n",
       {},
       true},
      {"a missing records folder",
       {"-d", "none", "docs/abc"},
       "",
       2,
       "",
       "zmrbatch: none: No such file or directory\n",
       {},
       true},
      {"a file as the records folder",
       {"-d", "docs/abc", "docs/abc"},
       "",
       2,
       "",
       "zmrbatch: docs/abc: Not a directory\n",
       {},
       true},
      {"no operand", {"-r"}, "", 2, "", "zmrbatch: missing operand\n" + try_help, {}, true},
      {"bad job count",
       {"-j", "0", "docs/abc"},
       "",
       2,
       "",
       "zmrbatch: invalid number of jobs: '0' (1 to 256)\n" + try_help,
       {},
       true},
  };
  for (const Row& row : rows) {
    ScratchDir dir;
    for (const char* folder : {"docs", "docs/sub", "more", "records"}) {
      std::filesystem::create_directory(dir.file(folder));
    }
    write_file(dir.file("docs/abc"), std::string("abc"));
    write_file(dir.file("docs/Z"), std::string("abd"));  // "Z" sorts before "a"
    write_file(dir.file("docs/sub/copy"), std::string("abc"));
    // In the records folder only, these are not documents.
    write_file(dir.file("docs/0000ABCD.zmr"), std::string("x"));
    write_file(dir.file("docs/.0000ABCD.zmr.000000000001"), std::string("x"));
    write_file(dir.file("more/c1"), C1);
    write_file(dir.file("more/c2"), C2);
    write_file(dir.file("more/empty"), std::string());
#ifndef _WIN32
    write_file(dir.file("more/caf\xE9"), std::string("abc"));
    // Passed over while walking: a link and a named pipe.
    ASSERT_EQ(symlink("abc", dir.file("docs/link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("docs/fifo").c_str(), 0600), 0);
#else
    if (std::string(row.what) == "--json") continue;  // no such name on Windows
#endif
    if (row.standing == "/") {
      std::filesystem::create_directory(dir.file("records/A9993E36.zmr"));
    } else if (!row.standing.empty()) {
      write_file(dir.file("records/A9993E36.zmr"), row.standing);
    }
    ToolOptions options;
    options.batch = true;
    options.cwd = dir.path();
    const ToolRun r = run_tool(row.args, options);
    EXPECT_EQ(r.exit_code, row.exit_code) << row.what;
    EXPECT_EQ(normal(r.out), row.out) << row.what;
    EXPECT_EQ(normal(r.err), row.err) << row.what;

    std::vector<std::string> records = list_dir(dir.file("records"));
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, row.records) << row.what;
    if (!row.standing.empty() && row.standing != "/") {
      EXPECT_EQ(read_file(dir.file("records/A9993E36.zmr")) == row.standing, row.standing_kept)
          << row.what;
    }
    for (const std::string& name : records) {
      const std::string path = dir.file("records/" + name);
      if (!std::filesystem::is_directory(path)) {
        EXPECT_EQ(read_file(path).size(), 256u) << row.what << ": " << name;
      }
    }
  }
}

#ifndef _WIN32
// An interrupt while a large file is digested: that file is finished and
// recorded, no new file begins, no temporary file is left, the summary says
// so, and the process ends by the signal.
TEST(Batch, InterruptedRun) {
  for (const int sig : {SIGINT, SIGTERM, SIGUSR1}) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("records"));
    write_file(dir.file("first"), std::string("abc"));
    make_sparse_file(dir.file("large"), 536870911);
    write_file(dir.file("last"), std::string("abd"));
    ToolOptions options;
    options.batch = true;
    options.cwd = dir.path();
    const std::string first_record = dir.file("records/A9993E36.zmr");
    options.while_running = [&](int pid) {
      // The first record in place: the large file is being read.
      for (int i = 0; i < 20000 && !file_exists(first_record); ++i) usleep(1000);
      kill(pid, sig);
    };
    const ToolRun r = run_tool({"-j1", "-d", "records", "first", "large", "last"}, options);
    EXPECT_EQ(r.term_signal, sig);
    EXPECT_EQ(normal(r.out),
              "first: recorded (A9993E36.zmr, created NOW)\n"
              "large: recorded (7D32AA57.zmr, created NOW)\n")
        << sig;
    EXPECT_EQ(r.err, "zmrbatch: 2 recorded, interrupted\n") << sig;
    std::vector<std::string> records = list_dir(dir.file("records"));
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, (std::vector<std::string>{"7D32AA57.zmr", "A9993E36.zmr"})) << sig;
  }
}
#endif

}  // namespace
