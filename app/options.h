// The command line of zmrcheck and zmrbatch, read as getopt_long reads one:
// a table of options, each with a short and a long spelling; short options
// bundled ("-qd DIR", "-dDIR"), "--opt=value" and "--opt value", any
// unambiguous abbreviation of a long option, and "--" ending the options.
// Operands may stand between options; "-" alone is an operand.
#pragma once

#include <string>
#include <vector>

enum class OptionArgument { NONE, REQUIRED };

struct OptionRow {
  char short_name;        // '\0': none
  const char* long_name;  // without the dashes; nullptr: none
  OptionArgument argument;
  int id;  // the caller's own
  // Where the reader notes the option itself, when given: set to true, or
  // to the argument. nullptr: the caller reads it from the list.
  bool* flag = nullptr;
  const char** value = nullptr;
};

struct GivenOption {
  int id;
  const char* value;  // the argument, or nullptr
  char spelled[40];   // as the user wrote it, for messages: "-d" or "--records"
};

struct CommandLine {
  std::vector<GivenOption> options;  // in the order given
  std::vector<const char*> operands;
};

// Says a fault of the command line on standard error: "PROGRAM: BEFORE",
// `quoted` escaped as names are, "AFTER", then "Try 'PROGRAM --help'.".
// Returns false.
bool say_usage_fault(const char* program, const char* before, const std::string& quoted,
                     const char* after);

// Reads argv[1..argc) by `rows`. On a fault prints it to standard error as
// "PROGRAM: ...", then "Try 'PROGRAM --help'.", and returns false.
bool parse_command_line(const char* program, int argc, const char* const* argv,
                        const std::vector<OptionRow>& rows, CommandLine* out);
