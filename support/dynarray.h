// DynArray: a growable array of fixed-size elements with a fill-ratio capacity
// policy and an optional mirror of its storage address.
//
// The record is returned and released by value and changed by address. The
// array copies elements as raw bytes and never looks inside them: an element
// that owns memory is released by the caller before it is removed.
//
// Allocation failure: no operation reports it through its result. A block
// cannot be had when the heap refuses it or when capacity x element_size does
// not fit a size_t. An operation whose block cannot be had leaves the array as
// it was: an append then stores nothing and `count` does not move (callers
// compare `count`), `dynarray_append_slot` returns null, a removal keeps the
// larger block, and `dynarray_clear` keeps the old block with `count` 0. A made
// array whose block cannot be had has a null `data`, `capacity` 0 and `count`
// 0; appending to it tries again.
//
// `min_fill_percent` is meant to lie in 0 <= p < 100; the array files replace
// any other stored value with the default 60.0.
#ifndef RIRAVUVAVU_SUPPORT_DYNARRAY_H_
#define RIRAVUVAVU_SUPPORT_DYNARRAY_H_

#include <cstdint>

struct DynArray {
  void* data;           // capacity x element_size bytes from the C heap
  void** mirror;        // caller's variable kept equal to data, or null
  std::uint32_t count;  // elements in use
  std::uint32_t capacity;
  std::uint32_t min_capacity;
  std::uint32_t element_size;
  float min_fill_percent;  // fill at or below which a removal shrinks
};

DynArray dynarray_create(std::uint32_t element_size);
// Returns an array of `count` zero-filled elements with the given settings and
// the capacity a resize for that count aims at, the count taken exactly. What
// the array readers build before they fill the slots.
DynArray dynarray_create_sized(std::uint32_t element_size, std::uint32_t count,
                               std::uint32_t min_capacity, float min_fill_percent);
DynArray dynarray_clone(DynArray source);
// Returns the previously installed mirror (null the first time).
void** dynarray_set_mirror(DynArray* array, void** mirror);
// Returns the index at which the element now stands (the count before the
// call; on failure that unchanged count). The element may lie inside the
// array's own block.
std::uint32_t dynarray_append(DynArray* array, const void* element);
// Returns the new, uninitialised last slot, or null when it cannot be had.
void* dynarray_append_slot(DynArray* array);
// Returns the index of the last element equal to the key, or -1.
std::int32_t dynarray_find(DynArray* array, const void* key);
void dynarray_sort(DynArray* array, int (*compare)(const void*, const void*));
void dynarray_remove_swap(DynArray* array, std::uint32_t index);
void dynarray_remove_ordered(DynArray* array, std::uint32_t index);
void dynarray_remove_value(DynArray* array, const void* key);
void dynarray_clear(DynArray* array);
// REQUIRES: the record itself lives in a block of the C heap.
void dynarray_destroy(DynArray* array);
void dynarray_release(DynArray array);

std::int32_t max_int(std::int32_t a, std::int32_t b);

#endif  // RIRAVUVAVU_SUPPORT_DYNARRAY_H_
