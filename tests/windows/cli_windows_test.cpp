// The built tool on Windows, run as a script or a user would run it: complete
// output byte for byte with the line ends a Windows user gets, the whole
// 32-bit exit code, file names beyond the ANSI code page, and the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "test_util.h"
#include "windows/windows_tool.h"

namespace {

const std::string ABC_SHA1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
const std::string ABC_SHA512 =
    "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
    "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";

// Standard output is a text stream: every "\n" the tool prints reaches a
// file or pipe as "\r\n", the line end of Windows text files and of other
// console programs, and a console shows the same lines as on POSIX.
std::string crlf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// True when every line end is "\r\n": no bare "\n", no doubled "\r".
bool only_crlf_line_ends(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
  }
  return true;
}

void create_file(const std::wstring& path, const std::string& content) {
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr);
  CloseHandle(h);
  ASSERT_EQ(done, content.size());
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

class WindowsCli : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::wstring wdir = widen(dir.path());
  std::wstring wfile(const std::wstring& name) const { return wdir + L"\\" + name; }

  WindowsRun run(const std::vector<std::wstring>& args, WindowsRunOptions options = {}) {
    options.cwd = wdir;
    WindowsRun r = run_windows_tool(args, options);
    EXPECT_TRUE(r.finished) << "with no console the tool must not wait for a key";
    EXPECT_EQ(r.err, "") << "nothing may reach standard error";
    return r;
  }
};

TEST_F(WindowsCli, SuccessPrintsBothDigestsWithWindowsLineEndsAndWritesTheRecord) {
  create_file(wfile(L"abc.txt"), "abc");
  const auto before = static_cast<std::int64_t>(std::time(nullptr));
  const WindowsRun r = run({L"abc.txt"});
  const auto after = static_cast<std::int64_t>(std::time(nullptr));

  EXPECT_EQ(r.out, crlf(ABC_DIGEST_LINES + DONE));
  EXPECT_EQ(r.exit_code, 3u);

  // The record is written in binary: 256 characters, no line end added.
  const std::string record = read_file(dir.file("A9993E36.zmr"));
  ASSERT_EQ(record.size(), 256u);
  EXPECT_EQ(record.substr(0, 174), ABC_SHA512 + ABC_SHA1 + "000001");
  const std::int64_t created = std::stoll(record.substr(174, 8), nullptr, 16);
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  EXPECT_EQ(record.substr(182), std::string(74, '0'));
  // Nothing else is left behind: the temporary file became the record.
  std::vector<std::string> names = list_dir(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A9993E36.zmr", "abc.txt"}));
}

// Windows passes a program's whole 32-bit exit code on (a POSIX shell sees
// only its low 8 bits): byte counts above 255 and the negative failure codes
// arrive intact.
TEST_F(WindowsCli, ExitCodeIsTheWhole32BitStatus) {
  make_sparse_file(dir.file("max"), 536870911);
  make_sparse_file(dir.file("huge"), 536870912);
  create_file(wfile(L"empty"), "");
  create_file(wfile(L"k1000"), std::string(1000, 'k'));
  create_file(wfile(L"k65791"), std::string(65791, 'k'));
  const struct {
    std::vector<std::wstring> args;
    std::uint32_t code;
    std::string says;  // a line the output must hold
  } cases[] = {
      {{L"k1000"}, 1000u, "SHA-512 message digest:\r\n"},
      {{L"k65791"}, 65791u, "SHA-512 message digest:\r\n"},
      {{L"max"}, 536870911u, "SHA-512 message digest:\r\n"},
      {{L"empty"}, 0xFFFFFFFFu, "File error.\r\n"},
      {{L"huge"}, 0xFFFFFFFEu, "File exceeds limit of 512Mb.\r\n"},
      {{L"missing"}, 0u, " Cannot open file: missing for reading.\r\n"},
      {{L"-h"}, 0u, " # bytes hashed   success\r\n"},
      {{}, 0u, " *** Syntax Error ***\r\n"},
      {{L"a", L"b", L"c"}, 0u, " *** Syntax Error ***\r\n"},
  };
  for (const auto& c : cases) {
    const std::string what = c.args.empty() ? "(no arguments)" : narrow(c.args[0]);
    const WindowsRun r = run(c.args);
    EXPECT_EQ(r.exit_code, c.code) << what;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << what << "\n" << r.out;
    EXPECT_TRUE(only_crlf_line_ends(r.out)) << what;
    EXPECT_EQ(r.out.substr(r.out.size() - crlf(DONE).size()), crlf(DONE)) << what;
  }
}

// The help text is the same text as on POSIX, line for line.
TEST_F(WindowsCli, HelpScreenHasOnlyWindowsLineEnds) {
  const WindowsRun r = run({L"-h"});
  const std::string head =
      crlf("\n\n    ** ZELMOR Record Generator command line version help **\n\n");
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_TRUE(only_crlf_line_ends(r.out));
  EXPECT_EQ(r.exit_code, 0u);
}

// Names reach the tool in UTF-16 and are kept as UTF-8 inside it, so a name
// that the ANSI code page cannot spell opens, and messages show it in UTF-8.
TEST_F(WindowsCli, NamesBeyondTheAnsiCodePage) {
  const std::wstring name = L"donn\u00e9es \u65e5\u672c\u8a9e \u2603 \U0001F600.txt";
  create_file(wfile(name), "abc");
  const WindowsRun ok = run({name});
  EXPECT_EQ(ok.exit_code, 3u);
  EXPECT_NE(ok.out.find("A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D \r\n"), std::string::npos);
  EXPECT_TRUE(file_exists(dir.file("A9993E36.zmr")));

  const std::wstring missing = L"\u00f1and\u00fa \u65e5.txt";
  const WindowsRun r = run({missing});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, crlf("\n ***** ERROR *****\n Cannot open file: " + narrow(missing) +
                        " for reading.\n" + DONE));
}

