// The line reader, the record reader and the loader of the results file, read
// through a C library stream the way the monitor has always read it: each line
// counted byte by byte, then read again as one block.
#include "results/results_file.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "platform/platform.h"

namespace {

// A block read that delivers less than was counted is tried this many times
// in all; the file was cut short after the count if it still falls short.
constexpr int kBlockReadAttempts = 3;

constexpr int kProgressEvery = 100;

bool is_terminator(int byte) {
  return byte == 0 || byte == '\n' || byte == '\r';
}

// C-locale classes on the unsigned byte; bytes 128-255 are in none.
bool is_digit(unsigned char byte) {
  return byte >= '0' && byte <= '9';
}
bool is_name_character(unsigned char byte) {
  return is_digit(byte) || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         byte == '#';
}

// Reads the `length` counted bytes of the line at `start` into `buffer`. A
// read that falls short is repeated from the seek on, a few times: a file
// that only grows shows the same bytes again, one that shrank does not, and
// what it still holds of the line is then the rest of the file. Stores the
// bytes delivered in *delivered.
ResultsStatus read_counted_bytes(std::FILE* stream, std::int64_t start, char* buffer,
                                 std::size_t length, std::size_t* delivered) {
  std::size_t got = 0;
  for (int attempt = 0; attempt < kBlockReadAttempts && got < length; ++attempt) {
    if (platform_seek(stream, start, SEEK_SET) != 0) return ResultsStatus::kReadError;
    got = std::fread(buffer, 1, length, stream);
  }
  if (got < length && std::ferror(stream)) return ResultsStatus::kReadError;
  *delivered = got;
  return ResultsStatus::kOk;
}

// The stream position as a percentage of the size taken at opening. A size of
// 0 (the file grew from empty during the load) or a position that cannot be
// had shows 100.0 rather than inf or nan. Worked out at extended precision
// and rounded to double once, like every quantity of the monitor.
double progress_percent(std::int64_t position, std::int64_t size) {
  if (size <= 0 || position < 0) return 100.0;
  return static_cast<double>(100.0L * static_cast<long double>(position) /
                             static_cast<long double>(size));
}

// The progress text with the rest of the row blanked behind it, in one write
// where standard output is the console. A text too long for the buffer (a
// very long path) is printed and cleared in two.
void show_progress(const char* path, int count, double percent) {
  char text[512];
  const int length =
      std::snprintf(text, sizeof text, "Loading '%s'... %d (%.1lf%%)", path, count, percent);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof text) {
    console_print_and_clear_to_eol(text, static_cast<std::size_t>(length));
    return;
  }
  std::printf("Loading '%s'... %d (%.1lf%%)", path, count, percent);
  console_clear_to_eol();
}

void free_record(ResultRecord record) {
  std::free(record.header_line);
  std::free(record.value_line);
}

void free_records(DynArray* records) {
  auto* slots = static_cast<ResultRecord*>(records->data);
  for (std::uint32_t index = 0; index < records->count; ++index) free_record(slots[index]);
  dynarray_release(*records);
  *records = DynArray{};
}

}  // namespace

const char* results_status_text(ResultsStatus status) {
  switch (status) {
    case ResultsStatus::kOk:
      return "no failure";
    case ResultsStatus::kOutOfMemory:
      return "out of memory";
    case ResultsStatus::kTooManyRecords:
      return "too many records";
    case ResultsStatus::kReadError:
      return "read error";
  }
  return "unknown failure";
}

ResultsStatus read_line_checked(std::FILE* stream, char** line) {
  *line = nullptr;
  const std::int64_t start = platform_tell(stream);
  if (start < 0) return ResultsStatus::kReadError;

  std::uint64_t counted = 0;
  int byte = 0;
  while ((byte = std::fgetc(stream)) != EOF && !is_terminator(byte)) ++counted;
  if (byte == EOF && std::ferror(stream)) return ResultsStatus::kReadError;
  // counted + 1 bytes must be a size.
  if (counted >= SIZE_MAX) return ResultsStatus::kOutOfMemory;
  std::size_t length = static_cast<std::size_t>(counted);

  char* buffer = static_cast<char*>(std::malloc(length + 1));
  if (buffer == nullptr) return ResultsStatus::kOutOfMemory;
  ResultsStatus status = ResultsStatus::kOk;
  if (length > 0) {
    status = read_counted_bytes(stream, start, buffer, length, &length);
  } else if (platform_seek(stream, start, SEEK_SET) != 0) {
    status = ResultsStatus::kReadError;
  }
  if (status != ResultsStatus::kOk) {
    std::free(buffer);
    return status;
  }
  buffer[length] = '\0';

  // The terminator: CR LF is one line end, a CR before anything else ends the
  // line alone and the byte after it begins the next line.
  if (std::fgetc(stream) == '\r') {
    const int next = std::fgetc(stream);
    if (next != '\n' && next != EOF) platform_seek(stream, -1, SEEK_CUR);
  }
  if (std::ferror(stream)) {
    std::free(buffer);
    return ResultsStatus::kReadError;
  }
  // The seeks above cleared the end-of-file indicator, so it tells only
  // whether the terminator reads met the end: an empty line there is none.
  if (length == 0 && std::feof(stream)) {
    std::free(buffer);
    return ResultsStatus::kOk;
  }
  *line = buffer;
  return ResultsStatus::kOk;
}

