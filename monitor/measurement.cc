// The measurement: which records of the results file count, the Mpts each one
// holds, and their total.
//
// take_measurement reads the file into a record list, drops the timed records
// and sums the rest. measure_results_file, which the sampling loop calls,
// comes to the same total without the list: it scans the file in blocks,
// keeps only each record's Mpts and whether it is timed, and then replays the
// drop on those numbers, so that they are added in the same order.
//
// Partial sums are carried in long double and stored as double, so that every
// addition is rounded first to a 64-bit significand and then to double. That
// is x87 double-extended on x86-64 (Linux, macOS on Intel, mingw-w64), which
// the total has always been computed in. Where long double is plain double
// (MSVC, AArch64 macOS) each sum is rounded once; where it is IEEE quad
// (AArch64 Linux) first to 113 bits. Both can differ from x86-64 in the last
// bit of a total.
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "monitor/monitor.h"
#include "platform/platform.h"

namespace {

constexpr char kTimeText[] = "#time=";
constexpr char kByText[] = " by ";
constexpr std::size_t kTimeLength = sizeof kTimeText - 1;
constexpr std::size_t kByLength = sizeof kByText - 1;

bool is_timed_record(const char* value_line) {
  return std::strstr(value_line, kTimeText) != nullptr &&
         std::strstr(value_line, kByText) != nullptr;
}

double add_rounded(double total, double mpts) {
  return static_cast<double>(static_cast<long double>(total) + static_cast<long double>(mpts));
}

// add_rounded without the round trip through the x87 unit where the double
// sum is bound to be its result: unless the exact error of the double sum
// comes within a thousandth of a unit of half a unit in the last place, no
// rounding to a wider significand first can carry the sum to a midpoint
// between doubles, so it lands on the same double. Otherwise (half way
// cases, overflow, NaN, tiny sums) the sum is made at extended precision.
double add_rounded_quickly(double total, double mpts) {
  if constexpr (FLT_EVAL_METHOD == 0) {
    const double sum = total + mpts;
    // The exact error of the sum (Knuth's two-sum); NaN if anything overflowed.
    const double mpts_part = sum - total;
    const double total_part = sum - mpts_part;
    const double error = (total - total_part) + (mpts - mpts_part);
    // The unit in the last place on the narrower side of the sum: below a
    // power of two the doubles stand twice as close.
    const auto bits = std::bit_cast<std::uint64_t>(sum);
    double unit = std::bit_cast<double>(bits & 0x7ff0000000000000u) * 0x1p-52;
    if ((bits & 0x000fffffffffffffu) == 0) unit *= 0.5;
    if (std::fabs(error) < unit * (0.5 - 0x1p-10)) return sum;
  }
  return add_rounded(total, mpts);
}

// Sums the Mpts of the records from the last to the first.
double sum_mpts(const DynArray& records) {
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  double total = 0.0;
  for (std::uint32_t index = records.count; index-- > 0;) {
    total = add_rounded(total, record_mpts(slots[index]));
  }
  return total;
}

void report_skipped_sample(const char* results_path, ResultsStatus status) {
  std::fprintf(stderr, "riravuvavu: %s: %s, sample skipped\n", results_path,
               results_status_text(status));
}

// ---- Value lines without the record list -------------------------------------

// C-locale white space, which the number conversion skips.
bool is_space(unsigned char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}
bool is_digit(unsigned char byte) {
  return byte >= '0' && byte <= '9';
}
bool is_letter(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}
// Bytes that trimming removes (0 never stands inside a line).
bool is_trimmed(unsigned char byte) {
  return byte <= ' ';
}

// Whether text[0, length) holds needle.
bool contains_text(const char* text, std::size_t length, const char* needle,
                   std::size_t needle_length) {
  if (length < needle_length) return false;
  const char* const last_start = text + (length - needle_length);
  for (const char* at = text; at <= last_start;) {
    const void* found = std::memchr(at, needle[0], static_cast<std::size_t>(last_start - at) + 1);
    if (found == nullptr) return false;
    at = static_cast<const char*>(found);
    if (std::memcmp(at, needle, needle_length) == 0) return true;
    ++at;
  }
  return false;
}

// Exact powers of ten in double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The number that atof reads from a text. A plain decimal of up to 19 digits
// whose digits fit a double exactly is held as those digits and the count of
// them after the point: one correctly rounded division by an exact power of
// ten (Clinger's fast path) gives the double that a correctly rounding atof
// returns. Everything else (exponents, hexadecimal, inf and nan, long digit
// strings, no number) is left to atof itself, whose reading of such forms
// differs between C libraries. The shortcut needs double arithmetic without
// excess precision.
struct Mpts {
  bool plain;
  bool negative;
  int fraction_digits;
  std::uint64_t digits;
  double value;  // when not plain
};

double value_of(const Mpts& mpts) {
  if (!mpts.plain) return mpts.value;
  const double value = static_cast<double>(mpts.digits) / kPowersOfTen[mpts.fraction_digits];
  return mpts.negative ? -value : value;
}

Mpts parse_number(const char* text) {
  if constexpr (FLT_EVAL_METHOD == 0) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(text);
    while (is_space(*cursor)) ++cursor;
    Mpts mpts{true, *cursor == '-', 0, 0, 0.0};
    if (*cursor == '-' || *cursor == '+') ++cursor;
    int digit_count = 0;
    for (; is_digit(*cursor) && digit_count < 19; ++cursor, ++digit_count) {
      mpts.digits = mpts.digits * 10 + (*cursor - '0');
    }
    if (*cursor == '.') {
      ++cursor;
      for (; is_digit(*cursor) && digit_count < 19; ++cursor, ++digit_count) {
        mpts.digits = mpts.digits * 10 + (*cursor - '0');
        ++mpts.fraction_digits;
      }
    }
    constexpr std::uint64_t kExactDigits = std::uint64_t{1} << 53;
    if (digit_count > 0 && !is_digit(*cursor) && !is_letter(*cursor) && *cursor != '.' &&
        mpts.digits <= kExactDigits) {
      return mpts;
    }
  }
  return Mpts{false, false, 0, 0, std::atof(text)};
}

