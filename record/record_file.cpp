#include "record/record_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::int64_t system_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

RecordClock record_clock = system_clock_seconds;

#ifdef _WIN32

// Names are UTF-8 inside the program; Windows takes them in UTF-16. A record
// name and its temporary name are short, so a fixed buffer holds them.
constexpr int WIDE_NAME_UNITS = static_cast<int>(RECORD_NAME_CHARS) + 64;

bool to_wide(const char* name, wchar_t* wide) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, WIDE_NAME_UNITS) > 0;
}

bool is_directory(const char* name) {
  wchar_t wide[WIDE_NAME_UNITS];
  if (!to_wide(name, wide)) return false;
  const DWORD attrs = GetFileAttributesW(wide);
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates a new, uniquely named file beside the record; its name goes to tmp.
// Nobody else may open it until it is complete and in place.
int create_temp(const char* name, char* tmp, std::size_t tmp_size) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(tmp, tmp_size, "%s.%lu-%u.tmp", name,
                  static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    wchar_t wide[WIDE_NAME_UNITS];
    if (!to_wide(tmp, wide)) return -1;
    int fd = -1;
    const errno_t err = _wsopen_s(&fd, wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                                  _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (err == 0) return fd;
    if (err != EEXIST) return -1;
  }
  return -1;
}

bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const unsigned part = n > 0x40000000u ? 0x40000000u : static_cast<unsigned>(n);
    const int done = _write(fd, data, part);
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}
bool flush_to_disk(int fd) { return _commit(fd) == 0; }
bool close_file(int fd) { return _close(fd) == 0; }
// Replaces any earlier record in one step; readers see the old record or the
// new one, never a part.
bool replace_file(const char* from, const char* to) {
  wchar_t wide_from[WIDE_NAME_UNITS];
  wchar_t wide_to[WIDE_NAME_UNITS];
  return to_wide(from, wide_from) && to_wide(to, wide_to) &&
         MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
void remove_file(const char* name) {
  wchar_t wide[WIDE_NAME_UNITS];
  if (to_wide(name, wide)) _wunlink(wide);
}

#else

bool is_directory(const char* name) {
  struct stat st {};
  return ::lstat(name, &st) == 0 && S_ISDIR(st.st_mode);
}

int create_temp(const char* name, char* tmp, std::size_t tmp_size) {
  std::snprintf(tmp, tmp_size, ".%s.XXXXXX", name);
  const int fd = ::mkstemp(tmp);
  if (fd < 0) return -1;
  // mkstemp creates the file private; give it what a plain create would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, static_cast<mode_t>(0666 & ~mask));
  return fd;
}

bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(fd, data, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (done == 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}
bool flush_to_disk(int fd) { return ::fsync(fd) == 0; }
bool close_file(int fd) { return ::close(fd) == 0; }
bool replace_file(const char* from, const char* to) { return ::rename(from, to) == 0; }
void remove_file(const char* name) { ::unlink(name); }

#endif

}  // namespace

void set_record_clock(RecordClock clock) {
  record_clock = clock != nullptr ? clock : system_clock_seconds;
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
  if (is_directory(name)) return RECORD_CREATE_ERROR;

  char tmp[RECORD_NAME_CHARS + 32];
  const int fd = create_temp(name, tmp, sizeof tmp);
  if (fd < 0) return RECORD_CREATE_ERROR;

  char text[RECORD_CHARS];
  format_record(text, sha512, sha1, format_code, record_time_value(record_clock()));

  const bool written = write_all(fd, text, sizeof text) && flush_to_disk(fd);
  const bool closed = close_file(fd);
  if (!written || !closed) {
    remove_file(tmp);
    return RECORD_WRITE_ERROR;
  }
  // The new record is complete on disk before it takes the name. The folder
  // itself is not synced: after a crash the name holds the earlier record or
  // the new one, never a part, and a run stays cheap for small files.
  if (!replace_file(tmp, name)) {
    const bool dir_in_way = is_directory(name);
    remove_file(tmp);
    return dir_in_way ? RECORD_CREATE_ERROR : RECORD_WRITE_ERROR;
  }
  return RECORD_OK;
}
