// The record file: its text written to a temporary file beside the record's
// name and moved to that name only where the move may replace what stands
// there; and a record file's bytes read back.
#include "record/record_file.h"

#include <cstring>
#include <optional>

#include "platform/platform.h"
#include "record/record_name.h"

namespace {

RecordClock record_clock = os_clock_seconds;
RecordHook record_hook = nullptr;

// What the regular file at `name` holds: nullopt when it is a valid record
// of these digests (it may be replaced), else why it stays.
std::optional<RecordWrite> refusal_of_file(const char* name, const Sha512Digest& sha512,
                                           const Sha1Digest& sha1) {
  char text[RECORD_READ_CHARS];
  std::uint64_t length = 0;
  if (read_record_file(name, text, &length) != RecordRead::READ) {
    return RecordWrite::UNREADABLE_AT_NAME;
  }
  RecordFields fields{};
  std::size_t where = 0;
  const bool same = length == RECORD_CHARS &&
                    parse_record(text, RECORD_CHARS, &fields, &where) == RecordParse::VALID &&
                    fields.sha1 == sha1 && fields.sha512 == sha512;
  if (same) return std::nullopt;
  return RecordWrite::OTHER_CONTENT;
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
        if (const std::optional<RecordWrite> kept = refusal_of_file(name, sha512, sha1)) {
          return *kept;
        }
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

}  // namespace

RecordWrite record_write_temp(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                              std::uint32_t format_code, PendingRecord* out) {
  if (const std::optional<RecordWrite> refused = directory_refusal(os_name_kind(name))) {
    return *refused;
  }
  const std::size_t name_chars = std::strlen(name);
  if (name_chars >= RECORD_PATH_CHARS) return RecordWrite::CREATE_ERROR;
  std::memcpy(out->name, name, name_chars + 1);
  // The temporary name: the record's name between a dot and a unique ending.
  const int fd = os_create_temp_beside(name, out->tmp, sizeof out->tmp);
  if (fd < 0) return RecordWrite::CREATE_ERROR;

  const auto created = static_cast<std::uint32_t>(record_time_value(record_clock()));
  char text[RECORD_CHARS];
  format_record(text, sha512, sha1, format_code, static_cast<std::int32_t>(created));
  if (!os_write_all(fd, text, sizeof text)) {
    os_close(fd);
    os_remove(out->tmp);
    return RecordWrite::WRITE_ERROR;
  }
  out->fd = fd;
  out->flushed = false;
  out->sha512 = sha512;
  out->sha1 = sha1;
  out->created = created;
  return RecordWrite::WRITTEN;
}

void record_flush(PendingRecord* records, std::size_t count) {
  // One flush of the whole file system serves a group; one record, or a
  // system that cannot, flushes each file.
  const bool all = count > 1 && os_sync_file_system(records[0].fd);
  for (std::size_t i = 0; i < count; ++i) {
    PendingRecord& r = records[i];
    const bool synced = all || os_sync(r.fd);
    r.flushed = os_close(r.fd) && synced;
    r.fd = PLATFORM_NO_FILE;
  }
}

RecordWrite record_place(const PendingRecord& record) {
  if (!record.flushed) {
    os_remove(record.tmp);
    return RecordWrite::WRITE_ERROR;
  }
  if (record_hook != nullptr) record_hook(record.tmp);
  // The new record is complete on disk before it takes the name. The folder
  // itself is not synced: after a crash the name holds the earlier record or
  // the new one, never a part, and a run stays cheap for small files.
  const RecordWrite placed = put_in_place(record.tmp, record.name, record.sha512, record.sha1);
  if (placed != RecordWrite::WRITTEN) os_remove(record.tmp);
  return placed;
}

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
    char more = 0;
    const std::int64_t n = os_read(fd, &more, 1, cause);
    if (n < 0) return RecordRead::UNREADABLE;
    if (n > 0) total = RECORD_LENGTH_OVER;
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
  PendingRecord record{};
  RecordWrite result = record_write_temp(name, sha512, sha1, format_code, &record);
  if (result == RecordWrite::WRITTEN) {
    record_flush(&record, 1);
    result = record_place(record);
  }
  os_release_termination();
  return result;
}
