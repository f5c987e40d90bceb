// Operating-system primitives for Windows: files, the record's temporary
// file, the clock and the console (see platform/platform.h).
//
// Names are UTF-8 inside the program; every call here that takes a name
// converts it to UTF-16 first (to_wide), which reaches every name, not only
// those the ANSI code page can spell.
//
// The key wait reads the console's own input buffer (CONIN$), so redirected
// standard input cannot satisfy it, and a process with no console (started
// detached, or as a service) does not wait at all.
#include "platform/errno_cause.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/windows_api.h"

namespace {

// UTF-8 to UTF-16 for a name, on the heap (a path may take 32767 units, too
// many for the stack of every call); false when it is not UTF-8.
bool to_wide(const char* name, std::wstring& wide) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (units <= 0) return false;
  wide.assign(static_cast<std::size_t>(units), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), units) == units;
}

}  // namespace

// ---- Files ----

namespace {

void set_cause(OsCause* cause, OsCause value) {
  if (cause != nullptr) *cause = value;
}

// The portable cause of a failed C runtime call (`error` is its errno) on
// `path` (nullptr when there is none). The runtime reports a directory as
// EACCES, so a denied name is looked at once more.
OsCause cause_of(int error, const wchar_t* path) {
  if ((error == EACCES || error == EPERM) && path != nullptr) {
    const DWORD attrs = GetFileAttributesW(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return OsCause::DIRECTORY;
    }
  }
  // ENXIO and ENODEV do not come from opening a file here.
  if (const OsCause cause = cause_of_errno(error); cause != OsCause::OTHER) return cause;
  // The system's own code, where the runtime has no errno of its own for it.
  switch (_doserrno) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return OsCause::MISSING;
    case ERROR_DIRECTORY:
      return OsCause::NOT_DIRECTORY;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return OsCause::NAME_TOO_LONG;
    case ERROR_CANT_RESOLVE_FILENAME:
      return OsCause::LINK_LOOP;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OsCause::PERMISSION;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return OsCause::IO;
    default:
      return OsCause::OTHER;
  }
}

}  // namespace

int os_open_read(const char* path, OsCause* cause) {
  std::wstring wide;
  if (!to_wide(path, wide)) {
    set_cause(cause, OsCause::MISSING);  // no name that is not UTF-8 can exist
    return PLATFORM_NO_FILE;
  }
  _doserrno = 0;
  const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) set_cause(cause, cause_of(errno, wide.c_str()));
  return fd;
}

OsCause os_plain_file_cause(int fd) {
  // A disk file, not a pipe, a console or another character device.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return OsCause::OTHER;
  if (GetFileType(handle) != FILE_TYPE_DISK) return OsCause::NOT_PLAIN;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) == 0) return OsCause::OTHER;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? OsCause::DIRECTORY
                                                                 : OsCause::NONE;
}

int os_standard_input() {
  // Bytes as they come: no CR LF translation, no end at a Ctrl+Z.
  _setmode(0, _O_BINARY);
  return 0;
}

namespace {

bool identity_of(HANDLE handle, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) == 0) return false;
  const auto high_low = [](DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
  };
  // The last write time counts 100-nanosecond ticks.
  const std::uint64_t ticks =
      high_low(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  *out = FileIdentity{info.dwVolumeSerialNumber,
                      high_low(info.nFileIndexHigh, info.nFileIndexLow),
                      high_low(info.nFileSizeHigh, info.nFileSizeLow),
                      static_cast<std::int64_t>(ticks / 10000000),
                      static_cast<std::int64_t>(ticks % 10000000 * 100),
                      0,
                      0};
  return true;
}

}  // namespace

bool os_file_identity(int fd, FileIdentity* out) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && identity_of(handle, out);
}

bool os_name_identity(const char* path, FileIdentity* out) {
  std::wstring wide;
  if (!to_wide(path, wide)) return false;
  // Attributes only: this open neither reads the file nor stands in the way
  // of anyone else's.
  const HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool found = identity_of(handle, out);
  CloseHandle(handle);
  return found;
}

