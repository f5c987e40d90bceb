// The zmrcheck driver: reads a record, shows its fields or checks a file
// against it, or finds each file's record by its content (--find), and alone
// prints. Results go to standard output, diagnostics to standard error, each
// beginning "zmrcheck: " and naming its file; the exit status is 0 (valid,
// or the files match), 1 (a file does not match, or has no record) or 2
// (trouble). It never writes a file and never waits for a key.
#include "app/check.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "digest/both_digests.h"
#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "platform/platform.h"
#include "record/hex_digits.h"
#include "record/record_file.h"
#include "record/record_name.h"

namespace {

// The outcomes, valued as the exit statuses they become.
enum class CheckOutcome {
  OK = 0,        // a valid record, or a file that matches it
  MISMATCH = 1,  // the file's digests differ from the record's
  TROUBLE = 2,   // anything that kept the check from being made
};

void print_usage() {
  std::fputs(
      "Usage: zmrcheck RECORD\n"
      "   or: zmrcheck RECORD FILE\n"
      "   or: zmrcheck --find [--records DIR] FILE...\n"
      "Show the fields of a ZELMOR record made by zmrgen, check FILE against it, or\n"
      "find each FILE's record by its content.\n"
      "\n"
      "With RECORD alone, validate it and print its SHA-512 and SHA-1 digests, its\n"
      "format code and its creation time. With FILE, digest FILE and print\n"
      "'FILE: OK' when both digests match the record, 'FILE: FAILED' when not.\n"
      "With --find, digest each FILE as zmrgen does, look in DIR for the record\n"
      "zmrgen would name after it, and print 'FILE: OK (NAME, created TIME)' when\n"
      "a record of that content stands there, 'FILE: no record (...)' when not.\n"
      "No file is ever written.\n"
      "\n"
      "  -f, --find           find each FILE's record by its content\n"
      "  -d, --records=DIR    look for the records in DIR (default: the current\n"
      "                       directory, where zmrgen writes them)\n"
      "      --quiet          with --find, print no OK lines\n"
      "      --status         with --find, print nothing on standard output\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and exit\n"
      "\n"
      "Example: zmrcheck --find --records ~/records ~/documents/*\n"
      "\n"
      "Exit status: 0 valid record or matching file (--find: every FILE has a\n"
      "matching record), 1 mismatch (--find: a FILE has none), 2 trouble.\n",
      stdout);
}

// The bytes of the control character that begins at `at`: 1 for a C0
// control or DEL, 2 for a C1 control as UTF-8 spells it (C2 80 to C2 9F);
// 0 when none begins there.
std::size_t control_bytes(const char* at) {
  const auto c = static_cast<unsigned char>(at[0]);
  if (c < 0x20 || c == 0x7F) return 1;
  const auto next = static_cast<unsigned char>(at[1]);
  return c == 0xC2 && next >= 0x80 && next <= 0x9F ? 2 : 0;
}

// A name that holds a backslash or a control character is printed with those
// escaped (\\, \n, \r, \t, and \xHH for each byte of any other control
// character) and its whole line marked by a leading backslash, as the
// coreutils checkers do, so that no name can forge a line of its own or move
// the terminal's cursor.
bool needs_escape(const char* name) {
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at == '\\' || control_bytes(at) != 0) return true;
  }
  return false;
}

