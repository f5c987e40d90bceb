// The operating-system primitives the program uses, and nothing else.
//
// Every call into the operating system lives behind this header, in one
// implementation file per platform: platform/posix.cpp (Linux and other
// POSIX systems) and platform/windows.cpp; what is the same on both, built
// from their calls, is written once in platform/platform_common.cpp. The
// digest, record and driver code above it is portable and never sees a
// platform.
//
// Names are UTF-8 throughout; the Windows implementation converts them to
// UTF-16 at the system call. Open files are small non-negative integers
// (descriptors); PLATFORM_NO_FILE means none.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int PLATFORM_NO_FILE = -1;

// ---- Reading files ----

// Why a file could not be opened or read, in terms every platform can name.
enum class OsCause {
  NONE,
  MISSING,        // no such file, or a path component is missing
  PERMISSION,     // permission denied
  DIRECTORY,      // a directory where a file was expected
  NOT_PLAIN,      // a FIFO, socket, character device or console
  IO,             // the device reported an input/output error
  NOT_DIRECTORY,  // a part of the path that should be a folder is a file
  LINK_LOOP,      // too many levels of symbolic links
  NAME_TOO_LONG,  // the name or a part of it is longer than the system takes
  OTHER,
};

// Opens `path` for binary reading, or returns PLATFORM_NO_FILE and, when
// `cause` is given, stores why. The open never waits (a FIFO without a
// writer); reads from the file block as usual.
int os_open_read(const char* path, OsCause* cause = nullptr);
// Opens `path` as os_open_read does and keeps it open only when it is a
// plain file (os_plain_file_cause); else PLATFORM_NO_FILE and, when `cause`
// is given, why: the open's cause, or what the file is instead.
int os_open_plain(const char* path, OsCause* cause = nullptr);
// OsCause::NONE when the open file holds content that can be digested: a
// regular file or a block device. Else what it is instead: OsCause::DIRECTORY,
// or OsCause::NOT_PLAIN for a FIFO, socket, character device or console, none
// of which has a size that promises what a read will bring; or the cause of a
// failed query.
OsCause os_plain_file_cause(int fd);
// Standard input, ready for binary reads.
int os_standard_input();

// What tells one version of a file's content from another: which file it is
// and when it was last written. Any write, truncation or replacement of the
// file under its name changes at least one field (within the file system's
// timestamp precision).
struct FileIdentity {
  std::uint64_t volume;  // device (POSIX) or volume serial number (Windows)
  std::uint64_t index;   // inode number or file index
  std::uint64_t size;
  std::int64_t modified_s, modified_ns;  // last write
  std::int64_t changed_s, changed_ns;    // last status change (POSIX; 0 on Windows)
  bool operator==(const FileIdentity&) const = default;
};
// The identity of an open file, or of the file a name leads to now; false
// when it cannot be found (for a name: the file is gone).
bool os_file_identity(int fd, FileIdentity* out);
bool os_name_identity(const char* path, FileIdentity* out);
// False when the file at `path` lies on a file system whose reads that
// overlap in time may bring wrong bytes: one served by a program through
// FUSE (fusefat answers two streams read at once with another file's
// bytes). True elsewhere, and when it cannot be told.
bool os_overlapping_reads_safe(const char* path);
// Moves to the end of the file and returns the new position, or -1.
std::int64_t os_seek_end(int fd);
// The current position, or -1 when it cannot be found.
std::int64_t os_position(int fd);
// Reads up to `count` bytes: the number read, 0 at the end of the file, -1
// on a read error (and, when `cause` is given, why). An interrupted read is
// retried.
std::int64_t os_read(int fd, void* buf, std::size_t count, OsCause* cause = nullptr);
// Closes the file; false when the system reports a failure (for a file
// written, the data may not have reached it).
bool os_close(int fd);

// The last component of a path: what follows its last separator ("/"; on
// Windows also "\\" and a drive's ":").
const char* os_base_name(const char* path);

// ---- Writing the record ----

