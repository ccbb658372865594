// The growable array: its capacity policy, the resize step and the element
// operations.
#include "support/dynarray.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// The capacity rules run in x87 double-extended precision (64-bit
// significand), which is what long double is on x86-64 with GCC and Clang and
// on x86-64 mingw-w64; the process start-up sets the x87 precision control to
// 64 bits so that every step rounds there. With it, growth from 3 elements
// gives 4 and a fill of exactly 60 % shrinks. Where long double is only a
// double (MSVC, AArch64 macOS) the same expressions run in double precision:
// growth from 3 gives 5 and an exact 60 % fill does not shrink.
using Wide = long double;

constexpr float kDefaultMinFillPercent = 60.0f;
constexpr std::uint32_t kDefaultMinCapacity = 1;
constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

// 0.005 and 0.5 enter as their nearest doubles, so the divisor at 60.0 lies a
// hair above 0.8; that is what makes the growth rule stop short of 5/4.
Wide resize_divisor(float min_fill_percent) {
  return static_cast<Wide>(0.005) * min_fill_percent + static_cast<Wide>(0.5);
}

// The fill, in parts of one, at or below which a removal shrinks the block.
Wide shrink_threshold(float min_fill_percent) {
  return static_cast<Wide>(0.01) * min_fill_percent;
}

std::byte* slot(const DynArray& array, std::uint32_t index) {
  return static_cast<std::byte*>(array.data) + std::size_t{index} * array.element_size;
}

// A block of `slots` elements, or null when its size does not fit a size_t or
// the heap refuses it. Never asks for zero bytes, so a block is never null.
void* allocate(std::uint64_t slots, std::uint32_t element_size, bool zeroed) {
  if (element_size != 0 && slots > std::numeric_limits<std::size_t>::max() / element_size) {
    return nullptr;
  }
  const std::size_t bytes = std::max<std::size_t>(slots * element_size, 1);
  return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
}

// The capacity of a full array about to take one more element: (count + 1)
// over the divisor, truncated. Never below count + 1, so the element fits
// whatever min_fill_percent holds; 0 when no capacity can hold it.
std::uint32_t grown_capacity(const DynArray& array) {
  if (array.count == kMaxCount) return 0;
  const std::uint64_t needed = std::uint64_t{array.count} + 1;
  const Wide quotient = static_cast<float>(needed) / resize_divisor(array.min_fill_percent);
  std::uint64_t capacity = 0;
  if (quotient >= static_cast<Wide>(kMaxCount)) {
    capacity = kMaxCount;
  } else if (quotient >= 0) {  // false for NaN as well
    capacity = static_cast<std::uint64_t>(quotient);
  }
  return static_cast<std::uint32_t>(std::max(capacity, needed));
}

bool shrink_due(const DynArray& array) {
  const Wide fill =
      static_cast<Wide>(static_cast<float>(array.count)) / static_cast<float>(array.capacity);
  return shrink_threshold(array.min_fill_percent) > fill && array.capacity > array.min_capacity;
}

// The capacity a resize aims at for `count` elements, entering the quotient as
// `count_value`: max_int(min_capacity, count / divisor rounded to double and
// truncated). Worked in 64 bits, so that a quotient or a min_capacity beyond
// the signed 32-bit range neither wraps nor drops below the count.
std::uint64_t target_capacity(Wide count_value, std::uint32_t count, std::uint32_t min_capacity,
                              float min_fill_percent) {
  const double quotient = static_cast<double>(count_value / resize_divisor(min_fill_percent));
  std::uint64_t truncated = 0;
  if (quotient >= 0x1p63) {
    truncated = std::numeric_limits<std::uint64_t>::max();
  } else if (quotient >= 0) {  // false for NaN as well
    truncated = static_cast<std::uint64_t>(quotient);
  }
  return std::max({truncated, std::uint64_t{min_capacity}, std::uint64_t{count}});
}

// The resize step up to, not including, the release of the old block: a new
// block of `capacity` slots holding the live elements, or null. Append still
// reads its element from the old block before `install` frees it.
void* copy_live(const DynArray& array, std::uint64_t capacity) {
  void* block = allocate(capacity, array.element_size, false);
  if (block != nullptr && array.count > 0) {
    std::memcpy(block, array.data, std::size_t{array.count} * array.element_size);
  }
  return block;
}

void install(DynArray* array, void* block, std::uint32_t capacity) {
  std::free(array->data);
  array->data = block;
  array->capacity = capacity;
  if (array->mirror != nullptr) *array->mirror = block;
}