constexpr Mpts kNoMpts{true, false, 0, 0, 0.0};

// parse_number for a text that may be read 16 bytes ahead, with the usual
// form first: digits, perhaps a point and more digits, and the byte after
// them, all within those 16 bytes. Their places are found with one
// comparison of all 16, which leaves only the digits to add up.
Mpts parse_number_ahead(const char* text) {
  if constexpr (FLT_EVAL_METHOD == 0) {
    ByteVector bytes;
    std::memcpy(&bytes, text, sizeof bytes);
    const ByteLanes digit_lanes = static_cast<ByteVector>(bytes - '0') <= 9;
    const std::uint32_t digits = platform_lane_bits(digit_lanes);
    const int whole = std::countr_zero(~digits);
    int fraction = 0;
    int end = whole;
    if (whole > 0 && text[whole] == '.') {
      fraction = std::countr_zero(~(digits >> (whole + 1)));
      end = whole + 1 + fraction;
    }
    const auto after = static_cast<unsigned char>(text[end < 16 ? end : 15]);
    if (whole > 0 && end < 16 && !is_letter(after) && after != '.') {
      // At most 15 digits: exact in a double.
      std::uint64_t value = 0;
      for (int at = 0; at < whole; ++at) value = value * 10 + static_cast<unsigned>(text[at] - '0');
      for (int at = whole + 1; at < end; ++at) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
      }
      return Mpts{true, false, fraction, value, 0.0};
    }
  }
  return parse_number(text);
}

// The bytes that the scan marks in each whole value line for us.
constexpr char kParenthesis = '(';
constexpr char kHash = '#';
constexpr int kParenthesisMark = 0;
constexpr int kHashMark = 1;

// A whole value line, held as a C string, with where its first "(" and its
// first "#" stand: whether it is timed, and its Mpts, the number after that
// "(". Trimming never changes the number: it ends before any trailing byte
// that trimming would remove.
struct WholeLine {
  bool timed;
  Mpts mpts;
};

