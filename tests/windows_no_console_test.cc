// A process without a console: every console operation fails silently with
// its failure value. The process gives up the console that the launcher gave
// it; it cannot get a working one back, so this is a program of its own.
#include <gtest/gtest.h>

#include <cstring>

#include "console/console.h"
#include "platform/platform.h"

namespace {

TEST(WindowsNoConsoleTest, OperationsFailSilently) {
  FreeConsole();
  ASSERT_EQ(open_console_device("CONOUT$"), INVALID_HANDLE_VALUE);
  ASSERT_EQ(open_console_device("CONIN$"), INVALID_HANDLE_VALUE);

  CONSOLE_SCREEN_BUFFER_INFO info;
  std::memset(&info, 0x5a, sizeof info);
  EXPECT_EQ(console_query_buffer_info(&info), 0);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&info)[0], 0x5a);

  ConsoleTextInfo text_info;
  std::memset(&text_info, 0x5a, sizeof text_info);
  EXPECT_EQ(console_get_text_info(&text_info), 0);
  EXPECT_EQ(text_info.screen_width, 0x5a);

  EXPECT_EQ(console_cursor_column(), 1);
  EXPECT_EQ(console_cursor_row(), 1);
  EXPECT_STREQ(console_prompt_hidden("Key: "), "");
  EXPECT_STREQ(console_prompt_hidden_wide(L"Key: "), L"");

  char cells[2 * 4] = {};
  EXPECT_EQ(console_save_block(1, 1, 2, 2, cells), 0);
  EXPECT_EQ(console_restore_block(1, 1, 2, 2, cells), 0);
  EXPECT_EQ(console_copy_block(1, 1, 2, 2, 3, 3), 0);

  // Nothing to look at but that they return.
  console_clear_to_eol();
  console_clear_screen();
  console_move_cursor(2, 2);
  console_set_foreground(4);
}

}  // namespace
