// The narrow file-system seam the digest routines read through.
//
// Production code uses the real file system; tests install scripted
// operations to model files that grow, shrink, read short or fail between
// the size probe and the reading pass.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileSource;  // an open input stream; opaque to the framing

struct FileOps {
  // Opens a file by name for binary reading; nullptr when it cannot be
  // opened or is a directory.
  FileSource* (*open)(const char* path);
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
};

// The operations in force: the real file system unless a test replaced them.
const FileOps& file_ops();
// Replaces the operations; nullptr restores the real file system.
void set_file_ops(const FileOps* ops);
// The real file system's operations.
const FileOps& real_file_ops();