std::int64_t os_seek_end(int fd) { return _lseeki64(fd, 0, SEEK_END); }

std::int64_t os_position(int fd) { return _lseeki64(fd, 0, SEEK_CUR); }

std::int64_t os_read(int fd, void* buf, std::size_t count, OsCause* cause) {
  _doserrno = 0;
  const int got = _read(fd, buf, static_cast<unsigned>(count > 0x40000000u ? 0x40000000u : count));
  if (got < 0) set_cause(cause, cause_of(errno, nullptr));
  return got;
}

bool os_overlapping_reads_safe(const char*) { return true; }

bool os_close(int fd) { return _close(fd) == 0; }

const char* os_base_name(const char* path) {
  const char* base = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\' || *at == ':') base = at + 1;
  }
  return base;
}

OsNameKind os_name_kind(const char* name) {
  std::wstring wide;
  if (!to_wide(name, wide)) return OsNameKind::UNKNOWN;
  const DWORD attrs = GetFileAttributesW(wide.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OsNameKind::ABSENT
                                                                          : OsNameKind::UNKNOWN;
  }
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) return OsNameKind::DIRECTORY;
  if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return OsNameKind::REGULAR_FILE;
  // Only a symbolic link is a link. Other reparse points on a file (a cloud
  // file's placeholder, a deduplicated file) hold content like any file: what
  // they hold decides whether the record may replace them. The tag tells
  // which; the attribute alone does not.
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(wide.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return OsNameKind::UNKNOWN;
  FindClose(search);
  return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ? OsNameKind::LINK : OsNameKind::REGULAR_FILE;
}

int os_create_temp_beside(const char* name, char* tmp, std::size_t tmp_size) {
  // The folder part stays in front; the dot hides the last component.
  const char* base = os_base_name(name);
  const int folder = static_cast<int>(base - name);
  LARGE_INTEGER ticks{};
  QueryPerformanceCounter(&ticks);
  const auto stamp = static_cast<unsigned long long>(ticks.QuadPart) & 0xFFFFFFULL;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const int n = std::snprintf(tmp, tmp_size, "%.*s.%s.%lu-%06llx%u.tmp", folder, name, base,
                                static_cast<unsigned long>(GetCurrentProcessId()), stamp, attempt);
    if (n < 0 || static_cast<std::size_t>(n) >= tmp_size) return PLATFORM_NO_FILE;
    std::wstring wide;
    if (!to_wide(tmp, wide)) return PLATFORM_NO_FILE;
    // Nobody else may open it until it is complete and in place.
    int fd = PLATFORM_NO_FILE;
    const errno_t err =
        _wsopen_s(&fd, wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (err == 0) return fd;
    if (err != EEXIST) return PLATFORM_NO_FILE;
  }
  return PLATFORM_NO_FILE;
}

bool os_write_all(int fd, const void* data, std::size_t count) {
  const char* at = static_cast<const char*>(data);
  while (count > 0) {
    const unsigned part = count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
    const int done = _write(fd, at, part);
    if (done <= 0) return false;
    at += done;
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

bool os_sync(int fd) { return _commit(fd) == 0; }

bool os_replace(const char* from, const char* to) {
  std::wstring wide_from;
  std::wstring wide_to;
  return to_wide(from, wide_from) && to_wide(to, wide_to) &&
         MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

OsPlace os_place_new(const char* from, const char* to) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_wide(from, wide_from) || !to_wide(to, wide_to)) return OsPlace::PLACE_FAILED;
  // Without MOVEFILE_REPLACE_EXISTING the move fails where anything stands.
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_WRITE_THROUGH) != 0)
    return OsPlace::PLACED;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return OsPlace::NAME_TAKEN;
  // A directory at the name may be reported as a denied move.
  if (error == ERROR_ACCESS_DENIED && os_name_kind(to) != OsNameKind::ABSENT)
    return OsPlace::NAME_TAKEN;
  return OsPlace::PLACE_FAILED;
}

