// Array files: a DynArray stored in one of two byte layouts, written to and
// read from a C library stream at its current position, so that an array can
// stand anywhere inside a larger file and several can follow one another.
//
// Both layouts hold little-endian unsigned 32-bit integers on every platform,
// then the elements: the raw bytes of slots 0 .. count - 1, nothing between.
//   full:    count | element_size | min_capacity | min_fill_percent (IEEE 754
//            single) | elements                      (16-byte header)
//   compact: count | element_size as one byte | elements  (5-byte header)
// Neither stores the capacity or the mirror: a read array gets the capacity a
// resize for its count aims at, and no mirror. A compact file reads back with
// the default settings, min_capacity 1 and min_fill_percent 60.0.
//
// Writers neither flush nor close the stream and report nothing. Readers never
// fail: a header cut short, a file that cannot be opened, or a stored count
// whose block cannot be had (or that claims far more than a seekable file
// holds) gives an empty array with the default settings. An element section
// cut short keeps the stored count; the slots the file did not fill are zero.
// A stored min_fill_percent outside 0 <= p < 100, or NaN, reads as 60.0.
#ifndef RIRAVUVAVU_SUPPORT_DYNARRAY_FILE_H_
#define RIRAVUVAVU_SUPPORT_DYNARRAY_FILE_H_

#include <cstdio>

#include "support/dynarray.h"

void dynarray_write_full(const DynArray* array, std::FILE* file);
// Writes nothing for an element size above 255, which one byte cannot hold.
void dynarray_write_compact(const DynArray* array, std::FILE* file);
// Creates or empties the named file and writes the array into it compactly.
void dynarray_save_compact(const DynArray* array, const char* file_name);

DynArray dynarray_read_full(std::FILE* file);
DynArray dynarray_read_compact(std::FILE* file);
DynArray dynarray_load_compact(const char* file_name);

#endif  // RIRAVUVAVU_SUPPORT_DYNARRAY_FILE_H_
