// Fuzz target: the command line. run_generator gets a fuzzed argument list
// (the input split at zero bytes, at most four arguments) inside a scratch
// directory holding files with awkward names: spaces, leading dashes,
// non-ASCII bytes, a 199-byte name, an empty file, a directory, and a
// directory standing at one file's record name.
//
// Checks: the status is the one the arguments call for (0 for help, syntax
// errors, refused or unreadable names; -1 for an empty file; otherwise the
// file's size); a success leaves the correct 256-character record unless a
// directory stands at its name; no run leaves a temporary file behind.
//
// The same argument list also goes through the option table reader that
// zmrcheck and zmrbatch use: every operand and option value it hands back
// must lie inside the arguments, operands keep their order, and a list with
// no word that begins with a dash is all operands.
//
// A slash in an argument becomes an underscore so that every name stays
// inside the scratch directory. Standard output goes to /dev/null.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/options.h"
#include "digest/file_digest.h"
#include "digest/sha1.h"
#include "digest/sha512.h"
#include "fuzz_input.h"
#include "record/record_file.h"
#include "tests/one_shot.h"

namespace {

constexpr std::int64_t FIXED_CLOCK = 0x65A0BC00;  // 2024-01-12, well inside 32 bits

std::int64_t fixed_clock() { return FIXED_CLOCK; }

std::string scratch;

using Bytes = std::vector<std::uint8_t>;

void put_file(const std::string& name, const Bytes& content) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  if (!content.empty())
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), f) == content.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

Bytes pattern(std::size_t n, std::size_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 167 + seed * 31) >> 1);
  return b;
}

void remove_tree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(d);
      for (const std::string& name : names) remove_tree(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

void remove_scratch() {
  if (!scratch.empty() && ::chdir("/") == 0) remove_tree(scratch);
}

void set_up() {
  // $TMPDIR when set, else tmpfs when there is one (every successful run
  // flushes a record to disk), else /tmp. libFuzzer may end the process
  // without running exit handlers, so callers that care set TMPDIR to a
  // folder they remove.
  const char* tmpdir = std::getenv("TMPDIR");
  const char* base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir
                     : ::access("/dev/shm", W_OK) == 0    ? "/dev/shm"
                                                          : "/tmp";
  std::string tmpl = std::string(base) + "/zmrgen-fuzz-cli-XXXXXX";
  FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
  scratch = tmpl;
  std::atexit(remove_scratch);
  FUZZ_CHECK(::chdir(scratch.c_str()) == 0);

  put_file("abc", {'a', 'b', 'c'});
  put_file("empty", {});
  put_file("one", {'x'});
  put_file("block64", pattern(64, 1));
  put_file("a b c", pattern(200, 2));
  put_file("-h", pattern(55, 3));
  put_file("-x", pattern(129, 4));
  put_file("--", pattern(112, 5));
  put_file("\xC3\xA9t\xC3\xA9", pattern(1000, 6));
  put_file("\xFF\xFE", pattern(4096, 7));
  put_file(std::string(199, 'n'), pattern(17, 8));
  FUZZ_CHECK(::mkdir("dir", 0755) == 0);
  // abc's record name: that record can never be written.
  FUZZ_CHECK(::mkdir("A9993E36.zmr", 0755) == 0);

  const int null_fd = ::open("/dev/null", O_WRONLY);
  FUZZ_CHECK(null_fd >= 0);
  std::fflush(stdout);
  FUZZ_CHECK(::dup2(null_fd, 1) == 1);
  ::close(null_fd);
  set_record_clock(fixed_clock);
}

bool read_whole(const std::string& name, Bytes& out) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  std::uint8_t buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return true;
}

// The record a successful run over `content` must leave.
std::string expected_record(const Bytes& content, std::string& name) {
  std::uint32_t sha1[5];
  std::uint64_t sha512[8];
  one_shot_digest<std::uint32_t, 5>(content, SHA1_H0, sha1_compress, sha1);
  one_shot_digest<std::uint64_t, 8>(content, SHA512_H0, sha512_compress, sha512);
  char text[300];
  int at = 0;
  for (const std::uint64_t w : sha512) at += std::snprintf(text + at, 20, "%016" PRIX64, w);
  for (const std::uint32_t w : sha1) at += std::snprintf(text + at, 20, "%08" PRIX32, w);
  at += std::snprintf(text + at, 20, "%06X%08" PRIX32, 1u, static_cast<std::uint32_t>(FIXED_CLOCK));
  std::string record(text, static_cast<std::size_t>(at));
  record.append(256 - record.size(), '0');
  char file_name[16];
  std::snprintf(file_name, sizeof file_name, "%08" PRIX32 ".zmr", sha1[0]);
  name = file_name;
  return record;
}

