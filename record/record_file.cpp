// The record file: its text written to a temporary file beside the record's
// name and moved to that name only where the move may replace what stands
// there; and a record file's bytes read back.
#include "record/record_file.h"

#include <optional>

#include "platform/platform.h"
#include "record/record_name.h"

namespace {

RecordClock record_clock = os_clock_seconds;
RecordHook record_hook = nullptr;

// True when `name` holds a valid record of these digests.
bool holds_same_record(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1) {
  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  if (read_record_file(name, text, &length) != RecordRead::READ || length != RECORD_CHARS) {
    return false;
  }
  RecordFields fields{};
  std::size_t where = 0;
  return parse_record(text, RECORD_CHARS, &fields, &where) == RecordParse::VALID &&
         fields.sha1 == sha1 && fields.sha512 == sha512;
}

// The outcome when a directory stands at the record's name: the record
// cannot be created there. nullopt when none does. Asked before any work,
// since the move would fail only after it, and again whenever the name is
// found taken, since a directory may come meanwhile.
std::optional<RecordWrite> directory_refusal(OsNameKind kind) {
  if (kind != OsNameKind::DIRECTORY) return std::nullopt;
  return RecordWrite::CREATE_ERROR;
}

// Gives the complete temporary file `tmp` the record's name. Where nothing
// stands, the move itself refuses to replace whatever another process puts
// there first; what does stand there is looked at and replaced only when it
// may be. Where the file system offers no such move, the name is looked at
// first and an empty name taken by a plain rename: only a file another
// process puts there between the look and the rename can then be lost. The
// temporary file is left to the caller unless it was moved.
RecordWrite put_in_place(const char* tmp, const char* name, const Sha512Digest& sha512,
                         const Sha1Digest& sha1) {
  // A name that empties again while it is looked at is tried once more; a
  // few times are plenty unless someone keeps creating and removing it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const OsPlace placed = os_place_new(tmp, name);
    if (placed == OsPlace::PLACED) return RecordWrite::WRITTEN;
    const OsNameKind kind = os_name_kind(name);
    if (const std::optional<RecordWrite> refused = directory_refusal(kind)) return *refused;
    if (placed == OsPlace::PLACE_FAILED) return RecordWrite::WRITE_ERROR;
    switch (kind) {
      case OsNameKind::ABSENT:
        if (placed == OsPlace::NAME_TAKEN) continue;
        return os_replace(tmp, name) ? RecordWrite::WRITTEN : RecordWrite::WRITE_ERROR;
      case OsNameKind::LINK:
        return os_replace(tmp, name) ? RecordWrite::WRITTEN : RecordWrite::WRITE_ERROR;
      case OsNameKind::REGULAR_FILE:
        if (!holds_same_record(name, sha512, sha1)) return RecordWrite::OTHER_CONTENT;
        return os_replace(tmp, name) ? RecordWrite::WRITTEN : RecordWrite::WRITE_ERROR;
      case OsNameKind::SPECIAL:
        return RecordWrite::OTHER_CONTENT;
      case OsNameKind::DIRECTORY:  // refused above
      case OsNameKind::UNKNOWN:
        return RecordWrite::WRITE_ERROR;
    }
  }
  return RecordWrite::WRITE_ERROR;
}

// Writes the record through a temporary file; termination is held by the
// caller for all of it.
RecordWrite write_through_temp(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                               std::uint32_t format_code) {
  // The temporary name: the record's name between a dot and a unique ending.
  char tmp[RECORD_NAME_BUFFER_CHARS + 32];
  const int fd = os_create_temp_beside(name, tmp, sizeof tmp);
  if (fd < 0) return RecordWrite::CREATE_ERROR;

  char text[RECORD_CHARS];
  format_record(text, sha512, sha1, format_code, record_time_value(record_clock()));

  const bool written = os_write_all(fd, text, sizeof text) && os_sync(fd);
  const bool closed = os_close(fd);
  if (!written || !closed) {
    os_remove(tmp);
    return RecordWrite::WRITE_ERROR;
  }
  if (record_hook != nullptr) record_hook(tmp);
  // The new record is complete on disk before it takes the name. The folder
  // itself is not synced: after a crash the name holds the earlier record or
  // the new one, never a part, and a run stays cheap for small files.
  const RecordWrite placed = put_in_place(tmp, name, sha512, sha1);
  if (placed != RecordWrite::WRITTEN) os_remove(tmp);
  return placed;
}

}  // namespace

void set_record_hook(RecordHook hook) { record_hook = hook; }

void set_record_clock(RecordClock clock) {
  record_clock = clock != nullptr ? clock : os_clock_seconds;
}

namespace {

// Reads up to RECORD_READ_CHARS bytes into `text`; false on a read error.
bool read_start(int fd, char* text, std::size_t* got, OsCause* cause) {
  *got = 0;
  std::int64_t n = 0;
  while (*got < RECORD_READ_CHARS &&
         (n = os_read(fd, text + *got, RECORD_READ_CHARS - *got, cause)) > 0) {
    *got += static_cast<std::size_t>(n);
  }
  return n >= 0;
}

}  // namespace

RecordRead read_record_file(const char* name, char* text, std::uint64_t* length, OsCause* cause) {
  const int fd = os_open_plain(name, cause);
  if (fd < 0) return RecordRead::UNREADABLE;
  RecordRead result = RecordRead::UNREADABLE;
  std::size_t got = 0;
  if (read_start(fd, text, &got, cause)) {
    // A longer file is reported with its whole length.
    const std::int64_t end =
        got == RECORD_READ_CHARS ? os_seek_end(fd) : static_cast<std::int64_t>(got);
    *length = end < 0 ? got : static_cast<std::uint64_t>(end);
    result = RecordRead::READ;
  }
  os_close(fd);
  return result;
}

RecordRead read_record_stream(int fd, char* text, std::uint64_t* length, OsCause* cause) {
  std::size_t got = 0;
  if (!read_start(fd, text, &got, cause)) return RecordRead::UNREADABLE;
  std::uint64_t total = got;
  if (got == RECORD_READ_CHARS) {
    char rest[4096];
    std::int64_t n = 0;
    while ((n = os_read(fd, rest, sizeof rest, cause)) > 0) total += static_cast<std::uint64_t>(n);
    if (n < 0) return RecordRead::UNREADABLE;
  }
  *length = total;
  return RecordRead::READ;
}

RecordWrite write_record(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                         std::uint32_t format_code) {
  if (const std::optional<RecordWrite> refused = directory_refusal(os_name_kind(name))) {
    return *refused;
  }

  // Ctrl+C or a kill in the middle would leave the temporary file behind;
  // such a request takes effect once the file is renamed or removed.
  os_hold_termination();
  const RecordWrite result = write_through_temp(name, sha512, sha1, format_code);
  os_release_termination();
  return result;
}
