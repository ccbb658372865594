// Arbitrary bytes as an array file, read in the full and the compact layout
// from a real file, checked against the bytes, written back, and then worked
// on with the array operations under the settings the file stored.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/dynarray.h"
#include "support/dynarray_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kFullHeader = 16;
constexpr std::size_t kCompactHeader = 5;
// Arrays up to these sizes get the operations workout, which compares every
// element and clones the whole block; larger ones are only read and written
// back.
constexpr std::uint32_t kWorkoutElementLimit = 64;
constexpr std::uint64_t kWorkoutBlockLimit = 1 << 12;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "array file check failed: %s\n", what);
    std::abort();
  }
}

std::uint32_t fixed32(const unsigned char* in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
         std::uint32_t{in[3]} << 24;
}

// Files of this process's own in /dev/shm (or /tmp), removed when it exits;
// plain buffers, so that they outlive every destructor run at exit.
char scratch_file[96];
char compact_file[104];

void remove_scratch_files() {
  std::remove(scratch_file);
  std::remove(compact_file);
}

void name_scratch_files() {
  const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::snprintf(scratch_file, sizeof scratch_file, "%s/riravuvavu-array-fuzz-%d", folder,
                static_cast<int>(getpid()));
  std::snprintf(compact_file, sizeof compact_file, "%s-compact", scratch_file);
  std::atexit(remove_scratch_files);
}

// The array's live elements as bytes.
Bytes elements(const DynArray& array) {
  const auto* begin = static_cast<const unsigned char*>(array.data);
  return Bytes(begin, begin + std::size_t{array.count} * array.element_size);
}

// The element section the file stored at `offset`: `count` x `size` bytes,
// zero where the file ended early.
Bytes stored_elements(const Bytes& file, std::size_t offset, std::uint64_t count,
                      std::uint64_t size) {
  Bytes section(count * size, 0);
  for (std::size_t i = 0; i < section.size() && offset + i < file.size(); ++i) {
    section[i] = file[offset + i];
  }
  return section;
}

Bytes written(const DynArray& array, bool full) {
  char* buffer = nullptr;
  std::size_t length = 0;
  std::FILE* stream = open_memstream(&buffer, &length);
  check(stream != nullptr, "memory stream");
  if (full) {
    dynarray_write_full(&array, stream);
  } else {
    dynarray_write_compact(&array, stream);
  }
  std::fclose(stream);
  Bytes bytes(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}

void check_shape(const DynArray& array) {
  check(array.count <= array.capacity, "count within capacity");
  check(array.data != nullptr || array.capacity == 0, "storage present");
  check(array.mirror == nullptr, "read array has no mirror");
}

// Works the array with every operation against a plain model of its elements.
void workout(DynArray array, const unsigned char* data, std::size_t size) {
  const std::uint32_t element_size = array.element_size;
  if (element_size == 0 || element_size > kWorkoutElementLimit ||
      std::uint64_t{array.capacity} * element_size > kWorkoutBlockLimit) {
    dynarray_release(array);
    return;
  }
  std::vector<Bytes> model;
  const Bytes live = elements(array);
  for (std::size_t at = 0; at < live.size(); at += element_size) {
    model.emplace_back(live.begin() + at, live.begin() + at + element_size);
  }
  void* mirror = nullptr;
  dynarray_set_mirror(&array, &mirror);

  auto same = [&] {
    check(array.count == model.size(), "count follows the model");
    check(array.count <= array.capacity, "count within capacity");
    check(mirror == array.data, "mirror follows the storage");
    for (std::size_t i = 0; i < model.size(); ++i) {
      check(std::memcmp(static_cast<unsigned char*>(array.data) + i * element_size, model[i].data(),
                        element_size) == 0,
            "elements follow the model");
    }
  };
  same();
  bool saved = false;
  for (std::size_t at = 0; at + 2 <= size && at < 256; at += 2) {
    const unsigned char operation = data[at] % 10;
    const std::uint32_t argument = data[at + 1];
    Bytes element(element_size, static_cast<unsigned char>(argument));
    switch (operation) {
      case 0:
      case 1: {
        const std::uint32_t before = array.count;
        check(dynarray_append(&array, element.data()) == before, "append index");
        model.push_back(element);
        break;
      }
      case 2:
        if (argument < model.size()) {
          model[argument] = model.back();
          model.pop_back();
        }
        dynarray_remove_swap(&array, argument);
        break;
      case 3:
        if (argument < model.size()) model.erase(model.begin() + argument);
        dynarray_remove_ordered(&array, argument);
        break;
      case 4: {
        std::int32_t expected = -1;
        for (std::size_t i = model.size(); i-- > 0;) {
          if (model[i] == element) {
            expected = static_cast<std::int32_t>(i);
            break;
          }
        }
        check(dynarray_find(&array, element.data()) == expected, "find the last equal element");
        break;
      }
      case 5: {
        DynArray copy = dynarray_clone(array);
        check(copy.count == array.count && copy.mirror == nullptr, "clone");
        check(elements(copy) == elements(array), "clone holds the elements");
        dynarray_release(copy);
        break;
      }
      case 6: {
        auto* slot = static_cast<unsigned char*>(dynarray_append_slot(&array));
        check(slot != nullptr, "a new slot");
        std::memcpy(slot, element.data(), element_size);
        model.push_back(element);
        break;
      }
      case 7: {
        // Equal elements are equal bytes, so any order qsort leaves them in
        // gives the same array.
        static std::uint32_t size_to_compare;
        size_to_compare = element_size;
        dynarray_sort(&array, [](const void* a, const void* b) {
          return std::memcmp(a, b, size_to_compare);
        });
        std::sort(model.begin(), model.end());
        break;
      }
      case 8: {
        for (std::size_t i = model.size(); i-- > 0;) {
          if (model[i] == element) {
            model[i] = model.back();
            model.pop_back();
            break;
          }
        }
        dynarray_remove_value(&array, element.data());
        break;
      }
      case 9: {
        // A copy in a block of its own, written compactly to a named file
        // and read back, then destroyed.
        auto* held = static_cast<DynArray*>(std::malloc(sizeof(DynArray)));
        check(held != nullptr, "a block for the record");
        *held = dynarray_clone(array);
        if (element_size <= 255 && !saved) {
          saved = true;  // once per input: files are slow
          dynarray_save_compact(held, compact_file);
          DynArray back = dynarray_load_compact(compact_file);
          check(elements(back) == elements(array), "saved and loaded compactly");
          dynarray_release(back);
        }
        void* held_mirror = nullptr;
        dynarray_set_mirror(held, &held_mirror);
        dynarray_destroy(held);
        check(held_mirror == nullptr, "destroy clears the mirror");
        break;
      }
    }
    same();
  }
  dynarray_clear(&array);
  model.clear();
  same();
  dynarray_release(array);
  check(mirror == nullptr, "release clears the mirror");
}

}  // namespace