char* read_line(std::FILE* stream) {
  char* line = nullptr;
  read_line_checked(stream, &line);
  return line;
}

char* trim_trailing(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && static_cast<unsigned char>(text[length - 1]) <= ' ') {
    text[--length] = '\0';
  }
  return text;
}

std::size_t duplicate_string(char** copy, const char* source) {
  const std::size_t length = std::strlen(source);
  *copy = static_cast<char*>(std::malloc(length + 1));
  if (*copy != nullptr) std::memcpy(*copy, source, length + 1);
  return length;
}

bool is_header_line(const char* line) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(line);
  while (*cursor != '\0') {
    while (is_name_character(*cursor)) ++cursor;
    if (*cursor != '=') return false;
    ++cursor;
    while (is_digit(*cursor)) ++cursor;
    if (*cursor != ';') return false;
    ++cursor;
  }
  return true;
}

ResultsStatus read_result_record_checked(std::FILE* stream, ResultRecord* record) {
  *record = ResultRecord{};
  if (stream == nullptr) return ResultsStatus::kOk;
  char* pending_header = nullptr;  // set: a header is held
  for (;;) {
    char* line = nullptr;
    const ResultsStatus status = read_line_checked(stream, &line);
    if (status != ResultsStatus::kOk || line == nullptr) {
      std::free(pending_header);
      return status;
    }
    trim_trailing(line);
    if (pending_header != nullptr) {
      *record = ResultRecord{pending_header, line, std::strtod(line, nullptr)};
      return ResultsStatus::kOk;
    }
    if (is_header_line(line)) {
      duplicate_string(&pending_header, line);
      if (pending_header == nullptr) {
        std::free(line);
        return ResultsStatus::kOutOfMemory;
      }
    }
    std::free(line);
  }
}

ResultRecord read_result_record(std::FILE* stream) {
  ResultRecord record{};
  read_result_record_checked(stream, &record);
  return record;
}

ResultsStatus load_results_checked(const char* path, DynArray* records) {
  *records = dynarray_create(sizeof(ResultRecord));
  std::printf("Loading '%s'...", path);
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::printf("Loading '%s'... File empty", path);
    return ResultsStatus::kOk;
  }
  platform_seek(stream, 0, SEEK_END);
  const std::int64_t size = platform_tell(stream);
  std::rewind(stream);

  ResultsStatus status = ResultsStatus::kOk;
  for (;;) {
    ResultRecord record{};
    status = read_result_record_checked(stream, &record);
    if (status != ResultsStatus::kOk || record.header_line == nullptr) break;
    // The count is shown with %d.
    if (records->count >= static_cast<std::uint32_t>(INT_MAX)) {
      free_record(record);
      status = ResultsStatus::kTooManyRecords;
      break;
    }
    const std::uint32_t count_before = records->count;
    dynarray_append(records, &record);
    if (records->count == count_before) {
      free_record(record);
      status = ResultsStatus::kOutOfMemory;
      break;
    }
    const int count = static_cast<int>(records->count);
    if (count % kProgressEvery == 0) {
      show_progress(path, count, progress_percent(platform_tell(stream), size));
      std::fputs("\r", stdout);
    }
  }
  std::fclose(stream);
  if (status != ResultsStatus::kOk) {
    free_records(records);
    return status;
  }
  std::printf("Loading '%s'... OK (%d results)\n", path, static_cast<int>(records->count));
  return ResultsStatus::kOk;
}

DynArray load_results(const char* path) {
  DynArray records{};
  if (load_results_checked(path, &records) != ResultsStatus::kOk) {
    records = dynarray_create(sizeof(ResultRecord));
  }
  return records;
}
