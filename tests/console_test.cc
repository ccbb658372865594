// The console operations through their public interface only, on whatever
// console the process has: a real Windows console (under Wine, the
// launcher's), or elsewhere the in-memory one that
// posix_console_environment.cc installs. Each test starts from a reset
// screen, and needs a buffer of at least 80 columns and 25 rows.
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/console.h"

namespace {

// A row of cells from ASCII text, all in one attribute.
std::vector<CHAR_INFO> cells_of(const std::string& text, WORD attribute) {
  std::vector<CHAR_INFO> cells(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    cells[i].Char.UnicodeChar = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    cells[i].Attributes = attribute;
  }
  return cells;
}

// Text and attributes of row `row`, columns first to last (1-based).
struct Row {
  std::string text;
  std::vector<WORD> attributes;
};

Row read_row(int row, int first, int last) {
  std::vector<CHAR_INFO> cells(static_cast<std::size_t>(last - first + 1));
  EXPECT_EQ(console_save_block_wide(first, row, last, row, cells.data()), 1);
  Row result;
  for (const CHAR_INFO& cell : cells) {
    result.text += static_cast<char>(cell.Char.UnicodeChar);
    result.attributes.push_back(cell.Attributes);
  }
  return result;
}

void put_text(int column, int row, const std::string& text, WORD attribute) {
  const std::vector<CHAR_INFO> cells = cells_of(text, attribute);
  const int last = column + static_cast<int>(text.size()) - 1;
  ASSERT_EQ(console_restore_block_wide(column, row, last, row, cells.data()), 1);
}

int current_attribute() {
  ConsoleTextInfo info{};
  EXPECT_NE(console_get_text_info(&info), 0);
  return info.current_attribute;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_NE(console_query_buffer_info(&info), 0) << "the tests need a console";
    ASSERT_GE(info.dwSize.X, 80);
    ASSERT_GE(info.dwSize.Y, 25);
    columns_ = info.dwSize.X;
    console_reset_screen();
  }
  void TearDown() override { console_reset_screen(); }

  int columns_ = 0;
};

TEST_F(ConsoleTest, ClearToEndOfLineBlanksFromTheCursorToTheBufferRowsEnd) {
  const std::string text(static_cast<std::size_t>(columns_), 'x');
  struct Case {
    int cursor_column;
    int blanked;
  };
  for (const Case& c : {Case{1, columns_}, Case{10, columns_ - 9}, Case{columns_, 1}}) {
    SCOPED_TRACE(c.cursor_column);
    put_text(1, 3, text, 0x07);
    put_text(1, 4, text, 0x07);
    console_set_attribute(0x1E);
    console_move_cursor(c.cursor_column, 3);
    console_clear_to_eol();

    const Row row = read_row(3, 1, columns_);
    const std::size_t kept = static_cast<std::size_t>(columns_ - c.blanked);
    EXPECT_EQ(row.text,
              text.substr(0, kept) + std::string(static_cast<std::size_t>(c.blanked), ' '));
    for (std::size_t i = 0; i < row.attributes.size(); ++i) {
      EXPECT_EQ(row.attributes[i], i < kept ? 0x07 : 0x1E) << "column " << i + 1;
    }
    EXPECT_EQ(read_row(4, 1, columns_).text, text);
    EXPECT_EQ(console_cursor_column(), c.cursor_column);
    EXPECT_EQ(console_cursor_row(), 3);
    console_normal_attribute();
  }
}

TEST_F(ConsoleTest, ColourOperationsFollowTheirFormulas) {
  struct Case {
    int start;
    void (*change)();
    int expected;
  };
  const Case cases[] = {
      {0x4E, [] { console_set_background(1); }, 0x1E},
      {0x4E, [] { console_set_foreground(2); }, 0x42},
      {0x1F, [] { console_low_intensity(); }, 0x17},
      {0x17, [] { console_high_intensity(); }, 0x1F},
      {0x4E, [] { console_normal_attribute(); }, 0x07},
      {0x07, [] { console_set_attribute(0x12345); }, 0x45},
  };
  for (const Case& c : cases) {
    console_set_attribute(c.start);
    c.change();
    EXPECT_EQ(current_attribute(), c.expected) << "from " << std::hex << c.start;
  }
}

TEST_F(ConsoleTest, CursorMovesToOneBasedCells) {
  console_move_cursor(5, 7);
  EXPECT_EQ(console_cursor_column(), 5);
  EXPECT_EQ(console_cursor_row(), 7);
  ConsoleTextInfo info{};
  ASSERT_NE(console_get_text_info(&info), 0);
  EXPECT_EQ(info.cursor_column, 5);
  EXPECT_EQ(info.cursor_row, 7);
  EXPECT_EQ(info.normal_attribute, 7);
  EXPECT_EQ(info.screen_mode, 3);
}