void os_remove(const char* name) {
  std::wstring wide;
  if (to_wide(name, wide)) _wunlink(wide.c_str());
}

namespace {

// Set while termination is not held. A console control event that arrives
// while it is held waits for it in its handler (which runs on a thread of its
// own), then lets the default handling end the process.
HANDLE termination_allowed = nullptr;

BOOL WINAPI hold_on_control(DWORD) {
  if (termination_allowed != nullptr) WaitForSingleObject(termination_allowed, INFINITE);
  return FALSE;
}

}  // namespace

void os_hold_termination() {
  if (termination_allowed == nullptr)
    termination_allowed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (termination_allowed != nullptr) ResetEvent(termination_allowed);
  SetConsoleCtrlHandler(hold_on_control, TRUE);
}

void os_release_termination() {
  if (termination_allowed != nullptr) SetEvent(termination_allowed);
  SetConsoleCtrlHandler(hold_on_control, FALSE);
}

namespace {

// The first console control event since os_catch_termination (0: none),
// stored as the event's code plus one.
std::atomic<int> termination_request{0};

BOOL WINAPI note_control(DWORD event) {
  int none = 0;
  termination_request.compare_exchange_strong(none, static_cast<int>(event) + 1);
  // Close, log-off and shut-down end the process when the handler returns;
  // give the work a moment to finish its record.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(4000);
  }
  return TRUE;
}

}  // namespace

void os_catch_termination() { SetConsoleCtrlHandler(note_control, TRUE); }

int os_termination_requested() { return termination_request.load(); }

void os_end_by_termination(int) {
  std::fflush(stdout);
  std::fflush(stderr);
  // What the default handling of Ctrl+C gives.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool os_sync_file_system(int) { return false; }

// ---- Folders ----

namespace {

OsEntry entry_of(DWORD attributes, DWORD reparse_tag, std::uint64_t size) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && reparse_tag == IO_REPARSE_TAG_SYMLINK) {
    return {OsEntryKind::LINK, 0};
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // A junction is walked as a link would be: not at all.
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? OsEntry{OsEntryKind::LINK, 0}
                                                            : OsEntry{OsEntryKind::FOLDER, 0};
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return {OsEntryKind::SPECIAL, 0};
  return {OsEntryKind::PLAIN_FILE, size};
}

}  // namespace

bool os_list_folder(const char* folder,
                    bool (*visit)(void* context, const char* name, const OsEntry& entry),
                    void* context, OsCause* cause) {
  std::wstring pattern;
  if (!to_wide(folder, pattern)) {
    set_cause(cause, OsCause::MISSING);
    return false;
  }
  pattern.resize(std::wcslen(pattern.c_str()));  // to_wide keeps the terminator
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' &&
      pattern.back() != L':') {
    pattern += L'\\';
  }
  pattern += L'*';
  WIN32_FIND_DATAW found;
  HANDLE h =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;  // an empty drive root
    _doserrno = static_cast<unsigned long>(error);
    set_cause(cause, cause_of(0, nullptr));
    return false;
  }
  bool listed = true;
  do {
    const std::wstring wide = found.cFileName;
    if (wide == L"." || wide == L"..") continue;
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), -1, nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) continue;  // a name no UTF-8 can hold cannot be opened again
    std::string name(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, name.data(), n, nullptr, nullptr);
    const std::uint64_t size =
        (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    if (!visit(context, name.c_str(), entry_of(found.dwFileAttributes, found.dwReserved0, size))) {
      break;
    }
  } while (FindNextFileW(h, &found) != 0);
  if (GetLastError() != ERROR_NO_MORE_FILES && GetLastError() != ERROR_SUCCESS) listed = false;
  FindClose(h);
  return listed;
}

