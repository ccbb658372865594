// The platform layer: the Win32 console, timing and sleep calls that the rest of
// the system is written against, plus the process start-up that fixes the
// floating-point precision and the standard output mode.
//
// On Windows every call is the real Win32 API. Elsewhere this header declares a
// stand-in of our own with the same names, types and meaning: the console
// devices are the controlling terminal (driven with VT sequences and termios),
// the clock is CLOCK_BOOTTIME, and Sleep is nanosleep. Code outside platform/
// includes only this header and never tests the platform itself.
#ifndef RIRAVUVAVU_PLATFORM_PLATFORM_H_
#define RIRAVUVAVU_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else  // POSIX stand-in

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using CHAR = char;
using WCHAR = char16_t;  // UTF-16 code unit, as on Windows
using HANDLE = void*;
using LPCSTR = const char*;
using LPCWSTR = const WCHAR*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD OPEN_EXISTING = 3;

// Input-mode flags of the console; a mode of 0 means raw key input.
constexpr DWORD ENABLE_PROCESSED_INPUT = 0x0001;
constexpr DWORD ENABLE_LINE_INPUT = 0x0002;
constexpr DWORD ENABLE_ECHO_INPUT = 0x0004;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

struct COORD {
  SHORT X;
  SHORT Y;
};

struct SMALL_RECT {
  SHORT Left;
  SHORT Top;
  SHORT Right;
  SHORT Bottom;
};

struct CONSOLE_SCREEN_BUFFER_INFO {
  COORD dwSize;
  COORD dwCursorPosition;
  WORD wAttributes;
  SMALL_RECT srWindow;
  COORD dwMaximumWindowSize;
};

struct CONSOLE_CURSOR_INFO {
  DWORD dwSize;
  BOOL bVisible;
};

struct CHAR_INFO {
  union {
    WCHAR UnicodeChar;
    CHAR AsciiChar;
  } Char;
  WORD Attributes;
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

// Console devices: "CONOUT$" and "CONIN$" name the controlling terminal.
HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                   SECURITY_ATTRIBUTES* security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL CloseHandle(HANDLE handle);

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL FillConsoleOutputCharacterA(HANDLE console, CHAR character, DWORD length, COORD start,
                                 DWORD* cells_written);
BOOL FillConsoleOutputAttribute(HANDLE console, WORD attribute, DWORD length, COORD start,
                                DWORD* cells_written);
BOOL SetConsoleCursorPosition(HANDLE console, COORD position);
BOOL SetConsoleCursorInfo(HANDLE console, const CONSOLE_CURSOR_INFO* cursor_info);
BOOL SetConsoleTextAttribute(HANDLE console, WORD attribute);
BOOL ScrollConsoleScreenBufferA(HANDLE console, const SMALL_RECT* scroll_rectangle,
                                const SMALL_RECT* clip_rectangle, COORD destination_origin,
                                const CHAR_INFO* fill);
BOOL ReadConsoleOutputA(HANDLE console, CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                        SMALL_RECT* read_region);
BOOL ReadConsoleOutputW(HANDLE console, CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                        SMALL_RECT* read_region);
BOOL WriteConsoleOutputA(HANDLE console, const CHAR_INFO* buffer, COORD buffer_size,
                         COORD buffer_coord, SMALL_RECT* write_region);
BOOL WriteConsoleOutputW(HANDLE console, const CHAR_INFO* buffer, COORD buffer_size,
                         COORD buffer_coord, SMALL_RECT* write_region);
BOOL WriteConsoleA(HANDLE console, const void* buffer, DWORD length, DWORD* written,
                   void* reserved);
BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD length, DWORD* written,
                   void* reserved);
int lstrlenA(LPCSTR text);
int lstrlenW(LPCWSTR text);
BOOL GetConsoleMode(HANDLE console, DWORD* mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);
BOOL FlushConsoleInputBuffer(HANDLE console);
BOOL ReadConsoleA(HANDLE console, void* buffer, DWORD to_read, DWORD* read, void* input_control);
BOOL ReadConsoleW(HANDLE console, void* buffer, DWORD to_read, DWORD* read, void* input_control);

// Test hooks: the console calls act on an in-memory screen buffer with the
// Windows console's rules instead of the controlling terminal. The model
// starts with blank cells in attribute 7, the cursor at column 0, row 0, a
// cursor of size 25 and the input mode of processed, line and echo input.
// Coordinates are 0-based, as in the Win32 calls.
void platform_use_screen_model(int columns, int rows, SMALL_RECT window);
// No console at all: CreateFileA fails for both devices.
void platform_use_no_console();
// Back to the controlling terminal (the default).
void platform_use_terminal();
// Makes the model's calls named in the mask fail, until the next setting.
constexpr unsigned kModelFailBufferInfo = 1;  // GetConsoleScreenBufferInfo
constexpr unsigned kModelFailGetMode = 2;     // GetConsoleMode
constexpr unsigned kModelFailSetMode = 4;     // SetConsoleMode
constexpr unsigned kModelFailReadOutput = 8;  // ReadConsoleOutputA/W
constexpr unsigned kModelFailWriteOutput = 16;
constexpr unsigned kModelFailReadConsole = 32;  // ReadConsoleA/W
void platform_model_fail_calls(unsigned calls);
// A cell of the model, the character in UnicodeChar.
CHAR_INFO platform_model_cell(int column, int row);
CONSOLE_CURSOR_INFO platform_model_cursor_info();
// Keys already typed: a flush of the input buffer discards them.
void platform_model_type_ahead(const WCHAR* keys);
// Keys the user types once a read waits for input; a read that finds no key
// and none to come fails.
void platform_model_type_while_reading(const WCHAR* keys);
// Keys typed and not yet read or discarded.
int platform_model_pending_keys();