// The length limit counts the bytes of the name as the tool holds it, UTF-8:
// 199 bytes are accepted, 200 refused, whatever the count of characters.
TEST_F(WindowsCli, NameLengthLimitCountsUtf8Bytes) {
  const std::string kanji = "\xe6\x97\xa5";             // one character, three bytes
  const std::string longest = repeat(kanji, 66) + "x";  // 199 bytes, 67 characters
  const std::string too_long = longest + "y";           // 200 bytes
  create_file(wfile(widen(longest)), "abc");
  const WindowsRun ok = run({widen(longest)});
  EXPECT_EQ(ok.exit_code, 3u);

  const WindowsRun r = run({widen(too_long)});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, crlf("\n ***** FATAL ERROR *****\n Input file name exceeds the limit of 200 "
                        "characters:\n" +
                        too_long + "\n" + DONE));
}

TEST_F(WindowsCli, DirectoryAtTheRecordNameIsReportedAndTheCountStillReturned) {
  create_file(wfile(L"abc.txt"), "abc");
  ASSERT_TRUE(CreateDirectoryW(wfile(L"A9993E36.zmr").c_str(), nullptr));
  const WindowsRun r = run({L"abc.txt"});
  EXPECT_EQ(r.exit_code, 3u);
  EXPECT_NE(r.out.find(crlf(" 2A9AC94FA54CA49F \n ***** ERROR *****\n Cannot open file: "
                            "A9993E36.zmr for writing.\n" +
                            DONE)),
            std::string::npos)
      << r.out;
  EXPECT_EQ(list_dir(dir.file("A9993E36.zmr")).size(), 0u);
  EXPECT_EQ(list_dir(dir.path()).size(), 2u) << "no temporary file is left";
}

// A second run replaces the record whole; the first record is never seen in
// part and no temporary file stays behind.
// A second run replaces a record of the same content; a file that is no
// such record is left as it was, and the run says so.
TEST_F(WindowsCli, SecondRunReplacesTheRecord) {
  create_file(wfile(L"abc.txt"), "abc");
  ASSERT_EQ(run({L"abc.txt"}).exit_code, 3u);
  const std::string first = read_file(dir.file("A9993E36.zmr"));
  ASSERT_EQ(run({L"abc.txt"}).exit_code, 3u);
  const std::string second = read_file(dir.file("A9993E36.zmr"));
  ASSERT_EQ(first.size(), 256u);
  ASSERT_EQ(second.size(), 256u);
  EXPECT_EQ(first.substr(0, 174), second.substr(0, 174));
  EXPECT_EQ(list_dir(dir.path()).size(), 2u);

  create_file(wfile(L"A9993E36.zmr"), "an older record of another length");
  const WindowsRun r = run({L"abc.txt"});
  EXPECT_EQ(r.exit_code, 3u);
  EXPECT_NE(r.out.find(" Cannot open file: A9993E36.zmr for writing.\r\n"
                       " A file of other content has that name; it was left as it was.\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(read_file(dir.file("A9993E36.zmr")), "an older record of another length");
  EXPECT_EQ(list_dir(dir.path()).size(), 2u) << "no temporary file may be left";
}

// A reader that goes away early (a closed pipe) does not stop the run: the
// record is still written and the count returned.
TEST_F(WindowsCli, ClosedOutputStillWritesTheRecord) {
  create_file(wfile(L"abc.txt"), "abc");
  WindowsRunOptions options;
  options.close_stdout_early = true;
  const WindowsRun r = run({L"abc.txt"}, options);
  EXPECT_EQ(r.out, "\r\nSHA-1 message digest:\r\n");
  EXPECT_EQ(r.exit_code, 3u);
  EXPECT_TRUE(file_exists(dir.file("A9993E36.zmr")));
}

// Arguments keep their spaces and quotes through the command line, and the
// second argument is ignored.
TEST_F(WindowsCli, ArgumentsArriveWhole) {
  create_file(wfile(L"two  spaces .txt"), "abc");
  const WindowsRun r = run({L"two  spaces .txt", L"an \"ignored\" one\\"});
  EXPECT_EQ(r.exit_code, 3u);
}

}  // namespace