// A heap that refuses blocks above 32 MiB and returns null, as the C heap
// does when it is out of room: the gigabyte blocks that damaged headers ask
// for then take the refused-allocation paths, quickly.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=32";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (scratch_file[0] == '\0') name_scratch_files();
  std::FILE* out = std::fopen(scratch_file, "wb");
  check(out != nullptr, "scratch file");
  std::fwrite(data, 1, size, out);
  std::fclose(out);
  const Bytes file(data, data + size);

  // Full layout, twice in a row from one stream.
  std::FILE* in = std::fopen(scratch_file, "rb");
  check(in != nullptr, "open scratch file");
  DynArray full = dynarray_read_full(in);
  check_shape(full);
  if (size >= kFullHeader && full.count == fixed32(data) && full.count > 0) {
    const std::uint32_t element_size = fixed32(data + 4);
    check(full.element_size == element_size, "full: element size");
    check(full.min_capacity == fixed32(data + 8), "full: min capacity");
    check(elements(full) == stored_elements(file, kFullHeader, full.count, element_size),
          "full: elements are the file's bytes, zero past its end");
    const std::uint64_t end = kFullHeader + std::uint64_t{full.count} * element_size;
    check(std::ftell(in) == static_cast<long>(end < size ? end : size), "full: stream position");
    // Written back, the array gives the same bytes, the fill made valid.
    const float fill = std::bit_cast<float>(fixed32(data + 12));
    Bytes expected(file.begin(), file.begin() + kFullHeader);
    if (!(fill >= 0.0f && fill < 100.0f)) {
      const std::uint32_t sixty = std::bit_cast<std::uint32_t>(60.0f);
      for (int i = 0; i < 4; ++i) expected[12 + i] = static_cast<unsigned char>(sixty >> (8 * i));
    }
    const Bytes section = elements(full);
    expected.insert(expected.end(), section.begin(), section.end());
    check(written(full, true) == expected, "full: written back byte for byte");
  }
  DynArray second = dynarray_read_full(in);
  check_shape(second);
  dynarray_release(second);
  std::fclose(in);
  workout(full, data, size);

  // Compact layout, through the named-file reader.
  DynArray compact = dynarray_load_compact(scratch_file);
  check_shape(compact);
  check(compact.min_capacity == 1 && compact.min_fill_percent == 60.0f, "compact: defaults");
  if (size >= kCompactHeader && compact.count == fixed32(data) && compact.count > 0) {
    check(compact.element_size == data[4], "compact: element size");
    check(elements(compact) == stored_elements(file, kCompactHeader, compact.count, data[4]),
          "compact: elements are the file's bytes, zero past its end");
    Bytes expected(file.begin(), file.begin() + kCompactHeader);
    const Bytes section = elements(compact);
    expected.insert(expected.end(), section.begin(), section.end());
    check(written(compact, false) == expected, "compact: written back byte for byte");
  }
  workout(compact, data + (size > 5 ? 5 : size), size > 5 ? size - 5 : 0);
  return 0;
}
