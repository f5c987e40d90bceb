// The option table reader shared by zmrcheck and zmrbatch: getopt_long's
// rules and its messages, with any name in a message escaped.
#include "app/options.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/output.h"

bool say_usage_fault(const char* program, const char* before, const std::string& quoted,
                     const char* after) {
  std::fflush(stdout);
  if (needs_escape(quoted.c_str())) std::fputc('\\', stderr);
  std::fprintf(stderr, "%s: %s", program, before);
  put_name(stderr, quoted.c_str());
  std::fprintf(stderr, "%s\nTry '%s --help'.\n", after, program);
  return false;
}

namespace {

// Notes an option: in the list, and where its row says.
void note(const OptionRow& row, const GivenOption& option, CommandLine* out) {
  if (row.flag != nullptr) *row.flag = true;
  if (row.value != nullptr) *row.value = option.value;
  out->options.push_back(option);
}

void spell(GivenOption* given, const char* dashes, const char* name, std::size_t length) {
  std::snprintf(given->spelled, sizeof given->spelled, "%s%.*s", dashes, static_cast<int>(length),
                name);
}

// A long option "--name" or "--name=value" at argv[*i]; moves *i past an
// argument taken from the next word.
bool read_long(const char* program, int argc, const char* const* argv, int* i,
               const std::vector<OptionRow>& rows, CommandLine* out) {
  const char* word = argv[*i] + 2;
  const char* equals = std::strchr(word, '=');
  const std::size_t length =
      equals != nullptr ? static_cast<std::size_t>(equals - word) : std::strlen(word);
  const OptionRow* match = nullptr;
  std::string candidates;
  int matches = 0;
  for (const OptionRow& row : rows) {
    if (row.long_name == nullptr || std::strncmp(row.long_name, word, length) != 0) continue;
    if (std::strlen(row.long_name) == length) {  // exact: no ambiguity
      match = &row;
      matches = 1;
      break;
    }
    match = &row;
    ++matches;
    candidates += std::string(" '--") + row.long_name + "'";
  }
  const std::string given(argv[*i], static_cast<std::size_t>(2 + length));
  if (matches == 0) return say_usage_fault(program, "unrecognized option '", argv[*i], "'");
  if (matches > 1) {
    return say_usage_fault(program, "option '", given,
                           ("' is ambiguous; possibilities:" + candidates).c_str());
  }
  GivenOption option{match->id, nullptr, {}};
  spell(&option, "--", match->long_name, std::strlen(match->long_name));
  if (match->argument == OptionArgument::NONE) {
    if (equals != nullptr) {
      return say_usage_fault(program, "option '", option.spelled, "' doesn't allow an argument");
    }
  } else if (equals != nullptr) {
    option.value = equals + 1;
  } else if (*i + 1 < argc) {
    option.value = argv[++*i];
  } else {
    return say_usage_fault(program, "option '", option.spelled, "' requires an argument");
  }
  note(*match, option, out);
  return true;
}

// A bundle of short options "-abc", "-dDIR" or "-d DIR".
bool read_short(const char* program, int argc, const char* const* argv, int* i,
                const std::vector<OptionRow>& rows, CommandLine* out) {
  for (const char* at = argv[*i] + 1; *at != '\0'; ++at) {
    const OptionRow* match = nullptr;
    for (const OptionRow& row : rows) {
      if (row.short_name != '\0' && row.short_name == *at) match = &row;
    }
    if (match == nullptr)
      return say_usage_fault(program, "invalid option -- '", std::string(1, *at), "'");
    GivenOption option{match->id, nullptr, {}};
    spell(&option, "-", at, 1);
    if (match->argument == OptionArgument::REQUIRED) {
      if (at[1] != '\0') {
        option.value = at + 1;
      } else if (*i + 1 < argc) {
        option.value = argv[++*i];
      } else {
        return say_usage_fault(program, "option requires an argument -- '", std::string(1, *at),
                               "'");
      }
      note(*match, option, out);
      return true;
    }
    note(*match, option, out);
  }
  return true;
}

}  // namespace

bool parse_command_line(const char* program, int argc, const char* const* argv,
                        const std::vector<OptionRow>& rows, CommandLine* out) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_end || arg[0] != '-' || arg[1] == '\0') {
      out->operands.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      options_end = true;
    } else if (arg[1] == '-') {
      if (!read_long(program, argc, argv, &i, rows, out)) return false;
    } else if (!read_short(program, argc, argv, &i, rows, out)) {
      return false;
    }
  }
  return true;
}
