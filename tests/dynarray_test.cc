#include "support/dynarray.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

// Let a refused allocation return null under AddressSanitizer too, as the C
// heap does.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

// Elements are single characters, so an array reads as a string.
std::string contents(const DynArray& array) {
  return std::string(static_cast<const char*>(array.data), array.count);
}

// count, capacity, min_capacity, element_size, min_fill_percent.
auto fields(const DynArray& array) {
  return std::tuple(array.count, array.capacity, array.min_capacity, array.element_size,
                    array.min_fill_percent);
}

DynArray array_of(const std::string& elements) {
  DynArray array = dynarray_create(1);
  for (char element : elements) dynarray_append(&array, &element);
  return array;
}

DynArray array_of_count(std::uint32_t count) {
  DynArray array = dynarray_create(sizeof(std::uint32_t));
  for (std::uint32_t i = 0; i < count; ++i) dynarray_append(&array, &i);
  return array;
}

TEST(DynArrayTest, CreateGivesOneSlotAndTheDefaults) {
  DynArray array = dynarray_create(24);
  EXPECT_NE(array.data, nullptr);
  EXPECT_EQ(array.mirror, nullptr);
  EXPECT_EQ(fields(array), std::tuple(0u, 1u, 1u, 24u, 60.0f));
  dynarray_release(array);
}

TEST(DynArrayTest, AppendsReturnSuccessiveIndicesAndGrowByTheFillRule) {
  const std::vector<std::uint32_t> expected = {1,  2,  3,  4,  6,  8,  11, 14,
                                               18, 23, 29, 37, 47, 59, 74};
  DynArray array = dynarray_create(sizeof(std::uint32_t));
  std::vector<std::uint32_t> capacities = {array.capacity};
  for (std::uint32_t i = 0; i < 74; ++i) {
    const std::uint32_t before = array.capacity;
    ASSERT_EQ(dynarray_append(&array, &i), i);
    if (array.capacity != before) {
      EXPECT_EQ(i, before) << "grew before the array was full";
      capacities.push_back(array.capacity);
    }
  }
  EXPECT_EQ(capacities, expected);
  for (std::uint32_t i = 0; i < 74; ++i) EXPECT_EQ(static_cast<std::uint32_t*>(array.data)[i], i);
  dynarray_release(array);
}

TEST(DynArrayTest, RemovalsShrinkAtTheFillThreshold) {
  DynArray array = array_of_count(74);
  ASSERT_EQ(array.capacity, 74u);
  while (array.count > 45) {
    dynarray_remove_swap(&array, 0);
    ASSERT_EQ(array.capacity, 74u) << "count " << array.count;
  }
  dynarray_remove_swap(&array, 0);
  EXPECT_EQ(array.count, 44u);
  EXPECT_EQ(array.capacity, 55u);

  // From 55: 34 left (about 61.8 %) keeps the block, 33 (exactly 60 %) shrinks.
  while (array.count > 34) dynarray_remove_ordered(&array, array.count - 1);
  EXPECT_EQ(array.capacity, 55u);
  dynarray_remove_ordered(&array, 0);
  EXPECT_EQ(array.count, 33u);
  EXPECT_EQ(array.capacity, 41u);
  dynarray_release(array);
}

TEST(DynArrayTest, ShrinkStopsAtMinCapacity) {
  DynArray array = array_of("ab");
  ASSERT_EQ(array.capacity, 2u);
  dynarray_remove_swap(&array, 1);
  EXPECT_EQ(array.capacity, 1u);

  void* block = array.data;
  dynarray_remove_swap(&array, 0);
  EXPECT_EQ(array.count, 0u);
  EXPECT_EQ(array.capacity, 1u);
  EXPECT_EQ(array.data, block);
  dynarray_release(array);
}

