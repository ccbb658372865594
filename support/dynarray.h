// DynArray: a growable array of fixed-size elements with a fill-ratio capacity
// policy and an optional mirror of its storage address.
//
// The record is returned and released by value and changed by address. The
// array copies elements as raw bytes and never looks inside them: an element
// that owns memory is released by the caller before it is removed.
//
// Allocation failure: no operation reports it through its result. An
// operation whose block cannot be allocated leaves the array as it was (an
// append then stores nothing and `count` does not move; `dynarray_append_slot`
// returns null). A made array whose first block cannot be allocated has a null
// `data` and `capacity` 0; appending to it tries again.
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
DynArray dynarray_clone(DynArray source);
// Returns the previously installed mirror (null the first time).
void** dynarray_set_mirror(DynArray* array, void** mirror);
// Returns the index at which the element now stands. The element may lie
// inside the array's own block.
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
