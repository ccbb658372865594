// The unechoed prompt on the in-memory screen buffer: arbitrary geometry,
// cursor, prompt text, keys typed before and while it reads, and failing
// console calls; then the block operations with arbitrary corners, each with
// a buffer of exactly the size its corners call for, so that AddressSanitizer
// sees any cell written or read beyond it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/console.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kPromptLength = 8;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "console check failed: %s\n", what);
    std::abort();
  }
}

std::u16string keys_from(FuzzedDataProvider& in) {
  std::u16string keys;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  for (std::size_t i = 0; i < count; ++i) {
    // Mostly ASCII, sometimes any unit; never 0, which ends the list.
    const auto unit = in.ConsumeBool() ? in.ConsumeIntegralInRange<char16_t>(1, 0x7F)
                                       : in.ConsumeIntegralInRange<char16_t>(1, 0xFFFF);
    keys.push_back(unit);
  }
  return keys;
}

DWORD input_mode() {
  const HANDLE input = open_console_device("CONIN$");
  check(input != INVALID_HANDLE_VALUE, "open the model's input");
  DWORD mode = 0;
  check(GetConsoleMode(input, &mode) != FALSE, "read the input mode");
  CloseHandle(input);
  return mode;
}

void check_cursor_inside() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  check(console_query_buffer_info(&info) != 0, "query the model");
  check(info.dwCursorPosition.X >= 0 && info.dwCursorPosition.X < info.dwSize.X &&
            info.dwCursorPosition.Y >= 0 && info.dwCursorPosition.Y < info.dwSize.Y,
        "cursor inside the buffer");
}

// The answer the prompt must give when no call fails: the keys typed while it
// reads, up to the first carriage return, at most eight.
template <typename Char>
std::basic_string<Char> expected_answer(const std::u16string& keys, bool wide) {
  std::basic_string<Char> answer;
  for (const char16_t key : keys) {
    const Char unit = wide ? static_cast<Char>(key) : static_cast<Char>(key <= 0xFF ? key : u'?');
    if (unit == 13 || answer.size() == kPromptLength) break;
    answer.push_back(unit);
  }
  return answer;
}

void fuzz_prompt(FuzzedDataProvider& in, int columns, int rows) {
  console_move_cursor(in.ConsumeIntegralInRange(-1, columns + 2),
                      in.ConsumeIntegralInRange(-1, rows + 2));
  const unsigned failing =
      in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegral<unsigned>() : 0;
  const bool wide = in.ConsumeBool();
  const std::u16string ahead = keys_from(in);
  const std::u16string typing = keys_from(in);
  const std::string prompt = in.ConsumeRandomLengthString(80);
  platform_model_type_ahead(ahead.c_str());
  platform_model_type_while_reading(typing.c_str());
  const DWORD mode_before = input_mode();

  platform_model_fail_calls(failing);
  if (wide) {
    const std::u16string wide_prompt(prompt.begin(), prompt.end());
    const WCHAR* answer = console_prompt_hidden_wide(wide_prompt.c_str());
    platform_model_fail_calls(0);
    const std::u16string got(answer);
    check(got.size() <= kPromptLength, "wide answer length");
    if (failing == 0) check(got == expected_answer<char16_t>(typing, true), "wide answer");
  } else {
    const char* answer = console_prompt_hidden(prompt.c_str());
    platform_model_fail_calls(0);
    const std::string got(answer);
    check(got.size() <= kPromptLength, "answer length");
    if (failing == 0) check(got == expected_answer<char>(typing, false), "answer");
  }
  check(input_mode() == mode_before, "input mode restored");
  if (failing == 0) check(platform_model_pending_keys() == 0, "pending keys discarded");
  check_cursor_inside();
}

// Corners of a block, sometimes reversed or outside the buffer.
struct Block {
  int left, top, right, bottom;
  std::size_t cells() const {
    if (right < left || bottom < top) return 0;
    return static_cast<std::size_t>(right - left + 1) * static_cast<std::size_t>(bottom - top + 1);
  }
};

Block block_from(FuzzedDataProvider& in, int columns, int rows) {
  return {in.ConsumeIntegralInRange(-2, columns + 2), in.ConsumeIntegralInRange(-2, rows + 2),
          in.ConsumeIntegralInRange(-2, columns + 2), in.ConsumeIntegralInRange(-2, rows + 2)};
}

void fuzz_blocks(FuzzedDataProvider& in, int columns, int rows) {
  for (int step = 0; step < 8 && in.remaining_bytes() > 0; ++step) {
    const Block block = block_from(in, columns, rows);
    // Exactly the cells the corners call for, on the heap, so that any step
    // beyond them is caught.
    std::vector<char> narrow(2 * block.cells() + (block.cells() == 0 ? 1 : 0));
    std::vector<CHAR_INFO> wide(std::max<std::size_t>(block.cells(), 1));
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0:
        console_save_block(block.left, block.top, block.right, block.bottom, narrow.data());
        console_restore_block(block.left, block.top, block.right, block.bottom, narrow.data());
        break;
      case 1:
        console_save_block_wide(block.left, block.top, block.right, block.bottom, wide.data());
        console_restore_block_wide(block.left, block.top, block.right, block.bottom, wide.data());
        break;
      case 2:
        console_copy_block(block.left, block.top, block.right, block.bottom,
                           in.ConsumeIntegralInRange(-2, columns + 2),
                           in.ConsumeIntegralInRange(-2, rows + 2));
        break;
      case 3:
        console_move_cursor(block.left, block.top);
        console_delete_line();
        break;
      case 4:
        console_move_cursor(block.left, block.top);
        console_insert_line();
        break;
      case 5:
        console_move_cursor(block.left, block.top);
        console_clear_to_eol();
        break;
      case 6:
        console_write_text(in.ConsumeRandomLengthString(40).c_str());
        break;
      case 7:
        console_set_attribute(in.ConsumeIntegral<int>());
        console_clear_screen();
        break;
    }
    check_cursor_inside();
  }
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) platform_model_cell(column, row);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int columns = in.ConsumeIntegralInRange(1, 120);
  const int rows = in.ConsumeIntegralInRange(1, 60);
  const auto left = in.ConsumeIntegralInRange<SHORT>(0, static_cast<SHORT>(columns - 1));
  const auto top = in.ConsumeIntegralInRange<SHORT>(0, static_cast<SHORT>(rows - 1));
  const SMALL_RECT window{left, top,
                          in.ConsumeIntegralInRange<SHORT>(left, static_cast<SHORT>(columns - 1)),
                          in.ConsumeIntegralInRange<SHORT>(top, static_cast<SHORT>(rows - 1))};
  platform_use_screen_model(columns, rows, window);
  fuzz_prompt(in, columns, rows);
  fuzz_blocks(in, columns, rows);
  return 0;
}
