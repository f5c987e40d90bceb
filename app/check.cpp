// The zmrcheck driver: reads a record, shows its fields or checks a file
// against it, and alone prints. Results go to standard output, diagnostics
// to standard error, each beginning "zmrcheck: " and naming its file; the
// exit status is 0 (valid, or the file matches), 1 (the file does not
// match) or 2 (trouble). It never writes a file and never waits for a key.
#include "app/check.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "digest/both_digests.h"
#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "platform/platform.h"
#include "record/record_file.h"
#include "record/record_name.h"

#ifndef ZMRGEN_VERSION
#define ZMRGEN_VERSION "unknown"
#endif

namespace {

constexpr int CHECK_OK = 0;
constexpr int CHECK_MISMATCH = 1;
constexpr int CHECK_TROUBLE = 2;

void print_usage() {
  std::fputs(
      "Usage: zmrcheck RECORD\n"
      "   or: zmrcheck RECORD FILE\n"
      "Show the fields of a ZELMOR record made by zmrgen, or check FILE against it.\n"
      "\n"
      "With RECORD alone, validate it and print its SHA-512 and SHA-1 digests, its\n"
      "format code and its creation time. With FILE, digest FILE and print\n"
      "'FILE: OK' when both digests match the record, 'FILE: FAILED' when not.\n"
      "Neither file is ever written.\n"
      "\n"
      "  -h, --help     show this help and exit\n"
      "      --version  show the version and exit\n"
      "\n"
      "Exit status: 0 valid record or matching file, 1 mismatch, 2 trouble.\n",
      stdout);
}

// A name that holds a backslash or a line end is printed with those escaped
// (\\, \n, \r) and its whole line marked by a leading backslash, as the
// coreutils checkers do, so that no name can forge a line of its own.
bool needs_escape(const char* name) { return std::strpbrk(name, "\\\n\r") != nullptr; }

void put_name(std::FILE* to, const char* name) {
  if (!needs_escape(name)) {
    std::fputs(name, to);
    return;
  }
  for (const char* at = name; *at != '\0'; ++at) {
    switch (*at) {
      case '\\':
        std::fputs("\\\\", to);
        break;
      case '\n':
        std::fputs("\\n", to);
        break;
      case '\r':
        std::fputs("\\r", to);
        break;
      default:
        std::fputc(*at, to);
    }
  }
}

// Begins a diagnostic about `name`: "zmrcheck: NAME: ", marked when escaped.
// The caller ends the line.
void begin_diagnostic(const char* name) {
  if (needs_escape(name)) std::fputc('\\', stderr);
  std::fputs("zmrcheck: ", stderr);
  put_name(stderr, name);
  std::fputs(": ", stderr);
}

// A whole diagnostic about `name` with a fixed text; CHECK_TROUBLE.
int trouble(const char* name, const char* text) {
  begin_diagnostic(name);
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  return CHECK_TROUBLE;
}

// A result line: "NAME: OK" or "NAME: FAILED".
void print_result(const char* name, const char* result) {
  if (needs_escape(name)) std::fputc('\\', stdout);
  put_name(stdout, name);
  std::printf(": %s\n", result);
}

// Why a file cannot be read, in the system's usual words.
const char* cause_text(OsCause cause) {
  switch (cause) {
    case OS_CAUSE_MISSING:
      return "No such file or directory";
    case OS_CAUSE_PERMISSION:
      return "Permission denied";
    case OS_CAUSE_DIRECTORY:
      return "Is a directory";
    case OS_CAUSE_NOT_PLAIN:
      return "not a regular file";
    case OS_CAUSE_IO:
      return "Input/output error";
    default:
      return "cannot be read";
  }
}

// A record of `length` bytes that is a valid record followed by a line end.
bool record_then_line_end(const char* text, std::uint64_t length) {
  const bool line_end =
      (length == RECORD_CHARS + 1 && text[RECORD_CHARS] == '\n') ||
      (length == RECORD_CHARS + 2 && text[RECORD_CHARS] == '\r' && text[RECORD_CHARS + 1] == '\n');
  RecordFields fields{};
  std::size_t where = 0;
  return line_end && parse_record(text, RECORD_CHARS, &fields, &where) == RECORD_VALID;
}

// Reads and validates the record ("-": standard input); CHECK_OK and
// `fields` filled, or the diagnostic printed and CHECK_TROUBLE.
int load_record(const char* name, RecordFields* fields) {
  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  OsCause cause = OS_CAUSE_OTHER;
  const bool from_input = std::strcmp(name, "-") == 0;
  const int read = from_input ? read_record_stream(os_standard_input(), text, &length, &cause)
                              : read_record_file(name, text, &length, &cause);
  if (read != RECORD_VALID) return trouble(name, cause_text(cause));
  std::size_t where = 0;
  switch (parse_record(text,
                       static_cast<std::size_t>(length > RECORD_CHARS ? RECORD_CHARS + 1 : length),
                       fields, &where)) {
    case RECORD_VALID:
      break;
    case RECORD_BAD_LENGTH:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: %" PRIu64 " bytes long, not %zu%s\n", length,
                   RECORD_CHARS,
                   record_then_line_end(text, length) ? " (a line end after the record?)" : "");
      return CHECK_TROUBLE;
    case RECORD_BAD_CHARACTER:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: character at offset %zu is not 0-9 or A-F\n", where);
      return CHECK_TROUBLE;
    case RECORD_BAD_FORMAT:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: format code %.*s at offset %zu, not 000001\n",
                   static_cast<int>(RECORD_FORMAT.width), text + RECORD_FORMAT.offset,
                   RECORD_FORMAT.offset);
      return CHECK_TROUBLE;
    default:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: reserved characters %zu-%zu are not all 0\n",
                   RECORD_ZEROS.offset, RECORD_ZEROS.offset + RECORD_ZEROS.width - 1);
      return CHECK_TROUBLE;
  }
  // People rename records; the name is a convenience, not part of the proof.
  // A record read from standard input has no name to compare.
  char expected[RECORD_NAME_CHARS] = {};
  make_record_name(expected, fields->sha1[0], 8);
  if (!from_input && std::strcmp(os_base_name(name), expected) != 0) {
    begin_diagnostic(name);
    std::fprintf(stderr, "warning: a record of this SHA-1 digest is named %s\n", expected);
  }
  return CHECK_OK;
}

