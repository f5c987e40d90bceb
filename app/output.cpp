// The output parts zmrcheck and zmrbatch share: escaping, causes, times,
// the document's digests and the record at its name, JSON and the summary.
#include "app/output.h"

#include <cinttypes>
#include <cstring>

#include "digest/file_source.h"
#include "record/hex_digits.h"
#include "record/record_file.h"

// ---- Names ----

namespace {

// The bytes of the control character that begins at `at`: 1 for a C0
// control or DEL, 2 for a C1 control as UTF-8 spells it (C2 80 to C2 9F);
// 0 when none begins there.
std::size_t control_bytes(const char* at) {
  const auto c = static_cast<unsigned char>(at[0]);
  if (c < 0x20 || c == 0x7F) return 1;
  const auto next = static_cast<unsigned char>(at[1]);
  return c == 0xC2 && next >= 0x80 && next <= 0x9F ? 2 : 0;
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

}  // namespace

bool needs_escape(const char* name) {
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at == '\\' || control_bytes(at) != 0) return true;
  }
  return false;
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

void begin_diagnostic(const char* program, const char* name) {
  std::fflush(stdout);
  if (needs_escape(name)) std::fputc('\\', stderr);
  std::fprintf(stderr, "%s: ", program);
  put_name(stderr, name);
  std::fputs(": ", stderr);
}

void say_trouble(const char* program, const char* name, const char* text) {
  begin_diagnostic(program, name);
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
}

void begin_result(const char* name) {
  if (needs_escape(name)) std::fputc('\\', stdout);
  put_name(stdout, name);
  std::fputs(": ", stdout);
}

// ---- Words ----

const char* cause_text(OsCause cause) {
  constexpr struct {
    OsCause cause;
    const char* text;
  } CAUSE_TEXTS[] = {
      {OsCause::MISSING, "No such file or directory"},
      {OsCause::PERMISSION, "Permission denied"},
      {OsCause::DIRECTORY, "Is a directory"},
      {OsCause::NOT_PLAIN, "not a regular file"},
      {OsCause::IO, "Input/output error"},
      {OsCause::NOT_DIRECTORY, "Not a directory"},
      {OsCause::LINK_LOOP, "Too many levels of symbolic links"},
      {OsCause::NAME_TOO_LONG, "File name too long"},
  };
  for (const auto& c : CAUSE_TEXTS) {
    if (c.cause == cause) return c.text;
  }
  return "cannot be read";
}

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

std::string grouped(std::uint64_t value) {
  if (value < 1000) return std::to_string(value);
  char group[8];
  std::snprintf(group, sizeof group, ",%03u", static_cast<unsigned>(value % 1000));
  return grouped(value / 1000) + group;
}

// ---- Records ----

RecordName record_name_for(const Sha1Digest& sha1) {
  RecordName name{};
  make_record_name(name.text, sha1[0], 8);
  return name;
}

std::string path_in_folder(const char* folder, const char* name) {
  if (folder == nullptr) return name;
  std::string path = folder;
  // A folder named with a separator at its end (or a drive) needs none.
  if (!path.empty() && *os_base_name(folder) != '\0') path += '/';
  return path + name;
}

const char* folder_trouble(const char* folder) {
  OsCause cause = OsCause::OTHER;
  const int fd = os_open_read(folder, &cause);
  if (fd < 0) {
    return cause == OsCause::MISSING || cause == OsCause::NOT_DIRECTORY ? cause_text(cause)
                                                                        : nullptr;
  }
  cause = os_plain_file_cause(fd);
  os_close(fd);
  return cause == OsCause::DIRECTORY || cause == OsCause::OTHER ? nullptr : "Not a directory";
}

namespace {

// A failed digest stage in words; `limit` is the digest's largest file.
std::string digest_failure(const char* digest, std::int64_t status, const BothDigests& digests,
                           std::uint64_t limit) {
  if (status == DIGEST_FILE_ERROR && digests.changed) return "the file changed while it was read";
  std::string text = std::string(digest) + " failed: ";
  if (status == DIGEST_TOO_LARGE) return text + "larger than " + grouped(limit) + " bytes";
  if (status != DIGEST_FILE_ERROR) return text + "internal logic error";
  // The system's cause of a read that failed; else what the size said. (A
  // block device's identity gives its size as 0, so only the probe tells.)
  return text + (digests.read_cause == OsCause::OTHER  ? "a read failed"
                 : digests.read_cause != OsCause::NONE ? cause_text(digests.read_cause)
                 : digests.probed_size == 0            ? "the file is empty"
                                            : "the file could not be read as its size promised");
}

}  // namespace

bool digest_document(const char* file, BothDigests* digests, std::string* trouble,
                     DigestSchedule schedule) {
  FileIdentity identity{};
  OsCause cause = OsCause::OTHER;
  if (!open_file_identity(file, &identity, &cause)) {
    *trouble = cause_text(cause);
    return false;
  }
  digest_both(file, identity, *digests, schedule);
  if (digests->sha1_status < 0) {
    *trouble = digest_failure("SHA-1", digests->sha1_status, *digests, SHA1_MAX_BYTES);
    return false;
  }
  if (digests->sha512_status < 0) {
    *trouble = digest_failure("SHA-512", digests->sha512_status, *digests, SHA512_MAX_BYTES);
    return false;
  }
  return true;
}

namespace {

// A record of `length` bytes that is a valid record followed by a line end.
bool record_then_line_end(const char* text, std::uint64_t length) {
  const bool line_end =
      (length == RECORD_CHARS + 1 && text[RECORD_CHARS] == '\n') ||
      (length == RECORD_CHARS + 2 && text[RECORD_CHARS] == '\r' && text[RECORD_CHARS + 1] == '\n');
  RecordFields fields{};
  std::size_t where = 0;
  return line_end && parse_record(text, RECORD_CHARS, &fields, &where) == RecordParse::VALID;
}

}  // namespace

