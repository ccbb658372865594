// Large files on POSIX: fseeko and ftello take off_t, which is 64 bits with
// large-file support (always on 64-bit systems).
#define _FILE_OFFSET_BITS 64
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

std::int64_t platform_tell(std::FILE* stream) {
  return static_cast<std::int64_t>(ftello(stream));
}

int platform_seek(std::FILE* stream, std::int64_t offset, int origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin);
}

std::int64_t platform_read_at(std::FILE* stream, std::int64_t offset, void* bytes,
                              std::size_t length) {
  const int fd = fileno(stream);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, static_cast<char*>(bytes) + done, length - done,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}