WholeLine digest_whole_line(const char* line, const ValueLine& place) {
  const std::size_t hash = place.marked[kHashMark];
  if (hash < place.length) {
    std::size_t length = place.length;
    while (length > hash && is_trimmed(static_cast<unsigned char>(line[length - 1]))) --length;
    if (contains_text(line + hash, length - hash, kTimeText, kTimeLength) &&
        contains_text(line, length, kByText, kByLength)) {
      return {true, kNoMpts};
    }
  }
  const std::size_t parenthesis = place.marked[kParenthesisMark];
  return {false, parenthesis < place.length ? parse_number_ahead(line + parenthesis + 1) : kNoMpts};
}

// Whether text[0, length) holds a byte that trimming keeps.
bool has_kept_byte(const char* text, std::size_t length) {
  for (std::size_t at = 0; at < length; ++at) {
    if (!is_trimmed(static_cast<unsigned char>(text[at]))) return true;
  }
  return false;
}

// Bytes that can stand in the text that atof reads after leading white space:
// digits, signs, the point, letters (exponents, hexadecimal digits, inf, nan)
// and what a nan's parentheses hold.
bool may_continue_number(unsigned char byte) {
  return is_digit(byte) || is_letter(byte) || byte == '+' || byte == '-' || byte == '.' ||
         byte == '_' || byte == '(' || byte == ')';
}

// A value line longer than a block, taken piece by piece: what the filter
// and the Mpts need of it, with the last few bytes of the pieces before for
// texts that straddle two pieces. " by " counts only when a byte that
// trimming keeps follows it somewhere in the line.
class LongValueLine {
 public:
  LongValueLine() = default;
  LongValueLine(const LongValueLine&) = delete;
  LongValueLine& operator=(const LongValueLine&) = delete;
  ~LongValueLine() { std::free(number_); }

  bool take(const char* text, std::size_t length);
  bool timed() const { return time_found_ && by_found_; }
  Mpts mpts() const;
  void reset();

 private:
  enum class Number : unsigned char { kNoParenthesis, kSpaces, kDigits, kDone };

  void find_texts(const char* text, std::size_t length);
  bool collect_number(const char* text, std::size_t length);
  bool append_to_number(const char* text, std::size_t length);

  static constexpr std::size_t kTailSize = kTimeLength - 1;
  char tail_[kTailSize] = {};
  std::size_t tail_length_ = 0;
  bool time_found_ = false;
  bool by_found_ = false;
  bool by_pending_ = false;  // " by " seen, no kept byte after it yet
  Number number_state_ = Number::kNoParenthesis;
  char* number_ = nullptr;  // the text after "(" and its white space
  std::size_t number_length_ = 0;
  std::size_t number_capacity_ = 0;
};

void LongValueLine::reset() {
  tail_length_ = 0;
  time_found_ = by_found_ = by_pending_ = false;
  number_state_ = Number::kNoParenthesis;
  number_length_ = 0;
}

bool LongValueLine::take(const char* text, std::size_t length) {
  find_texts(text, length);
  return collect_number(text, length);
}

void LongValueLine::find_texts(const char* text, std::size_t length) {
  if (by_pending_ && has_kept_byte(text, length)) by_found_ = true;

  // Texts that begin in the tail and end in this piece.
  char seam[2 * kTailSize];
  const std::size_t head = length < kTailSize ? length : kTailSize;
  std::memcpy(seam, tail_, tail_length_);
  std::memcpy(seam + tail_length_, text, head);
  const std::size_t seam_length = tail_length_ + head;
  if (contains_text(seam, seam_length, kTimeText, kTimeLength)) time_found_ = true;
  for (std::size_t start = 0; start < tail_length_ && start + kByLength <= seam_length; ++start) {
    if (start + kByLength <= tail_length_) continue;  // found with the piece before
    if (std::memcmp(seam + start, kByText, kByLength) != 0) continue;
    const std::size_t after = start + kByLength - tail_length_;  // in this piece
    if (has_kept_byte(text + after, length - after)) {
      by_found_ = true;
    } else {
      by_pending_ = true;
    }
  }

  if (!time_found_ && contains_text(text, length, kTimeText, kTimeLength)) time_found_ = true;
  if (!by_found_) {
    // The first " by " of the piece has the most bytes after it.
    for (std::size_t start = 0; start + kByLength <= length; ++start) {
      const void* found = std::memchr(text + start, ' ', length - kByLength + 1 - start);
      if (found == nullptr) break;
      start = static_cast<std::size_t>(static_cast<const char*>(found) - text);
      if (std::memcmp(text + start, kByText, kByLength) != 0) continue;
      if (has_kept_byte(text + start + kByLength, length - start - kByLength)) {
        by_found_ = true;
      } else {
        by_pending_ = true;
      }
      break;
    }
  }

  // Keep the last bytes of everything so far.
  char joined[2 * kTailSize];
  std::memcpy(joined, tail_, tail_length_);
  const std::size_t from = length > kTailSize ? length - kTailSize : 0;
  std::memcpy(joined + tail_length_, text + from, length - from);
  const std::size_t joined_length = tail_length_ + (length - from);
  tail_length_ = joined_length < kTailSize ? joined_length : kTailSize;
  std::memcpy(tail_, joined + joined_length - tail_length_, tail_length_);
}