// The escapes written as a backslash and a letter; nullptr for any other
// character.
const char* short_escape(char c) {
  constexpr struct {
    char character;
    const char* escape;
  } SHORT_ESCAPES[] = {{'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
  for (const auto& e : SHORT_ESCAPES) {
    if (e.character == c) return e.escape;
  }
  return nullptr;
}

void put_name(std::FILE* to, const char* name) {
  if (!needs_escape(name)) {
    std::fputs(name, to);
    return;
  }
  for (const char* at = name; *at != '\0'; ++at) {
    if (const char* escape = short_escape(*at)) {
      std::fputs(escape, to);
    } else if (const std::size_t n = control_bytes(at); n != 0) {
      for (std::size_t i = 0; i < n; ++i) {
        std::fprintf(to, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(at[i])));
      }
      at += n - 1;
    } else {
      std::fputc(*at, to);
    }
  }
}

// Begins a diagnostic about `name`: "zmrcheck: NAME: ", marked when escaped.
// The caller ends the line.
void begin_diagnostic(const char* name) {
  std::fflush(stdout);  // results said before it come first
  if (needs_escape(name)) std::fputc('\\', stderr);
  std::fputs("zmrcheck: ", stderr);
  put_name(stderr, name);
  std::fputs(": ", stderr);
}

// A whole diagnostic about `name` with a fixed text; CheckOutcome::TROUBLE.
CheckOutcome trouble(const char* name, const char* text) {
  begin_diagnostic(name);
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  return CheckOutcome::TROUBLE;
}

// Begins a result line about `name`: "NAME: ", marked when escaped. The
// caller ends the line.
void begin_result(const char* name) {
  if (needs_escape(name)) std::fputc('\\', stdout);
  put_name(stdout, name);
  std::fputs(": ", stdout);
}

// A result line: "NAME: OK" or "NAME: FAILED".
void print_result(const char* name, const char* result) {
  begin_result(name);
  std::printf("%s\n", result);
}

// Why a file cannot be read, in the system's usual words.
const char* cause_text(OsCause cause) {
  switch (cause) {
    case OsCause::MISSING:
      return "No such file or directory";
    case OsCause::PERMISSION:
      return "Permission denied";
    case OsCause::DIRECTORY:
      return "Is a directory";
    case OsCause::NOT_PLAIN:
      return "not a regular file";
    case OsCause::IO:
      return "Input/output error";
    case OsCause::NONE:
    case OsCause::OTHER:
      break;
  }
  return "cannot be read";
}

// A record of `length` bytes that is a valid record followed by a line end.
bool record_then_line_end(const char* text, std::uint64_t length) {
  const bool line_end =
      (length == RECORD_CHARS + 1 && text[RECORD_CHARS] == '\n') ||
      (length == RECORD_CHARS + 2 && text[RECORD_CHARS] == '\r' && text[RECORD_CHARS + 1] == '\n');
  RecordFields fields{};
  std::size_t where = 0;
  return line_end && parse_record(text, RECORD_CHARS, &fields, &where) == RecordParse::VALID;
}

// Validates the record `name` read as `text` (`length` bytes in all);
// CheckOutcome::OK and `fields` filled, or the first fault said and
// CheckOutcome::TROUBLE.
CheckOutcome parse_read_record(const char* name, const char* text, std::uint64_t length,
                               RecordFields* fields) {
  std::size_t where = 0;
  switch (parse_record(text,
                       static_cast<std::size_t>(length > RECORD_CHARS ? RECORD_CHARS + 1 : length),
                       fields, &where)) {
    case RecordParse::VALID:
      return CheckOutcome::OK;
    case RecordParse::BAD_LENGTH:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: %" PRIu64 " bytes long, not %zu%s\n", length,
                   RECORD_CHARS,
                   record_then_line_end(text, length) ? " (a line end after the record?)" : "");
      break;
    case RecordParse::BAD_CHARACTER:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: character at offset %zu is not 0-9 or A-F\n", where);
      break;
    case RecordParse::BAD_FORMAT: {
      char expected[RECORD_FORMAT.width];
      put_hex_digits(expected, RECORD_FORMAT_CODE, RECORD_FORMAT.width);
      const int width = static_cast<int>(RECORD_FORMAT.width);
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: format code %.*s at offset %zu, not %.*s\n", width,
                   text + RECORD_FORMAT.offset, RECORD_FORMAT.offset, width, expected);
      break;
    }
    case RecordParse::BAD_ZEROS:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: reserved characters %zu-%zu are not all 0\n",
                   RECORD_ZEROS.offset, RECORD_ZEROS.offset + RECORD_ZEROS.width - 1);
      break;
  }
  return CheckOutcome::TROUBLE;
}

// Reads and validates the record ("-": standard input); CheckOutcome::OK and
// `fields` filled, or the diagnostic printed and CheckOutcome::TROUBLE.
CheckOutcome load_record(const char* name, RecordFields* fields) {
  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  OsCause cause = OsCause::OTHER;
  const bool from_input = std::strcmp(name, "-") == 0;
  const RecordRead read = from_input
                              ? read_record_stream(os_standard_input(), text, &length, &cause)
                              : read_record_file(name, text, &length, &cause);
  if (read != RecordRead::READ) return trouble(name, cause_text(cause));
  if (parse_read_record(name, text, length, fields) != CheckOutcome::OK) {
    return CheckOutcome::TROUBLE;
  }
  // People rename records; the name is a convenience, not part of the proof.
  // A record read from standard input has no name to compare.
  char expected[RECORD_NAME_BUFFER_CHARS] = {};
  make_record_name(expected, fields->sha1[0], 8);
  if (!from_input && std::strcmp(os_base_name(name), expected) != 0) {
    begin_diagnostic(name);
    std::fprintf(stderr, "warning: a record of this SHA-1 digest is named %s\n", expected);
  }
  return CheckOutcome::OK;
}

