// The full and compact array file layouts. Every integer and the float are
// encoded byte by byte, least significant first, so the bytes are the same on
// every host whatever its byte order and struct layout.
#include "support/dynarray_file.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

constexpr std::size_t kFullHeaderBytes = 16;
constexpr std::size_t kCompactHeaderBytes = 5;
constexpr std::uint32_t kMaxCompactElementSize = 255;
constexpr float kDefaultMinFillPercent = 60.0f;
// How far an element section may run past the end of a seekable file beyond
// what the file still holds: room for a writer that stopped early, none for a
// damaged count that would have us allocate gigabytes for a small file.
constexpr std::uint64_t kUnbackedSlackBytes = std::uint64_t{1} << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void encode_fixed32(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t decode_fixed32(const unsigned char* in) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{in[i]} << (8 * i);
  return value;
}

void write_elements(const DynArray& array, std::FILE* file) {
  if (array.count > 0 && array.element_size > 0) {
    std::fwrite(array.data, array.element_size, array.count, file);
  }
}

// Whether a section of `bytes` may be believed: at most what a seekable file
// holds from here, twice over, plus the slack. Streams that cannot tell their
// length are believed; their block is zeroed and reading stops at their end.
bool file_may_hold(std::FILE* file, std::uint64_t bytes) {
  const long here = std::ftell(file);
  if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return true;
  const long end = std::ftell(file);
  std::fseek(file, here, SEEK_SET);
  if (end < here) return true;
  const std::uint64_t left = static_cast<std::uint64_t>(end - here);
  return bytes <= 2 * left + kUnbackedSlackBytes;
}

// Reads the element section that follows a header. Slots the file does not
// fill stay zero; a count that cannot be had gives the empty default array.
DynArray read_elements(std::FILE* file, std::uint32_t count, std::uint32_t element_size,
                       std::uint32_t min_capacity, float min_fill_percent) {
  if (!(min_fill_percent >= 0.0f && min_fill_percent < 100.0f)) {
    min_fill_percent = kDefaultMinFillPercent;
  }
  const std::uint64_t bytes = std::uint64_t{count} * element_size;
  if (bytes > std::numeric_limits<std::size_t>::max() || !file_may_hold(file, bytes)) {
    return dynarray_create(element_size);
  }
  DynArray array = dynarray_create_sized(element_size, count, min_capacity, min_fill_percent);
  if (array.data == nullptr) return dynarray_create(element_size);
  if (bytes > 0) std::fread(array.data, 1, static_cast<std::size_t>(bytes), file);
  return array;
}

}  // namespace

void dynarray_write_full(const DynArray* array, std::FILE* file) {
  unsigned char header[kFullHeaderBytes];
  encode_fixed32(header, array->count);
  encode_fixed32(header + 4, array->element_size);
  encode_fixed32(header + 8, array->min_capacity);
  encode_fixed32(header + 12, std::bit_cast<std::uint32_t>(array->min_fill_percent));
  std::fwrite(header, 1, sizeof header, file);
  write_elements(*array, file);
}

void dynarray_write_compact(const DynArray* array, std::FILE* file) {
  if (array->element_size > kMaxCompactElementSize) return;
  unsigned char header[kCompactHeaderBytes];
  encode_fixed32(header, array->count);
  header[4] = static_cast<unsigned char>(array->element_size);
  std::fwrite(header, 1, sizeof header, file);
  write_elements(*array, file);
}

void dynarray_save_compact(const DynArray* array, const char* file_name) {
  const File file(std::fopen(file_name, "wb"));
  if (file) dynarray_write_compact(array, file.get());
}

DynArray dynarray_read_full(std::FILE* file) {
  unsigned char header[kFullHeaderBytes];
  const std::size_t got = std::fread(header, 1, sizeof header, file);
  // A header cut short keeps its element size when that much of it arrived.
  if (got < sizeof header) return dynarray_create(got >= 8 ? decode_fixed32(header + 4) : 0);
  return read_elements(file, decode_fixed32(header), decode_fixed32(header + 4),
                       decode_fixed32(header + 8),
                       std::bit_cast<float>(decode_fixed32(header + 12)));
}

DynArray dynarray_read_compact(std::FILE* file) {
  unsigned char header[kCompactHeaderBytes];
  if (std::fread(header, 1, sizeof header, file) < sizeof header) return dynarray_create(0);
  return read_elements(file, decode_fixed32(header), header[4], 1, kDefaultMinFillPercent);
}

DynArray dynarray_load_compact(const char* file_name) {
  const File file(std::fopen(file_name, "rb"));
  if (!file) return dynarray_create(0);
  return dynarray_read_compact(file.get());
}
