// The narrow file-system seam the digest routines read through.
//
// Production code uses the real file system; tests install scripted
// operations to model files that grow, shrink, read short or fail between
// the size probe and the reading pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct FileSource;  // an open input stream; opaque to the framing

struct FileOps {
  // Opens a file by name for binary reading without waiting; nullptr when it
  // cannot be opened or is not a plain file (a directory, FIFO, socket or
  // character device). `ops` is the table the call came through, so that a
  // seam layered over another finds its `context`.
  FileSource* (*open)(const FileOps& ops, const char* path);
  // Moves to the end of the file; its own result is not needed, the
  // position query decides.
  void (*seek_end)(FileSource* src);
  // The current position in bytes, or -1 when it cannot be found.
  std::int64_t (*position)(FileSource* src);
  // Reads up to `count` bytes into `buf` and returns how many arrived; fewer
  // than asked means the end of the file or a read error.
  std::size_t (*read)(FileSource* src, std::uint8_t* buf, std::size_t count);
  // True once a read has met the end of the file.
  bool (*at_eof)(FileSource* src);
  void (*close)(FileSource* src);
  // Optional; nullptr when the stream cannot lend its buffer. Hands out up
  // to `max_blocks` whole blocks of `block_bytes` bytes that the stream
  // already holds in memory, stores how many in `*blocks` and returns where
  // they start (nullptr and 0 when it holds less than one whole block). The
  // stream moves past them as if that many reads of `block_bytes` had
  // returned them. It never reads the file, so it neither fails nor sets the
  // end-of-file indicator. The bytes stay valid until the next operation on
  // the stream.
  const std::uint8_t* (*borrow)(FileSource* src, std::size_t block_bytes, std::size_t max_blocks,
                                std::size_t* blocks) = nullptr;
  // Optional; nullptr when the seam cannot tell. The identity of an open
  // stream's file, and of the file a name leads to now (false when it cannot
  // be found). A seam without them never reports a change.
  bool (*identity)(FileSource* src, FileIdentity* out) = nullptr;
  bool (*identity_of)(const char* path, FileIdentity* out) = nullptr;
  // True when streams may be opened and used from two threads at once (each
  // stream by one thread). A seam that is not runs the digests one after
  // the other.
  bool concurrent = false;
  // Optional; nullptr when any file may be read by two streams at once.
  // False for a file whose file system is known to answer reads that overlap
  // in time with wrong bytes (some FUSE programs do); its passes then run
  // one after the other even on a concurrent seam.
  bool (*overlapping_reads_safe)(const char* path) = nullptr;
  // The seam's own data, for its operations; nullptr when it has none.
  void* context = nullptr;
  // Optional; nullptr when the seam cannot tell. Why the stream's last read
  // that failed did (a read that brought fewer bytes than asked without
  // meeting the end): OsCause::NONE when none failed.
  OsCause (*read_error)(FileSource* src) = nullptr;
};

// The operations in force: the real file system unless a test replaced them.
const FileOps& file_ops();
// Replaces the operations; nullptr restores the real file system.
void set_file_ops(const FileOps* ops);
// The real file system's operations.
const FileOps& real_file_ops();

// Opens `path` as the digests will, to prove that it can be read, and takes
// the identity of the file opened; false when it cannot be opened.
bool open_file_identity(const char* path, FileIdentity* out);
// True when `path` still leads to the file `before` describes, unchanged
// since: not written, grown, truncated, replaced or removed.
bool file_unchanged(const FileOps& fs, const char* path, const FileIdentity& before);
