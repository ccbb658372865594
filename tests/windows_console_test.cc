// The console operations on a real Windows console (under Wine, the headless
// console that the launcher gives every test): the device handles, blanking
// while standard output goes to a pipe, and the prompts reading keys typed
// into the console's input buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "platform/platform.h"

namespace {

// Our own handles on the console, to set up and to look at what the
// operations did.
struct ConsoleHandles {
  ConsoleHandles()
      : out(CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr)),
        in(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~ConsoleHandles() {
    CloseHandle(out);
    CloseHandle(in);
  }
  ConsoleHandles(const ConsoleHandles&) = delete;
  ConsoleHandles& operator=(const ConsoleHandles&) = delete;

  CONSOLE_SCREEN_BUFFER_INFO info() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(out, &info);
    return info;
  }
  std::string row_text(SHORT row) const {
    std::string text(info().dwSize.X, '\0');
    DWORD read = 0;
    ReadConsoleOutputCharacterA(out, text.data(), static_cast<DWORD>(text.size()), COORD{0, row},
                                &read);
    text.resize(read);
    return text;
  }
  std::vector<WORD> row_attributes(SHORT row) const {
    std::vector<WORD> attributes(info().dwSize.X, 0);
    DWORD read = 0;
    ReadConsoleOutputAttribute(out, attributes.data(), static_cast<DWORD>(attributes.size()),
                               COORD{0, row}, &read);
    attributes.resize(read);
    return attributes;
  }
  void fill_row(SHORT row, char character, WORD attribute) const {
    DWORD written = 0;
    FillConsoleOutputCharacterA(out, character, info().dwSize.X, COORD{0, row}, &written);
    FillConsoleOutputAttribute(out, attribute, info().dwSize.X, COORD{0, row}, &written);
  }

  HANDLE out;
  HANDLE in;
};

class WindowsConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(console_.out, INVALID_HANDLE_VALUE) << "run the test through wine_launcher";
    ASSERT_NE(console_.in, INVALID_HANDLE_VALUE);
    SetConsoleTextAttribute(console_.out, 0x07);
  }

  ConsoleHandles console_;
};

TEST_F(WindowsConsoleTest, DevicesOpenWithInheritableHandles) {
  for (const char* name : {"CONOUT$", "CONIN$"}) {
    HANDLE handle = open_console_device(name);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << name;
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, static_cast<DWORD>(HANDLE_FLAG_INHERIT)) << name;
    CloseHandle(handle);
  }
}

TEST_F(WindowsConsoleTest, ClearToEolBlanksTheConsoleRowWhileStandardOutputIsAPipe) {
  ASSERT_NE(GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)), static_cast<DWORD>(FILE_TYPE_CHAR))
      << "standard output must not be the console here";
  const SHORT row = 3;
  const SHORT width = console_.info().dwSize.X;
  console_.fill_row(row - 1, 'a', 0x07);
  console_.fill_row(row, 'x', 0x07);
  console_.fill_row(row + 1, 'z', 0x07);
  SetConsoleCursorPosition(console_.out, COORD{4, row});
  SetConsoleTextAttribute(console_.out, 0x1e);

  console_clear_to_eol();

  EXPECT_EQ(console_.row_text(row), "xxxx" + std::string(width - 4, ' '));
  std::vector<WORD> attributes(width, 0x1e);
  std::fill_n(attributes.begin(), 4, 0x07);
  EXPECT_EQ(console_.row_attributes(row), attributes);
  EXPECT_EQ(console_.row_text(row - 1), std::string(width, 'a'));
  EXPECT_EQ(console_.row_text(row + 1), std::string(width, 'z'));
  const COORD cursor = console_.info().dwCursorPosition;
  EXPECT_EQ(cursor.X, 4);
  EXPECT_EQ(cursor.Y, row);
}

