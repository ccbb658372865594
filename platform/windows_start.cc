// Process start-up on Windows. The console, timing and sleep calls are the
// real Win32 API, declared by <windows.h>; only the start-up and the one
// call on standard output are our own.
#include <cstdio>

#include "platform/platform.h"

namespace {

// x87 control word: bits 8-9 select the significand (11 = 64 bits), bits
// 10-11 the rounding (00 = to nearest).
constexpr unsigned short kPrecisionControlMask = 0x0300;
constexpr unsigned short kPrecision64Bits = 0x0300;
constexpr unsigned short kRoundingControlMask = 0x0c00;

// long double arithmetic runs on the x87 unit, which Windows starts at 53
// bits and which the C runtime or a loaded DLL may set again. The control
// word is loaded directly: on x86-64 the runtime's _control87 and _controlfp
// leave the x87 precision as it is.
void set_extended_precision() {
  unsigned short control_word = 0;
  __asm__ volatile("fnstcw %0" : "=m"(control_word));
  control_word = static_cast<unsigned short>(
      (control_word & ~(kPrecisionControlMask | kRoundingControlMask)) | kPrecision64Bits);
  __asm__ volatile("fldcw %0" : : "m"(control_word));
}

}  // namespace

void platform_start_process() {
  set_extended_precision();
  // Text mode stays: a line end reaches a file or a pipe as CR LF. Without a
  // buffer every text is on the console before a console call acts at its
  // cursor, and before the sleep that follows a status text.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool platform_print_and_clear_to_eol(const char*, std::span<const std::size_t>) {
  // The console's fills go to the screen buffer, not through standard output:
  // there is no second write to save.
  return false;
}

bool platform_standard_output_is_console() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