// The record writer's temporary files start with a dot: none may be left.
void check_no_leftovers() {
  DIR* d = ::opendir(".");
  FUZZ_CHECK(d != nullptr);
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    FUZZ_CHECK(name == "." || name == ".." || name[0] != '.');
  }
  ::closedir(d);
}

// The option table reader over `argv` (argv[0] the program).
void check_option_reader(int argc, const char* const* argv) {
  static const std::vector<OptionRow> rows = {
      {'d', "records", OptionArgument::REQUIRED, 0}, {'r', "recursive", OptionArgument::NONE, 1},
      {'\0', "renew", OptionArgument::NONE, 2},      {'j', "jobs", OptionArgument::REQUIRED, 3},
      {'q', "quiet", OptionArgument::NONE, 4},       {'\0', "json", OptionArgument::NONE, 5},
  };
  // The argument that holds `p`, or 0.
  const auto holder = [argc, argv](const char* p) {
    for (int i = 1; i < argc; ++i) {
      if (p >= argv[i] && p <= argv[i] + std::strlen(argv[i])) return i;
    }
    return 0;
  };
  bool all_plain = true;
  for (int i = 1; i < argc; ++i) all_plain = all_plain && (argv[i][0] != '-' || argv[i][1] == '\0');
  CommandLine line;
  const bool parsed = parse_command_line("fuzz", argc, argv, rows, &line);
  if (all_plain) {
    FUZZ_CHECK(parsed && line.options.empty());
    FUZZ_CHECK(line.operands.size() == static_cast<std::size_t>(argc - 1));
  }
  if (!parsed) return;
  int previous = 0;
  for (const char* operand : line.operands) {
    const int at = holder(operand);
    FUZZ_CHECK(at > previous && operand == argv[at]);  // whole arguments, in order
    previous = at;
  }
  for (const GivenOption& option : line.options) {
    FUZZ_CHECK(option.id >= 0 && option.id <= 5);
    FUZZ_CHECK((option.value != nullptr) == (option.id == 0 || option.id == 3));
    if (option.value != nullptr) FUZZ_CHECK(holder(option.value) != 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (scratch.empty()) set_up();

  // Split at zero bytes; a trailing piece without a terminator counts too.
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < 4; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(c == '/' ? '_' : c);
    }
  }
  if (!current.empty() && args.size() < 4) args.push_back(current);

  std::vector<const char*> argv;
  argv.push_back("zmrgen");  // an empty input runs with no arguments at all
  for (const std::string& a : args) argv.push_back(a.c_str());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  // What the arguments call for.
  std::int64_t expected = 0;
  bool digests = false;
  Bytes content;
  if (argc >= 2 && argc <= 3 && !(argc == 2 && args[0] == "-h") && args[0].size() < 200) {
    struct stat st {};
    if (::stat(args[0].c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      FUZZ_CHECK(read_whole(args[0], content));
      expected = content.empty() ? DIGEST_FILE_ERROR : static_cast<std::int64_t>(content.size());
      digests = !content.empty();
    }
  }

  check_option_reader(argc, argv.data());
  const std::int32_t status = run_generator(argc, argv.data());
  std::fflush(stdout);
  FUZZ_CHECK(status == expected);

  if (digests) {
    std::string name;
    const std::string record = expected_record(content, name);
    struct stat st {};
    FUZZ_CHECK(::lstat(name.c_str(), &st) == 0);
    if (!S_ISDIR(st.st_mode)) {
      Bytes written;
      FUZZ_CHECK(read_whole(name, written));
      FUZZ_CHECK(std::string(written.begin(), written.end()) == record);
    }
  }
  check_no_leftovers();
  return 0;
}
