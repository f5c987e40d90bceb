// The narrow file-system seam the digest routines read through.
//
// Production code uses the real file system; tests install scripted ones to
// model files that grow, shrink, read short or fail between the size probe
// and the reading pass. Two tables: the operations on a file system, and
// those on a stream it opened. Every stream type begins with `Stream` (its
// first base), which points to its type's operations; a layer over another
// stream is a stream type of its own that holds the stream beneath it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct StreamMethods;

// An open input stream. The operations of its type reach the rest of it by
// a static_cast to that type.
struct Stream {
  const StreamMethods* methods;
};

struct StreamMethods {
  // Moves to the end of the file; its own result is not needed, the
  // position query decides.
  void (*seek_end)(Stream* s);
  // The current position in bytes, or -1 when it cannot be found.
  std::int64_t (*position)(Stream* s);
  // Reads up to `count` bytes into `buf` and returns how many arrived; fewer
  // than asked means the end of the file or a read error.
  std::size_t (*read)(Stream* s, std::uint8_t* buf, std::size_t count);
  // True once a read has met the end of the file.
  bool (*at_eof)(Stream* s);
  // Closes the stream and frees it.
  void (*close)(Stream* s);
  // Optional; nullptr when the stream cannot lend its buffer. Hands out up
  // to `max_blocks` whole blocks of `block_bytes` bytes that the stream
  // already holds in memory, stores how many in `*blocks` and returns where
  // they start (nullptr and 0 when it holds less than one whole block). The
  // stream moves past them as if that many reads of `block_bytes` had
  // returned them. It never reads the file, so it neither fails nor sets the
  // end-of-file indicator. The bytes stay valid until the next operation on
  // the stream.
  const std::uint8_t* (*borrow)(Stream* s, std::size_t block_bytes, std::size_t max_blocks,
                                std::size_t* blocks) = nullptr;
  // Optional; nullptr when the stream cannot tell. The identity of the
  // stream's file.
  bool (*identity)(Stream* s, FileIdentity* out) = nullptr;
  // Optional; nullptr when the stream cannot tell. Why the stream's last read
  // that failed did (a read that brought fewer bytes than asked without
  // meeting the end): OsCause::NONE when none failed.
  OsCause (*read_error)(Stream* s) = nullptr;
};

struct FileSystem {
  // Opens a file by name for binary reading without waiting; nullptr when it
  // cannot be opened or is not a plain file (a directory, FIFO, socket or
  // character device), with why in `*cause` when `cause` is given.
  // `context` is the file system's own.
  Stream* (*open)(void* context, const char* path, OsCause* cause);
  // The file system's own data, handed to `open`; nullptr when it has none.
  void* context = nullptr;
  // Optional; nullptr when the file system cannot tell. The identity of the
  // file a name leads to now (false when it cannot be found). A file system
  // without it never reports a change.
  bool (*identity_of)(const char* path, FileIdentity* out) = nullptr;
  // True when streams may be opened and used from two threads at once (each
  // stream by one thread). A file system that is not runs the digests one
  // after the other.
  bool concurrent = false;
  // Optional; nullptr when any file may be read by two streams at once.
  // False for a file whose file system is known to answer reads that overlap
  // in time with wrong bytes (some FUSE programs do); its passes then run
  // one after the other even on a concurrent file system.
  bool (*overlapping_reads_safe)(const char* path) = nullptr;
};

// Opens `path` through `fs`; when it fails, why goes to `*cause` if given.
inline Stream* open_stream(const FileSystem& fs, const char* path, OsCause* cause = nullptr) {
  return fs.open(fs.context, path, cause);
}

// The file system in force: the real one unless a test replaced it.
const FileSystem& file_system();
// Replaces the file system; nullptr restores the real one.
void set_file_system(const FileSystem* fs);
// The real file system.
const FileSystem& real_file_system();

// Opens `path` as the digests will, to prove that it can be read, and takes
// the identity of the file opened; false when it cannot be opened, with why
// in `*cause` when `cause` is given.
bool open_file_identity(const char* path, FileIdentity* out, OsCause* cause = nullptr);
// True when `path` still leads to the file `before` describes, unchanged
// since: not written, grown, truncated, replaced or removed.
bool file_unchanged(const FileSystem& fs, const char* path, const FileIdentity& before);
