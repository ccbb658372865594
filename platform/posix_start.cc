// Process start-up on POSIX.
//
// Floating point: long double is the x87 double-extended format on x86 and
// x86-64, whose significand already has 64 bits with rounding to nearest, so
// nothing is set. Elsewhere long double is what the target makes it: IEEE
// quadruple (113 bits) on Linux for AArch64, RISC-V and s390x, which rounds
// less; plain double (53 bits) on Apple silicon and 32-bit ARM, where sums
// and capacities round as in double and can differ in the last place.
//
// Standard output is unbuffered. When it is the controlling terminal, it is
// replaced by a stream of ours that writes each text with one write() and
// tells the terminal layer what was written, so that the layer knows where
// the terminal's cursor stands without asking the terminal at every text.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix_terminal.h"

namespace {

// Ours, once standard output is the controlling terminal.
std::FILE* g_terminal_stream = nullptr;

// Writes all of the text to standard output's descriptor; returns how much
// went out.
std::size_t write_and_note(const char* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t written = write(STDOUT_FILENO, bytes + done, length - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  terminal_note_output(bytes, done);
  return done;
}

#if defined(__APPLE__)
int write_terminal_text(void*, const char* bytes, int length) {
  const std::size_t done = write_and_note(bytes, static_cast<std::size_t>(length));
  return done == 0 && length > 0 ? -1 : static_cast<int>(done);
}

std::FILE* open_terminal_stream() {
  return funopen(nullptr, nullptr, write_terminal_text, nullptr, nullptr);
}
#else
ssize_t write_terminal_text(void*, const char* bytes, std::size_t length) {
  // 0 reports an error to the C library.
  return static_cast<ssize_t>(write_and_note(bytes, length));
}

std::FILE* open_terminal_stream() {
  cookie_io_functions_t functions{};
  functions.write = write_terminal_text;
  return fopencookie(nullptr, "w", functions);
}
#endif

}  // namespace

void platform_start_process() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!isatty(STDOUT_FILENO) || !terminal_is_controlling(STDOUT_FILENO)) return;
  std::FILE* stream = open_terminal_stream();
  if (stream == nullptr) return;
  std::setvbuf(stream, nullptr, _IONBF, 0);
  std::fflush(stdout);
  stdout = stream;
  g_terminal_stream = stream;
}

bool standard_output_is_noted() {
  return g_terminal_stream != nullptr && stdout == g_terminal_stream;
}

bool platform_standard_output_is_console() {
  return standard_output_is_noted() || isatty(STDOUT_FILENO) != 0;
}