// Seconds since 1970 as YYYY-MM-DDTHH:MM:SSZ (UTC).
void print_utc(std::uint32_t seconds) {
  std::uint32_t days = seconds / 86400;
  const std::uint32_t in_day = seconds % 86400;
  unsigned year = 1970;
  const auto leap = [](unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  while (days >= (leap(year) ? 366u : 365u)) days -= leap(year++) ? 366u : 365u;
  const unsigned month_days[] = {31, leap(year) ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30,
                                 31};
  unsigned month = 0;
  while (days >= month_days[month]) days -= month_days[month++];
  std::printf("created: %04u-%02u-%02uT%02u:%02u:%02uZ\n", year, month + 1, days + 1, in_day / 3600,
              in_day / 60 % 60, in_day % 60);
}

void show_record(const RecordFields& fields) {
  std::fputs("SHA-512: ", stdout);
  for (const std::uint64_t word : fields.sha512) std::printf("%016" PRIX64, word);
  std::fputs("\nSHA-1: ", stdout);
  for (const std::uint32_t word : fields.sha1) std::printf("%08" PRIX32, word);
  std::printf("\nformat: %06" PRIX32 "\n", fields.format_code);
  if (fields.created == 0xFFFFFFFFu) {
    std::fputs("created: unknown\n", stdout);
  } else {
    print_utc(fields.created);
  }
}

// A failed digest of `file`, in words; CHECK_TROUBLE.
int digest_trouble(const char* file, const char* digest, std::int64_t status, bool empty) {
  const char* cause = "internal logic error";
  if (status == DIGEST_TOO_LARGE) {
    cause = "larger than 536,870,911 bytes";
  } else if (status == DIGEST_FILE_ERROR) {
    cause = empty ? "the file is empty" : "the file could not be read as its size promised";
  }
  begin_diagnostic(file);
  std::fprintf(stderr, "%s failed: %s\n", digest, cause);
  return CHECK_TROUBLE;
}

int changed(const char* file) { return trouble(file, "the file changed while it was read"); }

// Why `file` cannot be opened as the digests open it: opened once more to
// ask the system.
OsCause open_cause(const char* file) {
  OsCause cause = OS_CAUSE_OTHER;
  const int fd = os_open_read(file, &cause);
  if (fd < 0) return cause;
  cause = os_plain_file_cause(fd);
  os_close(fd);
  return cause == OS_CAUSE_NONE ? OS_CAUSE_OTHER : cause;
}

int check_file(const char* file, const RecordFields& fields) {
  FileIdentity identity{};
  if (!open_file_identity(file, &identity)) return trouble(file, cause_text(open_cause(file)));
  const bool empty = identity.size == 0;
  BothDigests digests{};
  digest_both(file, identity, digests);
  if (digests.changed) return changed(file);
  if (digests.sha1_status < 0) return digest_trouble(file, "SHA-1", digests.sha1_status, empty);
  // The SHA-1 pass read the file whole, so a file error now is a change.
  if (digests.sha512_status == DIGEST_FILE_ERROR) return changed(file);
  if (digests.sha512_status < 0) {
    return digest_trouble(file, "SHA-512", digests.sha512_status, empty);
  }
  const Sha1Digest& sha1 = digests.sha1;
  const Sha512Digest& sha512 = digests.sha512;

  const bool sha1_same = sha1 == fields.sha1;
  const bool sha512_same = sha512 == fields.sha512;
  if (sha1_same && sha512_same) {
    print_result(file, "OK");
    return CHECK_OK;
  }
  print_result(file, "FAILED");
  trouble(file, !sha1_same && !sha512_same ? "SHA-1 and SHA-512 digests differ from the record"
                : !sha1_same               ? "SHA-1 digest differs from the record"
                                           : "SHA-512 digest differs from the record");
  return CHECK_MISMATCH;
}

// A wrong argument, quoted, and the hint; CHECK_TROUBLE.
int usage_trouble(const char* what, const char* arg) {
  if (needs_escape(arg)) std::fputc('\\', stderr);
  std::fprintf(stderr, "zmrcheck: %s '", what);
  put_name(stderr, arg);
  std::fputs("'\nTry 'zmrcheck --help'.\n", stderr);
  return CHECK_TROUBLE;
}

int run(int argc, const char* const* argv) {
  const char* operands[2] = {};
  int count = 0;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_end && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        options_end = true;
      } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        print_usage();
        return CHECK_OK;
      } else if (std::strcmp(arg, "--version") == 0) {
        std::puts("zmrcheck " ZMRGEN_VERSION);
        return CHECK_OK;
      } else {
        return usage_trouble("unknown option", arg);
      }
      continue;
    }
    if (count == 2) {
      return usage_trouble("extra operand", arg);
    }
    operands[count++] = arg;
  }
  if (count == 0) {
    std::fputs("zmrcheck: missing operand\nTry 'zmrcheck --help'.\n", stderr);
    return CHECK_TROUBLE;
  }

  RecordFields fields{};
  if (load_record(operands[0], &fields) != CHECK_OK) return CHECK_TROUBLE;
  if (count == 1) {
    show_record(fields);
    return CHECK_OK;
  }
  return check_file(operands[1], fields);
}

}  // namespace

int run_check(int argc, const char* const* argv) {
  const int status = run(argc, argv);
  // Results that did not reach standard output are trouble too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("zmrcheck: write error on standard output\n", stderr);
    return CHECK_TROUBLE;
  }
  return status;
}
