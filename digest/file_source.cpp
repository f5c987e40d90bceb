// Real file system behind the digest seam.
//
// Reads go through one large buffer per open stream, so hashing a file costs
// a few large system calls instead of one per 64-byte chunk. The semantics
// are those of a buffered C stream: a read returns up to the bytes asked for,
// and the end-of-file indicator is set only when a read meets the end.
#include "digest/file_source.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// Large enough that a cached file is read in few system calls (2,048 for the
// largest file accepted), small enough that the buffer stays in the core's
// own cache between the copy from the kernel and the hashing, and that the
// whole process stays well under 4 MiB resident whatever the file's size.
constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{256} << 10;

}  // namespace

// A stream of the real file system.
struct FileSource : Stream {
  int fd;
  bool eof;
  std::size_t pos;  // next unread byte in buf
  std::size_t len;  // bytes held in buf
  std::uint8_t* buf;
  OsCause error;  // why the last failed read failed; NONE while none has
};

namespace {

extern const StreamMethods REAL_METHODS;

Stream* real_open(void* /*context*/, const char* path, OsCause* cause) {
  // Opening a directory for reading succeeds on some systems, and a FIFO, a
  // socket or a device such as /dev/zero opens like a file; none has a size
  // that the framing could check the reads against.
  const int fd = os_open_plain(path, cause);
  if (fd < 0) return nullptr;
  auto* src = static_cast<FileSource*>(std::malloc(sizeof(FileSource)));
  auto* buf = static_cast<std::uint8_t*>(std::malloc(STREAM_BUFFER_BYTES));
  if (src == nullptr || buf == nullptr) {
    std::free(src);
    std::free(buf);
    os_close(fd);
    return nullptr;
  }
  *src = FileSource{{&REAL_METHODS}, fd, false, 0, 0, buf, OsCause::NONE};
  return src;
}

void real_seek_end(Stream* s) {
  auto* src = static_cast<FileSource*>(s);
  src->pos = src->len = 0;
  src->eof = false;
  os_seek_end(src->fd);
}

std::int64_t real_position(Stream* s) {
  const auto* src = static_cast<FileSource*>(s);
  const std::int64_t at = os_position(src->fd);
  if (at < 0) return -1;
  return at - static_cast<std::int64_t>(src->len - src->pos);
}

// Refills the buffer; false at the end of the file or on a read error.
bool refill(FileSource* src) {
  src->pos = src->len = 0;
  OsCause cause = OsCause::OTHER;
  const std::int64_t got = os_read(src->fd, src->buf, STREAM_BUFFER_BYTES, &cause);
  if (got > 0) {
    src->len = static_cast<std::size_t>(got);
    return true;
  }
  if (got == 0) {
    src->eof = true;
  } else {
    src->error = cause == OsCause::NONE ? OsCause::OTHER : cause;
  }
  return false;  // a read error: the caller sees a short read
}

std::size_t real_read(Stream* s, std::uint8_t* out, std::size_t count) {
  auto* src = static_cast<FileSource*>(s);
  std::size_t done = 0;
  while (done < count) {
    if (src->pos == src->len && !refill(src)) break;
    std::size_t take = src->len - src->pos;
    if (take > count - done) take = count - done;
    std::memcpy(out + done, src->buf + src->pos, take);
    src->pos += take;
    done += take;
  }
  return done;
}

bool real_at_eof(Stream* s) { return static_cast<FileSource*>(s)->eof; }

const std::uint8_t* real_borrow(Stream* s, std::size_t block_bytes, std::size_t max_blocks,
                                std::size_t* blocks) {
  auto* src = static_cast<FileSource*>(s);
  std::size_t whole = block_bytes == 0 ? 0 : (src->len - src->pos) / block_bytes;
  if (whole > max_blocks) whole = max_blocks;
  *blocks = whole;
  if (whole == 0) return nullptr;
  const std::uint8_t* run = src->buf + src->pos;
  src->pos += whole * block_bytes;
  return run;
}

void real_close(Stream* s) {
  auto* src = static_cast<FileSource*>(s);
  os_close(src->fd);
  std::free(src->buf);
  std::free(src);
}

bool real_identity(Stream* s, FileIdentity* out) {
  return os_file_identity(static_cast<FileSource*>(s)->fd, out);
}

OsCause real_read_error(Stream* s) { return static_cast<FileSource*>(s)->error; }

constexpr StreamMethods REAL_METHODS{real_seek_end, real_position, real_read,     real_at_eof,
                                     real_close,    real_borrow,   real_identity, real_read_error};

constexpr FileSystem REAL_FILE_SYSTEM{real_open, /*context=*/nullptr, os_name_identity,
                                      /*concurrent=*/true, os_overlapping_reads_safe};

const FileSystem* current = &REAL_FILE_SYSTEM;

}  // namespace

const FileSystem& file_system() { return *current; }

void set_file_system(const FileSystem* fs) { current = fs != nullptr ? fs : &REAL_FILE_SYSTEM; }

const FileSystem& real_file_system() { return REAL_FILE_SYSTEM; }

bool open_file_identity(const char* path, FileIdentity* out, OsCause* cause) {
  Stream* s = open_stream(file_system(), path, cause);
  if (s == nullptr) return false;
  *out = FileIdentity{};
  const bool known = s->methods->identity == nullptr || s->methods->identity(s, out);
  s->methods->close(s);
  return known;
}

bool file_unchanged(const FileSystem& fs, const char* path, const FileIdentity& before) {
  if (fs.identity_of == nullptr) return true;
  FileIdentity now{};
  if (!fs.identity_of(path, &now)) return false;  // removed, or no longer reachable
  return now == before;
}