TEST_F(ConsoleTest, ClearScreenBlanksInTheCurrentAttributeAndHomesTheCursor) {
  put_text(3, 5, "text", 0x0F);
  console_move_cursor(10, 10);
  console_set_attribute(0x2F);
  console_clear_screen();
  EXPECT_EQ(console_cursor_column(), 1);
  EXPECT_EQ(console_cursor_row(), 1);
  const Row row = read_row(5, 1, 10);
  EXPECT_EQ(row.text, std::string(10, ' '));
  EXPECT_EQ(row.attributes, std::vector<WORD>(10, 0x2F));
}

TEST_F(ConsoleTest, CopyOntoAnOverlappingBlockUsesTheSourceAsItWas) {
  put_text(1, 2, "abcdef", 0x07);
  put_text(1, 3, "ghijkl", 0x1F);
  ASSERT_EQ(console_copy_block(1, 2, 4, 3, 2, 2), 1);
  EXPECT_EQ(read_row(2, 1, 6).text, "aabcdf");
  const Row second = read_row(3, 1, 6);
  EXPECT_EQ(second.text, "gghijl");
  EXPECT_EQ(second.attributes, std::vector<WORD>(6, 0x1F));
}

TEST_F(ConsoleTest, SavedBlocksComeBackNarrowWithoutHighAttributeBitsAndWideWhole) {
  put_text(1, 1, "ab", 0x841E);
  put_text(1, 2, "cd", 0x0407);
  std::array<char, 2 * 2 * 2> narrow{};
  std::array<CHAR_INFO, 2 * 2> wide{};
  ASSERT_EQ(console_save_block(1, 1, 2, 2, narrow.data()), 1);
  ASSERT_EQ(console_save_block_wide(1, 1, 2, 2, wide.data()), 1);
  EXPECT_EQ(std::string(narrow.data(), narrow.size()), std::string("a\x1e"
                                                                   "b\x1e"
                                                                   "c\x07"
                                                                   "d\x07",
                                                                   8));

  console_clear_screen();
  ASSERT_EQ(console_restore_block(1, 1, 2, 2, narrow.data()), 1);
  EXPECT_EQ(read_row(1, 1, 2).attributes, (std::vector<WORD>{0x1E, 0x1E}));
  EXPECT_EQ(read_row(2, 1, 2).text, "cd");

  console_clear_screen();
  ASSERT_EQ(console_restore_block_wide(1, 1, 2, 2, wide.data()), 1);
  EXPECT_EQ(read_row(1, 1, 2).attributes, (std::vector<WORD>{0x841E, 0x841E}));
  EXPECT_EQ(read_row(2, 1, 2).text, "cd");
}

TEST_F(ConsoleTest, AWholeScreenBlockTakesTwoBytesNarrowAndOneCellWidePerCell) {
  constexpr std::size_t kCells = 80 * 25;
  std::vector<char> narrow(2 * kCells + 1, '#');
  std::vector<CHAR_INFO> wide(kCells + 1);
  wide[kCells].Attributes = 0xABCD;
  ASSERT_EQ(console_save_block(1, 1, 80, 25, narrow.data()), 1);
  ASSERT_EQ(console_save_block_wide(1, 1, 80, 25, wide.data()), 1);
  EXPECT_EQ(narrow[2 * kCells - 2], ' ');
  EXPECT_EQ(narrow[2 * kCells], '#');
  EXPECT_EQ(wide[kCells].Attributes, 0xABCD);
}

TEST_F(ConsoleTest, BlocksTurnedInsideOutAreRefusedAndChangeNothing) {
  put_text(1, 1, "keep", 0x07);
  char narrow[8] = "unused";
  CHAR_INFO wide[4]{};
  EXPECT_EQ(console_copy_block(4, 1, 1, 1, 1, 2), 0);
  EXPECT_EQ(console_save_block(1, 2, 4, 1, narrow), 0);
  EXPECT_EQ(console_save_block_wide(2, 1, 1, 1, wide), 0);
  EXPECT_EQ(console_restore_block(4, 1, 1, 1, narrow), 0);
  EXPECT_EQ(console_restore_block_wide(1, 1, 1, 0, wide), 0);
  EXPECT_EQ(std::string(narrow), "unused");
  EXPECT_EQ(read_row(1, 1, 4).text, "keep");
  EXPECT_EQ(read_row(2, 1, 4).text, "    ");
}

}  // namespace
