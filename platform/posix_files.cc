// Large files on POSIX: fseeko and ftello take off_t, which is 64 bits with
// large-file support (always on 64-bit systems).
#define _FILE_OFFSET_BITS 64
#include <sys/types.h>
#include <cstdio>

#include "platform/platform.h"

std::int64_t platform_tell(std::FILE* stream) {
  return static_cast<std::int64_t>(ftello(stream));
}

int platform_seek(std::FILE* stream, std::int64_t offset, int origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin);
}