bool LongValueLine::collect_number(const char* text, std::size_t length) {
  std::size_t at = 0;
  if (number_state_ == Number::kNoParenthesis) {
    const void* parenthesis = std::memchr(text, '(', length);
    if (parenthesis == nullptr) return true;
    at = static_cast<std::size_t>(static_cast<const char*>(parenthesis) - text) + 1;
    number_state_ = Number::kSpaces;
  }
  if (number_state_ == Number::kSpaces) {
    while (at < length && is_space(static_cast<unsigned char>(text[at]))) ++at;
    if (at == length) return true;
    number_state_ = Number::kDigits;
  }
  if (number_state_ == Number::kDigits) {
    const std::size_t start = at;
    while (at < length && may_continue_number(static_cast<unsigned char>(text[at]))) ++at;
    if (at < length) number_state_ = Number::kDone;
    return append_to_number(text + start, at - start);
  }
  return true;
}

bool LongValueLine::append_to_number(const char* text, std::size_t length) {
  if (number_length_ + length + 1 > number_capacity_) {
    std::size_t capacity = number_capacity_ < 32 ? 32 : number_capacity_;
    while (capacity < number_length_ + length + 1) {
      if (capacity > SIZE_MAX / 2) return false;
      capacity *= 2;
    }
    char* grown = static_cast<char*>(std::realloc(number_, capacity));
    if (grown == nullptr) return false;
    number_ = grown;
    number_capacity_ = capacity;
  }
  std::memcpy(number_ + number_length_, text, length);
  number_length_ += length;
  number_[number_length_] = '\0';
  return true;
}

Mpts LongValueLine::mpts() const {
  if (number_state_ == Number::kNoParenthesis || number_length_ == 0) return kNoMpts;
  return parse_number(number_);
}

// Arrays that grow in blocks of 2 MiB taken straight from the system (see
// platform_allocate_large): they never copy themselves while they grow, and
// filling them costs few page faults. Once an array has grown past its first
// block, it takes each block one block ahead of need and has it faulted in
// meanwhile, so that filling it does not wait for fresh pages.
template <typename T>
class BlockArray {
 public:
  BlockArray() = default;
  BlockArray(const BlockArray&) = delete;
  BlockArray& operator=(const BlockArray&) = delete;
  ~BlockArray() {
    for (std::size_t block = 0; block < block_count_; ++block) {
      platform_release_large(blocks_[block], kBlockBytes);
    }
    platform_release_large(spare_, kBlockBytes);
    std::free(blocks_);
  }

  std::size_t size() const { return size_; }
  T& operator[](std::size_t index) const { return blocks_[index / kPerBlock][index % kPerBlock]; }

  bool push_back(T value) {
    if (next_ == block_end_ && !add_block()) return false;
    *next_++ = value;
    ++size_;
    return true;
  }

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{2} << 20;
  static constexpr std::size_t kPerBlock = kBlockBytes / sizeof(T);