TEST(DynArrayTest, Removals) {
  struct Case {
    const char* name;
    void (*remove)(DynArray*, std::uint32_t);
    std::uint32_t index;
    const char* expected;
  };
  const Case cases[] = {
      {"swap first", dynarray_remove_swap, 0, "CB"},
      {"swap last", dynarray_remove_swap, 2, "AB"},
      {"swap beyond", dynarray_remove_swap, 3, "ABC"},
      {"ordered first", dynarray_remove_ordered, 0, "BC"},
      {"ordered middle", dynarray_remove_ordered, 1, "AC"},
      {"ordered beyond", dynarray_remove_ordered, 7, "ABC"},
  };
  for (const Case& c : cases) {
    DynArray array = array_of("ABC");
    c.remove(&array, c.index);
    EXPECT_EQ(contents(array), c.expected) << c.name;
    dynarray_release(array);
  }

  DynArray empty = dynarray_create(1);
  dynarray_remove_swap(&empty, 0);
  dynarray_remove_ordered(&empty, 0);
  EXPECT_EQ(empty.count, 0u);
  dynarray_release(empty);
}

TEST(DynArrayTest, FindAndRemoveValueTakeTheLastEqualElement) {
  DynArray array = array_of("ABAC");
  const char a = 'A';
  const char z = 'Z';
  EXPECT_EQ(dynarray_find(&array, &a), 2);
  EXPECT_EQ(dynarray_find(&array, &z), -1);
  dynarray_remove_value(&array, &a);
  EXPECT_EQ(contents(array), "ABC");
  dynarray_remove_value(&array, &z);
  EXPECT_EQ(contents(array), "ABC");
  dynarray_release(array);

  DynArray empty = dynarray_create(1);
  EXPECT_EQ(dynarray_find(&empty, &a), -1);
  dynarray_release(empty);
}

TEST(DynArrayTest, SortOrdersByTheComparison) {
  DynArray array = array_of("dbca");
  dynarray_sort(&array, [](const void* a, const void* b) {
    return *static_cast<const char*>(a) - *static_cast<const char*>(b);
  });
  EXPECT_EQ(contents(array), "abcd");
  dynarray_release(array);
}

TEST(DynArrayTest, MirrorFollowsTheBlock) {
  DynArray array = dynarray_create(1);
  void* mirror = nullptr;
  EXPECT_EQ(dynarray_set_mirror(&array, &mirror), nullptr);
  EXPECT_EQ(mirror, array.data);

  for (char c = 'a'; c <= 't'; ++c) {
    dynarray_append(&array, &c);
    ASSERT_EQ(mirror, array.data);
  }
  dynarray_remove_swap(&array, 0);  // 19 of 23: no shrink yet
  while (array.count > 5) dynarray_remove_swap(&array, 0);
  EXPECT_EQ(mirror, array.data);

  dynarray_clear(&array);
  EXPECT_EQ(array.count, 0u);
  EXPECT_EQ(array.capacity, array.min_capacity);
  EXPECT_EQ(mirror, array.data);

  void* other = nullptr;
  EXPECT_EQ(dynarray_set_mirror(&array, &other), &mirror);
  EXPECT_EQ(dynarray_set_mirror(&array, nullptr), &other);
  dynarray_append(&array, "x");
  dynarray_append(&array, "y");
  EXPECT_NE(other, array.data) << "a removed mirror is no longer updated";

  dynarray_set_mirror(&array, &mirror);
  dynarray_release(array);
  EXPECT_EQ(mirror, nullptr);
}

TEST(DynArrayTest, ClearOfTwentyElements) {
  DynArray array = array_of("abcdefghijklmnopqrst");
  array.min_capacity = 3;
  dynarray_clear(&array);
  EXPECT_EQ(array.count, 0u);
  EXPECT_EQ(array.capacity, 3u);
  dynarray_append(&array, "z");
  EXPECT_EQ(contents(array), "z");
  dynarray_release(array);
}

TEST(DynArrayTest, DestroyFreesTheRecordAndClearsTheMirror) {
  auto* array = static_cast<DynArray*>(std::malloc(sizeof(DynArray)));
  *array = array_of("abc");
  void* mirror = nullptr;
  dynarray_set_mirror(array, &mirror);
  dynarray_destroy(array);
  EXPECT_EQ(mirror, nullptr);
}

