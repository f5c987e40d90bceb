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

// A whole diagnostic about `name` with a fixed text; CheckOutcome::TROUBLE.
CheckOutcome trouble(const char* name, const char* text) {
  begin_diagnostic(name);
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  return CheckOutcome::TROUBLE;
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
  std::size_t where = 0;
  switch (parse_record(text,
                       static_cast<std::size_t>(length > RECORD_CHARS ? RECORD_CHARS + 1 : length),
                       fields, &where)) {
    case RecordParse::VALID:
      break;
    case RecordParse::BAD_LENGTH:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: %" PRIu64 " bytes long, not %zu%s\n", length,
                   RECORD_CHARS,
                   record_then_line_end(text, length) ? " (a line end after the record?)" : "");
      return CheckOutcome::TROUBLE;
    case RecordParse::BAD_CHARACTER:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: character at offset %zu is not 0-9 or A-F\n", where);
      return CheckOutcome::TROUBLE;
    case RecordParse::BAD_FORMAT:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: format code %.*s at offset %zu, not 000001\n",
                   static_cast<int>(RECORD_FORMAT.width), text + RECORD_FORMAT.offset,
                   RECORD_FORMAT.offset);
      return CheckOutcome::TROUBLE;
    case RecordParse::BAD_ZEROS:
      begin_diagnostic(name);
      std::fprintf(stderr, "not a record: reserved characters %zu-%zu are not all 0\n",
                   RECORD_ZEROS.offset, RECORD_ZEROS.offset + RECORD_ZEROS.width - 1);
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
  if (fields.created == 0xFFFFFFFFu) {
    std::fputs("created: unknown\n", stdout);
  } else {
    print_utc(fields.created);
  }
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

// A failed digest of `file`, in words; CheckOutcome::TROUBLE. `limit` is the
// digest's largest file.
CheckOutcome digest_trouble(const char* file, const char* digest, std::int64_t status, bool empty,
                            std::uint64_t limit) {
  begin_diagnostic(file);
  std::fprintf(stderr, "%s failed: ", digest);
  if (status == DIGEST_TOO_LARGE) {
    std::fputs("larger than ", stderr);
    put_grouped(stderr, limit);
    std::fputs(" bytes\n", stderr);
  } else if (status == DIGEST_FILE_ERROR) {
    std::fprintf(stderr, "%s\n",
                 empty ? "the file is empty" : "the file could not be read as its size promised");
  } else {
    std::fputs("internal logic error\n", stderr);
  }
  return CheckOutcome::TROUBLE;
}

CheckOutcome changed(const char* file) {
  return trouble(file, "the file changed while it was read");
}

// Why `file` cannot be opened as the digests open it: opened once more to
// ask the system.
OsCause open_cause(const char* file) {
  OsCause cause = OsCause::OTHER;
  const int fd = os_open_read(file, &cause);
  if (fd < 0) return cause;
  cause = os_plain_file_cause(fd);
  os_close(fd);
  return cause == OsCause::NONE ? OsCause::OTHER : cause;
}

CheckOutcome check_file(const char* file, const RecordFields& fields) {
  FileIdentity identity{};
  if (!open_file_identity(file, &identity)) return trouble(file, cause_text(open_cause(file)));
  const bool empty = identity.size == 0;
  BothDigests digests{};
  digest_both(file, identity, digests);
  if (digests.changed) return changed(file);
  if (digests.sha1_status < 0) {
    return digest_trouble(file, "SHA-1", digests.sha1_status, empty, SHA1_MAX_BYTES);
  }
  // The SHA-1 pass read the file whole, so a file error now is a change.
  if (digests.sha512_status == DIGEST_FILE_ERROR) return changed(file);
  if (digests.sha512_status < 0) {
    return digest_trouble(file, "SHA-512", digests.sha512_status, empty, SHA512_MAX_BYTES);
  }
  const Sha1Digest& sha1 = digests.sha1;
  const Sha512Digest& sha512 = digests.sha512;

  const bool sha1_same = sha1 == fields.sha1;
  const bool sha512_same = sha512 == fields.sha512;
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

// A wrong argument, quoted, and the hint; CheckOutcome::TROUBLE.
CheckOutcome usage_trouble(const char* what, const char* arg) {
  if (needs_escape(arg)) std::fputc('\\', stderr);
  std::fprintf(stderr, "zmrcheck: %s '", what);
  put_name(stderr, arg);
  std::fputs("'\nTry 'zmrcheck --help'.\n", stderr);
  return CheckOutcome::TROUBLE;
}

CheckOutcome run(int argc, const char* const* argv) {
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
        return CheckOutcome::OK;
      } else if (std::strcmp(arg, "--version") == 0) {
        std::puts("zmrcheck " ZMRGEN_VERSION);
        return CheckOutcome::OK;
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
    return CheckOutcome::TROUBLE;
  }

  RecordFields fields{};
  if (load_record(operands[0], &fields) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
  if (count == 1) {
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