  bool add_block() {
    if (block_count_ == block_capacity_) {
      const std::size_t capacity = block_capacity_ == 0 ? 16 : 2 * block_capacity_;
      auto** grown = static_cast<T**>(std::realloc(blocks_, capacity * sizeof(T*)));
      if (grown == nullptr) return false;
      blocks_ = grown;
      block_capacity_ = capacity;
    }
    T* const block = spare_ != nullptr ? std::exchange(spare_, nullptr)
                                       : static_cast<T*>(platform_allocate_large(kBlockBytes));
    if (block == nullptr) return false;
    blocks_[block_count_++] = block;
    next_ = block;
    block_end_ = block + kPerBlock;
    if (block_count_ > 1) {
      spare_ = static_cast<T*>(platform_allocate_large(kBlockBytes));
      if (spare_ != nullptr) platform_prefault_large(spare_, kBlockBytes);
    }
    return true;
  }

  T** blocks_ = nullptr;
  std::size_t block_count_ = 0;
  std::size_t block_capacity_ = 0;
  std::size_t size_ = 0;
  T* next_ = nullptr;  // where the next value goes, in the last block
  T* block_end_ = nullptr;
  T* spare_ = nullptr;  // the next block, being faulted in
};

// Each record's Mpts, or the mark of a timed record, in file order and in
// four bytes: a plain decimal of up to 26 bits of digits and 15 digits after
// the point, the usual case, is kept as its sign, that count and its digits;
// any other number is kept in a list of doubles beside, and the four bytes
// hold its place there.
class MptsStore {
 public:
  // The code of a record's Mpts; kElsewhere, for a number kept beside, comes
  // with the number's bits in *extra.
  static std::uint32_t code_of(const Mpts& mpts, bool timed, std::uint64_t* extra);
  // Keeps codes in file order, a number beside for each kElsewhere; returns
  // how many codes were kept.
  std::size_t append(std::span<const std::uint32_t> codes, std::span<const std::uint64_t> extras);
  bool append(const Mpts& mpts, bool timed);
  double total() const;

  static constexpr std::uint32_t kElsewhere = 0x80000000u;  // low bits: place in others_

 private:
  static constexpr std::uint32_t kTimed = 0xffffffffu;
  static constexpr std::uint32_t kNegative = 0x40000000u;
  static constexpr int kFractionShift = 26;
  static constexpr std::uint32_t kDigitsMask = (std::uint32_t{1} << kFractionShift) - 1;

  double value_of_code(std::uint32_t code) const;

  BlockArray<std::uint32_t> codes_;
  BlockArray<double> others_;
  std::size_t timed_count_ = 0;
};

std::uint32_t MptsStore::code_of(const Mpts& mpts, bool timed, std::uint64_t* extra) {
  if (timed) return kTimed;
  if (mpts.plain && mpts.digits <= kDigitsMask && mpts.fraction_digits < 16) {
    return (mpts.negative ? kNegative : 0) |
           static_cast<std::uint32_t>(mpts.fraction_digits) << kFractionShift |
           static_cast<std::uint32_t>(mpts.digits);
  }
  *extra = std::bit_cast<std::uint64_t>(value_of(mpts));
  return kElsewhere;
}

std::size_t MptsStore::append(std::span<const std::uint32_t> codes,
                              std::span<const std::uint64_t> extras) {
  std::size_t next_extra = 0;
  for (std::size_t index = 0; index < codes.size(); ++index) {
    std::uint32_t code = codes[index];
    if (code == kTimed) {
      ++timed_count_;
    } else if (code == kElsewhere) {
      if (others_.size() >= kTimed - kElsewhere) return index;
      code |= static_cast<std::uint32_t>(others_.size());
      if (!others_.push_back(std::bit_cast<double>(extras[next_extra++]))) return index;
    }
    if (!codes_.push_back(code)) return index;
  }
  return codes.size();
}

bool MptsStore::append(const Mpts& mpts, bool timed) {
  std::uint64_t extra = 0;
  const std::uint32_t code = code_of(mpts, timed, &extra);
  return append(std::span(&code, 1), std::span(&extra, 1)) == 1;
}

double MptsStore::value_of_code(std::uint32_t code) const {
  if ((code & kElsewhere) != 0) return others_[code & ~kElsewhere];
  return value_of(Mpts{true, (code & kNegative) != 0, static_cast<int>(code >> kFractionShift & 15),
                       code & kDigitsMask, 0.0});
}

