// The console operations checked cell by cell on the in-memory console, where
// the window, the cursor's shape, the keys typed and failing calls can be set
// up and looked at; and the in-memory console's own Windows rules.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/console.h"

namespace {

constexpr SMALL_RECT kFirst25Rows = {0, 0, 79, 24};

// Row `row` (0-based) from column first to last, as text.
std::u16string row_text(int row, int first = 0, int last = 79) {
  std::u16string text;
  for (int column = first; column <= last; ++column) {
    text += platform_model_cell(column, row).Char.UnicodeChar;
  }
  return text;
}

WORD attribute_at(int column, int row) {
  return platform_model_cell(column, row).Attributes;
}

// Fills row `row` (0-based) with one letter per row, 'a' for row 0, in
// attribute 0x07, through the platform call.
void label_row(int row, char16_t letter) {
  std::vector<CHAR_INFO> cells(80);
  for (CHAR_INFO& cell : cells) {
    cell.Char.UnicodeChar = letter;
    cell.Attributes = 0x07;
  }
  const HANDLE output = open_console_device("CONOUT$");
  SMALL_RECT region = {0, static_cast<SHORT>(row), 79, static_cast<SHORT>(row)};
  WriteConsoleOutputW(output, cells.data(), {80, 1}, {0, 0}, &region);
  CloseHandle(output);
}

void label_rows(int first, int last) {
  for (int row = first; row <= last; ++row) label_row(row, static_cast<char16_t>(u'a' + row % 26));
}

std::u16string full_row(char16_t letter) {
  return std::u16string(80, letter);
}

class ModelConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_use_screen_model(80, 300, kFirst25Rows); }
  void TearDown() override { platform_use_no_console(); }
};

TEST_F(ModelConsoleTest, TextInfoOfAn80By300BufferWithA25RowWindow) {
  console_set_attribute(0x1E);
  console_move_cursor(12, 4);
  ConsoleTextInfo info{};
  ASSERT_EQ(console_get_text_info(&info), 1);
  const unsigned char expected[] = {1, 1, 80, 25, 0x1E, 7, 3, 44, 80, 12, 4};
  EXPECT_EQ(std::vector<unsigned char>(&info.window_left, &info.window_left + sizeof expected),
            std::vector<unsigned char>(std::begin(expected), std::end(expected)));
}

