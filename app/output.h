// What zmrcheck and zmrbatch print, written once for both: names escaped so
// that none can forge a line, causes in the system's words, times in ISO
// form, a document digested as zmrgen digests it and the record found at its
// name, one JSON object a line, and the closing summary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "digest/both_digests.h"
#include "platform/platform.h"
#include "record/record_name.h"
#include "record/record_text.h"

// ---- Names ----

// True when `name` holds a backslash or a control character (C0, DEL, or C1
// as UTF-8 spells it): it is then printed escaped (\\, \n, \r, \t, \xHH),
// on a line marked by a leading backslash, as the coreutils checkers do.
bool needs_escape(const char* name);
void put_name(std::FILE* to, const char* name);

// Begins a diagnostic on standard error: "PROGRAM: NAME: ", marked when
// escaped. Standard output is flushed first, so that results said before it
// come first. The caller ends the line.
void begin_diagnostic(const char* program, const char* name);
// A whole diagnostic line: "PROGRAM: NAME: TEXT".
void say_trouble(const char* program, const char* name, const char* text);
// Begins a result line on standard output: "NAME: ", marked when escaped.
void begin_result(const char* name);

// ---- Words ----

// Why a file cannot be read, in the system's usual words.
const char* cause_text(OsCause cause);

// Room for a time as format_utc writes it.
inline constexpr std::size_t UTC_TEXT_CHARS = 80;
// A record's creation time as YYYY-MM-DDTHH:MM:SSZ (UTC), or "unknown".
void format_utc(char (&out)[UTC_TEXT_CHARS], std::uint32_t seconds);

// `value` with its digits in groups of three ("536,870,911").
std::string grouped(std::uint64_t value);

// ---- Records ----

// The record name zmrgen gives content of this SHA-1 digest; and the path
// of `name` in `folder` (nullptr: the current directory).
struct RecordName {
  char text[RECORD_NAME_BUFFER_CHARS];
};
RecordName record_name_for(const Sha1Digest& sha1);
std::string path_in_folder(const char* folder, const char* name);
// nullptr when `folder` can hold records, else why not ("No such file or
// directory", "Not a directory"). Only what surely is no folder is refused.
const char* folder_trouble(const char* folder);

// Digests `file` as zmrgen does, the two-pass proof included: true with
// both digests in `*digests`, or false with the trouble in words in
// `*trouble` ("No such file or directory", "SHA-1 failed: the file is
// empty", "the file changed while it was read", ...).
bool digest_document(const char* file, BothDigests* digests, std::string* trouble,
                     DigestSchedule schedule = DigestSchedule::automatic);

// What stands at a record's name, for the digests of one content.
enum class RecordAtName {
  ABSENT,
  SAME,        // a valid record of this content; `fields` filled
  OTHER,       // a valid record of other content; `fields` filled
  NOT_RECORD,  // a file that is not a record; `trouble` says how
  UNREADABLE,  // something that cannot be read (a folder); `trouble` says why
};
RecordAtName look_at_record(const char* path, const BothDigests& digests, RecordFields* fields,
                            std::string* trouble);
// The first fault of `length` bytes read as a record, in words ("not a
// record: 12 bytes long, not 256"); empty when they are a valid record, with
// `fields` filled.
std::string record_fault(const char* text, std::uint64_t length, RecordFields* fields);

// ---- JSON ----

// One file's outcome as a JSON object on one line. Names that are not valid
// UTF-8 keep each stray byte as a lone surrogate escape \udcXX (XX the byte),
// as Python's surrogateescape reads it back. Empty fields are left out.
struct JsonOutcome {
  const char* file;
  const char* outcome;         // "recorded", "already recorded", "not recorded", ...
  const char* record;          // the record's name, or nullptr
  const char* created;         // ISO time, or nullptr
  const BothDigests* digests;  // nullptr: no bytes or digests
  const char* cause;           // nullptr: none
};
void put_json_line(std::FILE* to, const JsonOutcome& outcome);

// ---- Summary ----

// "PROGRAM: 998 recorded, 1 not recorded, 2 with trouble" on standard error:
// only the counts that are not zero, then ", interrupted" when the run was.
struct SummaryItem {
  std::size_t count;
  const char* words;
};
void put_summary(const char* program, const SummaryItem* items, std::size_t count,
                 bool interrupted);
