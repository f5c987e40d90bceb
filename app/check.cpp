// The zmrcheck driver: reads a record, shows its fields or checks a file
// against it, or finds each file's record by its content (--find), and alone
// prints. Results go to standard output, diagnostics to standard error, each
// beginning "zmrcheck: " and naming its file; the exit status is 0 (valid,
// or the files match), 1 (a file does not match, or has no record) or 2
// (trouble). It never writes a file and never waits for a key.
#include "app/check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/output.h"
#include "digest/both_digests.h"
#include "platform/platform.h"
#include "record/record_file.h"

namespace {

constexpr const char* PROGRAM = "zmrcheck";

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
      "      --json           with --find, one JSON object a file instead of the\n"
      "                       lines (the form zmrbatch --json writes)\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and exit\n"
      "\n"
      "Example: zmrcheck --find --records ~/records ~/documents/*\n"
      "\n"
      "Exit status: 0 valid record or matching file (--find: every FILE has a\n"
      "matching record), 1 mismatch (--find: a FILE has none), 2 trouble.\n",
      stdout);
}

CheckOutcome trouble(const char* name, const char* text) {
  say_trouble(PROGRAM, name, text);
  return CheckOutcome::TROUBLE;
}

// A result line: "NAME: OK" or "NAME: FAILED".
void print_result(const char* name, const char* result) {
  begin_result(name);
  std::printf("%s\n", result);
}

// What the command line asked for.
struct CheckCommand {
  std::vector<const char*> operands;
  bool find;
  const char* records;  // the folder of records; nullptr: the current directory
  bool quiet;           // no OK lines
  bool status_only;     // nothing on standard output
  bool json;            // JSON lines instead of text
};

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
  if (const std::string fault = record_fault(text, length, fields); !fault.empty()) {
    return trouble(name, fault.c_str());
  }
  // People rename records; the name is a convenience, not part of the proof.
  // A record read from standard input has no name to compare.
  const RecordName expected = record_name_for(fields->sha1);
  if (!from_input && std::strcmp(os_base_name(name), expected.text) != 0) {
    begin_diagnostic(PROGRAM, name);
    std::fprintf(stderr, "warning: a record of this SHA-1 digest is named %s\n", expected.text);
  }
  return CheckOutcome::OK;
}

// ---- The modes ----