// Room for a time as format_utc writes it, whatever the compiler assumes of
// the numbers.
constexpr std::size_t UTC_TEXT_CHARS = 80;

// A record's creation time as YYYY-MM-DDTHH:MM:SSZ (UTC), or "unknown".
void format_utc(char (&out)[UTC_TEXT_CHARS], std::uint32_t seconds) {
  if (seconds == RECORD_TIME_UNKNOWN) {
    std::snprintf(out, sizeof out, "unknown");
    return;
  }
  std::uint32_t days = seconds / 86400;
  const std::uint32_t in_day = seconds % 86400;
  unsigned year = 1970;
  const auto leap = [](unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  while (days >= (leap(year) ? 366u : 365u)) days -= leap(year++) ? 366u : 365u;
  const unsigned month_days[] = {31, leap(year) ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30,
                                 31};
  unsigned month = 0;
  while (days >= month_days[month]) days -= month_days[month++];
  std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02uZ", year, month + 1, days + 1,
                in_day / 3600, in_day / 60 % 60, in_day % 60);
}

void show_record(const RecordFields& fields) {
  // The digests as the record spells them.
  char text[RECORD_CHARS];
  format_record(text, fields.sha512, fields.sha1, fields.format_code,
                static_cast<std::int32_t>(fields.created));
  const auto put_field = [&text](const char* label, RecordField field) {
    std::printf("%s: %.*s\n", label, static_cast<int>(field.width), text + field.offset);
  };
  put_field("SHA-512", RECORD_SHA512);
  put_field("SHA-1", RECORD_SHA1);
  put_field("format", RECORD_FORMAT);
  char created[UTC_TEXT_CHARS];
  format_utc(created, fields.created);
  std::printf("created: %s\n", created);
}

// `value` with its digits in groups of three ("536,870,911").
void put_grouped(std::FILE* to, std::uint64_t value) {
  if (value < 1000) {
    std::fprintf(to, "%u", static_cast<unsigned>(value));
    return;
  }
  put_grouped(to, value / 1000);
  std::fprintf(to, ",%03u", static_cast<unsigned>(value % 1000));
}

// A failed digest stage of `file`, in words; CheckOutcome::TROUBLE. `limit`
// is the digest's largest file.
CheckOutcome digest_trouble(const char* file, const char* digest, std::int64_t status,
                            const BothDigests& digests, std::uint64_t limit) {
  if (status == DIGEST_FILE_ERROR && digests.changed) {
    return trouble(file, "the file changed while it was read");
  }
  begin_diagnostic(file);
  std::fprintf(stderr, "%s failed: ", digest);
  if (status == DIGEST_TOO_LARGE) {
    std::fputs("larger than ", stderr);
    put_grouped(stderr, limit);
    std::fputs(" bytes\n", stderr);
  } else if (status == DIGEST_FILE_ERROR) {
    // The system's cause of a read that failed; else what the size said. (A
    // block device's identity gives its size as 0, so only the probe tells.)
    const char* text = digests.read_cause == OsCause::OTHER  ? "a read failed"
                       : digests.read_cause != OsCause::NONE ? cause_text(digests.read_cause)
                       : digests.probed_size == 0
                           ? "the file is empty"
                           : "the file could not be read as its size promised";
    std::fprintf(stderr, "%s\n", text);
  } else {
    std::fputs("internal logic error\n", stderr);
  }
  return CheckOutcome::TROUBLE;
}

// Digests `file` as zmrgen does: CheckOutcome::OK with both digests in
// `digests`, or the trouble said and CheckOutcome::TROUBLE.
CheckOutcome digest_file(const char* file, BothDigests* digests) {
  FileIdentity identity{};
  OsCause cause = OsCause::OTHER;
  if (!open_file_identity(file, &identity, &cause)) return trouble(file, cause_text(cause));
  digest_both(file, identity, *digests);
  if (digests->sha1_status < 0) {
    return digest_trouble(file, "SHA-1", digests->sha1_status, *digests, SHA1_MAX_BYTES);
  }
  if (digests->sha512_status < 0) {
    return digest_trouble(file, "SHA-512", digests->sha512_status, *digests, SHA512_MAX_BYTES);
  }
  return CheckOutcome::OK;
}