// Timing: the counter counts nanoseconds since system start (CLOCK_BOOTTIME,
// or CLOCK_MONOTONIC where that is missing); the tick count is milliseconds
// since start, wrapping at 2^32.
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
DWORD GetTickCount();
// Sleeps the whole count, resuming after a signal interrupts it.
void Sleep(DWORD milliseconds);

#endif  // POSIX stand-in

// Large files: stream positions as 64-bit byte offsets, so that files beyond
// 2 GiB can be read where long has 32 bits. Same results as ftell and fseek.
std::int64_t platform_tell(std::FILE* stream);
int platform_seek(std::FILE* stream, std::int64_t offset, int origin);
// Reads up to length bytes at offset without moving the stream's position,
// so that several threads may read one stream at once; the stream must be
// unbuffered. Returns the bytes read (fewer at the end of the file), or -1 on
// an error.
std::int64_t platform_read_at(std::FILE* stream, std::int64_t offset, void* bytes,
                              std::size_t length);

// Large blocks: working memory of many megabytes, taken from the system in
// the largest pages it offers, so that filling a block costs few page
// faults. Null when the block cannot be had; release with the same size.
void* platform_allocate_large(std::size_t size);
void platform_release_large(void* block, std::size_t size);
// Faults a fresh large block in on a thread of its own, where the system can,
// so that the first writes into it some time later find its pages ready. Its
// contents stay zero; it may be released at any time.
void platform_prefault_large(void* block, std::size_t size);

// Byte lanes: sixteen bytes compared at once with the GCC and Clang vector
// extensions. A comparison gives all ones in each lane where it holds.
using ByteVector = unsigned char __attribute__((vector_size(16)));
using ByteLanes = decltype(std::declval<ByteVector>() == std::declval<ByteVector>());

// Bit i of the result is set when lane i is: one instruction (pmovmskb) where
// SSE2 is at hand, which is every x86-64, a loop elsewhere.
inline std::uint32_t platform_lane_bits(const ByteLanes& lanes) {
#if defined(__SSE2__)
  __m128i vector;
  std::memcpy(&vector, &lanes, sizeof vector);
  return static_cast<std::uint32_t>(_mm_movemask_epi8(vector));
#else
  std::uint32_t bits = 0;
  for (int lane = 0; lane < 16; ++lane) bits |= (lanes[lane] != 0 ? 1u : 0u) << lane;
  return bits;
#endif
}

// Wide lanes: thirty-two bytes at once, where the processor has AVX2. Code
// that uses them goes into functions marked PLATFORM_WIDE_VECTORS, which are
// compiled for AVX2 (with the bit instructions of the same processors) and may run only when
// platform_has_wide_vectors() is true. Elsewhere, and on Windows, whose compilers do not align the
// stack for them, the mark is empty and the answer false. Wide vectors are passed by address, never
// by value, so that no function outside the mark takes one.
using WideByteVector = unsigned char __attribute__((vector_size(32)));
using WideByteLanes = decltype(std::declval<WideByteVector>() == std::declval<WideByteVector>());

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define PLATFORM_WIDE_VECTORS __attribute__((target("avx2,bmi,bmi2")))
inline bool platform_has_wide_vectors() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2");
}
PLATFORM_WIDE_VECTORS inline std::uint32_t platform_lane_bits(const WideByteLanes& lanes) {
  __m256i vector;
  std::memcpy(&vector, &lanes, sizeof vector);
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(vector));
}
#else
#define PLATFORM_WIDE_VECTORS
inline bool platform_has_wide_vectors() {
  return false;
}
inline std::uint32_t platform_lane_bits(const WideByteLanes& lanes) {
  ByteLanes halves[2];
  std::memcpy(halves, &lanes, sizeof halves);
  return platform_lane_bits(halves[0]) | platform_lane_bits(halves[1]) << 16;
}
#endif

// Process start-up, called first thing in main on every platform: sets the
// floating-point precision to a 64-bit significand with rounding to nearest,
// makes standard output unbuffered so that each text reaches the console at
// once, and arranges for the terminal to be restored when a signal ends the
// process.
void platform_start_process();

// Standard output and the console in one write: each text in turn to
// standard output, then the console row blanked from where the text leaves
// the cursor to the row's end in the current attribute, the same bytes in the
// same order as fwrite and then the console's two fills send for each. The
// texts lie one after another from `texts`, of the given lengths. Done only
// where standard output is the console's own terminal, no text holds an
// escape sequence and the cursor's place is known; false, with nothing
// written, anywhere else, and always on Windows, where the console's fills
// are no writes to standard output.
bool platform_print_and_clear_to_eol(const char* texts, std::span<const std::size_t> lengths);

// Whether standard output reaches the console's screen; false for a file or a
// pipe, where texts written one after another make the same bytes as the
// texts written at once.
bool platform_standard_output_is_console();

#endif  // RIRAVUVAVU_PLATFORM_PLATFORM_H_
