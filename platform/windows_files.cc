// Large files on Windows: long has 32 bits there, so ftell and fseek stop at
// 2 GiB; the runtime's 64-bit forms do not.
#include <io.h>

#include <cstdio>

#include "platform/platform.h"

std::int64_t platform_tell(std::FILE* stream) {
  return _ftelli64(stream);
}

int platform_seek(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin);
}

// ReadFile at an offset: on a handle opened for synchronous reads it also moves
// the file pointer, which the stream's next seek sets again.
std::int64_t platform_read_at(std::FILE* stream, std::int64_t offset, void* bytes,
                              std::size_t length) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  std::size_t done = 0;
  while (done < length) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(at) & 0xffffffffu);
    where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(at) >> 32);
    const std::size_t wanted = length - done;
    const DWORD chunk = wanted > 0x40000000u ? 0x40000000u : static_cast<DWORD>(wanted);
    DWORD got = 0;
    if (!ReadFile(handle, static_cast<char*>(bytes) + done, chunk, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}
