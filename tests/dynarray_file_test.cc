#include "support/dynarray_file.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/dynarray.h"

// Let a refused allocation return null under AddressSanitizer too, as the C
// heap does.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using Bytes = std::vector<unsigned char>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File scratch_file(const Bytes& contents = {}) {
  File file(std::tmpfile());
  if (!contents.empty()) std::fwrite(contents.data(), 1, contents.size(), file.get());
  std::rewind(file.get());
  return file;
}

Bytes all_bytes(std::FILE* file) {
  std::rewind(file);
  Bytes bytes;
  for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

Bytes fixed32(std::uint32_t value) {
  return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// An array of `count` elements of `element_size` bytes, byte i of the
// elements holding i + 1.
DynArray numbered(std::uint32_t count, std::uint32_t element_size) {
  DynArray array = dynarray_create(element_size);
  for (std::uint32_t i = 0; i < count; ++i) {
    auto* slot = static_cast<unsigned char*>(dynarray_append_slot(&array));
    for (std::uint32_t j = 0; j < element_size; ++j) {
      slot[j] = static_cast<unsigned char>(i * element_size + j + 1);
    }
  }
  return array;
}

Bytes elements_of(const DynArray& array) {
  const auto* data = static_cast<const unsigned char*>(array.data);
  return Bytes(data, data + std::size_t{array.count} * array.element_size);
}

void expect_empty_default(const DynArray& array, std::uint32_t element_size,
                          const std::string& name) {
  EXPECT_EQ(array.count, 0u) << name;
  EXPECT_EQ(array.element_size, element_size) << name;
  EXPECT_EQ(array.min_capacity, 1u) << name;
  EXPECT_EQ(array.min_fill_percent, 60.0f) << name;
  EXPECT_EQ(array.mirror, nullptr) << name;
}

TEST(DynArrayFileTest, GoldenBytes) {
  const Bytes header_tail = concat({fixed32(1), {0x00, 0x00, 0x70, 0x42}});
  struct Case {
    const char* name;
    void (*write)(const DynArray*, std::FILE*);
    std::uint32_t count;
    std::uint32_t element_size;
    Bytes header;
    std::size_t total;
  };
  const Case cases[] = {
      {"empty full", dynarray_write_full, 0, 4, concat({fixed32(0), fixed32(4), header_tail}), 16},
      {"empty compact", dynarray_write_compact, 0, 4, {0, 0, 0, 0, 4}, 5},
      {"two of 16 full",
       dynarray_write_full,
       2,
       16,
       {0x02, 0, 0, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0, 0x00, 0x00, 0x70, 0x42},
       48},
      {"three of 4 compact", dynarray_write_compact, 3, 4, {0x03, 0, 0, 0, 0x04}, 17},
  };
  for (const Case& c : cases) {
    DynArray array = numbered(c.count, c.element_size);
    const File file = scratch_file();
    c.write(&array, file.get());
    EXPECT_EQ(std::ftell(file.get()), static_cast<long>(c.total)) << c.name;
    EXPECT_EQ(all_bytes(file.get()), concat({c.header, elements_of(array)})) << c.name;
    dynarray_release(array);
  }
}

TEST(DynArrayFileTest, RoundTripsRestoreElementsSettingsAndTheReadCapacity) {
  struct Case {
    std::uint32_t count;
    std::uint32_t min_capacity;  // stored in the full layout only
    std::uint32_t full_capacity;
    std::uint32_t compact_capacity;
  };
  const Case cases[] = {
      {59, 1, 73, 73}, {100, 1, 125, 125}, {4, 1, 5, 5}, {3, 1, 3, 3}, {0, 7, 7, 1}, {2, 7, 7, 2},
  };
  struct Layout {
    const char* name;
    void (*write)(const DynArray*, std::FILE*);
    DynArray (*read)(std::FILE*);
    bool keeps_settings;
  };
  const Layout layouts[] = {{"full", dynarray_write_full, dynarray_read_full, true},
                            {"compact", dynarray_write_compact, dynarray_read_compact, false}};
  for (const Case& c : cases) {
    DynArray array = numbered(c.count, 3);
    array.min_capacity = c.min_capacity;
    void* mirror = nullptr;
    dynarray_set_mirror(&array, &mirror);
    for (const Layout& layout : layouts) {
      const File file = scratch_file();
      layout.write(&array, file.get());
      std::rewind(file.get());
      DynArray restored = layout.read(file.get());
      const std::string name = std::string(layout.name) + ", count " + std::to_string(c.count);
      EXPECT_EQ(restored.count, c.count) << name;
      EXPECT_EQ(restored.element_size, 3u) << name;
      EXPECT_EQ(restored.min_capacity, layout.keeps_settings ? c.min_capacity : 1u) << name;
      EXPECT_EQ(restored.min_fill_percent, 60.0f) << name;
      EXPECT_EQ(restored.capacity, layout.keeps_settings ? c.full_capacity : c.compact_capacity)
          << name;
      EXPECT_EQ(restored.mirror, nullptr) << name;
      EXPECT_EQ(elements_of(restored), elements_of(array)) << name;
      dynarray_release(restored);
    }
    dynarray_release(array);
  }
}

TEST(DynArrayFileTest, ArraysFollowOneAnotherInOneFile) {
  DynArray first = numbered(5, 8);
  first.min_fill_percent = 40.0f;
  DynArray second = numbered(3, 2);
  const File file = scratch_file();
  std::fputs("lead", file.get());
  dynarray_write_full(&first, file.get());
  dynarray_write_compact(&second, file.get());
  dynarray_write_full(&second, file.get());

  std::fseek(file.get(), 4, SEEK_SET);
  DynArray first_read = dynarray_read_full(file.get());
  EXPECT_EQ(std::ftell(file.get()), 4 + 16 + 40);
  DynArray second_read = dynarray_read_compact(file.get());
  DynArray third_read = dynarray_read_full(file.get());
  EXPECT_EQ(std::fgetc(file.get()), EOF);

  EXPECT_EQ(first_read.min_fill_percent, 40.0f);
  EXPECT_EQ(elements_of(first_read), elements_of(first));
  EXPECT_EQ(elements_of(second_read), elements_of(second));
  EXPECT_EQ(elements_of(third_read), elements_of(second));
  for (DynArray array : {first, second, first_read, second_read, third_read}) {
    dynarray_release(array);
  }
}

TEST(DynArrayFileTest, NamedFiles) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("dynarray_file_test_" + std::to_string(reinterpret_cast<std::uintptr_t>(&folder)));
  std::filesystem::create_directories(folder);
  const std::string name = (folder / "array.bin").string();

  DynArray array = numbered(6, 5);
  dynarray_save_compact(&array, name.c_str());
  EXPECT_EQ(std::filesystem::file_size(name), 5u + 30u);
  DynArray loaded = dynarray_load_compact(name.c_str());
  EXPECT_EQ(loaded.count, 6u);
  EXPECT_EQ(elements_of(loaded), elements_of(array));

  DynArray smaller = numbered(1, 5);
  dynarray_save_compact(&smaller, name.c_str());
  EXPECT_EQ(std::filesystem::file_size(name), 10u) << "saving empties the file first";

  const std::string missing = (folder / "no" / "such.bin").string();
  dynarray_save_compact(&array, missing.c_str());
  EXPECT_FALSE(std::filesystem::exists(missing));
  DynArray unopened = dynarray_load_compact(missing.c_str());
  expect_empty_default(unopened, 0, "unopenable file");
  EXPECT_NE(unopened.data, nullptr);

  for (DynArray each : {array, loaded, smaller, unopened}) dynarray_release(each);
  std::filesystem::remove_all(folder);
}

TEST(DynArrayFileTest, DamagedHeadersGiveAnEmptyArray) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  const Bytes p60 = {0x00, 0x00, 0x70, 0x42};
  struct Case {
    const char* name;
    DynArray (*read)(std::FILE*);
    Bytes contents;
    std::uint32_t element_size;
  };
  const Case cases[] = {
      {"empty file, full", dynarray_read_full, {}, 0},
      {"full header cut in its count", dynarray_read_full, {1, 0, 0}, 0},
      {"full header cut after its element size", dynarray_read_full,
       concat({fixed32(2), fixed32(4), {1, 0}}), 4},
      {"compact header without its size byte", dynarray_read_compact, fixed32(2), 0},
      {"2 GiB of elements claimed by a 16-byte file", dynarray_read_full,
       concat({fixed32(1u << 31), fixed32(1), fixed32(1), p60}), 1},
      {"1 GiB of elements claimed by a 69-byte compact file", dynarray_read_compact,
       concat({fixed32(1u << 22), {255}, Bytes(64, 7)}), 255},
      {"min_capacity beyond any heap", dynarray_read_full,
       concat({fixed32(0), fixed32(0xFFFF), fixed32(kMax), p60}), 0xFFFF},
  };
  for (const Case& c : cases) {
    const File file = scratch_file(c.contents);
    DynArray array = c.read(file.get());
    expect_empty_default(array, c.element_size, c.name);
    dynarray_release(array);
  }
}

