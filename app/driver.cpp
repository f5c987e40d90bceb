// The command driver: the command line's checks, the help screen, both
// digests, the stages that report them and write the record, and every
// message and status of a run.
#include "app/driver.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "digest/both_digests.h"
#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "record/hex_digits.h"
#include "record/record_file.h"
#include "record/record_name.h"

namespace {

void out(const char* text) { std::fputs(text, stdout); }

// A digest stage either ends the run with a status or lets it continue
// (nullopt).
using StageResult = std::optional<std::int32_t>;

// The values one run holds for its stages.
struct RunValues {
  char path[MAX_PATH_CHARS];
  std::uint32_t format_code;
  // The input as the readability check found it. Both digests stand only if
  // the file is still that file, unchanged, and both passes read the same
  // content, so that both digests (and the record) describe one content.
  FileIdentity identity;
  // Both digests and their statuses, taken together before the stages that
  // report them and write the record.
  BothDigests digests;
};

// One digest word as `digits` hex digits and a space.
void print_word(std::uint64_t word, std::size_t digits) {
  char text[17];
  put_hex_digits(text, word, digits);
  text[digits] = ' ';
  std::fwrite(text, 1, digits + 1, stdout);
}

void print_digest_failure(std::int64_t status, const char* too_large_line) {
  out(" ***** FATAL ERROR *****\n Algorithm failed\n\n");
  if (status == DIGEST_LOGIC_ERROR) {
    out("Logic error.  Please contact program author.\n");
  } else if (status == DIGEST_TOO_LARGE) {
    out(too_large_line);
  } else if (status == DIGEST_FILE_ERROR) {
    out("File error.\n");
  }
}

// Reports the SHA-1 digest, or its failure, which ends the run.
StageResult report_sha1(const BothDigests& digests) {
  if (digests.sha1_status < 0) {
    print_digest_failure(digests.sha1_status, "File exceeds limit of 512Mb.\n");
    return digests.sha1_status;
  }
  out("SHA-1 message digest:\n");
  for (const std::uint32_t word : digests.sha1) print_word(word, 8);
  out("\n\n");
  return std::nullopt;
}

// Reports the SHA-512 digest, or its failure, which ends the run.
StageResult report_sha512(const BothDigests& digests) {
  if (digests.sha512_status < 0) {
    print_digest_failure(digests.sha512_status, "File exceeds limit of 2Gb.\n");
    return static_cast<std::int32_t>(digests.sha512_status);  // -1, -2 or -3
  }
  out("SHA-512 message digest:\n");
  for (std::size_t i = 0; i < digests.sha512.size(); ++i) {
    print_word(digests.sha512[i], 16);
    if (i == 3) out("\n");
  }
  out("\n");
  return std::nullopt;
}

// Writes the record of both digests. It never ends the run: a record that
// cannot be written is reported, and the run still returns the byte count.
void record_stage(const BothDigests& digests, std::uint32_t format_code) {
  char record_name[RECORD_NAME_BUFFER_CHARS] = {};
  make_record_name(record_name, digests.sha1[0], 8);
  switch (write_record(record_name, digests.sha512, digests.sha1, format_code)) {
    case RecordWrite::WRITTEN:
      break;
    case RecordWrite::CREATE_ERROR:
      std::printf(" ***** ERROR *****\n Cannot open file: %s for writing.\n", record_name);
      break;
    case RecordWrite::WRITE_ERROR:
      std::printf(" ***** ERROR *****\n Cannot write file: %s\n", record_name);
      break;
    case RecordWrite::OTHER_CONTENT:
      // Another file's record (or some other file) keeps the name.
      std::printf(" ***** ERROR *****\n Cannot open file: %s for writing.\n", record_name);
      out(" A file of other content has that name; it was left as it was.\n");
      break;
    case RecordWrite::UNREADABLE_AT_NAME:
      std::printf(" ***** ERROR *****\n Cannot open file: %s for writing.\n", record_name);
      out(" A file that cannot be read has that name; it was left as it was.\n");
      break;
  }
}

// The fixed texts below spell out the limits of these constants.
static_assert(SHA1_MAX_BYTES == 536870911 && SHA1_MAX_BYTES * 8 == 4294967288,
              "the help screen and the SHA-1 failure line state 536,870,911 bytes (512Mb)");
static_assert(SHA512_MAX_BYTES == 2147483647, "the SHA-512 failure line states 2Gb");
static_assert(MAX_PATH_CHARS == 200, "the long-name message states 200 characters");

void print_help() {
  out("\n    ** ZELMOR Record Generator command line version help **\n\n");
  out(" syntax: zmrgen <input_file_name> \n");
  out("\nThis program creates a ZELMOR(R) blockchain record, suitable for \n"
      "submission to the ZELMOR(R) blockchain.\n\n");
  out("It generates 512-bit Secure Hash Algorithm-2 (SHA-512) and SHA-1 message \n");
  out("digests, as described by the first method given in FIPS PUB 180-1, dated \n");
  out("17 April 1995, and FIPS PUB 180-2, dated 1 August 2002.\n");
  out("\nThe output record will be named as the first octet of the SHA-1, with the \n"
      "extension '.zmr'.\n");
  out("\nThe message digests will also be printed to the screen.\n");
  out("\n");
  out("This version only works on files up to 512Mb in length (536,870,911 bytes).\n");
  out("\nPossible return values and their associated conditions:\n");
  out(" # bytes hashed   success\n -1               file i/o error\n");
  out(" -2               file exceeds 512Mb (536,870,911 bytes; 4,294,967,288 bits)\n");
  out(" -3               logic error\n");
  out("\n zmrgen " ZMRGEN_RELEASE ", the ZELMOR record generator, by the zmrgen developers.\n\n");
}

}  // namespace

std::int32_t run_generator(int argc, const char* const* argv) {
  RunValues run{};
  run.format_code = RECORD_FORMAT_CODE;
  out("\n");

  if (argc < 2 || argc > 3) {
    out("\n");
    out(" *** Syntax Error ***\n\n  Incorrect number of command-line arguments.\n\n");
    print_help();
    return 0;
  }
  // With a second argument the first is always a file name, even "-h".
  if (argc == 2 && std::strcmp(argv[1], "-h") == 0) {
    print_help();
    return 0;
  }

  const char* name = argv[1];
  const std::size_t name_length = std::strlen(name);
  if (name_length >= MAX_PATH_CHARS) {
    std::printf(
        " ***** FATAL ERROR *****\n Input file name exceeds the limit of 200 characters:\n%s\n",
        name);
    return 0;
  }
  std::memcpy(run.path, name, name_length + 1);  // fits: checked above

  // Prove the file can be read and note which file it is; the digest
  // routines open it themselves.
  if (!open_file_identity(run.path, &run.identity)) {
    std::printf(" ***** ERROR *****\n Cannot open file: %s for reading.\n", run.path);
    return 0;
  }

  // Both digest passes at once where they can run so, else in turn; the
  // stages then report them in order.
  digest_both(run.path, run.identity, run.digests);
  if (const StageResult ended = report_sha1(run.digests)) return *ended;
  if (const StageResult ended = report_sha512(run.digests)) return *ended;
  record_stage(run.digests, run.format_code);
  return run.digests.sha1_status;
}
