// Reading the results file: lines of any ending, two-line records, and the
// loader that reads the whole file into a DynArray of ResultRecord while it
// shows a progress text on the console.
#ifndef RIRAVUVAVU_RESULTS_RESULTS_FILE_H_
#define RIRAVUVAVU_RESULTS_RESULTS_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

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

// ---- Checked forms ----------------------------------------------------------
// The functions above have no failure path: a line, a copy or the record list
// that cannot be allocated ends them as the end of the file would. These forms
// tell that apart, so that a caller can refuse a reading that is not whole.

enum class ResultsStatus {
  kOk,              // read up to the end of the file
  kOutOfMemory,     // a line, a header copy or the record list did not fit
  kTooManyRecords,  // more records than a count can show
  kReadError,       // the stream reported an error
};

// What a failure is called in a message: "out of memory" and so on.
const char* results_status_text(ResultsStatus status);

// Whether the trimmed line matches the header grammar: zero or more groups of
// name characters (letters, digits, "#"), "=", digits and ";".
bool is_header_line(const char* line);

// As read_line; *line is null at the end of the file and on failure. A file
// that became shorter than a line counted in it ends at what is left.
ResultsStatus read_line_checked(std::FILE* stream, char** line);
// As read_result_record; *record is the end record at the end and on failure.
ResultsStatus read_result_record_checked(std::FILE* stream, ResultRecord* record);
// As load_results. On failure nothing stays allocated: *records is an empty
// array without storage (releasing it is harmless), and the final text is not
// written.
ResultsStatus load_results_checked(const char* path, DynArray* records);

// ---- Streaming scan ---------------------------------------------------------
// The loader's reading without the record list: the file is read in large
// blocks, and each record's value line is handed to a visitor, a batch of them
// at a time, so memory does not grow with the file. The same lines make the same records
// as with read_result_record, and the same texts reach standard output as with
// load_results_checked (progress percentages from the same stream positions).

// A whole value line, inside the text that the visitor gets with it: where it
// starts, how many bytes it has before its terminator (not yet trimmed), and
// the offset of the first byte equal to each of the visitor's marked bytes, or
// its length where there is none. A zero is stored after the line, so that it
// can be read as a C string, and its bytes may be read up to kValueReadAhead
// past that zero.
inline constexpr std::size_t kValueReadAhead = 32;
struct ValueLine {
  std::uint32_t start;
  std::uint32_t length;
  std::uint32_t marked[2];
};

// A piece of a value line too long for a block, as it stands in the file,
// without the terminator. The pieces come in file order; the last may be empty.
struct ValuePiece {
  char* text;
  std::size_t length;
  bool first;
  bool last;
};

// Who takes the value lines, and the two bytes that the scan looks for in
// each whole one on the way, since it looks at every byte anyway. Whole lines
// are taken in two steps, so that two threads can read two stretches of the
// file at once: digest_lines, which keeps no state and may run on any thread,
// turns each line into a 32-bit digest and, for some lines, a 64-bit extra
// (in line order; it returns how many); take_digests then keeps digests and
// their extras in file order and returns how many digests it kept, all of them
// unless it could not keep the next (out of memory). take_piece returns false
// in that case. Either ends the scan with kOutOfMemory.
struct ValueVisitor {
  std::size_t (*digest_lines)(const char* text, std::span<const ValueLine> lines,
                              std::uint32_t* digests, std::uint64_t* extras);
  std::size_t (*take_digests)(void* context, std::span<const std::uint32_t> digests,
                              std::span<const std::uint64_t> extras);
  bool (*take_piece)(void* context, const ValuePiece& piece);
  void* context;
  char marked_bytes[2];
};

// Bytes read at a time. Smaller blocks serve tests of lines across blocks.
inline constexpr std::size_t kScanBlockSize = std::size_t{1} << 18;

// Scans the file at path; the visitor sees every value line. On failure the
// final text is not written; the visitor may have seen part of the file.
ResultsStatus scan_results(const char* path, const ValueVisitor& visitor,
                           std::size_t block_size = kScanBlockSize);

#endif  // RIRAVUVAVU_RESULTS_RESULTS_FILE_H_