bool os_path_entry(const char* path, OsEntry* out, OsCause* cause) {
  std::wstring wide;
  if (!to_wide(path, wide)) {
    set_cause(cause, OsCause::MISSING);
    return false;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) == 0) {
    _doserrno = static_cast<unsigned long>(GetLastError());
    set_cause(cause, cause_of(0, nullptr));
    return false;
  }
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  // Links on the command line are followed: only what they lead to counts.
  *out =
      entry_of(data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT), 0, size);
  return true;
}

// ---- Threads ----

std::int64_t os_monotonic_ms() { return static_cast<std::int64_t>(GetTickCount64()); }

unsigned os_cpu_count() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) != 0 &&
      process_mask != 0) {
    unsigned n = 0;
    for (; process_mask != 0; process_mask &= process_mask - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

DWORD WINAPI thread_entry(LPVOID start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  std::free(start);
  s.body(s.arg);
  return 0;
}

}  // namespace

bool os_thread_start(OsThread* thread, void (*body)(void*), void* arg) {
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (start == nullptr) return false;
  *start = ThreadStart{body, arg};
  HANDLE h = CreateThread(nullptr, 0, thread_entry, start, 0, nullptr);
  if (h == nullptr) {
    std::free(start);
    return false;
  }
  thread->handle = h;
  return true;
}

void os_thread_join(OsThread thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread.handle), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread.handle));
}

// ---- Console ----

namespace {

// The console's input handle and mode while the key wait runs, for the
// control handler, which restores the mode (and the output code page) when
// the console is closed or Ctrl+Break ends the process during the wait.
HANDLE volatile waiting_input = INVALID_HANDLE_VALUE;
DWORD saved_input_mode = 0;

// The console's output code page before the run, restored at exit.
UINT saved_output_cp = 0;

void restore_output_cp() {
  if (saved_output_cp != 0) SetConsoleOutputCP(saved_output_cp);
}

BOOL WINAPI restore_on_control(DWORD) {
  const HANDLE in = waiting_input;
  if (in != INVALID_HANDLE_VALUE) SetConsoleMode(in, saved_input_mode);
  restore_output_cp();  // the process ends without running exit handlers
  return FALSE;         // let the default handling end the process
}

bool is_digit_key(WORD vk) {
  return (vk >= '0' && vk <= '9') || (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9);
}

// Keys that yield an extended key code (the two-part codes of the classic
// console keyboard interface) rather than a character.
bool is_extended_key(WORD vk) {
  switch (vk) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
      return true;
    default:
      return vk >= VK_F1 && vk <= VK_F12;
  }
}