// What stands at a name itself (a symbolic link is not followed).
enum class OsNameKind {
  ABSENT,  // nothing
  REGULAR_FILE,
  DIRECTORY,
  LINK,     // a symbolic link (on Windows a reparse point tagged as one)
  SPECIAL,  // a FIFO, socket or device
  UNKNOWN,  // it cannot be told
};
OsNameKind os_name_kind(const char* name);
// Creates a new file with a unique name beside `name` (in the same folder:
// "sub/r.zmr" gives "sub/.r.zmr." and a unique ending), for writing, that
// nobody else opens by accident; its name goes to `tmp` (`tmp_size` bytes).
// Its permissions are those a plain create would give.
int os_create_temp_beside(const char* name, char* tmp, std::size_t tmp_size);
// Writes all `count` bytes; false on any failure.
bool os_write_all(int fd, const void* data, std::size_t count);
// Flushes the file's data to the disk.
bool os_sync(int fd);
// Moves `from` over `to` in one step: a reader sees the old file or the new
// one, never a part. A symbolic link at `to` is replaced, not followed.
bool os_replace(const char* from, const char* to);
// Moves `from` to `to` in one step only when nothing stands at `to`; never
// replaces anything, even one created at the same moment by another process.
// Tried on every call, strongest first: a rename that refuses to replace,
// then a second name for the file.
enum class OsPlace {
  PLACED,
  NAME_TAKEN,  // something stands at `to`; `from` is left
  // The file system offers neither move (FAT and exFAT through FUSE, many
  // other FUSE and network file systems); `from` is left, and only a look
  // followed by os_replace can place it.
  NO_EXCLUSIVE_MOVE,
  PLACE_FAILED,
};
OsPlace os_place_new(const char* from, const char* to);
void os_remove(const char* name);
// Flushes to the disk the data of every file written on the file system
// that holds the open file `fd` (many records' data in one wait); false
// when the system cannot, and then each file must be flushed by itself.
bool os_sync_file_system(int fd);

// Between these two calls the requests that end the process wait: on POSIX
// every signal that ends it by default, other than the program's own faults
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time signals
// and the rest); on Windows a console Ctrl+C, Ctrl+Break or close. On
// release, one that arrived meanwhile takes effect as it would have. Only
// what cannot be caught (SIGKILL, a power cut) ends the process in between.
// Not nested.
void os_hold_termination();
void os_release_termination();

// For programs that finish their work before they end: from this call on,
// each signal that would end the process by default (on Windows a console
// Ctrl+C, Ctrl+Break or close) is only noted. os_termination_requested()
// says which came first (0: none); os_end_by_termination() then ends the
// process by it, as it would have ended at once.
void os_catch_termination();
int os_termination_requested();
[[noreturn]] void os_end_by_termination(int request);

// ---- Folders ----

// What a folder entry is, looked at without following a symbolic link.
enum class OsEntryKind { PLAIN_FILE, FOLDER, LINK, SPECIAL, UNKNOWN };
struct OsEntry {
  OsEntryKind kind;
  std::uint64_t size;  // a file's size in bytes (0 for others)
};
// Calls `visit(context, name, entry)` for each entry of `folder` but "." and
// "..", in no particular order; false (with why in `*cause`) when the folder
// cannot be listed. Stops early, returning true, when `visit` returns false.
bool os_list_folder(const char* folder,
                    bool (*visit)(void* context, const char* name, const OsEntry& entry),
                    void* context, OsCause* cause);
// What `path` leads to, symbolic links followed; false when nothing.
bool os_path_entry(const char* path, OsEntry* out, OsCause* cause);

// ---- Clock ----

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t os_clock_seconds();

// ---- Threads ----

// How many processors this process may run on (at least 1): those its
// affinity allows, fewer when its CPU quota (cgroup cpu.max) gives it less
// time than that.
unsigned os_cpu_count();
// A clock that only moves forward, in milliseconds.
std::int64_t os_monotonic_ms();

// A thread started by os_thread_start; `handle` is the system's own.
struct OsThread {
  void* handle;
};
// Starts `body(arg)` on a new thread; false when the system cannot start one.
bool os_thread_start(OsThread* thread, void (*body)(void*), void* arg);
// Waits for the thread to end; everything it wrote is visible afterwards.
void os_thread_join(OsThread thread);

// ---- Console ----

// Prepares the process: output that cannot be delivered (a closed pipe) and
// an exceeded file-size limit become failed writes, never a killed run.
void console_init();
// True when standard error is a terminal (a console on Windows).
bool os_error_is_terminal();

// Flushes standard output, then waits for one key press on the console
// keyboard itself (not standard input), without echo. The whole key is
// consumed, including every byte of a key that sends several. Returns at once
// when no console is attached (or, on POSIX, when the process is a background
// job). The previous console mode is restored on return, and on POSIX also
// when a terminating signal ends the process during the wait.
void wait_for_key();

#ifdef _WIN32
// The wide command line that wmain receives, converted to UTF-8 so that any
// file name survives (main's own arguments are in the ANSI code page, which
// cannot hold every name). The file primitives convert names back to UTF-16.
// The result lives until the process ends.
const char* const* console_utf8_arguments(int argc, wchar_t** wide_argv);
#endif