// Appends one slot, growing first when the array is full, and copies
// `element` into it when given. Returns the slot, or null with the array
// untouched when the array is full and cannot grow.
std::byte* push(DynArray* array, const void* element) {
  void* block = array->data;
  std::uint32_t capacity = array->capacity;
  if (array->count >= array->capacity) {
    capacity = grown_capacity(*array);
    if (capacity == 0) return nullptr;
    block = copy_live(*array, capacity);
    if (block == nullptr) return nullptr;
  }
  std::byte* new_slot =
      static_cast<std::byte*>(block) + std::size_t{array->count} * array->element_size;
  // memmove: the element may be this very slot of the old block.
  if (element != nullptr) std::memmove(new_slot, element, array->element_size);
  if (block != array->data) install(array, block, capacity);
  ++array->count;
  return new_slot;
}

void shrink_if_due(DynArray* array) {
  if (!shrink_due(*array)) return;
  const std::uint64_t capacity = target_capacity(static_cast<float>(array->count), array->count,
                                                 array->min_capacity, array->min_fill_percent);
  if (capacity > kMaxCount) return;
  void* block = copy_live(*array, capacity);
  // Without a new block the array simply stays larger than it needs to be.
  if (block != nullptr) install(array, block, static_cast<std::uint32_t>(capacity));
}

}  // namespace

DynArray dynarray_create(std::uint32_t element_size) {
  DynArray array{nullptr,
                 nullptr,
                 0,
                 kDefaultMinCapacity,
                 kDefaultMinCapacity,
                 element_size,
                 kDefaultMinFillPercent};
  array.data = allocate(array.capacity, element_size, false);
  if (array.data == nullptr) array.capacity = 0;
  return array;
}

DynArray dynarray_create_sized(std::uint32_t element_size, std::uint32_t count,
                               std::uint32_t min_capacity, float min_fill_percent) {
  DynArray array{nullptr, nullptr, 0, 0, min_capacity, element_size, min_fill_percent};
  const std::uint64_t capacity =
      target_capacity(static_cast<Wide>(count), count, min_capacity, min_fill_percent);
  if (capacity > kMaxCount) return array;
  array.data = allocate(capacity, element_size, true);
  if (array.data == nullptr) return array;
  array.count = count;
  array.capacity = static_cast<std::uint32_t>(capacity);
  return array;
}

DynArray dynarray_clone(DynArray source) {
  DynArray copy = source;
  copy.mirror = nullptr;
  copy.data = allocate(source.capacity, source.element_size, false);
  if (copy.data == nullptr) {
    copy.count = 0;
    copy.capacity = 0;
  } else if (source.capacity > 0) {
    std::memcpy(copy.data, source.data, std::size_t{source.capacity} * source.element_size);
  }
  return copy;
}

void** dynarray_set_mirror(DynArray* array, void** mirror) {
  void** previous = array->mirror;
  array->mirror = mirror;
  if (mirror != nullptr) *mirror = array->data;
  return previous;
}

std::uint32_t dynarray_append(DynArray* array, const void* element) {
  const std::uint32_t index = array->count;
  push(array, element);
  return index;
}

void* dynarray_append_slot(DynArray* array) {
  return push(array, nullptr);
}

std::int32_t dynarray_find(DynArray* array, const void* key) {
  // Indices beyond the signed 32-bit range cannot be returned; the scan
  // starts below them.
  const std::uint32_t end =
      std::min<std::uint32_t>(array->count, std::numeric_limits<std::int32_t>::max());
  for (std::uint32_t index = end; index-- > 0;) {
    if (std::memcmp(slot(*array, index), key, array->element_size) == 0) {
      return static_cast<std::int32_t>(index);
    }
  }
  return -1;
}

void dynarray_sort(DynArray* array, int (*compare)(const void*, const void*)) {
  if (array->count < 2) return;
  std::qsort(array->data, array->count, array->element_size, compare);
}

void dynarray_remove_swap(DynArray* array, std::uint32_t index) {
  if (index >= array->count) return;
  const std::uint32_t last = array->count - 1;
  if (index < last) std::memcpy(slot(*array, index), slot(*array, last), array->element_size);
  array->count = last;
  shrink_if_due(array);
}

void dynarray_remove_ordered(DynArray* array, std::uint32_t index) {
  if (index >= array->count) return;
  --array->count;
  std::memmove(slot(*array, index), slot(*array, index + 1),
               std::size_t{array->count - index} * array->element_size);
  shrink_if_due(array);
}

void dynarray_remove_value(DynArray* array, const void* key) {
  const std::int32_t index = dynarray_find(array, key);
  if (index >= 0) dynarray_remove_swap(array, static_cast<std::uint32_t>(index));
}

void dynarray_clear(DynArray* array) {
  array->count = 0;
  void* block = allocate(array->min_capacity, array->element_size, false);
  // Without a new block the old one stays: the array is empty all the same.
  if (block != nullptr) install(array, block, array->min_capacity);
}

void dynarray_destroy(DynArray* array) {
  dynarray_release(*array);
  std::free(array);
}

void dynarray_release(DynArray array) {
  if (array.mirror != nullptr) *array.mirror = nullptr;
  std::free(array.data);
}

std::int32_t max_int(std::int32_t a, std::int32_t b) {
  return a > b ? a : b;
}