TEST(DynArrayTest, CloneCopiesTheWholeBlockWithoutTheMirror) {
  DynArray source = array_of("abcdefg");  // capacity 8: one free slot
  static_cast<char*>(source.data)[7] = 'x';
  source.min_capacity = 2;
  source.min_fill_percent = 50.0f;
  void* mirror = nullptr;
  dynarray_set_mirror(&source, &mirror);

  DynArray copy = dynarray_clone(source);
  EXPECT_NE(copy.data, source.data);
  EXPECT_EQ(copy.mirror, nullptr);
  EXPECT_EQ(fields(copy), std::tuple(7u, 8u, 2u, 1u, 50.0f));
  EXPECT_EQ(std::memcmp(copy.data, source.data, 8), 0);
  dynarray_release(copy);
  EXPECT_EQ(mirror, source.data);
  dynarray_release(source);
}

TEST(DynArrayTest, AppendSlotGivesTheNewLastSlot) {
  DynArray array = array_of("ab");
  char* slot = static_cast<char*>(dynarray_append_slot(&array));
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(array.count, 3u);
  EXPECT_EQ(slot, static_cast<char*>(array.data) + 2);
  *slot = 'c';
  EXPECT_EQ(contents(array), "abc");
  dynarray_release(array);
}

TEST(DynArrayTest, AppendOfItsOwnElementSurvivesGrowth) {
  DynArray array = dynarray_create(64);
  std::vector<char> element(64);
  for (char c : {'a', 'b', 'c', 'd'}) {
    element.assign(64, c);
    dynarray_append(&array, element.data());
  }
  ASSERT_EQ(array.count, array.capacity);  // the next append moves the block
  for (std::uint32_t i = 0; i < 4; ++i) {
    dynarray_append(&array, static_cast<char*>(array.data) + i * 64);
  }
  ASSERT_EQ(array.count, 8u);
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(std::string(static_cast<char*>(array.data) + i * 64, 64),
              std::string(64, "abcd"[i % 4]))
        << "slot " << i;
  }
  dynarray_release(array);
}

// Blocks of nearly 2^64 bytes: past what any heap gives, or what a 32-bit
// size holds. The records are made by hand around a small real block, since
// no operation may touch the claimed bytes when the new block is refused.
TEST(DynArrayTest, UnallocatableBlocksLeaveTheArrayAsItWas) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  char block[4] = {'a', 'b', 'c', 'd'};
  const DynArray huge = {block, nullptr, 2, kMax, 1, kMax, 60.0f};

  DynArray clone = dynarray_clone(huge);
  EXPECT_EQ(clone.data, nullptr);
  EXPECT_EQ(clone.count, 0u);
  EXPECT_EQ(clone.capacity, 0u);
  dynarray_release(clone);

  struct Case {
    const char* name;
    std::uint32_t count;
  };
  // Full at 2^31 elements the growth asks for 2.7e9 slots; full at the
  // largest count there is no capacity to grow to at all.
  for (const Case& c : {Case{"huge block", 1u << 31}, Case{"count at its limit", kMax}}) {
    DynArray full = {block, nullptr, c.count, c.count, 1, kMax, 60.0f};
    void* mirror = block;
    dynarray_set_mirror(&full, &mirror);
    EXPECT_EQ(dynarray_append(&full, "x"), c.count) << c.name;
    EXPECT_EQ(dynarray_append_slot(&full), nullptr) << c.name;
    EXPECT_EQ(full.count, c.count) << c.name;
    EXPECT_EQ(full.capacity, c.count) << c.name;
    EXPECT_EQ(full.data, block) << c.name;
    EXPECT_EQ(mirror, block) << c.name;
  }

  // As made by a create whose block was refused: appending tries again.
  DynArray unmade = {nullptr, nullptr, 0, 0, 1, 1, 60.0f};
  EXPECT_EQ(dynarray_append(&unmade, "a"), 0u);
  EXPECT_EQ(contents(unmade), "a");
  EXPECT_EQ(unmade.capacity, 1u);
  dynarray_release(unmade);

  DynArray clearing = {block, nullptr, 2, 4, kMax, kMax, 60.0f};
  dynarray_clear(&clearing);
  EXPECT_EQ(clearing.count, 0u);
  EXPECT_EQ(clearing.capacity, 4u);
  EXPECT_EQ(clearing.data, block);
}

TEST(DynArrayTest, MaxIntComparesSigned) {
  EXPECT_EQ(max_int(3, 5), 5);
  EXPECT_EQ(max_int(5, 3), 5);
  EXPECT_EQ(max_int(-1, -7), -1);
}

}  // namespace