CheckOutcome check_file(const char* file, const RecordFields& fields) {
  BothDigests digests{};
  if (digest_file(file, &digests) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
  const bool sha1_same = digests.sha1 == fields.sha1;
  const bool sha512_same = digests.sha512 == fields.sha512;
  if (sha1_same && sha512_same) {
    print_result(file, "OK");
    return CheckOutcome::OK;
  }
  print_result(file, "FAILED");
  trouble(file, !sha1_same && !sha512_same ? "SHA-1 and SHA-512 digests differ from the record"
                : !sha1_same               ? "SHA-1 digest differs from the record"
                                           : "SHA-512 digest differs from the record");
  return CheckOutcome::MISMATCH;
}

// ---- --find ----

struct FindOptions {
  const char* records;  // the folder of records; nullptr: the current directory
  bool quiet;           // no OK lines
  bool status_only;     // nothing on standard output
};

// Whether `folder` can hold records: nullptr, or why not. Only what surely
// is no folder is refused; a folder that cannot be listed may still lead
// to its files.
const char* folder_trouble(const char* folder) {
  OsCause cause = OsCause::OTHER;
  const int fd = os_open_read(folder, &cause);
  if (fd < 0) return cause == OsCause::MISSING ? cause_text(cause) : nullptr;
  cause = os_plain_file_cause(fd);
  os_close(fd);
  return cause == OsCause::DIRECTORY || cause == OsCause::OTHER ? nullptr : "Not a directory";
}

// Where the record `name` stands: in `folder`, or the current directory.
std::string record_path(const char* folder, const char* name) {
  if (folder == nullptr) return name;
  std::string path = folder;
  // A folder named with a separator at its end (or a drive) needs none.
  if (!path.empty() && *os_base_name(folder) != '\0') path += '/';
  return path + name;
}

// Finds the record of `file` by its content and checks it: CheckOutcome::OK
// (a record of this content), MISMATCH (none), or TROUBLE.
CheckOutcome find_one(const char* file, const FindOptions& options) {
  if (std::strcmp(file, "-") == 0) {
    // A record stands only for content read identically twice.
    return trouble(file, "standard input cannot be read twice (a file named - is ./-)");
  }
  BothDigests digests{};
  if (digest_file(file, &digests) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
  char name[RECORD_NAME_BUFFER_CHARS] = {};
  make_record_name(name, digests.sha1[0], 8);
  const std::string path = record_path(options.records, name);

  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  OsCause cause = OsCause::OTHER;
  if (read_record_file(path.c_str(), text, &length, &cause) != RecordRead::READ) {
    if (cause != OsCause::MISSING) return trouble(path.c_str(), cause_text(cause));
    if (!options.status_only) {
      begin_result(file);
      std::printf("no record (%s not found)\n", name);
    }
    return CheckOutcome::MISMATCH;
  }
  RecordFields fields{};
  if (parse_read_record(path.c_str(), text, length, &fields) != CheckOutcome::OK) {
    return CheckOutcome::TROUBLE;
  }
  // Names hold 32 bits of the SHA-1 digest: another content may hold it.
  if (fields.sha1 != digests.sha1 || fields.sha512 != digests.sha512) {
    if (!options.status_only) {
      begin_result(file);
      std::printf("no record (%s is the record of other content)\n", name);
    }
    return CheckOutcome::MISMATCH;
  }
  if (!options.status_only && !options.quiet) {
    char created[UTC_TEXT_CHARS];
    format_utc(created, fields.created);
    begin_result(file);
    std::printf("OK (%s, created %s)\n", name, created);
  }
  return CheckOutcome::OK;
}

CheckOutcome find_records(const std::vector<const char*>& files, const FindOptions& options) {
  if (options.records != nullptr) {
    if (const char* why = folder_trouble(options.records); why != nullptr) {
      return trouble(options.records, why);
    }
  }
  std::size_t none = 0, troubled = 0;
  for (const char* file : files) {
    const CheckOutcome outcome = find_one(file, options);
    if (outcome == CheckOutcome::MISMATCH) ++none;
    if (outcome == CheckOutcome::TROUBLE) ++troubled;
  }
  if (files.size() > 1 && none + troubled > 0 && !options.status_only) {
    std::fflush(stdout);  // the results said before it come first
    std::fputs("zmrcheck: WARNING: ", stderr);
    if (none > 0) {
      std::fprintf(stderr, "%zu of %zu files %s no record", none, files.size(),
                   none == 1 ? "has" : "have");
    }
    if (troubled > 0) {
      if (none > 0) {
        std::fprintf(stderr, ", %zu could not be checked", troubled);
      } else {
        std::fprintf(stderr, "%zu of %zu files could not be checked", troubled, files.size());
      }
    }
    std::fputc('\n', stderr);
  }
  return troubled > 0 ? CheckOutcome::TROUBLE
         : none > 0   ? CheckOutcome::MISMATCH
                      : CheckOutcome::OK;
}

// ---- The command line ----

// A wrong argument, quoted, and the hint; CheckOutcome::TROUBLE.
CheckOutcome usage_trouble(const char* what, const char* arg) {
  if (needs_escape(arg)) std::fputc('\\', stderr);
  std::fprintf(stderr, "zmrcheck: %s '", what);
  put_name(stderr, arg);
  std::fputs("'\nTry 'zmrcheck --help'.\n", stderr);
  return CheckOutcome::TROUBLE;
}

CheckOutcome run(int argc, const char* const* argv) {
  std::vector<const char*> operands;
  bool options_end = false;
  bool find = false;
  FindOptions options{nullptr, false, false};
  const char* find_only = nullptr;  // the first option that needs --find
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_end && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        options_end = true;
      } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        print_usage();
        return CheckOutcome::OK;
      } else if (std::strcmp(arg, "--version") == 0) {
        std::puts("zmrcheck " ZMRGEN_VERSION);
        return CheckOutcome::OK;
      } else if (std::strcmp(arg, "-f") == 0 || std::strcmp(arg, "--find") == 0) {
        find = true;
      } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "--status") == 0) {
        if (arg[2] == 'q') {
          options.quiet = true;
        } else {
          options.status_only = true;
        }
        if (find_only == nullptr) find_only = arg;
      } else if (std::strcmp(arg, "-d") == 0 || std::strcmp(arg, "--records") == 0) {
        if (i + 1 == argc) {
          std::fprintf(stderr, "zmrcheck: option '%s' requires an argument\n", arg);
          std::fputs("Try 'zmrcheck --help'.\n", stderr);
          return CheckOutcome::TROUBLE;
        }
        options.records = argv[++i];
        if (find_only == nullptr) find_only = arg;
      } else if (std::strncmp(arg, "--records=", 10) == 0 || std::strncmp(arg, "-d", 2) == 0) {
        options.records = arg + (arg[1] == '-' ? 10 : 2);
        if (find_only == nullptr) find_only = arg[1] == '-' ? "--records" : "-d";
      } else {
        return usage_trouble("unknown option", arg);
      }
      continue;
    }
    operands.push_back(arg);
  }
  if (find) {
    if (operands.empty()) {
      std::fputs("zmrcheck: missing operand\nTry 'zmrcheck --help'.\n", stderr);
      return CheckOutcome::TROUBLE;
    }
    return find_records(operands, options);
  }
  if (find_only != nullptr) {
    std::fprintf(stderr, "zmrcheck: option '%s' goes with --find\n", find_only);
    std::fputs("Try 'zmrcheck --help'.\n", stderr);
    return CheckOutcome::TROUBLE;
  }
  if (operands.size() > 2) return usage_trouble("extra operand", operands[2]);
  if (operands.empty()) {
    std::fputs("zmrcheck: missing operand\nTry 'zmrcheck --help'.\n", stderr);
    return CheckOutcome::TROUBLE;
  }

  RecordFields fields{};
  if (load_record(operands[0], &fields) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
  if (operands.size() == 1) {
    show_record(fields);
    return CheckOutcome::OK;
  }
  return check_file(operands[1], fields);
}

}  // namespace

int run_check(int argc, const char* const* argv) {
  const CheckOutcome outcome = run(argc, argv);
  // Results that did not reach standard output are trouble too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("zmrcheck: write error on standard output\n", stderr);
    return static_cast<int>(CheckOutcome::TROUBLE);
  }
  return static_cast<int>(outcome);
}