// True for a key press that ends the wait: one that yields a character or
// an extended key code. Other releases, modifier keys alone (Shift, Ctrl, Alt,
// the lock keys) and Ctrl with a digit yield neither and are skipped.
bool ends_wait(const KEY_EVENT_RECORD& key) {
  // A character typed as Alt plus digits on the number pad arrives with the
  // release of Alt.
  if (!key.bKeyDown) return key.wVirtualKeyCode == VK_MENU && key.uChar.UnicodeChar != 0;
  const DWORD mods = key.dwControlKeyState;
  const bool ctrl = (mods & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  const bool alt = (mods & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  const WORD vk = key.wVirtualKeyCode;
  // Ctrl with a digit: some layouts report a control character for a few of
  // these (Ctrl+6), but none is a key the user means as an answer. AltGr
  // (Ctrl and Alt together) with a digit types a real character and counts.
  if (ctrl && !alt && is_digit_key(vk)) return false;
  if (key.uChar.UnicodeChar != 0) return true;
  if (is_extended_key(vk)) return true;
  // Alt or Ctrl with a letter: an extended code or a control character,
  // even where the console reports no character for it.
  return (ctrl || alt) && vk >= 'A' && vk <= 'Z';
}

// Raw: no line editing, no echo, and Ctrl+C arrives as a key.
DWORD raw_input_mode(DWORD mode) {
  return mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
}

// Reads the console's input events until a key press ends the wait (or the
// input cannot be read).
void read_key(HANDLE in) {
  INPUT_RECORD record{};
  DWORD got = 0;
  while (ReadConsoleInputW(in, &record, 1, &got)) {
    if (got == 1 && record.EventType == KEY_EVENT && ends_wait(record.Event.KeyEvent)) return;
  }
}

// From here until stop_restoring_on_control, a console close or Ctrl+Break
// that ends the process puts the input mode `mode` of `in` back first.
void restore_mode_on_control(HANDLE in, DWORD mode) {
  saved_input_mode = mode;
  waiting_input = in;
  SetConsoleCtrlHandler(restore_on_control, TRUE);
}

void stop_restoring_on_control() {
  SetConsoleCtrlHandler(restore_on_control, FALSE);
  waiting_input = INVALID_HANDLE_VALUE;
}

}  // namespace

void console_init() {
  // No system dialog may stop a console run (an empty drive in a path, a
  // missing medium): such failures become failed opens instead.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  // File names reach the driver as UTF-8 and are printed as such. Output
  // redirected to a file or pipe is UTF-8 either way (a text stream, so its
  // lines end in CR LF). A console shows the names right only when:
  // - its output code page is UTF-8, for the run;
  // - the C runtime hands it the bytes unchanged: in text mode it would
  //   convert each byte through the locale's code page, so the stream is
  //   binary (the console itself starts a new line at each line feed);
  // - a character's bytes arrive in one write: an unbuffered console stream
  //   is written a byte at a time, so the stream is buffered (the key wait
  //   flushes it before it waits).
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    const UINT previous = GetConsoleOutputCP();
    if (previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      saved_output_cp = previous;
      std::atexit(restore_output_cp);
    }
    static char console_buffer[BUFSIZ];
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
  }
}

bool os_error_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

const char* const* console_utf8_arguments(int argc, wchar_t** wide_argv) {
  // A Windows command line holds at most 32767 UTF-16 units, and every unit
  // becomes at most three UTF-8 bytes (a surrogate pair, two units, becomes
  // four), so these fixed buffers hold any command line; each argument after
  // the first takes at least two units (a separator and a character or a
  // pair of quotes).
  constexpr std::size_t MAX_UNITS = 32768;
  constexpr std::size_t MAX_ARGS = MAX_UNITS / 2 + 2;
  static char text[3 * MAX_UNITS + MAX_ARGS];
  static const char* args[MAX_ARGS + 1];

  std::size_t used = 0;
  int count = 0;
  for (; count < argc && static_cast<std::size_t>(count) < MAX_ARGS; ++count) {
    const int room = static_cast<int>(sizeof text - used);
    // Unpaired surrogates become U+FFFD; such a name cannot be opened and is
    // reported as unreadable.
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide_argv[count], -1, text + used, room, nullptr, nullptr);
    if (n > 0) {
      args[count] = text + used;
      used += static_cast<std::size_t>(n);
    } else {
      args[count] = "";  // cannot happen with the sizes above; argc stays true
    }
  }
  args[count] = nullptr;
  return args;
}

void wait_for_key() {
  std::fflush(stdout);

  // The console's own input buffer, whatever standard input is.
  const HANDLE in =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return;  // no console attached
  DWORD mode = 0;
  if (GetConsoleMode(in, &mode)) {
    restore_mode_on_control(in, mode);
    if (SetConsoleMode(in, raw_input_mode(mode))) {
      // Keys pressed while the file was being hashed do not answer a prompt
      // that was not yet on screen.
      FlushConsoleInputBuffer(in);
      read_key(in);
      // The key's release and whatever came with it (the rest of a paste, key
      // repeat) are not left for the shell to read.
      FlushConsoleInputBuffer(in);
      SetConsoleMode(in, mode);
    }
    stop_restoring_on_control();
  }
  CloseHandle(in);
}
