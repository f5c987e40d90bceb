// zmrcheck, run as built: every kind of record, valid and not, every kind
// of file checked against one, and files whose records are found by their
// content (--find); standard output, standard error, the exit status, and a
// directory left exactly as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

const std::string ABC_SHA512 =
    "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
    "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";
const std::string ABC_SHA1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";

std::string record_text(const std::string& created = "12345678") {
  return ABC_SHA512 + ABC_SHA1 + "000001" + created + std::string(74, '0');
}

std::string with(std::string text, std::size_t at, char c) {
  text[at] = c;
  return text;
}

// Windows text streams end lines in CR LF; the tables are written with LF.
std::string lf(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of `root`'s folder `sub` ("" for `root` itself) and of every
// folder in it, each with its content (a large file: its size).
void add_entries(const std::string& root, const std::string& sub, Entries& entries) {
  for (const std::string& name : list_dir(root + "/" + sub)) {
    const std::string rel = sub + name;
    const std::string path = root + "/" + rel;
    if (std::filesystem::is_directory(path)) {
      entries.emplace_back(rel, "(folder)");
      add_entries(root, rel + "/", entries);
    } else {
      entries.emplace_back(rel, name == "large" ? "(large)" : read_file(path));
    }
  }
}

// Every entry of the directory and its folders with its content, so that
// any write, creation or removal shows.
Entries snapshot(const ScratchDir& dir) {
  Entries entries;
  add_entries(dir.path(), "", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The record name zmrgen gives a content.
std::string record_name_of(const std::string& content) {
  return hex_word(reference_sha1(Bytes(content.begin(), content.end()))[0]) + ".zmr";
}

struct Expect {
  int exit_code;
  std::string out;
  std::string err;
};

class Check : public ::testing::Test {
 protected:
  ScratchDir dir;

  void expect_run(const std::vector<std::string>& args, const Expect& e, const std::string& what) {
    const auto before = snapshot(dir);
    ToolOptions options;
    options.checker = true;
    options.cwd = dir.path();
    const ToolRun r = run_tool(args, options);
    EXPECT_EQ(r.exit_code, e.exit_code) << what;
    EXPECT_EQ(lf(r.out), e.out) << what;
    EXPECT_EQ(lf(r.err), e.err) << what;
    EXPECT_EQ(snapshot(dir), before) << what << ": the directory changed";
  }
};

TEST_F(Check, Records) {
  const std::string fields =
      "SHA-512: " + ABC_SHA512 + "\nSHA-1: " + ABC_SHA1 + "\nformat: 000001\n";
  const std::string rec = record_text();
  struct Row {
    const char* what;
    std::string name;
    std::string content;  // empty: a directory of that name
    Expect expect;
  };
  const Row rows[] = {
      {"valid", "A9993E36.zmr", rec, {0, fields + "created: 1979-09-05T22:51:36Z\n", ""}},
      {"leap day, last second",
       "A9993E36.zmr",
       record_text("38BC5D7F"),
       {0, fields + "created: 2000-02-29T23:59:59Z\n", ""}},
      {"time unknown",
       "A9993E36.zmr",
       record_text("FFFFFFFF"),
       {0, fields + "created: unknown\n", ""}},
      {"renamed",
       "renamed.zmr",
       rec,
       {0, fields + "created: 1979-09-05T22:51:36Z\n",
        "zmrcheck: renamed.zmr: warning: a record of this SHA-1 digest is named A9993E36.zmr\n"}},
      {"one byte short",
       "A9993E36.zmr",
       rec.substr(1),
       {2, "", "zmrcheck: A9993E36.zmr: not a record: 255 bytes long, not 256\n"}},
      {"with a line end",
       "A9993E36.zmr",
       rec + "\n",
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: 257 bytes long, not 256 (a line end after the "
        "record?)\n"}},
      {"with a CR LF line end",
       "A9993E36.zmr",
       rec + "\r\n",
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: 258 bytes long, not 256 (a line end after the "
        "record?)\n"}},
      {"two line ends",
       "A9993E36.zmr",
       rec + "\n\n",
       {2, "", "zmrcheck: A9993E36.zmr: not a record: 258 bytes long, not 256\n"}},
      {"a bad record with a line end",
       "A9993E36.zmr",
       with(rec, 5, 'a') + "\n",
       {2, "", "zmrcheck: A9993E36.zmr: not a record: 257 bytes long, not 256\n"}},
      {"much longer",
       "A9993E36.zmr",
       rec + rec,
       {2, "", "zmrcheck: A9993E36.zmr: not a record: 512 bytes long, not 256\n"}},
      {"lowercase digit",
       "A9993E36.zmr",
       with(rec, 5, 'a'),
       {2, "", "zmrcheck: A9993E36.zmr: not a record: character at offset 5 is not 0-9 or A-F\n"}},
      {"bad character last",
       "A9993E36.zmr",
       with(rec, 255, 'G'),
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: character at offset 255 is not 0-9 or A-F\n"}},
      {"format code",
       "A9993E36.zmr",
       with(rec, 173, '2'),
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: format code 000002 at offset 168, not 000001\n"}},
      {"reserved field",
       "A9993E36.zmr",
       with(rec, 182, '1'),
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: reserved characters 182-255 are not all 0\n"}},
      {"reserved field, last",
       "A9993E36.zmr",
       with(rec, 255, 'F'),
       {2, "",
        "zmrcheck: A9993E36.zmr: not a record: reserved characters 182-255 are not all 0\n"}},
      {"a directory", "A9993E36.zmr", "", {2, "", "zmrcheck: A9993E36.zmr: Is a directory\n"}},
  };
  for (const Row& row : rows) {
    const std::string path = dir.file(row.name);
    if (row.content.empty()) {
      std::filesystem::create_directory(path);
    } else {
      write_file(path, row.content);
    }
    expect_run({row.name}, row.expect, row.what);
    std::filesystem::remove(path);
  }
  expect_run({"missing.zmr"}, {2, "", "zmrcheck: missing.zmr: No such file or directory\n"},
             "missing");
}

TEST_F(Check, FilesAgainstARecord) {
  const std::string rec = record_text();
  // A valid record whose last SHA-1 or SHA-512 digit is another: the name
  // still fits, only the digest differs.
  const std::string sha1_off = with(rec, 167, 'C');
  const std::string sha512_off = with(rec, 127, 'E');
  struct Row {
    const char* what;
    std::string record;
    std::string file;  // content; "(large)" and "(missing)" as named
    Expect expect;
  };
  const Row rows[] = {
      {"match", rec, "abc", {0, "input: OK\n", ""}},
      {"SHA-1 differs",
       sha1_off,
       "abc",
       {1, "input: FAILED\n", "zmrcheck: input: SHA-1 digest differs from the record\n"}},
      {"SHA-512 differs",
       sha512_off,
       "abc",
       {1, "input: FAILED\n", "zmrcheck: input: SHA-512 digest differs from the record\n"}},
      {"both differ",
       rec,
       "abd",
       {1, "input: FAILED\n",
        "zmrcheck: input: SHA-1 and SHA-512 digests differ from the record\n"}},
      {"missing", rec, "(missing)", {2, "", "zmrcheck: input: No such file or directory\n"}},
      {"empty", rec, "", {2, "", "zmrcheck: input: SHA-1 failed: the file is empty\n"}},
      {"too large",
       rec,
       "(large)",
       {2, "", "zmrcheck: input: SHA-1 failed: larger than 536,870,911 bytes\n"}},
  };
  for (const Row& row : rows) {
    write_file(dir.file("A9993E36.zmr"), row.record);
    const std::string input = row.file == "(large)" ? "large" : "input";
    if (row.file == "(large)") {
      make_sparse_file(dir.file(input), 536870912);
    } else if (row.file != "(missing)") {
      write_file(dir.file(input), row.file);
    }
    Expect e = row.expect;
    if (input != "input") e.err.replace(e.err.find("input"), 5, input);
    expect_run({"A9993E36.zmr", input}, e, row.what);
    std::filesystem::remove(dir.file(input));
  }
}

TEST_F(Check, CommandLine) {
  write_file(dir.file("A9993E36.zmr"), record_text());
  write_file(dir.file("-abc"), std::string("abc"));
  const std::string try_help = "Try 'zmrcheck --help'.\n";
  struct Row {
    std::vector<std::string> args;
    Expect expect;
  };
  const Row rows[] = {
      {{}, {2, "", "zmrcheck: missing operand\n" + try_help}},
      {{"a", "b", "c"}, {2, "", "zmrcheck: extra operand 'c'\n" + try_help}},
      {{"-x"}, {2, "", "zmrcheck: invalid option -- 'x'\n" + try_help}},
      {{"--fin", "--rec=.", "--", "-abc"},
       {0, "-abc: OK (A9993E36.zmr, created 1979-09-05T22:51:36Z)\n", ""}},
      {{"-fd", ".", "--", "-abc"},
       {0, "-abc: OK (A9993E36.zmr, created 1979-09-05T22:51:36Z)\n", ""}},
      {{"--quiet", "A9993E36.zmr"},
       {2, "", "zmrcheck: option '--quiet' goes with --find\n" + try_help}},
      {{"--status", "A9993E36.zmr"},
       {2, "", "zmrcheck: option '--status' goes with --find\n" + try_help}},
      {{"--nope"}, {2, "", "zmrcheck: unrecognized option '--nope'\n" + try_help}},
      {{"--find=x"}, {2, "", "zmrcheck: option '--find' doesn't allow an argument\n" + try_help}},
      {{"-d"}, {2, "", "zmrcheck: option requires an argument -- 'd'\n" + try_help}},
      {{"--version"}, {0, "zmrcheck " ZMRGEN_VERSION_TEXT "\n", ""}},
      {{"A9993E36.zmr", "--", "-abc"}, {0, "-abc: OK\n", ""}},
  };
  for (const Row& row : rows) {
    std::string what;
    for (const std::string& a : row.args) what += a + " ";
    expect_run(row.args, row.expect, what);
  }
  for (const char* help : {"-h", "--help"}) {
    ToolOptions options;
    options.checker = true;
    const ToolRun r = run_tool({help}, options);
    EXPECT_EQ(r.exit_code, 0) << help;
    EXPECT_EQ(lf(r.out).rfind("Usage: zmrcheck RECORD\n", 0), 0u) << help;
    EXPECT_EQ(r.err, "") << help;
  }
}

// --find over every outcome: each row's standard output, standard error and
// exit status, with both folders left as they were.
TEST_F(Check, Find) {
  for (const char* folder : {"docs", "records"}) {
    std::filesystem::create_directory(dir.file(folder));
  }
  const std::string abd = record_name_of("abd");
  const std::string junk = record_name_of("junk");
  const std::string fresh = record_name_of("new");
  for (const char* doc : {"abc", "abd", "junk", "new"})
    write_file(dir.file("docs/") + doc, std::string(doc));
  write_file(dir.file("docs/empty"), std::string());
  write_file(dir.file("records/A9993E36.zmr"), record_text());
  write_file(dir.file("records/") + abd, record_text());  // the record of other content
  write_file(dir.file("records/") + junk, "not a record");
  write_file(dir.file("A9993E36.zmr"), record_text("FFFFFFFF"));  // where zmrgen writes
  // The same SHA-1 digest with another SHA-512 digest: another content.
  std::filesystem::create_directory(dir.file("others"));
  write_file(dir.file("others/A9993E36.zmr"), with(record_text(), 127, 'E'));
  std::filesystem::create_directories(dir.file("folders/A9993E36.zmr"));

  const std::string ok = "docs/abc: OK (A9993E36.zmr, created 1979-09-05T22:51:36Z)\n";
  const std::string none = "docs/new: no record (" + fresh + " not found)\n";
  const std::string other = "docs/abd: no record (" + abd + " is the record of other content)\n";
  const std::string missing = "zmrcheck: docs/missing: No such file or directory\n";
  const std::string try_help = "Try 'zmrcheck --help'.\n";
  struct Row {
    const char* what;
    std::vector<std::string> args;
    Expect expect;
  };
  const Row rows[] = {
      {"match", {"--find", "--records", "records", "docs/abc"}, {0, ok, ""}},
      {"match in the current directory, time unknown",
       {"-f", "docs/abc"},
       {0, "docs/abc: OK (A9993E36.zmr, created unknown)\n", ""}},
      {"absent", {"-f", "-d", "records", "docs/new"}, {1, none, ""}},
      {"a record of other content", {"-f", "-d", "records/", "docs/abd"}, {1, other, ""}},
      {"not a record at the name",
       {"-f", "--records=records", "docs/junk"},
       {2, "", "zmrcheck: records/" + junk + ": not a record: 12 bytes long, not 256\n"}},
      {"unreadable file", {"-f", "-drecords", "docs/missing"}, {2, "", missing}},
      {"empty file",
       {"-f", "-d", "records", "docs/empty"},
       {2, "", "zmrcheck: docs/empty: SHA-1 failed: the file is empty\n"}},
      {"standard input",
       {"-f", "-d", "records", "-"},
       {2, "", "zmrcheck: -: standard input cannot be read twice (a file named - is ./-)\n"}},
      {"missing folder",
       {"-f", "-d", "none", "docs/abc"},
       {2, "", "zmrcheck: none: No such file or directory\n"}},
      {"a file as the folder",
       {"-f", "-d", "docs/abc", "docs/abc"},
       {2, "", "zmrcheck: docs/abc: Not a directory\n"}},
      {"the same SHA-1 digest, another SHA-512 digest",
       {"-f", "-d", "others", "docs/abc"},
       {1, "docs/abc: no record (A9993E36.zmr is the record of other content)\n", ""}},
      {"a folder at the record's name",
       {"-f", "-d", "folders", "docs/abc"},
       {2, "", "zmrcheck: folders/A9993E36.zmr: Is a directory\n"}},
      {"--json",
       {"-f", "--json", "-d", "records", "docs/abc", "docs/new", "docs/empty"},
       {2,
        "{\"file\":\"docs/abc\",\"outcome\":\"already recorded\",\"record\":\"A9993E36.zmr\","
        "\"created\":\"1979-09-05T22:51:36Z\",\"bytes\":3,\"sha1\":\"" +
            ABC_SHA1 + "\",\"sha512\":\"" + ABC_SHA512 +
            "\"}\n"
            "{\"file\":\"docs/new\",\"outcome\":\"no record\",\"record\":\"" +
            fresh + "\",\"bytes\":3,\"sha1\":\"" + hex_words(reference_sha1(Bytes{'n', 'e', 'w'})) +
            "\",\"sha512\":\"" + hex_words(reference_sha512(Bytes{'n', 'e', 'w'})) +
            "\"}\n"
            "{\"file\":\"docs/empty\",\"outcome\":\"trouble\",\"cause\":\"SHA-1 failed: the file "
            "is "
            "empty\"}\n",
        "zmrcheck: docs/empty: SHA-1 failed: the file is empty\n"
        "zmrcheck: WARNING: 1 of 3 files has no record, 1 could not be checked\n"}},
      {"several, all match", {"-f", "-d", "records", "docs/abc", "docs/abc"}, {0, ok + ok, ""}},
      {"several, some without a record",
       {"-f", "-d", "records", "docs/abc", "docs/new", "docs/abd"},
       {1, ok + none + other, "zmrcheck: WARNING: 2 of 3 files have no record\n"}},
      {"several, one unreadable",
       {"-f", "-d", "records", "docs/abc", "docs/new", "docs/missing"},
       {2, ok + none,
        missing + "zmrcheck: WARNING: 1 of 3 files has no record, 1 could not be checked\n"}},
      {"several, only trouble",
       {"-f", "-d", "records", "docs/abc", "docs/missing"},
       {2, ok, missing + "zmrcheck: WARNING: 1 of 2 files could not be checked\n"}},
      {"--quiet",
       {"-f", "--quiet", "-d", "records", "docs/abc", "docs/new"},
       {1, none, "zmrcheck: WARNING: 1 of 2 files has no record\n"}},
      {"--status", {"-f", "--status", "-d", "records", "docs/abc", "docs/new"}, {1, "", ""}},
      {"--status, all match", {"--status", "-d", "records", "-f", "docs/abc"}, {0, "", ""}},
      {"--status, trouble", {"-f", "--status", "-d", "records", "docs/missing"}, {2, "", missing}},
      {"no file", {"--find"}, {2, "", "zmrcheck: missing operand\n" + try_help}},
      {"--records without --find",
       {"--records", "records", "A9993E36.zmr"},
       {2, "", "zmrcheck: option '--records' goes with --find\n" + try_help}},
  };
  for (const Row& row : rows) expect_run(row.args, row.expect, row.what);
}

}  // namespace