TEST(DynArrayFileTest, ShortElementSectionKeepsTheCountWithZeroSlots) {
  const Bytes partial = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const File file = scratch_file(concat({fixed32(4), {4}, partial}));
  DynArray array = dynarray_read_compact(file.get());
  ASSERT_EQ(array.count, 4u);
  EXPECT_EQ(elements_of(array), concat({partial, Bytes(6, 0)}));
  dynarray_release(array);
}

TEST(DynArrayFileTest, StoredMinFillOutsideItsRangeReadsAsTheDefault) {
  const struct {
    float stored;
    float read;
  } cases[] = {
      {std::nanf(""), 60.0f}, {100.0f, 60.0f}, {-1.0f, 60.0f},
      {1e30f, 60.0f},         {0.0f, 0.0f},    {99.5f, 99.5f},
  };
  for (const auto& c : cases) {
    const File file = scratch_file(concat({fixed32(1),
                                           fixed32(1),
                                           fixed32(1),
                                           fixed32(std::bit_cast<std::uint32_t>(c.stored)),
                                           {9}}));
    DynArray array = dynarray_read_full(file.get());
    EXPECT_EQ(array.min_fill_percent, c.read) << "stored " << c.stored;
    EXPECT_EQ(elements_of(array), Bytes{9});
    dynarray_release(array);
  }
}

TEST(DynArrayFileTest, CompactLayoutWritesNothingForElementsAbove255Bytes) {
  DynArray array = numbered(2, 256);
  const File file = scratch_file();
  dynarray_write_compact(&array, file.get());
  EXPECT_EQ(std::ftell(file.get()), 0);
  dynarray_release(array);
}

}  // namespace
