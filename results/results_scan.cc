// The streaming scan of the results file: the reading rules of the line and
// record readers, applied to large blocks of the file instead of one byte at
// a time, with nothing kept but the block.
//
// Each block is first indexed 64 bytes at a time: where its lines end, and
// where the visitor's marked bytes stand. Lines are then taken from the index.
// A line that ends inside the buffer is handled whole. One that does not is
// moved to the front of the buffer and the rest of the buffer is filled; only
// a line longer than the whole buffer is handled in pieces: while a header is
// sought its grammar is followed piece by piece, and a value line goes to the
// visitor piece by piece. Before that, the file as it stood is read on two
// threads in stretches (see JointReading), as far as they can settle it.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "console/console.h"
#include "platform/platform.h"
#include "results/doorbell.h"
#include "results/progress_relay.h"
#include "results/results_file.h"

namespace {

constexpr std::uint32_t kProgressEvery = 100;
// Room to look at the byte after a CR at the end of the buffer; positions in
// the buffer fit 32 bits.
constexpr std::size_t kMinBlockSize = 2;
constexpr std::size_t kMaxBlockSize = std::size_t{1} << 30;

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

// Bytes one bitmap word covers, and what the word-wise reading may touch
// behind the last byte of the buffer.
constexpr std::size_t kWordBytes = 64;
constexpr std::size_t kPadding = kWordBytes;
static_assert(kPadding > kValueReadAhead);

// The hot loops below are written once for vectors of either width, as
// templates inlined into a function of each: the wide one compiled for the
// wide instructions. Vectors go by address, so that no function outside
// those takes a wide one.

// The digits, and the name characters (letters, digits, "#"), among bytes;
// each range is one unsigned comparison, for below its start wraps around.
template <typename Vector, typename Lanes>
[[gnu::always_inline]] inline void name_classes(const Vector& bytes, Lanes* digits, Lanes* names) {
  *digits = static_cast<Vector>(bytes - '0') <= 9;
  const Vector letter_index = (bytes | 0x20) - 'a';
  *names = *digits | (letter_index <= 'z' - 'a') | (bytes == '#');
}

// Index of the first byte in text[0, length) that is no name character.
std::size_t skip_name_characters(const char* text, std::size_t length) {
  std::size_t at = 0;
  for (; at + 16 <= length; at += 16) {
    ByteVector bytes;
    std::memcpy(&bytes, text + at, sizeof bytes);
    ByteLanes digits;
    ByteLanes names;
    name_classes(bytes, &digits, &names);
    const std::uint32_t misses = ~platform_lane_bits(names) & 0xffffu;
    if (misses != 0) return at + static_cast<std::size_t>(std::countr_zero(misses));
  }
  while (at < length && is_name_character(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

// The header grammar on a trimmed line of up to 32 bytes that ends in ";",
// all bytes at once. The separators "=" and ";" must alternate, starting with
// "=", and so bound the numbers: a number runs from an "=" to before the ";"
// that closes it, and only digits may follow the "=" there; between numbers
// only name characters and the closing ";" may stand. Subtracting the "="
// bits from the ";" bits sets exactly the bits of the numbers when the
// separators alternate; when they do not, the bits it sets put a separator
// out of place, and any other byte out of place shows as well.
template <typename Vector>
[[gnu::always_inline]] inline bool short_header(const char* line, std::size_t length) {
  std::uint32_t opening = 0;       // "="
  std::uint32_t closing = 0;       // ";"
  std::uint32_t number_bytes = 0;  // "=" and digits
  std::uint32_t name_bytes = 0;    // ";" and name characters
  for (std::size_t part = 0; part * sizeof(Vector) < length; ++part) {
    Vector bytes;
    std::memcpy(&bytes, line + part * sizeof(Vector), sizeof bytes);
    decltype(bytes == bytes) digits;
    decltype(bytes == bytes) names;
    name_classes(bytes, &digits, &names);
    const auto equals = bytes == '=';
    const auto semicolon = bytes == ';';
    const auto number_lanes = equals | digits;
    const auto name_lanes = semicolon | names;
    const int shift = static_cast<int>(part * sizeof(Vector));
    opening |= platform_lane_bits(equals) << shift;
    closing |= platform_lane_bits(semicolon) << shift;
    number_bytes |= platform_lane_bits(number_lanes) << shift;
    name_bytes |= platform_lane_bits(name_lanes) << shift;
  }
  const std::uint32_t in_number = closing - opening;
  const std::uint32_t misplaced = (in_number & ~number_bytes) | (~in_number & ~name_bytes);
  const std::uint32_t line_bits = length == 32 ? ~0u : (1u << length) - 1;
  return (misplaced & line_bits) == 0;
}

// The grammar byte by byte, for a trimmed line longer than 32 bytes.
bool is_long_header(const char* line, std::size_t length) {
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

// Whether a whole line is a header: its trimmed text is groups of name
// characters, "=", digits and ";". The line may be read up to 32 bytes from
// its start.
template <typename Vector>
[[gnu::always_inline]] inline bool header_span(const char* line, std::size_t length) {
  while (length > 0 && is_trimmed(static_cast<unsigned char>(line[length - 1]))) --length;
  if (length == 0) return true;
  // Every group ends in ";", which also stops the runs inside the line.
  if (line[length - 1] != ';') return false;
  return length <= 32 ? short_header<Vector>(line, length) : is_long_header(line, length);
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
// Progress texts are formatted and written by a relay thread while the scan
// goes on; every one is written before the final text. The texts waiting for
// the relay go out together, in one write where they can: the same bytes, in
// far fewer system calls.
class LoaderTexts {
 public:
  LoaderTexts(const char* path, std::int64_t size)
      : path_(path), size_(size), relay_(show_progress, this) {
    const int length = std::snprintf(prefix_, sizeof prefix_, "\rLoading '%s'... ", path);
    prefix_length_ = length > 0 && static_cast<std::size_t>(length) < sizeof prefix_
                         ? static_cast<std::size_t>(length)
                         : 0;
  }

  void progress(std::uint32_t count, std::int64_t position) {
    relay_.send(ProgressNote{position, count, *carriage_return() != '\0'});
    return_pending_ = true;
  }

  void finish(std::uint32_t count) {
    relay_.finish();
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
    relay_.finish();
    if (return_pending_) std::fputs("\r", stdout);
    return_pending_ = false;
  }

 private:
  const char* carriage_return() {
    const char* const text = return_pending_ ? "\r" : "";
    return_pending_ = false;
    return text;
  }

  static constexpr std::size_t kPrefixCapacity = 512;
  static constexpr std::size_t kTextCapacity = kPrefixCapacity + 64;

  // On the relay's thread, which alone writes to standard output meanwhile;
  // reads only what the constructor set. The texts waiting go out together.
  static void show_progress(void* context, std::span<const ProgressNote> notes) {
    const auto* texts = static_cast<const LoaderTexts*>(context);
    constexpr std::size_t kBatchTexts = 256;
    char batch[kBatchTexts * 64 + kTextCapacity];
    std::size_t lengths[kBatchTexts];
    std::size_t used = 0;
    std::size_t count = 0;
    const auto send = [&] {
      if (count == 0) return;
      console_print_each_and_clear_to_eol(batch, std::span(lengths, count));
      used = count = 0;
    };
    for (const ProgressNote& note : notes) {
      if (count == kBatchTexts || sizeof batch - used < kTextCapacity) send();
      const int length = texts->progress_text(batch + used, kTextCapacity, note);
      if (length >= 0) {
        lengths[count++] = static_cast<std::size_t>(length);
        used += static_cast<std::size_t>(length);
        continue;
      }
      send();
      texts->print_progress(note);
      console_clear_to_eol();
    }
    send();
  }

  double percent_of(const ProgressNote& note) const {
    if (size_ <= 0 || note.position < 0) return 100.0;
    return static_cast<double>(100.0L * static_cast<long double>(note.position) /
                               static_cast<long double>(size_));
  }

  // A progress text too long for the local buffers.
  void print_progress(const ProgressNote& note) const {
    std::printf("%sLoading '%s'... %d (%.1f%%)", note.opening ? "\r" : "", path_,
                static_cast<int>(note.count), percent_of(note));
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
  int progress_text(char* text, std::size_t capacity, const ProgressNote& note) const {
    if (prefix_length_ == 0) return -1;
    const std::size_t skip = note.opening ? 0 : 1;  // the prefix begins with "\r"
    const std::size_t length = prefix_length_ - skip;
    std::memcpy(text, prefix_ + skip, length);
    char* const end = text + capacity;
    const auto [count_end, count_error] =
        std::to_chars(text + length, end, static_cast<int>(note.count));
    if (count_error != std::errc{} || end - count_end < 2) return -1;
    char* at = count_end;
    *at++ = ' ';
    *at++ = '(';
    const auto [percent_end, percent_error] =
        std::to_chars(at, end, percent_of(note), std::chars_format::fixed, 1);
    if (percent_error != std::errc{} || end - percent_end < 2) return -1;
    at = percent_end;
    *at++ = '%';
    *at++ = ')';
    return static_cast<int>(at - text);
  }

  const char* path_;
  std::int64_t size_;
  char prefix_[kPrefixCapacity];
  std::size_t prefix_length_ = 0;  // 0 when the path does not fit
  bool return_pending_ = false;
  ProgressRelay relay_;
};

// Counts records that the visitor kept after `count` before; every hundredth
// shows its progress text, with the file position of the line after it
// (next_line_of takes the record's place among them, from 1). Returns the new
// count.
template <typename NextLine>
std::uint32_t count_records(LoaderTexts* texts, std::uint32_t count, std::size_t records,
                            const NextLine& next_line_of) {
  for (std::size_t record = kProgressEvery - count % kProgressEvery; record <= records;
       record += kProgressEvery) {
    texts->progress(count + static_cast<std::uint32_t>(record), next_line_of(record));
  }
  return count + static_cast<std::uint32_t>(records);
}

// A block's bitmaps for 64 bytes: where lines end, and where the visitor's
// two marked bytes stand.
struct IndexWord {
  std::uint64_t line_ends;
  std::uint64_t marks[2];
};

template <typename Vector>
[[gnu::always_inline]] inline void index_words_of(const char* text, std::size_t words,
                                                  const char marked_bytes[2], IndexWord* out) {
  const auto first = static_cast<unsigned char>(marked_bytes[0]);
  const auto second = static_cast<unsigned char>(marked_bytes[1]);
  for (std::size_t word = 0; word < words; ++word) {
    IndexWord bits{};
    for (std::size_t part = 0; part < kWordBytes / sizeof(Vector); ++part) {
      Vector bytes;
      std::memcpy(&bytes, text + word * kWordBytes + part * sizeof(Vector), sizeof bytes);
      const auto line_end_lanes = (bytes == 0) | (bytes == '\n') | (bytes == '\r');
      const auto first_lanes = bytes == first;
      const auto second_lanes = bytes == second;
      const std::size_t shift = part * sizeof(Vector);
      bits.line_ends |= std::uint64_t{platform_lane_bits(line_end_lanes)} << shift;
      bits.marks[0] |= std::uint64_t{platform_lane_bits(first_lanes)} << shift;
      bits.marks[1] |= std::uint64_t{platform_lane_bits(second_lanes)} << shift;
    }
    out[word] = bits;
  }
}

void index_words(const char* text, std::size_t words, const char marked_bytes[2], IndexWord* out) {
  index_words_of<ByteVector>(text, words, marked_bytes, out);
}
PLATFORM_WIDE_VECTORS void index_words_wide(const char* text, std::size_t words,
                                            const char marked_bytes[2], IndexWord* out) {
  index_words_of<WideByteVector>(text, words, marked_bytes, out);
}

// Where the lines of a block end and where the visitor's two marked bytes
// stand: three bitmaps, a bit for each byte, found 64 bytes at a time. Each
// word of 64 bytes keeps its word of every bitmap together, since a line's
// words of all three are used at once.
class BlockIndex {
 public:
  BlockIndex() = default;
  BlockIndex(const BlockIndex&) = delete;
  BlockIndex& operator=(const BlockIndex&) = delete;
  ~BlockIndex() { std::free(bitmaps_); }

  bool reserve(std::size_t capacity) {
    // One word more than a full buffer needs, for the window in find_marked.
    const std::size_t words = capacity / kWordBytes + 2;
    bitmaps_ = static_cast<IndexWord*>(std::calloc(words, sizeof(IndexWord)));
    return bitmaps_ != nullptr;
  }

  // Indexes text[0, length); the bytes up to the next multiple of 64 may be
  // read but count for nothing.
  void build(const char* text, std::size_t length, const char marked_bytes[2], bool wide) {
    index_from(0, text, length, marked_bytes, wide);
  }

  // Indexes the bytes added behind an indexed text[0, old_length).
  void extend(const char* text, std::size_t old_length, std::size_t length,
              const char marked_bytes[2], bool wide) {
    index_from(old_length / kWordBytes, text, length, marked_bytes, wide);
  }

  std::size_t words() const { return words_; }
  std::uint64_t line_ends(std::size_t word) const { return bitmaps_[word].line_ends; }

  // The first position in [from, to) of each marked byte, or `to`; from <= to.
  void find_marked(std::size_t from, std::size_t to, std::size_t found[2]) const {
    const std::size_t length = to - from;
    if (length <= kWordBytes) {
      // The usual short line: a window of 64 bits from `from` on, which may
      // take bits of the next word, holds it whole.
      const std::size_t word = from / kWordBytes;
      const std::size_t shift = from % kWordBytes;
      for (int mark = 0; mark < 2; ++mark) {
        const std::uint64_t window =
            bitmaps_[word].marks[mark] >> shift | bitmaps_[word + 1].marks[mark]
                                                      << 1 << (kWordBytes - 1 - shift);
        found[mark] = from + std::min<std::size_t>(std::countr_zero(window), length);
      }
      return;
    }
    const std::size_t last_word = (to - 1) / kWordBytes;
    std::size_t word = from / kWordBytes;
    const std::uint64_t inside = ~std::uint64_t{0} << (from % kWordBytes);
    std::uint64_t first = bitmaps_[word].marks[0] & inside;
    std::uint64_t second = bitmaps_[word].marks[1] & inside;
    std::size_t first_word = word;
    std::size_t second_word = word;
    while (word < last_word && (first == 0 || second == 0)) {
      ++word;
      if (first == 0) {
        first = bitmaps_[word].marks[0];
        first_word = word;
      }
      if (second == 0) {
        second = bitmaps_[word].marks[1];
        second_word = word;
      }
    }
    found[0] = first == 0 ? to : std::min(to, first_word * kWordBytes + std::countr_zero(first));
    found[1] = second == 0 ? to : std::min(to, second_word * kWordBytes + std::countr_zero(second));
  }

 private:
  void index_from(std::size_t first_word, const char* text, std::size_t length,
                  const char marked_bytes[2], bool wide) {
    words_ = (length + kWordBytes - 1) / kWordBytes;
    const char* const from = text + first_word * kWordBytes;
    if (wide) {
      index_words_wide(from, words_ - first_word, marked_bytes, bitmaps_ + first_word);
    } else {
      index_words(from, words_ - first_word, marked_bytes, bitmaps_ + first_word);
    }
    const std::size_t rest = length % kWordBytes;
    if (rest != 0) bitmaps_[words_ - 1].line_ends &= (std::uint64_t{1} << rest) - 1;
  }

  IndexWord* bitmaps_ = nullptr;
  std::size_t words_ = 0;
};

// The whole value line buffer[start, end) of an indexed buffer, with where its
// marked bytes stand. Its terminator becomes a NUL, so that the visitor reads
// it as a C string.
[[gnu::always_inline]] inline ValueLine take_value_line(const BlockIndex& index, char* buffer,
                                                        std::size_t start, std::size_t end) {
  std::size_t found[2];
  index.find_marked(start, end, found);
  buffer[end] = '\0';
  return ValueLine{
      static_cast<std::uint32_t>(start),
      static_cast<std::uint32_t>(end - start),
      {static_cast<std::uint32_t>(found[0] - start), static_cast<std::uint32_t>(found[1] - start)}};
}

class Scanner {
 public:
  Scanner(std::FILE* stream, char* buffer, std::size_t capacity, BlockIndex* index,
          LoaderTexts* texts, const ValueVisitor& visitor)
      : stream_(stream),
        buffer_(buffer),
        capacity_(capacity),
        index_(index),
        texts_(texts),
        visitor_(visitor) {}

  // Goes on from a line start that a reading before reached, the stream
  // positioned there.
  void resume(std::int64_t position, bool header_held, std::uint32_t count) {
    buffer_offset_ = position;
    header_held_ = header_held;
    count_ = count;
  }
  ResultsStatus run();
  std::uint32_t count() const { return count_; }

 private:
  static constexpr std::size_t kNoCarriageReturn = SIZE_MAX;

  // Why the line walk stopped: the buffer holds no more whole lines, or the
  // next line needs what the walk leaves to its caller, so that the walk
  // makes no calls that would push its state out of registers.
  enum class Walk { kBufferDone, kNeedsRoom, kLongLineEnds };

  bool refill();
  Walk take_lines(std::size_t* held_return);
  Walk take_lines_wide(std::size_t* held_return);
  template <typename Vector>
  [[gnu::always_inline]] inline Walk take_lines_of(std::size_t* held_return);
  bool whole_line(std::size_t start, std::size_t length, std::size_t next_line);
  bool make_room();
  [[gnu::always_inline]] inline void add_value_line(std::size_t start, std::size_t length,
                                                    std::size_t next_line);
  bool end_long_line_here();
  bool pass_lines();
  bool line_piece(char* text, std::size_t length);
  bool end_long_line(char* text, std::size_t length, std::int64_t next_line);
  bool value_piece(const ValuePiece& piece);

  std::FILE* stream_;
  char* buffer_;  // capacity_ + kPadding bytes
  std::size_t capacity_;
  BlockIndex* index_;
  LoaderTexts* texts_;
  ValueVisitor visitor_;
  const bool wide_ = platform_has_wide_vectors();

  std::size_t begin_ = 0;           // first byte not yet taken
  std::size_t end_ = 0;             // bytes in the buffer
  std::int64_t buffer_offset_ = 0;  // file position of buffer_[0]
  bool file_ended_ = false;
  bool scan_over_ = false;
  ResultsStatus status_ = ResultsStatus::kOk;

  bool header_held_ = false;
  bool long_line_ = false;         // part of the current line was taken already
  std::size_t long_line_end_ = 0;  // where it ends in the buffer, and its terminator's length
  std::size_t long_line_terminator_ = 0;
  HeaderCheck header_check_ = HeaderCheck::kGroupStart;
  std::uint32_t count_ = 0;

  // Whole value lines found and not yet passed on, with where the line after
  // each starts in the buffer.
  static constexpr std::size_t kBatchLines = 512;
  std::size_t batched_ = 0;
  ValueLine batch_[kBatchLines];
  std::uint32_t batch_next_lines_[kBatchLines];
  std::uint32_t batch_digests_[kBatchLines];
  std::uint64_t batch_extras_[kBatchLines];
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
    if (!refill()) return status_;
    index_->build(buffer_, end_, visitor_.marked_bytes, wide_);
    std::size_t held_return = kNoCarriageReturn;
    for (;;) {
      const Walk walk = wide_ ? take_lines_wide(&held_return) : take_lines(&held_return);
      if (walk == Walk::kBufferDone) break;
      if (!(walk == Walk::kNeedsRoom ? make_room() : end_long_line_here())) return status_;
    }
    // The buffer is about to change: the lines found in it go on first.
    if (!pass_lines() || scan_over_) return status_;

    char* const text = buffer_ + begin_;
    const std::size_t available = end_ - begin_;
    if (file_ended_) {
      // A last line without a terminator.
      const std::int64_t next_line = buffer_offset_ + static_cast<std::int64_t>(end_);
      if (long_line_) {
        end_long_line(text, available, next_line);
      } else if (available > 0 && whole_line(begin_, available, end_)) {
        pass_lines();
      }
      return status_;
    }
    if (begin_ == 0 && end_ == capacity_) {
      // The line fills the buffer: take what there is and read on. A carriage
      // return at the end stays, to be read with the byte after it.
      const std::size_t piece = held_return == kNoCarriageReturn ? available : held_return;
      if (!line_piece(text, piece)) return status_;
      begin_ = piece;
    }
  }
}

// Takes the lines that end inside the buffer, up to a carriage return at its
// very end, whose position goes to *held_return, or up to a line that needs
// more (see Walk); scan_over_ when the file has ended. It may be called again
// after that line was seen to.
Scanner::Walk Scanner::take_lines(std::size_t* held_return) {
  return take_lines_of<ByteVector>(held_return);
}
PLATFORM_WIDE_VECTORS Scanner::Walk Scanner::take_lines_wide(std::size_t* held_return) {
  return take_lines_of<WideByteVector>(held_return);
}

template <typename Vector>
Scanner::Walk Scanner::take_lines_of(std::size_t* held_return) {
  // The state the loop changes lives in locals, so that it stays in registers
  // across the byte stores of the lines; the members get it back when the
  // loop leaves.
  char* const buffer = buffer_;
  const std::size_t words = index_->words();
  std::size_t begin = begin_;
  bool header_held = header_held_;
  const auto leave = [&](Walk result) {
    begin_ = begin;
    header_held_ = header_held;
    return result;
  };
  for (std::size_t word = begin / kWordBytes; word < words; ++word) {
    for (std::uint64_t ends = index_->line_ends(word); ends != 0; ends &= ends - 1) {
      const std::size_t line_end =
          word * kWordBytes + static_cast<std::size_t>(std::countr_zero(ends));
      if (line_end < begin) continue;  // the LF of a CR LF
      char* const text = buffer + begin;
      const std::size_t length = line_end - begin;
      std::size_t terminator = 1;
      if (buffer[line_end] == '\r') {
        if (line_end + 1 < end_) {
          terminator = buffer[line_end + 1] == '\n' ? 2 : 1;
        } else if (!file_ended_) {
          // The byte after the CR decides where the next line starts.
          *held_return = line_end;
          return leave(Walk::kBufferDone);
        } else if (length == 0 && !long_line_) {
          // An empty line ended by a CR that is the file's last byte is the
          // end of the file.
          scan_over_ = true;
          return leave(Walk::kBufferDone);
        }
      }
      if (long_line_) {
        long_line_end_ = line_end;
        long_line_terminator_ = terminator;
        return leave(Walk::kLongLineEnds);
      }
      if (!header_held) {
        header_held = header_span<Vector>(text, length);
      } else {
        if (batched_ == kBatchLines || count_ + batched_ >= static_cast<std::uint32_t>(INT_MAX)) {
          return leave(Walk::kNeedsRoom);
        }
        header_held = false;
        add_value_line(begin, length, line_end + terminator);
      }
      begin = line_end + terminator;
    }
  }
  return leave(Walk::kBufferDone);
}

// The line that ends a long line, where the walk stopped.
bool Scanner::end_long_line_here() {
  const std::size_t line_end = long_line_end_;
  const std::size_t next_line = line_end + long_line_terminator_;
  if (!end_long_line(buffer_ + begin_, line_end - begin_,
                     buffer_offset_ + static_cast<std::int64_t>(next_line))) {
    return false;
  }
  begin_ = next_line;
  return true;
}

bool Scanner::whole_line(std::size_t start, std::size_t length, std::size_t next_line) {
  if (!header_held_) {
    header_held_ = header_span<ByteVector>(buffer_ + start, length);
    return true;
  }
  if (!make_room()) return false;
  header_held_ = false;
  add_value_line(start, length, next_line);
  return true;
}

// Makes room in the batch for one more value line; false when the scan fails.
bool Scanner::make_room() {
  if (batched_ == kBatchLines && !pass_lines()) return false;
  if (count_ + batched_ >= static_cast<std::uint32_t>(INT_MAX)) {
    if (pass_lines()) status_ = ResultsStatus::kTooManyRecords;
    return false;
  }
  return true;
}

// Adds a whole value line to the batch, which has room; the caller has let go
// of its header. Offsets are in the buffer.
void Scanner::add_value_line(std::size_t start, std::size_t length, std::size_t next_line) {
  batch_[batched_] = take_value_line(*index_, buffer_, start, start + length);
  batch_next_lines_[batched_] = static_cast<std::uint32_t>(next_line);
  ++batched_;
}

// Hands the batch to the visitor and counts the records that it kept.
bool Scanner::pass_lines() {
  if (batched_ == 0) return true;
  const std::size_t extras =
      visitor_.digest_lines(buffer_, std::span(batch_, batched_), batch_digests_, batch_extras_);
  const std::size_t kept = visitor_.take_digests(
      visitor_.context, std::span(batch_digests_, batched_), std::span(batch_extras_, extras));
  count_ = count_records(texts_, count_, kept, [this](std::size_t record) {
    return buffer_offset_ + batch_next_lines_[record - 1];
  });
  const bool whole = kept == batched_;
  batched_ = 0;
  if (!whole) status_ = ResultsStatus::kOutOfMemory;
  return whole;
}

bool Scanner::line_piece(char* text, std::size_t length) {
  const bool first = !long_line_;
  long_line_ = true;
  if (!header_held_) {
    if (first) header_check_ = HeaderCheck::kGroupStart;
    header_check_ = check_header_piece(header_check_, text, length);
    return true;
  }
  return value_piece(ValuePiece{text, length, first, false});
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
  if (!value_piece(ValuePiece{text, length, false, true})) return false;
  count_ = count_records(texts_, count_, 1, [next_line](std::size_t) { return next_line; });
  return true;
}

bool Scanner::value_piece(const ValuePiece& piece) {
  // Whole lines found before this piece go first.
  if (!pass_lines()) return false;
  if (piece.last && count_ >= static_cast<std::uint32_t>(INT_MAX)) {
    status_ = ResultsStatus::kTooManyRecords;
    return false;
  }
  if (!visitor_.take_piece(visitor_.context, piece)) {
    status_ = ResultsStatus::kOutOfMemory;
    return false;
  }
  return true;
}

// ---- Two threads over the file as it stood ------------------------------------
//
// The file as it stood when the scan began is cut into stretches of a block
// each. A stretch's lines are those that start in it; its last line may run
// on into the next stretch. This thread and a helper read stretches at once,
// each into a buffer of its own with a positioned read, and this thread joins
// them in file order: it keeps the digests, counts the records and shows the
// progress texts, just as one pass over the file would. A stretch cannot know
// whether its first line follows a header, so it follows its lines both ways
// until the two ways agree, a line or two later in any usual file. What a
// stretch cannot settle alone (a line longer than a block, lines on which the
// two ways never agree, the end of the file, a file that changed under the
// reading) ends the joint reading at that line, and the scan goes on from it
// by itself.

constexpr int kWays = 2;
constexpr int kAfterHeader = 1;         // the way in which the first line is a value line
constexpr std::size_t kLeadLines = 64;  // lines within which the ways must agree

// The records that one way through part of a stretch finds, digested.
struct StretchRecords {
  std::int64_t base = 0;                  // file position that next_lines count from
  std::vector<std::uint32_t> next_lines;  // where the line after each record starts
  std::vector<std::uint32_t> digests;
  std::vector<std::uint64_t> extras;

  std::int64_t next_line(std::size_t record) const { return base + next_lines[record]; }
};

struct StretchOutcome {
  enum class Kind { kLines, kNoLines, kUnreadable };
  Kind kind = Kind::kUnreadable;
  std::int64_t first_line = 0;  // where its first line starts
  std::int64_t taken_end = 0;   // where the first line it did not take starts
  bool stopped = false;         // a line that starts in the stretch was not taken
  bool agreed = false;          // the ways agreed, and `rest` holds what followed
  bool held_at_end[kWays] = {};
  StretchRecords lead[kWays];
  StretchRecords rest;
};

// Why a walk over a stretch's lines stopped.
enum class StretchWalk { kDone, kNeedsBytes, kUnsettled };

// Value lines found in a stretch and not yet digested: where each is, and
// where the line after it starts.
struct FoundLines {
  ValueLine* lines;
  std::uint32_t* next_lines;
  std::size_t count = 0;
};

// The ways through a stretch's lines: whether each holds a header, and the
// value lines that each took before they agreed.
struct Ways {
  bool held[kWays] = {false, true};
  bool agreed = false;
  std::size_t lead_lines = 0;
  ValueLine lines[kWays][kLeadLines];
  std::uint32_t next_lines[kWays][kLeadLines];
  std::size_t counts[kWays] = {};
};

class StretchReader {
 public:
  StretchReader() = default;
  StretchReader(const StretchReader&) = delete;
  StretchReader& operator=(const StretchReader&) = delete;
  ~StretchReader() {
    std::free(buffer_);
    std::free(lines_);
    std::free(next_lines_);
  }

  bool reserve(std::size_t stretch) {
    stretch_ = stretch;
    capacity_ = 2 * stretch;
    buffer_ = static_cast<char*>(std::calloc(capacity_ + kPadding, 1));
    // Every line that starts in the stretch may be a value line.
    lines_ = static_cast<ValueLine*>(std::malloc((stretch + 1) * sizeof(ValueLine)));
    next_lines_ = static_cast<std::uint32_t*>(std::malloc((stretch + 1) * sizeof(std::uint32_t)));
    return buffer_ != nullptr && lines_ != nullptr && next_lines_ != nullptr &&
           index_.reserve(capacity_);
  }

  void read(std::FILE* stream, std::int64_t stretch, std::int64_t file_size,
            const ValueVisitor& visitor, bool wide, StretchOutcome* out);

 private:
  template <typename Vector>
  [[gnu::always_inline]] inline StretchWalk walk_of(std::size_t* begin_io, Ways* ways,
                                                    std::size_t* found_io);
  StretchWalk walk(std::size_t* begin_io, Ways* ways, std::size_t* found_io);
  PLATFORM_WIDE_VECTORS StretchWalk walk_wide(std::size_t* begin_io, Ways* ways,
                                              std::size_t* found_io);
  [[gnu::always_inline]] inline void add_value_line(ValueLine* line, std::uint32_t* next_line,
                                                    std::size_t start, std::size_t line_end,
                                                    std::size_t next);
  bool read_more(std::FILE* stream, std::int64_t file_size, const ValueVisitor& visitor, bool wide);
  void digest(const ValueLine* lines, const std::uint32_t* next_lines, std::size_t count,
              const ValueVisitor& visitor, StretchRecords* out) const;

  std::size_t stretch_ = 0;
  std::size_t capacity_ = 0;
  char* buffer_ = nullptr;      // capacity_ + kPadding bytes
  ValueLine* lines_ = nullptr;  // the value lines after the ways agreed
  std::uint32_t* next_lines_ = nullptr;
  BlockIndex index_;
  std::int64_t read_start_ = 0;  // file position of buffer_[0]
  std::size_t length_ = 0;       // bytes read
  std::size_t stretch_end_ = 0;  // where the next stretch starts, in the buffer
};

void StretchReader::read(std::FILE* stream, std::int64_t stretch, std::int64_t file_size,
                         const ValueVisitor& visitor, bool wide, StretchOutcome* out) {
  out->kind = StretchOutcome::Kind::kUnreadable;
  const std::int64_t start = stretch * static_cast<std::int64_t>(stretch_);
  const std::int64_t end = std::min(start + static_cast<std::int64_t>(stretch_), file_size);
  // The byte before the stretch tells whether a line starts at its first byte,
  // and the byte after it whether a carriage return at its end is followed by
  // a line feed.
  read_start_ = stretch == 0 ? 0 : start - 1;
  const auto wanted = static_cast<std::size_t>(std::min(end + 1, file_size) - read_start_);
  if (platform_read_at(stream, read_start_, buffer_, wanted) != static_cast<std::int64_t>(wanted)) {
    return;
  }
  length_ = wanted;
  stretch_end_ = static_cast<std::size_t>(end - read_start_);
  index_.build(buffer_, length_, visitor.marked_bytes, wide);

  std::size_t begin = 0;
  if (stretch > 0) {
    std::size_t first_end = length_;
    for (std::size_t word = 0; word < index_.words() && first_end == length_; ++word) {
      const std::uint64_t ends = index_.line_ends(word);
      if (ends != 0)
        first_end = word * kWordBytes + static_cast<std::size_t>(std::countr_zero(ends));
    }
    if (first_end + 1 >= length_ && (first_end == length_ || buffer_[first_end] == '\r')) {
      out->kind = StretchOutcome::Kind::kNoLines;
      return;
    }
    begin = first_end + (buffer_[first_end] == '\r' && buffer_[first_end + 1] == '\n' ? 2 : 1);
  }
  if (begin >= stretch_end_) {
    out->kind = StretchOutcome::Kind::kNoLines;
    return;
  }
  out->first_line = read_start_ + static_cast<std::int64_t>(begin);

  Ways ways;
  std::size_t found = 0;
  StretchWalk walked;
  for (;;) {
    walked = wide ? walk_wide(&begin, &ways, &found) : walk(&begin, &ways, &found);
    if (walked != StretchWalk::kNeedsBytes || !read_more(stream, file_size, visitor, wide)) break;
  }
  try {
    for (int way = 0; way < kWays; ++way) {
      digest(ways.lines[way], ways.next_lines[way], ways.counts[way], visitor, &out->lead[way]);
    }
    digest(lines_, next_lines_, found, visitor, &out->rest);
  } catch (const std::bad_alloc&) {
    return;
  }
  out->kind = StretchOutcome::Kind::kLines;
  out->taken_end = read_start_ + static_cast<std::int64_t>(begin);
  out->stopped = walked != StretchWalk::kDone;
  out->agreed = ways.agreed;
  for (int way = 0; way < kWays; ++way) out->held_at_end[way] = ways.held[way];
}

void StretchReader::digest(const ValueLine* lines, const std::uint32_t* next_lines,
                           std::size_t count, const ValueVisitor& visitor,
                           StretchRecords* out) const {
  out->base = read_start_;
  out->next_lines.assign(next_lines, next_lines + count);
  out->digests.resize(count);
  out->extras.resize(count);
  out->extras.resize(visitor.digest_lines(buffer_, std::span(lines, count), out->digests.data(),
                                          out->extras.data()));
}

// Reads on behind the bytes read, for a line that runs on beyond them: a
// little at first, more each time, up to a second block. False when there is
// nothing more to read.
bool StretchReader::read_more(std::FILE* stream, std::int64_t file_size,
                              const ValueVisitor& visitor, bool wide) {
  constexpr std::size_t kFirstMore = 4096;
  const std::int64_t read_end = read_start_ + static_cast<std::int64_t>(length_);
  const std::size_t step = std::max(kFirstMore, length_ - stretch_end_);
  const auto wanted = static_cast<std::size_t>(std::min(
      file_size - read_end, static_cast<std::int64_t>(std::min(step, capacity_ - length_))));
  if (wanted == 0) return false;
  if (platform_read_at(stream, read_end, buffer_ + length_, wanted) !=
      static_cast<std::int64_t>(wanted)) {
    return false;
  }
  index_.extend(buffer_, length_, length_ + wanted, visitor.marked_bytes, wide);
  length_ += wanted;
  return true;
}

StretchWalk StretchReader::walk(std::size_t* begin_io, Ways* ways, std::size_t* found_io) {
  return walk_of<ByteVector>(begin_io, ways, found_io);
}
PLATFORM_WIDE_VECTORS StretchWalk StretchReader::walk_wide(std::size_t* begin_io, Ways* ways,
                                                           std::size_t* found_io) {
  return walk_of<WideByteVector>(begin_io, ways, found_io);
}

// Takes the lines that start in the stretch from *begin_io on, each way until
// the ways agree, then the one way; *begin_io ends at the first line not
// taken, *found_io counts the value lines found after the ways agreed.
template <typename Vector>
StretchWalk StretchReader::walk_of(std::size_t* begin_io, Ways* ways, std::size_t* found_io) {
  char* const buffer = buffer_;
  std::size_t begin = *begin_io;
  std::size_t found = *found_io;
  bool held = ways->held[0];
  const auto leave = [&](StretchWalk result) {
    *begin_io = begin;
    *found_io = found;
    if (ways->agreed) ways->held[0] = ways->held[1] = held;
    return result;
  };
  for (std::size_t word = begin / kWordBytes; word < index_.words(); ++word) {
    for (std::uint64_t ends = index_.line_ends(word); ends != 0; ends &= ends - 1) {
      const std::size_t line_end =
          word * kWordBytes + static_cast<std::size_t>(std::countr_zero(ends));
      if (line_end < begin) continue;  // the LF of a CR LF
      if (begin >= stretch_end_) return leave(StretchWalk::kDone);
      std::size_t terminator = 1;
      if (buffer[line_end] == '\r') {
        if (line_end + 1 == length_) return leave(StretchWalk::kNeedsBytes);
        terminator = buffer[line_end + 1] == '\n' ? 2 : 1;
      }
      const std::size_t next_line = line_end + terminator;
      if (ways->agreed) {
        if (held) {
          add_value_line(lines_ + found, next_lines_ + found, begin, line_end, next_line);
          ++found;
          held = false;
        } else {
          held = header_span<Vector>(buffer + begin, line_end - begin);
        }
      } else {
        const bool header = header_span<Vector>(buffer + begin, line_end - begin);
        for (int way = 0; way < kWays; ++way) {
          if (ways->held[way]) {
            const std::size_t at = ways->counts[way]++;
            add_value_line(&ways->lines[way][at], &ways->next_lines[way][at], begin, line_end,
                           next_line);
            ways->held[way] = false;
          } else {
            ways->held[way] = header;
          }
        }
        ways->agreed = ways->held[0] == ways->held[1];
        held = ways->held[0];
        if (!ways->agreed && ++ways->lead_lines == kLeadLines) {
          begin = next_line;
          return leave(StretchWalk::kUnsettled);
        }
      }
      begin = next_line;
    }
  }
  return leave(begin >= stretch_end_ ? StretchWalk::kDone : StretchWalk::kNeedsBytes);
}

void StretchReader::add_value_line(ValueLine* line, std::uint32_t* next_line, std::size_t start,
                                   std::size_t line_end, std::size_t next) {
  *line = take_value_line(index_, buffer_, start, line_end);
  *next_line = static_cast<std::uint32_t>(next);
}

// Reads the stretches on this thread and a helper and joins them in order.
// Where the scan then goes on by itself is position(), with header_held() and
// count().
class JointReading {
 public:
  JointReading(std::FILE* stream, std::int64_t file_size, std::size_t stretch,
               const ValueVisitor& visitor, LoaderTexts* texts)
      : stream_(stream),
        size_(file_size),
        stretch_(stretch),
        stretches_((file_size + static_cast<std::int64_t>(stretch) - 1) /
                   static_cast<std::int64_t>(stretch)),
        visitor_(visitor),
        texts_(texts) {}

  // False when the scan fails; status() tells why.
  bool run();
  std::int64_t position() const { return position_; }
  bool header_held() const { return header_held_; }
  std::uint32_t count() const { return count_; }
  ResultsStatus status() const { return status_; }

 private:
  enum class Join { kGoOn, kEnd, kFail };
  static constexpr std::int64_t kSlots = 8;

  struct Slot {
    StretchOutcome outcome;
    std::atomic<std::int64_t> done{-1};  // the stretch that the outcome is of
  };

  void help();
  Join join(std::int64_t stretch, const StretchOutcome& outcome);
  bool keep(const StretchRecords& records);

  std::FILE* const stream_;
  const std::int64_t size_;
  const std::size_t stretch_;
  const std::int64_t stretches_;
  const ValueVisitor visitor_;
  LoaderTexts* const texts_;
  const bool wide_ = platform_has_wide_vectors();

  // This thread's alone.
  std::int64_t position_ = 0;
  bool header_held_ = false;
  std::uint32_t count_ = 0;
  ResultsStatus status_ = ResultsStatus::kOk;

  // A slot takes stretch n once stretch n - kSlots is joined.
  Slot slots_[kSlots];
  std::atomic<std::int64_t> next_claim_{0};
  std::atomic<std::int64_t> joined_{0};
  std::atomic<bool> ended_{false};
  Doorbell joiner_bell_;  // a stretch is read
  Doorbell helper_bell_;  // a slot is free, or ended_ set
};

bool JointReading::run() {
  StretchReader reader;
  if (!reader.reserve(stretch_)) return true;
  std::thread helper;
  try {
    helper = std::thread(&JointReading::help, this);
  } catch (const std::system_error&) {
    // This thread reads every stretch then.
  }
  Join result = Join::kGoOn;
  std::int64_t joined = 0;
  while (result == Join::kGoOn && joined < stretches_) {
    Slot& next = slots_[joined % kSlots];
    if (next.done.load() == joined) {
      result = join(joined, next.outcome);
      if (result == Join::kGoOn) {
        joined_.store(++joined);
        helper_bell_.ring();
      }
      continue;
    }
    std::int64_t claim = next_claim_.load();
    if (claim < stretches_ && claim < joined + kSlots) {
      if (next_claim_.compare_exchange_strong(claim, claim + 1)) {
        Slot& slot = slots_[claim % kSlots];
        reader.read(stream_, claim, size_, visitor_, wide_, &slot.outcome);
        slot.done.store(claim);
      }
      continue;
    }
    // The helper is reading the next stretch to join.
    joiner_bell_.sleep_until([&] { return next.done.load() == joined; });
  }
  ended_.store(true);
  helper_bell_.ring();
  if (helper.joinable()) helper.join();
  return result != Join::kFail;
}

void JointReading::help() {
  StretchReader reader;
  if (!reader.reserve(stretch_)) return;
  while (!ended_.load()) {
    const std::int64_t claim = next_claim_.fetch_add(1);
    if (claim >= stretches_) return;
    helper_bell_.sleep_until([&] { return claim < joined_.load() + kSlots || ended_.load(); });
    if (ended_.load()) return;
    Slot& slot = slots_[claim % kSlots];
    reader.read(stream_, claim, size_, visitor_, wide_, &slot.outcome);
    slot.done.store(claim);
    joiner_bell_.ring();
  }
}

JointReading::Join JointReading::join(std::int64_t stretch, const StretchOutcome& outcome) {
  const std::int64_t end = std::min((stretch + 1) * static_cast<std::int64_t>(stretch_), size_);
  // A line of the stretches before runs on across this one.
  if (position_ >= end) return Join::kGoOn;
  if (outcome.kind != StretchOutcome::Kind::kLines || outcome.first_line != position_) {
    return Join::kEnd;
  }
  const int way = header_held_ ? kAfterHeader : 0;
  const StretchRecords& lead = outcome.lead[way];
  const std::size_t records =
      lead.digests.size() + (outcome.agreed ? outcome.rest.digests.size() : 0);
  // The scan by itself reports a count that would overflow.
  if (count_ + records >= static_cast<std::uint32_t>(INT_MAX)) return Join::kEnd;
  if (!keep(lead) || (outcome.agreed && !keep(outcome.rest))) {
    status_ = ResultsStatus::kOutOfMemory;
    return Join::kFail;
  }
  position_ = outcome.taken_end;
  header_held_ = outcome.held_at_end[way];
  return outcome.stopped ? Join::kEnd : Join::kGoOn;
}

bool JointReading::keep(const StretchRecords& records) {
  const std::size_t kept = visitor_.take_digests(visitor_.context, records.digests, records.extras);
  count_ = count_records(texts_, count_, kept,
                         [&](std::size_t record) { return records.next_line(record - 1); });
  return kept == records.digests.size();
}

}  // namespace

ResultsStatus scan_results(const char* path, const ValueVisitor& visitor, std::size_t block_size) {
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

  // Line ends are indexed as 32-bit positions in the buffer.
  const std::size_t capacity = std::clamp(block_size, kMinBlockSize, kMaxBlockSize);
  char* buffer = static_cast<char*>(std::calloc(capacity + kPadding, 1));
  BlockIndex index;
  if (buffer == nullptr || !index.reserve(capacity)) {
    std::free(buffer);
    std::fclose(stream);
    return ResultsStatus::kOutOfMemory;
  }
  LoaderTexts texts(path, size);
  Scanner scanner(stream, buffer, capacity, &index, &texts, visitor);
  ResultsStatus status = ResultsStatus::kOk;
  if (size >= 2 * static_cast<std::int64_t>(capacity)) {
    JointReading joint(stream, size, capacity, visitor, &texts);
    if (!joint.run()) {
      status = joint.status();
    } else if (platform_seek(stream, joint.position(), SEEK_SET) != 0) {
      status = ResultsStatus::kReadError;
    } else {
      scanner.resume(joint.position(), joint.header_held(), joint.count());
    }
  }
  if (status == ResultsStatus::kOk) status = scanner.run();
  std::free(buffer);
  std::fclose(stream);
  if (status != ResultsStatus::kOk) {
    texts.abandon();
    return status;
  }
  texts.finish(scanner.count());
  return ResultsStatus::kOk;
}
