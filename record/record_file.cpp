#include "record/record_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

RecordClock record_clock = os_clock_seconds;
RecordHook record_hook = nullptr;

// Writes the record through a temporary file; termination is held by the
// caller for all of it.
int write_through_temp(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                       std::uint32_t format_code) {
  char tmp[RECORD_NAME_CHARS + 32];
  const int fd = os_create_temp_beside(name, tmp, sizeof tmp);
  if (fd < 0) return RECORD_CREATE_ERROR;

  char text[RECORD_CHARS];
  format_record(text, sha512, sha1, format_code, record_time_value(record_clock()));

  const bool written = os_write_all(fd, text, sizeof text) && os_sync(fd);
  const bool closed = os_close(fd);
  if (!written || !closed) {
    os_remove(tmp);
    return RECORD_WRITE_ERROR;
  }
  if (record_hook != nullptr) record_hook(tmp);
  // The new record is complete on disk before it takes the name. The folder
  // itself is not synced: after a crash the name holds the earlier record or
  // the new one, never a part, and a run stays cheap for small files.
  if (!os_replace(tmp, name)) {
    const bool dir_in_way = os_name_is_directory(name);
    os_remove(tmp);
    return dir_in_way ? RECORD_CREATE_ERROR : RECORD_WRITE_ERROR;
  }
  return RECORD_OK;
}

}  // namespace

void set_record_hook(RecordHook hook) { record_hook = hook; }

void set_record_clock(RecordClock clock) {
  record_clock = clock != nullptr ? clock : os_clock_seconds;
}

std::int32_t record_time_value(std::int64_t seconds) {
  if (seconds < 0 || seconds > INT32_MAX) return -1;
  return static_cast<std::int32_t>(seconds);
}

void format_record(char* out, const Sha512Digest& sha512, const Sha1Digest& sha1,
                   std::uint32_t format_code, std::int32_t created) {
  char text[RECORD_CHARS + 1];
  int at = 0;
  for (const std::uint64_t word : sha512) at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%016" PRIX64, word);
  for (const std::uint32_t word : sha1) at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%08" PRIX32, word);
  at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%06" PRIX32, format_code);
  at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "%08" PRIX32, static_cast<std::uint32_t>(created));
  // Zero field, eight zero words and a zero byte: 74 zeros in all.
  std::memset(text + at, '0', RECORD_CHARS - static_cast<std::size_t>(at));
  std::memcpy(out, text, RECORD_CHARS);
}

int write_record(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                 std::uint32_t format_code) {
  // A directory at the record's name would make the final rename fail after
  // all the work; refuse it up front as a file that cannot be created.
  if (os_name_is_directory(name)) return RECORD_CREATE_ERROR;

  // Ctrl+C or a kill in the middle would leave the temporary file behind;
  // such a request takes effect once the file is renamed or removed.
  os_hold_termination();
  const int result = write_through_temp(name, sha512, sha1, format_code);
  os_release_termination();
  return result;
}