TEST_F(WindowsConsoleTest, CursorShapesAndTheScreenStateRecord) {
  const struct {
    int shape;
    DWORD size;
    BOOL visible;
  } shapes[] = {{1, 99, TRUE}, {3, 99, TRUE}, {0, 10, FALSE}, {2, 10, TRUE}};
  for (const auto& c : shapes) {
    console_set_cursor_shape(c.shape);
    CONSOLE_CURSOR_INFO cursor{};
    GetConsoleCursorInfo(console_.out, &cursor);
    EXPECT_EQ(cursor.dwSize, c.size) << c.shape;
    EXPECT_EQ(cursor.bVisible, c.visible) << c.shape;
  }

  const CONSOLE_SCREEN_BUFFER_INFO buffer = console_.info();
  SetConsoleTextAttribute(console_.out, 0x14e);
  SetConsoleCursorPosition(console_.out, COORD{6, 8});
  ConsoleTextInfo info{};
  ASSERT_NE(console_get_text_info(&info), 0);
  const std::vector<unsigned char> expected = {
      static_cast<unsigned char>(buffer.srWindow.Left + 1),
      static_cast<unsigned char>(buffer.srWindow.Top + 1),
      static_cast<unsigned char>(buffer.srWindow.Right + 1),
      static_cast<unsigned char>(buffer.srWindow.Bottom + 1),
      0x4e,
      7,
      3,
      static_cast<unsigned char>(buffer.dwSize.Y),
      static_cast<unsigned char>(buffer.dwSize.X),
      7,
      9};
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + sizeof info), expected);
}

// Delete and insert move rows with the console's own scrolling: the window's
// columns only, from the cursor row to the window's bottom, and an insert
// keeps the bottom row on the buffer row below the window.
TEST_F(WindowsConsoleTest, DeleteAndInsertLineScrollTheWindowsRows) {
  const CONSOLE_SCREEN_BUFFER_INFO before = console_.info();
  const SHORT width = before.dwSize.X;
  const auto label_rows = [&](SHORT first, SHORT last) {
    for (SHORT row = first; row <= last; ++row) console_.fill_row(row, 'a' + row % 26, 0x07);
  };
  const auto cells = [&](SHORT row, SHORT left, SHORT right) {
    return console_.row_text(row).substr(left, right - left + 1);
  };
  // 40 columns and 25 rows of the 80-column buffer.
  const SMALL_RECT window{10, 0, 49, 24};
  ASSERT_TRUE(SetConsoleWindowInfo(console_.out, TRUE, &window));

  label_rows(0, 26);
  SetConsoleTextAttribute(console_.out, 0x1e);
  console_move_cursor(20, 6);
  console_delete_line();
  EXPECT_EQ(cells(4, 10, 49), std::string(40, 'e'));
  EXPECT_EQ(cells(5, 10, 49), std::string(40, 'g'));
  EXPECT_EQ(cells(23, 10, 49), std::string(40, 'y'));
  EXPECT_EQ(cells(24, 10, 49), std::string(40, ' '));
  EXPECT_EQ(console_.row_attributes(24)[10], 0x1e);
  EXPECT_EQ(cells(5, 0, 9) + cells(5, 50, 79), std::string(40, 'f'));
  EXPECT_EQ(console_.row_text(25), std::string(width, 'z'));
  EXPECT_EQ(console_.info().dwCursorPosition.X, 19);
  EXPECT_EQ(console_.info().dwCursorPosition.Y, 5);

  // On the window's bottom row the rows to move are none.
  label_rows(0, 26);
  console_move_cursor(11, 25);
  console_delete_line();
  EXPECT_EQ(console_.row_text(24), std::string(width, 'y'));

  label_rows(0, 26);
  SetConsoleTextAttribute(console_.out, 0x2f);
  console_move_cursor(11, 3);
  console_insert_line();
  EXPECT_EQ(cells(1, 10, 49), std::string(40, 'b'));
  EXPECT_EQ(cells(2, 10, 49), std::string(40, ' '));
  EXPECT_EQ(console_.row_attributes(2)[10], 0x2f);
  EXPECT_EQ(cells(3, 10, 49), std::string(40, 'c'));
  EXPECT_EQ(cells(25, 10, 49), std::string(40, 'y'));
  EXPECT_EQ(cells(26, 10, 49), std::string(40, 'a'));
  EXPECT_EQ(cells(2, 0, 9), std::string(10, 'c'));

  const SMALL_RECT whole{0, 0, static_cast<SHORT>(width - 1),
                         static_cast<SHORT>(before.dwSize.Y - 1)};
  SetConsoleWindowInfo(console_.out, TRUE, &whole);
}

