// The record file: its text (record/record_text.h) written whole or not at
// all under the record's name, and read back to check a file against it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/file_digest.h"
#include "platform/platform.h"
#include "record/record_text.h"

// What write_record did.
enum class RecordWrite {
  WRITTEN,
  // The record cannot be created: the directory refuses a new file, or a
  // directory stands at the record's name.
  CREATE_ERROR,
  // Writing, flushing, closing or putting the record in place failed; any
  // earlier record of that name is left as it was.
  WRITE_ERROR,
  // Something other than a record of the same content stands at the record's
  // name (a record of another file whose SHA-1 digest begins alike, or any
  // file that is not a valid record): it is left as it was, and no record is
  // written.
  OTHER_CONTENT,
  // A file stands at the record's name that cannot be read, so it cannot be
  // told whether it is a record of the same content: it is left as it was,
  // and no record is written.
  UNREADABLE_AT_NAME,
};

// Seconds since 1970-01-01 00:00:00 UTC, as the record's clock reads them.
using RecordClock = std::int64_t (*)();
// Replaces the clock (for tests); nullptr restores the system clock.
void set_record_clock(RecordClock clock);

// Called with the temporary file's name while it exists, complete, just
// before it takes the record's name (for tests: it may put something at that
// name); nullptr for none.
using RecordHook = void (*)(const char* temp_name);
void set_record_hook(RecordHook hook);

// How many bytes of a record file are read: enough to tell a record followed
// by a line end ("\n" or "\r\n") from others.
inline constexpr std::size_t RECORD_READ_CHARS = RECORD_CHARS + 2;

// Whether a record file's bytes could be read at all (what they hold is
// parse_record's to say).
enum class RecordRead {
  READ,
  UNREADABLE,  // cannot be opened or read, or not a plain file
};

// Reads a record file: at most RECORD_READ_CHARS bytes into `text` (which
// holds that many), the file's whole length into `*length`. When it cannot be
// opened, is not a plain file or a read fails: RecordRead::UNREADABLE, with
// the cause in `*cause` when given.
RecordRead read_record_file(const char* name, char* text, std::uint64_t* length,
                            OsCause* cause = nullptr);
// The length read_record_stream gives a stream that holds more than
// RECORD_READ_CHARS bytes: no record is that long, so it reads no further.
inline constexpr std::uint64_t RECORD_LENGTH_OVER = UINT64_MAX;
// The same from an open stream of any kind (standard input). It reads one
// byte past RECORD_READ_CHARS at most, so an endless stream ends it too.
RecordRead read_record_stream(int fd, char* text, std::uint64_t* length, OsCause* cause = nullptr);

// Creates the record file `name`, replacing what stands at that name only
// when it is a valid record of the same content (the same SHA-1 and SHA-512
// digests) or a symbolic link (replaced, not followed), and only once the new
// record is complete on disk. Nothing else at the name is ever replaced, not
// even a file another process puts there meanwhile: a directory gives
// RecordWrite::CREATE_ERROR, anything else RecordWrite::OTHER_CONTENT.
// The temporary file it writes first never outlives the call: the signals
// that end a process wait until it has been renamed or removed.
RecordWrite write_record(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                         std::uint32_t format_code);

// ---- Many records, one flush ----
//
// A program that writes many records writes each to its temporary file
// (record_write_temp), flushes a group of them to the disk at once
// (record_flush), then gives each its name in order (record_place): no
// record takes its name before its content is on the disk, and a flush is
// waited for once per group rather than once per record. The temporary
// files exist from the first call to the last; the caller keeps the signals
// that would end the process from doing so meanwhile.

// The longest record path a PendingRecord holds, terminator included.
inline constexpr std::size_t RECORD_PATH_CHARS = 4096;

// A record in its temporary file, not yet in place.
struct PendingRecord {
  char name[RECORD_PATH_CHARS];      // the record's name (a path)
  char tmp[RECORD_PATH_CHARS + 32];  // the temporary file beside it
  int fd;                            // open until record_flush
  bool flushed;                      // set by record_flush
  Sha512Digest sha512;
  Sha1Digest sha1;
  std::uint32_t created;  // the creation time written in it
};

// Writes the record of these digests to a new temporary file beside `name`
// and fills `*out`: RecordWrite::WRITTEN (the temporary file is ready),
// CREATE_ERROR (a directory at the name, no new file can be made there, or
// a name of RECORD_PATH_CHARS bytes or more) or WRITE_ERROR (nothing is left
// behind).
RecordWrite record_write_temp(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                              std::uint32_t format_code, PendingRecord* out);
// Flushes the `count` temporary files to the disk (several with one wait
// where the system can) and closes them; each one's `flushed` says whether
// its content is surely there.
void record_flush(PendingRecord* records, std::size_t count);
// Gives a flushed temporary file the record's name by the rules of
// write_record, or removes it: what happened to the record.
RecordWrite record_place(const PendingRecord& record);