std::string record_fault(const char* text, std::uint64_t length, RecordFields* fields) {
  char line[160];
  std::size_t where = 0;
  switch (parse_record(text,
                       static_cast<std::size_t>(length > RECORD_CHARS ? RECORD_CHARS + 1 : length),
                       fields, &where)) {
    case RecordParse::VALID:
      return "";
    case RecordParse::BAD_LENGTH:
      if (length == RECORD_LENGTH_OVER) {
        std::snprintf(line, sizeof line, "not a record: more than %zu bytes long, not %zu",
                      RECORD_READ_CHARS, RECORD_CHARS);
      } else {
        std::snprintf(line, sizeof line, "not a record: %" PRIu64 " bytes long, not %zu%s", length,
                      RECORD_CHARS,
                      record_then_line_end(text, length) ? " (a line end after the record?)" : "");
      }
      break;
    case RecordParse::BAD_CHARACTER:
      std::snprintf(line, sizeof line, "not a record: character at offset %zu is not 0-9 or A-F",
                    where);
      break;
    case RecordParse::BAD_FORMAT: {
      char expected[RECORD_FORMAT.width];
      put_hex_digits(expected, RECORD_FORMAT_CODE, RECORD_FORMAT.width);
      const int width = static_cast<int>(RECORD_FORMAT.width);
      std::snprintf(line, sizeof line, "not a record: format code %.*s at offset %zu, not %.*s",
                    width, text + RECORD_FORMAT.offset, RECORD_FORMAT.offset, width, expected);
      break;
    }
    case RecordParse::BAD_ZEROS:
      std::snprintf(line, sizeof line, "not a record: reserved characters %zu-%zu are not all 0",
                    RECORD_ZEROS.offset, RECORD_ZEROS.offset + RECORD_ZEROS.width - 1);
      break;
  }
  return line;
}

RecordAtName look_at_record(const char* path, const BothDigests& digests, RecordFields* fields,
                            std::string* trouble) {
  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  OsCause cause = OsCause::OTHER;
  if (read_record_file(path, text, &length, &cause) != RecordRead::READ) {
    if (cause == OsCause::MISSING) return RecordAtName::ABSENT;
    *trouble = cause_text(cause);
    return RecordAtName::UNREADABLE;
  }
  *trouble = record_fault(text, length, fields);
  if (!trouble->empty()) return RecordAtName::NOT_RECORD;
  // Names hold 32 bits of the SHA-1 digest: another content may hold it, and
  // two contents may share a SHA-1 digest, so both digests must agree.
  return fields->sha1 == digests.sha1 && fields->sha512 == digests.sha512 ? RecordAtName::SAME
                                                                          : RecordAtName::OTHER;
}

// ---- JSON ----

namespace {

// The length of the valid UTF-8 sequence at `s` (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8_length(const unsigned char* s) {
  const unsigned c = s[0];
  std::size_t n = 0;
  unsigned low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s[1] < low || s[1] > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return n;
}

void put_json_string(std::FILE* to, const char* text) {
  std::fputc('"', to);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (*s != 0) {
    const unsigned c = *s;
    if (c == '"' || c == '\\') {
      std::fprintf(to, "\\%c", static_cast<char>(c));
      ++s;
    } else if (c < 0x20 || c == 0x7F) {
      std::fprintf(to, "\\u%04x", c);
      ++s;
    } else if (c < 0x80) {
      std::fputc(static_cast<int>(c), to);
      ++s;
    } else if (const std::size_t n = utf8_length(s); n != 0) {
      std::fwrite(s, 1, n, to);
      s += n;
    } else {
      std::fprintf(to, "\\udc%02x", c);  // a stray byte, kept
      ++s;
    }
  }
  std::fputc('"', to);
}

void put_json_field(std::FILE* to, const char* key, const char* value) {
  if (value == nullptr) return;
  std::fprintf(to, ",\"%s\":", key);
  put_json_string(to, value);
}

}  // namespace

void put_json_line(std::FILE* to, const JsonOutcome& o) {
  std::fputs("{\"file\":", to);
  put_json_string(to, o.file);
  put_json_field(to, "outcome", o.outcome);
  put_json_field(to, "record", o.record);
  put_json_field(to, "created", o.created);
  if (o.digests != nullptr) {
    std::string sha1, sha512;
    char word[17];
    for (const std::uint32_t w : o.digests->sha1) {
      put_hex_digits(word, w, 8);
      sha1.append(word, 8);
    }
    for (const std::uint64_t w : o.digests->sha512) {
      put_hex_digits(word, w, 16);
      sha512.append(word, 16);
    }
    std::fprintf(to, ",\"bytes\":%" PRId64, static_cast<std::int64_t>(o.digests->sha1_status));
    put_json_field(to, "sha1", sha1.c_str());
    put_json_field(to, "sha512", sha512.c_str());
  }
  put_json_field(to, "cause", o.cause);
  std::fputs("}\n", to);
}

// ---- Summary ----

void put_summary(const char* program, const SummaryItem* items, std::size_t count,
                 bool interrupted) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: ", program);
  const char* between = "";
  for (std::size_t i = 0; i < count; ++i) {
    if (items[i].count == 0) continue;
    std::fprintf(stderr, "%s%zu %s", between, items[i].count, items[i].words);
    between = ", ";
  }
  if (interrupted) std::fprintf(stderr, "%sinterrupted", between);
  std::fputc('\n', stderr);
}