// A key as the keyboard delivers it: the key's code, Ctrl if held, and the
// character it types.
struct Key {
  WORD virtual_key;
  DWORD control_keys;
  WCHAR character;
};

constexpr Key kEnter{VK_RETURN, 0, L'\r'};

void type_key(HANDLE input, const Key& key) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = key.virtual_key;
  record.Event.KeyEvent.dwControlKeyState = key.control_keys;
  record.Event.KeyEvent.uChar.UnicodeChar = key.character;
  DWORD written = 0;
  WriteConsoleInputW(input, &record, 1, &written);
}

// Types one key into the console's input buffer whenever the buffer is empty
// while a prompt has the input mode at 0, until the prompt has returned.
// Keys typed before the prompt discards pending input are lost, so only the
// keys that reach a read count: a prompt that reads eight keys returns the key
// eight times, and a prompt that reads Enter returns at once.
class KeyTyper {
 public:
  explicit KeyTyper(Key key) : thread_([this, key] { type(key); }) {}
  ~KeyTyper() {
    done_ = true;
    thread_.join();
  }
  KeyTyper(const KeyTyper&) = delete;
  KeyTyper& operator=(const KeyTyper&) = delete;

 private:
  void type(Key key) {
    const ConsoleHandles console;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done_) {
      DWORD mode = 1;
      DWORD pending = 1;
      GetConsoleMode(console.in, &mode);
      GetNumberOfConsoleInputEvents(console.in, &pending);
      const bool late = std::chrono::steady_clock::now() > give_up;
      // A prompt that does not read raw keys one by one gets Enter in the
      // end and returns something else, so the test fails rather than hangs.
      if ((mode == 0 || late) && pending == 0) type_key(console.in, late ? kEnter : key);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(WindowsConsoleTest, PromptStoresEveryKeyUnprocessedUnechoedAndRestoresTheMode) {
  // Keys are stored as they come: Enter ends the input, Backspace and Ctrl+C
  // are characters like any other.
  const struct {
    Key key;
    std::string expected;
  } cases[] = {
      {kEnter, ""},
      {{'K', 0, L'k'}, std::string(8, 'k')},
      {{VK_BACK, 0, L'\b'}, std::string(8, '\b')},
      {{'C', LEFT_CTRL_PRESSED, L'\x03'}, std::string(8, '\x03')},
  };
  // A Ctrl+C typed just as the prompt puts the processed input mode back must
  // not end the test program, then or later.
  SetConsoleCtrlHandler(nullptr, TRUE);
  DWORD mode_before = 0;
  GetConsoleMode(console_.in, &mode_before);
  const SHORT row = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.key.character));
    console_.fill_row(row, ' ', 0x07);
    console_.fill_row(row + 1, ' ', 0x07);
    SetConsoleCursorPosition(console_.out, COORD{0, row});
    // Typed before the prompt: discarded.
    type_key(console_.in, {'E', 0, L'e'});

    std::string answer;
    {
      const KeyTyper typer(c.key);
      answer = console_prompt_hidden("Key: ");
    }
    EXPECT_EQ(answer, c.expected);
    DWORD mode_after = 0;
    GetConsoleMode(console_.in, &mode_after);
    EXPECT_EQ(mode_after, mode_before);
    EXPECT_EQ(console_.row_text(row), "Key: " + std::string(console_.info().dwSize.X - 5, ' '));
    const COORD cursor = console_.info().dwCursorPosition;
    EXPECT_EQ(cursor.X, 0);
    EXPECT_EQ(cursor.Y, row + 1);
  }
}

TEST_F(WindowsConsoleTest, WidePromptReadsUtf16Units) {
  std::wstring answer;
  {
    const KeyTyper typer({'X', 0, 0x0416});  // CYRILLIC CAPITAL LETTER ZHE
    answer = console_prompt_hidden_wide(L"\x0416? ");
  }
  EXPECT_EQ(answer, std::wstring(8, 0x0416));
}

}  // namespace