// RECORD alone: its fields.
CheckOutcome show_record(const CheckCommand& command) {
  RecordFields fields{};
  if (load_record(command.operands[0], &fields) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
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
  return CheckOutcome::OK;
}

// RECORD FILE: does FILE match it.
CheckOutcome check_file(const CheckCommand& command) {
  RecordFields fields{};
  if (load_record(command.operands[0], &fields) != CheckOutcome::OK) return CheckOutcome::TROUBLE;
  const char* file = command.operands[1];
  BothDigests digests{};
  std::string why;
  if (!digest_document(file, &digests, &why)) return trouble(file, why.c_str());
  const bool sha1_same = digests.sha1 == fields.sha1;
  const bool sha512_same = digests.sha512 == fields.sha512;
  if (sha1_same && sha512_same) {
    print_result(file, "OK");
    return CheckOutcome::OK;
  }
  print_result(file, "FAILED");
  say_trouble(PROGRAM, file,
              !sha1_same && !sha512_same ? "SHA-1 and SHA-512 digests differ from the record"
              : !sha1_same               ? "SHA-1 digest differs from the record"
                                         : "SHA-512 digest differs from the record");
  return CheckOutcome::MISMATCH;
}

// One --find result, as a line or a JSON object.
void find_result(const CheckCommand& command, const char* file, const char* outcome,
                 const char* line, const RecordName& name, const char* created,
                 const BothDigests& digests) {
  if (command.status_only) return;
  if (command.json) {
    put_json_line(stdout, {file, outcome, name.text, created, &digests, nullptr});
  } else {
    begin_result(file);
    std::fputs(line, stdout);
  }
}

// Finds the record of `file` by its content and checks it: CheckOutcome::OK
// (a record of this content), MISMATCH (none), or TROUBLE.
CheckOutcome find_one(const CheckCommand& command, const char* file) {
  const auto troubled = [&command](const char* name, const char* why) {
    if (command.json && !command.status_only) {
      put_json_line(stdout, {name, "trouble", nullptr, nullptr, nullptr, why});
    }
    return trouble(name, why);
  };
  if (std::strcmp(file, "-") == 0) {
    // A record stands only for content read identically twice.
    return troubled(file, "standard input cannot be read twice (a file named - is ./-)");
  }
  BothDigests digests{};
  std::string why;
  if (!digest_document(file, &digests, &why)) return troubled(file, why.c_str());
  const RecordName name = record_name_for(digests.sha1);
  const std::string path = path_in_folder(command.records, name.text);
  RecordFields fields{};
  char line[RECORD_NAME_BUFFER_CHARS + UTC_TEXT_CHARS + 64];
  switch (look_at_record(path.c_str(), digests, &fields, &why)) {
    case RecordAtName::ABSENT:
      std::snprintf(line, sizeof line, "no record (%s not found)\n", name.text);
      find_result(command, file, "no record", line, name, nullptr, digests);
      return CheckOutcome::MISMATCH;
    case RecordAtName::OTHER:
      std::snprintf(line, sizeof line, "no record (%s is the record of other content)\n",
                    name.text);
      find_result(command, file, "not recorded", line, name, nullptr, digests);
      return CheckOutcome::MISMATCH;
    case RecordAtName::NOT_RECORD:
    case RecordAtName::UNREADABLE:
      if (command.json && !command.status_only) {
        put_json_line(stdout, {file, "trouble", name.text, nullptr, &digests, why.c_str()});
      }
      return trouble(path.c_str(), why.c_str());
    case RecordAtName::SAME:
      break;
  }
  char created[UTC_TEXT_CHARS];
  format_utc(created, fields.created);
  std::snprintf(line, sizeof line, "OK (%s, created %s)\n", name.text, created);
  if (!command.quiet) find_result(command, file, "already recorded", line, name, created, digests);
  return CheckOutcome::OK;
}

// --find FILE...: each file's record by its content.
CheckOutcome find_records(const CheckCommand& command) {
  if (command.records != nullptr) {
    if (const char* why = folder_trouble(command.records); why != nullptr) {
      return trouble(command.records, why);
    }
  }
  const std::size_t files = command.operands.size();
  std::size_t none = 0, troubled = 0;
  for (const char* file : command.operands) {
    const CheckOutcome outcome = find_one(command, file);
    if (outcome == CheckOutcome::MISMATCH) ++none;
    if (outcome == CheckOutcome::TROUBLE) ++troubled;
  }
  if (files > 1 && none + troubled > 0 && !command.status_only) {
    std::fflush(stdout);  // the results said before it come first
    std::fputs("zmrcheck: WARNING: ", stderr);
    if (none > 0) {
      std::fprintf(stderr, "%zu of %zu files %s no record", none, files,
                   none == 1 ? "has" : "have");
    }
    if (troubled > 0) {
      if (none > 0) {
        std::fprintf(stderr, ", %zu could not be checked", troubled);
      } else {
        std::fprintf(stderr, "%zu of %zu files could not be checked", troubled, files);
      }
    }
    std::fputc('\n', stderr);
  }
  return troubled > 0 ? CheckOutcome::TROUBLE
         : none > 0   ? CheckOutcome::MISMATCH
                      : CheckOutcome::OK;
}

// The modes, the first that applies taken: a new mode is one function and
// one row.
struct CheckMode {
  bool (*applies)(const CheckCommand& command);
  CheckOutcome (*run)(const CheckCommand& command);
};
constexpr CheckMode MODES[] = {
    {[](const CheckCommand& c) { return c.find; }, find_records},
    {[](const CheckCommand& c) { return c.operands.size() == 1; }, show_record},
    {[](const CheckCommand& c) { return c.operands.size() == 2; }, check_file},
};

// ---- The command line ----

enum CheckOption { FIND, RECORDS, QUIET, STATUS, JSON, HELP, VERSION };

CheckOutcome usage_trouble(const char* text) {
  std::fprintf(stderr, "zmrcheck: %s\nTry 'zmrcheck --help'.\n", text);
  return CheckOutcome::TROUBLE;
}

CheckOutcome run(int argc, const char* const* argv) {
  CheckCommand command{{}, false, nullptr, false, false, false};
  const std::vector<OptionRow> rows = {
      {'f', "find", OptionArgument::NONE, FIND, &command.find},
      {'d', "records", OptionArgument::REQUIRED, RECORDS, nullptr, &command.records},
      {'\0', "quiet", OptionArgument::NONE, QUIET, &command.quiet},
      {'\0', "status", OptionArgument::NONE, STATUS, &command.status_only},
      {'\0', "json", OptionArgument::NONE, JSON, &command.json},
      {'h', "help", OptionArgument::NONE, HELP},
      {'\0', "version", OptionArgument::NONE, VERSION},
  };
  CommandLine line;
  if (!parse_command_line(PROGRAM, argc, argv, rows, &line)) return CheckOutcome::TROUBLE;
  command.operands = line.operands;
  const char* find_only = nullptr;  // the first option that needs --find
  for (const GivenOption& option : line.options) {
    if (option.id == HELP) {
      print_usage();
      return CheckOutcome::OK;
    }
    if (option.id == VERSION) {
      std::puts("zmrcheck " ZMRGEN_VERSION);
      return CheckOutcome::OK;
    }
    if (option.id != FIND && find_only == nullptr) find_only = option.spelled;
  }
  if (!command.find && find_only != nullptr) {
    return usage_trouble(("option '" + std::string(find_only) + "' goes with --find").c_str());
  }
  if (command.operands.empty()) return usage_trouble("missing operand");
  if (!command.find && command.operands.size() > 2) {
    say_usage_fault(PROGRAM, "extra operand '", command.operands[2], "'");
    return CheckOutcome::TROUBLE;
  }
  for (const CheckMode& mode : MODES) {
    if (mode.applies(command)) return mode.run(command);
  }
  return CheckOutcome::TROUBLE;  // not reached: the operand count is 1 or 2
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
