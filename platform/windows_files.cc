// Large files on Windows: long has 32 bits there, so ftell and fseek stop at
// 2 GiB; the runtime's 64-bit forms do not.
#include <cstdio>

#include "platform/platform.h"

std::int64_t platform_tell(std::FILE* stream) {
  return _ftelli64(stream);
}

int platform_seek(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin);
}
