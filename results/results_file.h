// Reading the results file: lines of any ending, two-line records, and the
// loader that reads the whole file into a DynArray of ResultRecord while it
// shows a progress text on the console.
#ifndef RIRAVUVAVU_RESULTS_RESULTS_FILE_H_
#define RIRAVUVAVU_RESULTS_RESULTS_FILE_H_

#include <cstddef>
#include <cstdio>

#include "support/dynarray.h"

// One record of the results file. The receiver owns both strings and frees
// each with free(). The end record has every field zero.
struct ResultRecord {
  char* header_line;  // exact copy of the trimmed header line
  char* value_line;   // the trimmed value line (its allocation may be longer)
  double value_number;
};

// Returns a new string holding the next line without its terminator, owned by
// the caller, or null at the end of the file.
char* read_line(std::FILE* stream);
// Removes trailing bytes 1 to 32 in place and returns the same string.
char* trim_trailing(char* text);
// Stores a new exact copy of source in *copy; returns source's length.
std::size_t duplicate_string(char** copy, const char* source);
// Returns the next record by value, or the end record (header_line null).
ResultRecord read_result_record(std::FILE* stream);
// Reads every record of the file at path, showing the loader's texts on
// standard output. Returns the records in file order; the caller owns them.
DynArray load_results(const char* path);

#endif  // RIRAVUVAVU_RESULTS_RESULTS_FILE_H_