// drop_timed_records and the sum, replayed on the codes. Walking from the
// last record, a timed one takes the current last into its slot. The walk
// first passes the slots from the final count on: they drop out, but a timed
// one may still take its code from above before a slot below takes it in
// turn. Below the final count a slot is settled once the walk has passed it
// and is never moved again, and the walk passes those slots in the order of
// the sum, from the last to the first: both run in one pass.
double MptsStore::total() const {
  const std::size_t kept = codes_.size() - timed_count_;
  std::size_t count = codes_.size();
  // Timed records come at random, so the slot that a code comes from is
  // chosen with a mask: a condition would be compiled back into a branch.
  const auto source = [&](std::size_t index) {
    const bool timed = codes_[index] == kTimed;
    const std::size_t from = index ^ ((index ^ (count - 1)) & -static_cast<std::size_t>(timed));
    count -= timed;
    return from;
  };
  for (std::size_t index = count; index-- > kept;) codes_[index] = codes_[source(index)];
  double total = 0.0;
  for (std::size_t index = kept; index-- > 0;) {
    total = add_rounded_quickly(total, value_of_code(codes_[source(index)]));
  }
  return total;
}

struct ScanMeasurement {
  MptsStore store;
  LongValueLine long_line;
};

std::size_t digest_value_lines(const char* text, std::span<const ValueLine> lines,
                               std::uint32_t* digests, std::uint64_t* extras) {
  std::size_t extra_count = 0;
  for (const ValueLine& place : lines) {
    const WholeLine line = digest_whole_line(text + place.start, place);
    *digests = MptsStore::code_of(line.mpts, line.timed, extras + extra_count);
    if (*digests++ == MptsStore::kElsewhere) ++extra_count;
  }
  return extra_count;
}

std::size_t take_value_digests(void* context, std::span<const std::uint32_t> digests,
                               std::span<const std::uint64_t> extras) {
  return static_cast<ScanMeasurement*>(context)->store.append(digests, extras);
}

bool take_value_piece(void* context, const ValuePiece& piece) {
  auto* measurement = static_cast<ScanMeasurement*>(context);
  LongValueLine& line = measurement->long_line;
  if (piece.first) line.reset();
  if (!line.take(piece.text, piece.length)) return false;
  if (!piece.last) return true;
  return measurement->store.append(line.timed() ? kNoMpts : line.mpts(), line.timed());
}

}  // namespace

void take_measurement(const char* results_path, double* uptime, double* total) {
  *total = 0.0;
  *uptime = uptime_seconds();
  DynArray records = load_results(results_path);
  drop_timed_records(&records);
  *total = sum_mpts(records);
  release_results(records);
}

ResultsStatus total_results_file(const char* results_path, std::size_t block_size, double* total) {
  *total = 0.0;
  ScanMeasurement measurement;
  const ResultsStatus status = scan_results(results_path,
                                            ValueVisitor{digest_value_lines,
                                                         take_value_digests,
                                                         take_value_piece,
                                                         &measurement,
                                                         {kParenthesis, kHash}},
                                            block_size);
  if (status == ResultsStatus::kOk) *total = measurement.store.total();
  return status;
}

bool measure_results_file(const char* results_path, double* uptime, double* total) {
  *total = 0.0;
  *uptime = uptime_seconds();
  const ResultsStatus status = total_results_file(results_path, kScanBlockSize, total);
  if (status != ResultsStatus::kOk) {
    report_skipped_sample(results_path, status);
    return false;
  }
  return true;
}

void drop_timed_records(DynArray* records) {
  for (std::uint32_t index = records->count; index-- > 0;) {
    // A removal may move the storage: address it afresh for every index.
    const ResultRecord record = static_cast<const ResultRecord*>(records->data)[index];
    if (is_timed_record(record.value_line)) {
      free_result_record(record);
      dynarray_remove_swap(records, index);
    }
  }
}

double record_mpts(ResultRecord record) {
  const char* parenthesis = std::strchr(record.value_line, '(');
  return parenthesis == nullptr ? 0.0 : std::atof(parenthesis + 1);
}

void free_result_record(ResultRecord record) {
  std::free(record.header_line);
  std::free(record.value_line);
}

void release_results(DynArray records) {
  const auto* slots = static_cast<const ResultRecord*>(records.data);
  for (std::uint32_t index = records.count; index-- > 0;) free_result_record(slots[index]);
  dynarray_release(records);
}
