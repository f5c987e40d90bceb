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

// Reads and validates the record; CHECK_OK and `fields` filled, or the
// diagnostic printed and CHECK_TROUBLE.
int load_record(const char* name, RecordFields* fields) {
  char text[RECORD_CHARS + 1];
  std::uint64_t length = 0;
  if (read_record_file(name, text, &length) != RECORD_VALID) {
    std::fprintf(stderr, "zmrcheck: %s: cannot be read (not a readable file)\n", name);
    return CHECK_TROUBLE;
  }
  std::size_t where = 0;
  switch (parse_record(text, static_cast<std::size_t>(length > RECORD_CHARS ? RECORD_CHARS + 1 : length),
                       fields, &where)) {
    case RECORD_VALID:
      break;
    case RECORD_BAD_LENGTH:
      std::fprintf(stderr, "zmrcheck: %s: not a record: %" PRIu64 " bytes long, not %zu\n", name,
                   length, RECORD_CHARS);
      return CHECK_TROUBLE;
    case RECORD_BAD_CHARACTER:
      std::fprintf(stderr,
                   "zmrcheck: %s: not a record: character at offset %zu is not 0-9 or A-F\n", name,
                   where);
      return CHECK_TROUBLE;
    case RECORD_BAD_FORMAT:
      std::fprintf(stderr, "zmrcheck: %s: not a record: format code %.*s at offset %zu, not 000001\n",
                   name, static_cast<int>(RECORD_FORMAT.width), text + RECORD_FORMAT.offset,
                   RECORD_FORMAT.offset);
      return CHECK_TROUBLE;
    default:
      std::fprintf(stderr, "zmrcheck: %s: not a record: reserved characters %zu-%zu are not all 0\n",
                   name, RECORD_ZEROS.offset, RECORD_ZEROS.offset + RECORD_ZEROS.width - 1);
      return CHECK_TROUBLE;
  }
  // People rename records; the name is a convenience, not part of the proof.
  char expected[RECORD_NAME_CHARS] = {};
  make_record_name(expected, fields->sha1[0], 8);
  if (std::strcmp(os_base_name(name), expected) != 0) {
    std::fprintf(stderr, "zmrcheck: %s: warning: a record of this SHA-1 digest is named %s\n", name,
                 expected);
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
  const unsigned month_days[] = {31, leap(year) ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
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
  std::fprintf(stderr, "zmrcheck: %s: %s failed: %s\n", file, digest, cause);
  return CHECK_TROUBLE;
}

int changed(const char* file) {
  std::fprintf(stderr, "zmrcheck: %s: the file changed while it was read\n", file);
  return CHECK_TROUBLE;
}

int check_file(const char* file, const RecordFields& fields) {
  FileIdentity identity{};
  if (!open_file_identity(file, &identity)) {
    std::fprintf(stderr, "zmrcheck: %s: cannot be opened for reading (not a readable file)\n", file);
    return CHECK_TROUBLE;
  }
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
    std::printf("%s: OK\n", file);
    return CHECK_OK;
  }
  std::printf("%s: FAILED\n", file);
  std::fprintf(stderr, "zmrcheck: %s: %s\n", file,
               !sha1_same && !sha512_same ? "SHA-1 and SHA-512 digests differ from the record"
               : !sha1_same               ? "SHA-1 digest differs from the record"
                                          : "SHA-512 digest differs from the record");
  return CHECK_MISMATCH;
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
        std::fprintf(stderr, "zmrcheck: unknown option '%s'\nTry 'zmrcheck --help'.\n", arg);
        return CHECK_TROUBLE;
      }
      continue;
    }
    if (count == 2) {
      std::fprintf(stderr, "zmrcheck: extra operand '%s'\nTry 'zmrcheck --help'.\n", arg);
      return CHECK_TROUBLE;
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