TEST_F(ModelConsoleTest, WithoutAConsoleNothingHappensAndEachOperationFails) {
  label_rows(0, 0);
  platform_use_no_console();
  EXPECT_EQ(open_console_device("CONOUT$"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(console_cursor_column(), 1);
  EXPECT_EQ(console_cursor_row(), 1);
  EXPECT_STREQ(console_prompt_hidden("Password: "), "");
  const WCHAR wide_prompt[] = u"Password: ";
  EXPECT_EQ(console_prompt_hidden_wide(wide_prompt)[0], 0);
  ConsoleTextInfo info{};
  info.screen_mode = 99;
  EXPECT_EQ(console_get_text_info(&info), 0);
  EXPECT_EQ(info.screen_mode, 99);
  char narrow[2] = {'x', 'y'};
  EXPECT_EQ(console_save_block(1, 1, 1, 1, narrow), 0);
  EXPECT_EQ(console_copy_block(1, 1, 1, 1, 2, 2), 0);
  console_clear_to_eol();
  console_clear_screen();

  platform_use_screen_model(80, 300, kFirst25Rows);
  EXPECT_EQ(narrow[0], 'x');
}

TEST_F(ModelConsoleTest, ClearToEndOfLineReachesPastAWindowNarrowerThanTheBuffer) {
  platform_use_screen_model(120, 50, {0, 0, 79, 24});
  const HANDLE output = open_console_device("CONOUT$");
  DWORD written = 0;
  FillConsoleOutputCharacterA(output, 'x', 120 * 3, {0, 0}, &written);
  CloseHandle(output);
  console_move_cursor(71, 2);
  console_clear_to_eol();
  EXPECT_EQ(row_text(1, 0, 119), std::u16string(70, u'x') + std::u16string(50, u' '));
  EXPECT_EQ(row_text(2, 0, 119), std::u16string(120, u'x'));
}

TEST_F(ModelConsoleTest, OperationsThatNeedTheQueryDoNothingWhenItFails) {
  label_rows(0, 24);
  console_set_attribute(0x1F);
  console_move_cursor(5, 3);
  platform_model_fail_calls(kModelFailBufferInfo);
  console_clear_to_eol();
  console_clear_screen();
  console_delete_line();
  console_insert_line();
  console_set_background(4);
  console_high_intensity();
  EXPECT_EQ(console_copy_block(1, 1, 2, 2, 5, 5), 0);
  EXPECT_EQ(console_cursor_column(), 1);
  platform_model_fail_calls(0);
  EXPECT_EQ(console_cursor_column(), 5);
  for (int row = 0; row < 25; ++row) EXPECT_EQ(row_text(row), full_row(u'a' + row)) << row;
  ConsoleTextInfo info{};
  console_get_text_info(&info);
  EXPECT_EQ(info.current_attribute, 0x1F);
}

TEST_F(ModelConsoleTest, ColourFormulasKeepOrClearTheHighBitsAsStated) {
  struct Case {
    int start;
    void (*change)();
    WORD expected;
  };
  const Case cases[] = {
      {0x07, [] { console_set_background(16); }, 0x107},
      {0x1F4E, [] { console_set_background(1); }, 0x1E},
      {0x1F4E, [] { console_set_foreground(2); }, 0x42},
      {0x1F4E, [] { console_set_foreground(-1); }, 0xFFFF},
      {0x1234, [] { console_high_intensity(); }, 0x123C},
      {0x123C, [] { console_low_intensity(); }, 0x1234},
      {0x07, [] { console_set_attribute(0x12345); }, 0x2345},
  };
  for (const Case& c : cases) {
    console_set_attribute(c.start);
    c.change();
    console_clear_to_eol();  // shows the attribute in force
    EXPECT_EQ(attribute_at(0, 0), c.expected) << "from 0x" << std::hex << c.start;
  }
}

TEST_F(ModelConsoleTest, CursorShapes) {
  struct Case {
    int shape;
    DWORD size;
    BOOL visible;
  };
  // Shape 3 is no shape: the cursor stays as shape 1 left it.
  for (const Case& c :
       {Case{0, 10, FALSE}, Case{1, 99, TRUE}, Case{3, 99, TRUE}, Case{2, 10, TRUE}}) {
    console_set_cursor_shape(c.shape);
    EXPECT_EQ(platform_model_cursor_info().dwSize, c.size) << c.shape;
    EXPECT_EQ(platform_model_cursor_info().bVisible, c.visible) << c.shape;
  }
}

TEST_F(ModelConsoleTest, ResetScreenClearsTheWholeBufferInAttribute7WithANormalCursor) {
  label_rows(0, 299);
  console_set_attribute(0x4F);
  console_set_cursor_shape(0);
  console_move_cursor(10, 10);
  console_reset_screen();
  EXPECT_EQ(row_text(299), full_row(u' '));
  EXPECT_EQ(attribute_at(79, 299), 0x07);
  EXPECT_EQ(console_cursor_column(), 1);
  EXPECT_EQ(console_cursor_row(), 1);
  EXPECT_EQ(platform_model_cursor_info().dwSize, 10u);
  EXPECT_TRUE(platform_model_cursor_info().bVisible);
}

TEST_F(ModelConsoleTest, DeleteLineMovesTheWindowsRowsBelowTheCursorUp) {
  platform_use_screen_model(80, 300, {10, 0, 49, 24});
  label_rows(0, 26);
  console_set_attribute(0x1E);
  console_move_cursor(20, 6);
  console_delete_line();
  EXPECT_EQ(row_text(4, 10, 49), std::u16string(40, u'e'));
  EXPECT_EQ(row_text(5, 10, 49), std::u16string(40, u'g'));
  EXPECT_EQ(row_text(23, 10, 49), std::u16string(40, u'y'));
  EXPECT_EQ(row_text(24, 10, 49), std::u16string(40, u' '));
  EXPECT_EQ(attribute_at(10, 24), 0x1E);
  // Columns outside the window and rows below it stay.
  EXPECT_EQ(row_text(5, 0, 9) + row_text(5, 50, 79), std::u16string(40, u'f'));
  EXPECT_EQ(row_text(25), full_row(u'z'));
  EXPECT_EQ(console_cursor_column(), 20);
  EXPECT_EQ(console_cursor_row(), 6);
}

TEST_F(ModelConsoleTest, DeleteLineOnTheWindowsBottomRowChangesNothing) {
  label_rows(0, 25);
  console_move_cursor(1, 25);
  console_delete_line();
  EXPECT_EQ(row_text(24), full_row(u'y'));
  EXPECT_EQ(row_text(25), full_row(u'z'));
}

TEST_F(ModelConsoleTest, InsertLineKeepsTheWindowsBottomRowOnTheRowBelowTheWindow) {
  label_rows(0, 26);
  console_set_attribute(0x2F);
  console_move_cursor(1, 3);
  console_insert_line();
  EXPECT_EQ(row_text(1), full_row(u'b'));
  EXPECT_EQ(row_text(2), full_row(u' '));
  EXPECT_EQ(attribute_at(0, 2), 0x2F);
  EXPECT_EQ(row_text(3), full_row(u'c'));
  EXPECT_EQ(row_text(24), full_row(u'x'));
  EXPECT_EQ(row_text(25), full_row(u'y'));
  EXPECT_EQ(row_text(26), full_row(u'a'));
}

TEST_F(ModelConsoleTest, InsertLineLosesTheBottomRowOnlyAtTheBuffersEnd) {
  platform_use_screen_model(80, 30, {0, 5, 79, 29});
  label_rows(0, 29);
  console_move_cursor(1, 29);
  console_insert_line();
  EXPECT_EQ(row_text(27), full_row(u'b'));
  EXPECT_EQ(row_text(28), full_row(u' '));
  EXPECT_EQ(row_text(29), full_row(u'c'));
}

TEST_F(ModelConsoleTest, SaveLeavesTheBytesOfCellsOffTheBufferAsTheyWere) {
  label_rows(298, 299);
  std::string narrow(2 * 2 * 3, '#');
  ASSERT_EQ(console_save_block(80, 299, 81, 301, narrow.data()), 1);
  EXPECT_EQ(narrow, std::string("m\x07"
                                "##"
                                "n\x07"
                                "######"));
}

TEST_F(ModelConsoleTest, CopyPartlyOffTheBufferCopiesTheCellsThatAreOnIt) {
  label_rows(0, 1);
  ASSERT_EQ(console_copy_block(79, 1, 82, 2, 1, 5), 1);
  EXPECT_EQ(row_text(4, 0, 3), u"aa  ");
  EXPECT_EQ(row_text(5, 0, 3), u"bb  ");
}

TEST_F(ModelConsoleTest, FailedBlockReadsAndWritesReportZero) {
  char narrow[4] = {'x', 'x', 'x', 'x'};
  CHAR_INFO wide[2]{};
  platform_model_fail_calls(kModelFailReadOutput | kModelFailWriteOutput);
  EXPECT_EQ(console_save_block(1, 1, 2, 1, narrow), 0);
  EXPECT_EQ(console_save_block_wide(1, 1, 2, 1, wide), 0);
  EXPECT_EQ(console_restore_block(1, 1, 2, 1, narrow), 0);
  EXPECT_EQ(console_restore_block_wide(1, 1, 2, 1, wide), 0);
  EXPECT_EQ(console_copy_block(1, 1, 2, 1, 1, 2), 0);
  EXPECT_EQ(std::string(narrow, 4), "xxxx");
}

// ---- The prompt ----------------------------------------------------------

struct PromptCase {
  const char16_t* typed_before;
  const char16_t* typed;
  std::string answer;
};

TEST_F(ModelConsoleTest, PromptReadsUpToEightKeysWithoutEcho) {
  const PromptCase cases[] = {
      {u"", u"\r", ""},
      {u"", u"abc\r", "abc"},
      {u"", u"abcdefghij\r", "abcdefgh"},  // no Enter needed after eight
      {u"", u"\b\x03x\r", "\b\x03x"},      // Backspace and Ctrl+C are keys
      {u"early", u"ok\r", "ok"},           // keys typed before the prompt go
      {u"", u"ab", "ab"},                  // the keys run out: the answer ends
  };
  for (const PromptCase& c : cases) {
    SCOPED_TRACE(c.answer);
    platform_use_screen_model(80, 300, kFirst25Rows);
    console_move_cursor(1, 3);
    platform_model_type_ahead(c.typed_before);
    platform_model_type_while_reading(c.typed);
    EXPECT_EQ(std::string(console_prompt_hidden("Key: ")), c.answer);
    EXPECT_EQ(platform_model_pending_keys(), 0);
    EXPECT_EQ(row_text(2), u"Key: " + std::u16string(75, u' '));
    EXPECT_EQ(console_cursor_column(), 1);
    EXPECT_EQ(console_cursor_row(), 4);
    const HANDLE input = open_console_device("CONIN$");
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(input, &mode));
    EXPECT_EQ(mode, ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    CloseHandle(input);
  }
}

TEST_F(ModelConsoleTest, AShorterAnswerLeavesNothingOfTheLastOne) {
  platform_model_type_while_reading(u"longer\r");
  console_prompt_hidden("");
  platform_model_type_while_reading(u"ab\r");
  const char* answer = console_prompt_hidden("");
  EXPECT_STREQ(answer, "ab");
}

TEST_F(ModelConsoleTest, WidePromptReadsUtf16Units) {
  platform_model_type_while_reading(u"\u00e9\u20ac\r");
  const WCHAR prompt[] = u"\u00c4: ";
  const std::u16string answer = console_prompt_hidden_wide(prompt);
  EXPECT_EQ(answer, u"\u00e9\u20ac");
  EXPECT_EQ(row_text(0, 0, 3), u"\u00c4:  ");
  EXPECT_EQ(console_cursor_row(), 2);
}

TEST_F(ModelConsoleTest, PromptWhoseModeCannotBeChangedWritesNothingAndDiscardsInput) {
  for (const unsigned failing : {kModelFailGetMode, kModelFailSetMode}) {
    platform_use_screen_model(80, 300, kFirst25Rows);
    platform_model_fail_calls(failing);
    platform_model_type_ahead(u"abc\r");
    EXPECT_STREQ(console_prompt_hidden("Key: "), "");
    EXPECT_EQ(platform_model_pending_keys(), 0);
    EXPECT_EQ(row_text(0), full_row(u' '));
  }
}

// ---- The in-memory console's own rules --------------------------------------

class ScreenModelTest : public ModelConsoleTest {
 protected:
  void SetUp() override {
    platform_use_screen_model(10, 4, {0, 0, 9, 3});
    output_ = open_console_device("CONOUT$");
  }
  void TearDown() override {
    CloseHandle(output_);
    ModelConsoleTest::TearDown();
  }
  std::u16string screen() {
    std::u16string text;
    for (int row = 0; row < 4; ++row) text += row_text(row, 0, 9) + u"|";
    return text;
  }
  void write(const char* text) {
    DWORD written = 0;
    WriteConsoleA(output_, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
  }

  HANDLE output_ = INVALID_HANDLE_VALUE;
};

TEST_F(ScreenModelTest, FillsRunIntoTheNextRowsAndStopAtTheBuffersEnd) {
  DWORD written = 0;
  ASSERT_TRUE(FillConsoleOutputCharacterA(output_, 'x', 100, {7, 2}, &written));
  EXPECT_EQ(written, 13u);
  EXPECT_EQ(screen(), u"          |          |       xxx|xxxxxxxxxx|");
  ASSERT_TRUE(FillConsoleOutputAttribute(output_, 0x1E, 5, {8, 0}, &written));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(attribute_at(7, 0), 0x07);
  EXPECT_EQ(attribute_at(2, 1), 0x1E);
  EXPECT_EQ(attribute_at(3, 1), 0x07);
}

TEST_F(ScreenModelTest, ScrollMovesARectangleAndFillsWhatItUncovers) {
  write("0123456789abcdefghijABCDEFGHIJ");
  CHAR_INFO fill{};
  fill.Char.AsciiChar = '.';
  fill.Attributes = 0x1E;
  const SMALL_RECT scroll = {-2, 0, 3, 1};  // clipped to columns 0-3
  ASSERT_TRUE(ScrollConsoleScreenBufferA(output_, &scroll, nullptr, {0, 1}, &fill));
  EXPECT_EQ(screen(), u"....456789|..0123ghij|ABabcdGHIJ|          |");
}

TEST_F(ScreenModelTest, ScrollWithAClipRectangleChangesOnlyCellsInsideIt) {
  write("0123456789abcdefghijABCDEFGHIJ");
  CHAR_INFO fill{};
  fill.Char.AsciiChar = '.';
  const SMALL_RECT scroll = {0, 0, 9, 2};
  const SMALL_RECT clip = {2, 0, 5, 3};
  ASSERT_TRUE(ScrollConsoleScreenBufferA(output_, &scroll, &clip, {0, 1}, &fill));
  EXPECT_EQ(screen(), u"01....6789|ab2345ghij|ABcdefGHIJ|  CDEF    |");
  const SMALL_RECT outside = {10, 0, 12, 3};
  EXPECT_FALSE(ScrollConsoleScreenBufferA(output_, &outside, nullptr, {0, 0}, &fill));
}

TEST_F(ScreenModelTest, RegionsAreClippedAndTheRegionReportsWhatMoved) {
  CHAR_INFO cells[3 * 2]{};
  for (int i = 0; i < 6; ++i) cells[i].Char.UnicodeChar = static_cast<WCHAR>(u'A' + i);
  SMALL_RECT region = {8, 3, 10, 4};
  ASSERT_TRUE(WriteConsoleOutputW(output_, cells, {3, 2}, {0, 0}, &region));
  EXPECT_EQ(region.Left, 8);
  EXPECT_EQ(region.Right, 9);
  EXPECT_EQ(region.Bottom, 3);
  EXPECT_EQ(row_text(3, 8, 9), u"AB");

  region = {20, 0, 22, 1};
  ASSERT_TRUE(WriteConsoleOutputW(output_, cells, {3, 2}, {0, 0}, &region));
  EXPECT_LT(region.Right, region.Left);
}

TEST_F(ScreenModelTest, WrittenTextWrapsAtOnceAndScrollsAtTheBottom) {
  write("0123456789");
  EXPECT_EQ(console_cursor_column(), 1);
  EXPECT_EQ(console_cursor_row(), 2);
  write("ab\rc\n\n\nd\te\bf");
  EXPECT_EQ(screen(), u"cb        |          |          |d       f |");
  EXPECT_EQ(console_cursor_column(), 10);
}

}  // namespace
