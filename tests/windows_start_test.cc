// Start-up on Windows: whatever precision and rounding the x87 unit had
// before, long double arithmetic afterwards has a 64-bit significand and rounds
// to nearest, and the exception masks are left as they were.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/platform.h"

namespace {

unsigned short x87_control_word() {
  unsigned short control_word = 0;
  __asm__ volatile("fnstcw %0" : "=m"(control_word));
  return control_word;
}

void load_x87_control_word(unsigned short control_word) {
  __asm__ volatile("fldcw %0" : : "m"(control_word));
}

// 1 + addend, computed on the x87 unit at run time.
long double one_plus(long double addend) {
  volatile long double one = 1.0L;
  volatile long double small = addend;
  return one + small;
}

TEST(PlatformStartProcess, SetsA64BitSignificandRoundingToNearest) {
  // The unit of the last place of 1.0 with a 64-bit significand.
  const long double ulp = std::ldexp(1.0L, -63);
  const struct {
    const char* before;
    unsigned short control_word;
  } cases[] = {
      {"53 bits, to nearest (the Windows default)", 0x027f},
      {"53 bits, toward zero", 0x0e7f},
      {"24 bits, upward", 0x087f},
      {"64 bits, downward, denormal operands unmasked", 0x077d},
      {"64 bits, to nearest", 0x037f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    load_x87_control_word(c.control_word);
    platform_start_process();
    EXPECT_EQ(x87_control_word(), (c.control_word & 0xf0ff) | 0x0300);
    EXPECT_EQ(one_plus(ulp), 1.0L + ulp) << "the last bit of a 64-bit significand is lost";
    EXPECT_EQ(one_plus(0.75L * ulp), 1.0L + ulp) << "three quarters of a unit round up";
    EXPECT_EQ(one_plus(0.25L * ulp), 1.0L) << "a quarter of a unit rounds down";
  }
  load_x87_control_word(0x037f);
}

}  // namespace
