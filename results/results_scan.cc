// The streaming scan of the results file: the reading rules of the line and
// record readers, applied to large blocks of the file instead of one byte at
// a time, with nothing kept but the block.
//
// A line that ends inside the buffer is handled whole. One that does not is
// moved to the front of the buffer and the rest of the buffer is filled; only
// a line longer than the whole buffer is handled in pieces: while a header is
// sought its grammar is followed piece by piece, and a value line goes to the
// visitor piece by piece.
#include <array>
#include <bit>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "console/console.h"
#include "platform/platform.h"
#include "results/results_file.h"

namespace {

constexpr std::uint32_t kProgressEvery = 100;
// Room to look at the byte after a CR at the end of the buffer.
constexpr std::size_t kMinBlockSize = 2;

// Character classes of the header grammar, C locale on the unsigned byte,
// one table look-up per byte.
constexpr unsigned char kNameClass = 1;
constexpr unsigned char kDigitClass = 2;
constexpr auto kClasses = [] {
  std::array<unsigned char, 256> classes{};
  for (int byte = '0'; byte <= '9'; ++byte) classes[byte] = kNameClass | kDigitClass;
  for (int byte = 'A'; byte <= 'Z'; ++byte) classes[byte] = kNameClass;
  for (int byte = 'a'; byte <= 'z'; ++byte) classes[byte] = kNameClass;
  classes['#'] = kNameClass;
  return classes;
}();
bool is_digit(unsigned char byte) {
  return (kClasses[byte] & kDigitClass) != 0;
}
bool is_name_character(unsigned char byte) {
  return (kClasses[byte] & kNameClass) != 0;
}
// Bytes that trimming removes; 0 ends every line before it.
bool is_trimmed(unsigned char byte) {
  return byte <= ' ';
}

// Sixteen bytes compared at once; GCC and Clang turn these into the target's
// vector instructions (SSE2 on x86-64, NEON on ARM).
using Bytes16 = unsigned char __attribute__((vector_size(16)));
// What comparing two of them gives: all ones in each lane that holds.
using Lanes16 = decltype(std::declval<Bytes16>() == std::declval<Bytes16>());

// Index of the first byte of the 16 whose lane in `hits` is set, or 16.
std::size_t first_hit(Lanes16 hits) {
  std::uint64_t words[2];
  std::memcpy(words, &hits, sizeof words);
  for (std::size_t half = 0; half < 2; ++half) {
    if (words[half] == 0) continue;
    const int bit = std::endian::native == std::endian::little ? std::countr_zero(words[half])
                                                               : std::countl_zero(words[half]);
    return half * 8 + static_cast<std::size_t>(bit) / 8;
  }
  return 16;
}

// Index of the first line end byte (NUL, LF or CR) in text[0, length), or
// length when there is none.
std::size_t find_line_end(const char* text, std::size_t length) {
  std::size_t at = 0;
  for (; at + 16 <= length; at += 16) {
    Bytes16 bytes;
    std::memcpy(&bytes, text + at, sizeof bytes);
    const Lanes16 hits = (bytes == 0) | (bytes == '\n') | (bytes == '\r');
    const std::size_t hit = first_hit(hits);
    if (hit < 16) return at + hit;
  }
  for (; at < length; ++at) {
    const char byte = text[at];
    if (byte == '\0' || byte == '\n' || byte == '\r') return at;
  }
  return length;
}

// Index of the first byte in text[0, length) that is no name character.
std::size_t skip_name_characters(const char* text, std::size_t length) {
  std::size_t at = 0;
  for (; at + 16 <= length; at += 16) {
    Bytes16 bytes;
    std::memcpy(&bytes, text + at, sizeof bytes);
    const Bytes16 lower = bytes | 0x20;
    const Lanes16 names =
        ((bytes >= '0') & (bytes <= '9')) | ((lower >= 'a') & (lower <= 'z')) | (bytes == '#');
    const std::size_t miss = first_hit(~names);
    if (miss < 16) return at + miss;
  }
  while (at < length && is_name_character(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

// Whether a whole line is a header: its trimmed text is groups of name
// characters, "=", digits and ";".
bool is_header_span(const char* line, std::size_t length) {
  while (length > 0 && is_trimmed(static_cast<unsigned char>(line[length - 1]))) --length;
  if (length == 0) return true;
  // Every group ends in ";", which also stops the runs below inside the line.
  if (line[length - 1] != ';') return false;
  const auto* cursor = reinterpret_cast<const unsigned char*>(line);
  const auto* const end = cursor + length;
  while (cursor < end) {
    while (is_name_character(*cursor)) ++cursor;
    if (*cursor++ != '=') return false;
    while (is_digit(*cursor)) ++cursor;
    if (*cursor++ != ';') return false;
  }
  return true;
}

// The header grammar followed across the pieces of a long line. Bytes that
// trimming would remove may only follow a complete group.
enum class HeaderCheck : unsigned char { kGroupStart, kName, kNumber, kTrailing, kFailed };

HeaderCheck check_header_piece(HeaderCheck state, const char* text, std::size_t length) {
  std::size_t at = 0;
  while (at < length && state != HeaderCheck::kFailed) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (is_trimmed(byte)) {
      state = state == HeaderCheck::kGroupStart || state == HeaderCheck::kTrailing
                  ? HeaderCheck::kTrailing
                  : HeaderCheck::kFailed;
      ++at;
      continue;
    }
    switch (state) {
      case HeaderCheck::kGroupStart:
      case HeaderCheck::kName:
        if (is_name_character(byte)) {
          at += skip_name_characters(text + at, length - at);
          state = HeaderCheck::kName;
          continue;
        }
        state = byte == '=' ? HeaderCheck::kNumber : HeaderCheck::kFailed;
        break;
      case HeaderCheck::kNumber:
        if (byte == ';') {
          state = HeaderCheck::kGroupStart;
        } else if (!is_digit(byte)) {
          state = HeaderCheck::kFailed;
        }
        break;
      case HeaderCheck::kTrailing:
      case HeaderCheck::kFailed:
        state = HeaderCheck::kFailed;
        break;
    }
    ++at;
  }
  return state;
}

// The loader's texts. A progress text goes out in one write; the carriage
// return that ends it travels with the next text, so the bytes and their
// order on standard output are those of the loader, in half the writes.
class LoaderTexts {
 public:
  LoaderTexts(const char* path, std::int64_t size) : path_(path), size_(size) {
    const int length = std::snprintf(prefix_, sizeof prefix_, "\rLoading '%s'... ", path);
    prefix_length_ = length > 0 && static_cast<std::size_t>(length) < sizeof prefix_
                         ? static_cast<std::size_t>(length)
                         : 0;
  }

  void progress(std::uint32_t count, std::int64_t position) {
    double percent = 100.0;
    if (size_ > 0 && position >= 0) {
      percent = static_cast<double>(100.0L * static_cast<long double>(position) /
                                    static_cast<long double>(size_));
    }
    const char* const opening = carriage_return();
    char text[sizeof prefix_ + 64];
    if (!write(text, progress_text(text, sizeof text, *opening != '\0', count, percent))) {
      std::printf("%sLoading '%s'... %d (%.1f%%)", opening, path_, static_cast<int>(count),
                  percent);
    }
    console_clear_to_eol();
    return_pending_ = true;
  }

  void finish(std::uint32_t count) {
    const char* const opening = carriage_return();
    char text[512];
    const int length = std::snprintf(text, sizeof text, "%sLoading '%s'... OK (%d results)\n",
                                     opening, path_, static_cast<int>(count));
    if (!write(text, length)) {
      std::printf("%sLoading '%s'... OK (%d results)\n", opening, path_, static_cast<int>(count));
    }
  }

  // A reading that fails still ends its last progress text as the loader does.
  void abandon() {
    if (return_pending_) std::fputs("\r", stdout);
    return_pending_ = false;
  }

 private:
  const char* carriage_return() {
    const char* const text = return_pending_ ? "\r" : "";
    return_pending_ = false;
    return text;
  }

  // Writes a formatted text in one call; false when it did not fit the local
  // buffer (a very long path), and the caller prints it directly.
  static bool write(const char* text, int length) {
    if (length < 0 || static_cast<std::size_t>(length) >= 512) return false;
    std::fwrite(text, 1, static_cast<std::size_t>(length), stdout);
    return true;
  }

  // The progress text in text[0, capacity): "%sLoading '%s'... %d (%.1f%%)"
  // by hand, for it is written a hundred thousand times a gigabyte; to_chars
  // gives the digits that printf gives. -1 when it does not fit.
  int progress_text(char* text, std::size_t capacity, bool opening, std::uint32_t count,
                    double percent) const {
    if (prefix_length_ == 0) return -1;
    const std::size_t skip = opening ? 0 : 1;  // the prefix begins with "\r"
    const std::size_t length = prefix_length_ - skip;
    std::memcpy(text, prefix_ + skip, length);
    char* const end = text + capacity;
    const auto [count_end, count_error] =
        std::to_chars(text + length, end, static_cast<int>(count));
    if (count_error != std::errc{} || end - count_end < 2) return -1;
    char* at = count_end;
    *at++ = ' ';
    *at++ = '(';
    const auto [percent_end, percent_error] =
        std::to_chars(at, end, percent, std::chars_format::fixed, 1);
    if (percent_error != std::errc{} || end - percent_end < 2) return -1;
    at = percent_end;
    *at++ = '%';
    *at++ = ')';
    return static_cast<int>(at - text);
  }

  const char* path_;
  std::int64_t size_;
  char prefix_[512];
  std::size_t prefix_length_ = 0;  // 0 when the path does not fit
  bool return_pending_ = false;
};

class Scanner {
 public:
  Scanner(std::FILE* stream, char* buffer, std::size_t capacity, LoaderTexts* texts,
          ValuePieceVisitor visit, void* context)
      : stream_(stream),
        buffer_(buffer),
        capacity_(capacity),
        texts_(texts),
        visit_(visit),
        context_(context) {}

  ResultsStatus run();
  std::uint32_t count() const { return count_; }

 private:
  bool refill();
  bool whole_line(char* line, std::size_t length, std::int64_t next_line);
  bool line_piece(char* text, std::size_t length);
  bool end_long_line(char* text, std::size_t length, std::int64_t next_line);
  bool value_piece(char* text, std::size_t length, bool first, bool last);
  bool count_record(std::int64_t next_line);

  std::FILE* stream_;
  char* buffer_;  // capacity_ + 1 bytes: room for a zero after a last line
  std::size_t capacity_;
  LoaderTexts* texts_;
  ValuePieceVisitor visit_;
  void* context_;

  std::size_t begin_ = 0;           // first byte not yet taken
  std::size_t end_ = 0;             // bytes in the buffer
  std::int64_t buffer_offset_ = 0;  // file position of buffer_[0]
  bool file_ended_ = false;
  ResultsStatus status_ = ResultsStatus::kOk;

  bool header_held_ = false;
  bool long_line_ = false;  // part of the current line was taken already
  HeaderCheck header_check_ = HeaderCheck::kGroupStart;
  std::uint32_t count_ = 0;
};

// Keeps the bytes not yet taken, at the front, and fills the buffer behind
// them. A read that falls short has met the end of the file as it stands.
bool Scanner::refill() {
  const std::size_t kept = end_ - begin_;
  if (begin_ > 0 && kept > 0) std::memmove(buffer_, buffer_ + begin_, kept);
  buffer_offset_ += static_cast<std::int64_t>(begin_);
  begin_ = 0;
  end_ = kept;
  const std::size_t wanted = capacity_ - kept;
  const std::size_t got = std::fread(buffer_ + end_, 1, wanted, stream_);
  end_ += got;
  if (got < wanted) {
    if (std::ferror(stream_)) {
      status_ = ResultsStatus::kReadError;
      return false;
    }
    file_ended_ = true;
  }
  return true;
}

ResultsStatus Scanner::run() {
  for (;;) {
    char* const text = buffer_ + begin_;
    const std::size_t available = end_ - begin_;
    const std::size_t line_end = find_line_end(text, available);

    if (line_end < available) {
      std::size_t terminator = 1;
      if (text[line_end] == '\r') {
        if (line_end + 1 < available) {
          terminator = text[line_end + 1] == '\n' ? 2 : 1;
        } else if (!file_ended_) {
          // The byte after the CR decides where the next line starts.
          if (begin_ == 0 && end_ == capacity_) {
            if (!line_piece(text, line_end)) return status_;
            begin_ += line_end;
          }
          if (!refill()) return status_;
          continue;
        } else if (line_end == 0 && !long_line_) {
          // An empty line ended by a CR that is the file's last byte is the
          // end of the file.
          return status_;
        }
      }
      const std::int64_t next_line =
          buffer_offset_ + static_cast<std::int64_t>(begin_ + line_end + terminator);
      const bool ok = long_line_ ? end_long_line(text, line_end, next_line)
                                 : whole_line(text, line_end, next_line);
      if (!ok) return status_;
      begin_ += line_end + terminator;
      continue;
    }

    if (file_ended_) {
      // A last line without a terminator.
      const std::int64_t next_line = buffer_offset_ + static_cast<std::int64_t>(end_);
      if (long_line_) {
        end_long_line(text, available, next_line);
      } else if (available > 0) {
        whole_line(text, available, next_line);
      }
      return status_;
    }
    if (begin_ == 0 && end_ == capacity_) {
      // The line fills the buffer: take what there is and read on.
      if (!line_piece(text, available)) return status_;
      begin_ = end_;
    }
    if (!refill()) return status_;
  }
}

bool Scanner::whole_line(char* line, std::size_t length, std::int64_t next_line) {
  if (!header_held_) {
    header_held_ = is_header_span(line, length);
    return true;
  }
  header_held_ = false;
  line[length] = '\0';
  return value_piece(line, length, true, true) && count_record(next_line);
}

bool Scanner::line_piece(char* text, std::size_t length) {
  const bool first = !long_line_;
  long_line_ = true;
  if (!header_held_) {
    if (first) header_check_ = HeaderCheck::kGroupStart;
    header_check_ = check_header_piece(header_check_, text, length);
    return true;
  }
  return value_piece(text, length, first, false);
}

bool Scanner::end_long_line(char* text, std::size_t length, std::int64_t next_line) {
  long_line_ = false;
  if (!header_held_) {
    header_check_ = check_header_piece(header_check_, text, length);
    header_held_ =
        header_check_ == HeaderCheck::kGroupStart || header_check_ == HeaderCheck::kTrailing;
    return true;
  }
  header_held_ = false;
  return value_piece(text, length, false, true) && count_record(next_line);
}

bool Scanner::value_piece(char* text, std::size_t length, bool first, bool last) {
  if (last && count_ >= static_cast<std::uint32_t>(INT_MAX)) {
    status_ = ResultsStatus::kTooManyRecords;
    return false;
  }
  if (!visit_(context_, ValuePiece{text, length, first, last})) {
    status_ = ResultsStatus::kOutOfMemory;
    return false;
  }
  return true;
}

bool Scanner::count_record(std::int64_t next_line) {
  ++count_;
  if (count_ % kProgressEvery == 0) texts_->progress(count_, next_line);
  return true;
}

}  // namespace

ResultsStatus scan_results(const char* path, ValuePieceVisitor visit, void* context,
                           std::size_t block_size) {
  std::printf("Loading '%s'...", path);
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::printf("Loading '%s'... File empty", path);
    return ResultsStatus::kOk;
  }
  // Blocks go straight from the file into our buffer.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  platform_seek(stream, 0, SEEK_END);
  const std::int64_t size = platform_tell(stream);
  std::rewind(stream);

  const std::size_t capacity = block_size < kMinBlockSize ? kMinBlockSize : block_size;
  char* buffer = capacity < SIZE_MAX ? static_cast<char*>(std::malloc(capacity + 1)) : nullptr;
  if (buffer == nullptr) {
    std::fclose(stream);
    return ResultsStatus::kOutOfMemory;
  }
  LoaderTexts texts(path, size);
  Scanner scanner(stream, buffer, capacity, &texts, visit, context);
  const ResultsStatus status = scanner.run();
  std::free(buffer);
  std::fclose(stream);
  if (status != ResultsStatus::kOk) {
    texts.abandon();
    return status;
  }
  texts.finish(scanner.count());
  return ResultsStatus::kOk;
}
