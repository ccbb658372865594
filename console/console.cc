// Text-mode console operations, written against the Win32 console calls.
// Every operation opens its own device and closes it on every path; the
// results of the calls that do the work are not examined unless they are the
// operation's own result.
#include "console/console.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr CHAR kBlank = ' ';
constexpr WORD kNormalAttribute = 7;
constexpr unsigned char kScreenMode = 3;  // 80-column colour text
constexpr int kPromptLength = 8;
constexpr DWORD kNormalCursorSize = 10;
constexpr DWORD kBlockCursorSize = 99;
constexpr WCHAR kWideLineEnd[] = {13, 10, 0};

// One console device for the length of one operation.
class ConsoleDevice {
 public:
  explicit ConsoleDevice(const char* device_name) : handle_(open_console_device(device_name)) {}
  ~ConsoleDevice() {
    if (is_open()) CloseHandle(handle_);
  }
  ConsoleDevice(const ConsoleDevice&) = delete;
  ConsoleDevice& operator=(const ConsoleDevice&) = delete;

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using CellBuffer = std::unique_ptr<CHAR_INFO[], FreeDeleter>;

// A 1-based coordinate as the console takes it: 0-based, in 16 bits.
SHORT to_console(int coordinate) {
  return static_cast<SHORT>(static_cast<std::int64_t>(coordinate) - 1);
}

// A block's corners in console terms. Blocks turned inside out, and blocks
// whose width or height does not fit the console's 16 bits, are refused.
struct Block {
  SMALL_RECT region;
  COORD size;
  std::size_t cells;
};

bool make_block(int left, int top, int right, int bottom, Block* block) {
  const std::int64_t width = static_cast<std::int64_t>(right) - left + 1;
  const std::int64_t height = static_cast<std::int64_t>(bottom) - top + 1;
  if (width < 1 || height < 1 || width > INT16_MAX || height > INT16_MAX) return false;
  block->region = {to_console(left), to_console(top), to_console(right), to_console(bottom)};
  block->size = {static_cast<SHORT>(width), static_cast<SHORT>(height)};
  block->cells = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  return true;
}

// The working buffer starts zeroed, so cells that a clipped read leaves
// alone hold nothing of the heap's earlier contents.
CellBuffer make_cell_buffer(std::size_t cells) {
  return CellBuffer(static_cast<CHAR_INFO*>(std::calloc(cells, sizeof(CHAR_INFO))));
}

// Runs change(current attribute) and sets the result, on the operation's own
// handle; sets nothing when the query fails.
template <typename Change>
void change_attribute(Change change) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(console.get(), &info)) return;
  SetConsoleTextAttribute(console.get(), static_cast<WORD>(change(info.wAttributes) & 0xFFFFu));
}

// Moves the window's rows from the cursor's row (or the row below it) to the
// window's bottom by row_offset rows, within the window's columns; what they
// uncover becomes blanks in the current attribute.
void scroll_window_rows(bool from_row_below_cursor, int row_offset) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(console.get(), &info)) return;
  const SHORT first_row =
      static_cast<SHORT>(info.dwCursorPosition.Y + (from_row_below_cursor ? 1 : 0));
  const SMALL_RECT scroll = {info.srWindow.Left, first_row, info.srWindow.Right,
                             info.srWindow.Bottom};
  const COORD destination = {info.srWindow.Left, static_cast<SHORT>(first_row + row_offset)};
  CHAR_INFO fill{};
  fill.Char.AsciiChar = kBlank;
  fill.Attributes = info.wAttributes;
  ScrollConsoleScreenBufferA(console.get(), &scroll, nullptr, destination, &fill);
}

// The unechoed prompt in either width: Char is char or WCHAR.
template <typename Char, typename Write, typename Read>
Char* prompt_hidden(Char (&buffer)[kPromptLength + 1], const Char* prompt, const Char* line_end,
                    Write write_text, Read read_one) {
  buffer[0] = 0;
  ConsoleDevice input("CONIN$");
  if (!input.is_open()) return buffer;
  DWORD saved_mode = 0;
  if (GetConsoleMode(input.get(), &saved_mode) && SetConsoleMode(input.get(), 0)) {
    write_text(prompt);
    FlushConsoleInputBuffer(input.get());
    int position = 0;
    while (position < kPromptLength) {
      DWORD read = 0;
      // A read that brings nothing ends the input here: counting it would
      // leave a character of an earlier answer in the buffer.
      if (!read_one(input.get(), &buffer[position], &read) || read != 1) break;
      if (buffer[position] == 13) break;
      ++position;
    }
    buffer[position] = 0;
    write_text(line_end);
    SetConsoleMode(input.get(), saved_mode);
  }
  FlushConsoleInputBuffer(input.get());
  return buffer;
}

char narrow_prompt_buffer[kPromptLength + 1];
WCHAR wide_prompt_buffer[kPromptLength + 1];

}  // namespace

HANDLE open_console_device(const char* device_name) {
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  return CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &security, OPEN_EXISTING, 0, nullptr);
}

int console_query_buffer_info(CONSOLE_SCREEN_BUFFER_INFO* info) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  return GetConsoleScreenBufferInfo(console.get(), info) ? 1 : 0;
}

void console_clear_to_eol() {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(console.get(), &info)) return;
  const DWORD count = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
  DWORD written = 0;
  FillConsoleOutputCharacterA(console.get(), kBlank, count, info.dwCursorPosition, &written);
  FillConsoleOutputAttribute(console.get(), info.wAttributes, count, info.dwCursorPosition,
                             &written);
}

void console_print_and_clear_to_eol(const char* text, std::size_t length) {
  console_print_each_and_clear_to_eol(text, std::span(&length, 1));
}

void console_print_each_and_clear_to_eol(const char* texts, std::span<const std::size_t> lengths) {
  if (platform_print_and_clear_to_eol(texts, lengths)) return;
  if (lengths.size() > 1 && !platform_standard_output_is_console()) {
    // Writing to a file or a pipe does not move the console's cursor, where
    // the clearing acts: clearing once after all the texts leaves the screen
    // as clearing after each would.
    std::size_t total = 0;
    for (const std::size_t length : lengths) total += length;
    std::fwrite(texts, 1, total, stdout);
    console_clear_to_eol();
    return;
  }
  for (const std::size_t length : lengths) {
    std::fwrite(texts, 1, length, stdout);
    console_clear_to_eol();
    texts += length;
  }
}

void console_write_text(const char* text) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  DWORD written = 0;
  WriteConsoleA(console.get(), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

void console_write_text_wide(const WCHAR* text) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  DWORD written = 0;
  WriteConsoleW(console.get(), text, static_cast<DWORD>(lstrlenW(text)), &written, nullptr);
}

int console_get_text_info(ConsoleTextInfo* info) {
  CONSOLE_SCREEN_BUFFER_INFO buffer{};
  if (!console_query_buffer_info(&buffer)) return 0;
  const auto low_byte = [](int value) { return static_cast<unsigned char>(value & 0xFF); };
  info->window_left = low_byte(buffer.srWindow.Left + 1);
  info->window_top = low_byte(buffer.srWindow.Top + 1);
  info->window_right = low_byte(buffer.srWindow.Right + 1);
  info->window_bottom = low_byte(buffer.srWindow.Bottom + 1);
  info->current_attribute = low_byte(buffer.wAttributes);
  info->normal_attribute = low_byte(kNormalAttribute);
  info->screen_mode = kScreenMode;
  info->screen_height = low_byte(buffer.dwSize.Y);
  info->screen_width = low_byte(buffer.dwSize.X);
  info->cursor_column = low_byte(buffer.dwCursorPosition.X + 1);
  info->cursor_row = low_byte(buffer.dwCursorPosition.Y + 1);
  return 1;
}

void console_reset_screen() {
  console_normal_attribute();
  console_clear_screen();
  console_set_cursor_shape(2);
}

void console_noop() {}

int console_cursor_column() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  return console_query_buffer_info(&info) ? info.dwCursorPosition.X + 1 : 1;
}

int console_cursor_row() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  return console_query_buffer_info(&info) ? info.dwCursorPosition.Y + 1 : 1;
}

void console_move_cursor(int column, int row) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  SetConsoleCursorPosition(console.get(), {to_console(column), to_console(row)});
}

void console_set_cursor_shape(int shape) {
  CONSOLE_CURSOR_INFO cursor{};
  switch (shape) {
    case 0:
      cursor = {kNormalCursorSize, FALSE};
      break;
    case 1:
      cursor = {kBlockCursorSize, TRUE};
      break;
    case 2:
      cursor = {kNormalCursorSize, TRUE};
      break;
    default:
      return;
  }
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  SetConsoleCursorInfo(console.get(), &cursor);
}

void console_high_intensity() {
  change_attribute([](unsigned current) { return current | 8u; });
}

void console_low_intensity() {
  change_attribute([](unsigned current) { return current & ~8u; });
}

void console_normal_attribute() {
  console_set_attribute(kNormalAttribute);
}

void console_set_attribute(int attribute) {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  SetConsoleTextAttribute(console.get(), static_cast<WORD>(static_cast<unsigned>(attribute)));
}

void console_set_background(int colour) {
  change_attribute([colour](unsigned current) {
    return (static_cast<unsigned>(colour) << 4) | (current & 0x0Fu);
  });
}

void console_set_foreground(int colour) {
  change_attribute(
      [colour](unsigned current) { return static_cast<unsigned>(colour) | (current & 0xF0u); });
}

void console_clear_screen() {
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(console.get(), &info)) return;
  const DWORD count = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  const COORD origin = {0, 0};
  DWORD written = 0;
  FillConsoleOutputCharacterA(console.get(), kBlank, count, origin, &written);
  FillConsoleOutputAttribute(console.get(), info.wAttributes, count, origin, &written);
  SetConsoleCursorPosition(console.get(), origin);
}

void console_delete_line() {
  scroll_window_rows(true, -1);
}

void console_insert_line() {
  scroll_window_rows(false, 1);
}

int console_copy_block(int left, int top, int right, int bottom, int destination_column,
                       int destination_row) {
  Block block{};
  if (!make_block(left, top, right, bottom, &block)) return 0;
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(console.get(), &info)) return 0;
  CellBuffer cells = make_cell_buffer(block.cells);
  if (cells == nullptr) return 0;
  SMALL_RECT read_region = block.region;
  if (!ReadConsoleOutputA(console.get(), cells.get(), block.size, {0, 0}, &read_region)) return 0;
  // Only the cells that were read are written: where the block runs off the
  // buffer, the destination keeps its own cells.
  const SHORT skipped_columns = static_cast<SHORT>(read_region.Left - block.region.Left);
  const SHORT skipped_rows = static_cast<SHORT>(read_region.Top - block.region.Top);
  const SHORT first_column = static_cast<SHORT>(to_console(destination_column) + skipped_columns);
  const SHORT first_row = static_cast<SHORT>(to_console(destination_row) + skipped_rows);
  if (read_region.Right < read_region.Left || read_region.Bottom < read_region.Top) return 1;
  SMALL_RECT write_region = {
      first_column, first_row,
      static_cast<SHORT>(first_column + read_region.Right - read_region.Left),
      static_cast<SHORT>(first_row + read_region.Bottom - read_region.Top)};
  return WriteConsoleOutputA(console.get(), cells.get(), block.size,
                             {skipped_columns, skipped_rows}, &write_region)
             ? 1
             : 0;
}

int console_save_block(int left, int top, int right, int bottom, char* cells) {
  Block block{};
  if (!make_block(left, top, right, bottom, &block)) return 0;
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  CellBuffer work = make_cell_buffer(block.cells);
  if (work == nullptr) return 0;
  SMALL_RECT read_region = block.region;
  if (!ReadConsoleOutputA(console.get(), work.get(), block.size, {0, 0}, &read_region)) return 0;
  // Cells of the block that lie off the buffer were not read; their bytes in
  // the caller's buffer stay as they were.
  for (int row = read_region.Top; row <= read_region.Bottom; ++row) {
    for (int column = read_region.Left; column <= read_region.Right; ++column) {
      const std::size_t index = static_cast<std::size_t>(row - block.region.Top) * block.size.X +
                                static_cast<std::size_t>(column - block.region.Left);
      cells[2 * index] = work[index].Char.AsciiChar;
      cells[2 * index + 1] = static_cast<char>(work[index].Attributes & 0xFF);
    }
  }
  return 1;
}

int console_save_block_wide(int left, int top, int right, int bottom, CHAR_INFO* cells) {
  Block block{};
  if (!make_block(left, top, right, bottom, &block)) return 0;
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  SMALL_RECT read_region = block.region;
  return ReadConsoleOutputW(console.get(), cells, block.size, {0, 0}, &read_region) ? 1 : 0;
}

int console_restore_block(int left, int top, int right, int bottom, const char* cells) {
  Block block{};
  if (!make_block(left, top, right, bottom, &block)) return 0;
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  CellBuffer work = make_cell_buffer(block.cells);
  if (work == nullptr) return 0;
  for (std::size_t i = 0; i < block.cells; ++i) {
    work[i].Char.AsciiChar = cells[2 * i];
    work[i].Attributes = static_cast<unsigned char>(cells[2 * i + 1]);
  }
  SMALL_RECT write_region = block.region;
  return WriteConsoleOutputA(console.get(), work.get(), block.size, {0, 0}, &write_region) ? 1 : 0;
}

int console_restore_block_wide(int left, int top, int right, int bottom, const CHAR_INFO* cells) {
  Block block{};
  if (!make_block(left, top, right, bottom, &block)) return 0;
  ConsoleDevice console("CONOUT$");
  if (!console.is_open()) return 0;
  SMALL_RECT write_region = block.region;
  return WriteConsoleOutputW(console.get(), cells, block.size, {0, 0}, &write_region) ? 1 : 0;
}

char* console_prompt_hidden(const char* prompt) {
  return prompt_hidden(narrow_prompt_buffer, prompt, "\r\n", console_write_text,
                       [](HANDLE input, char* slot, DWORD* read) {
                         return ReadConsoleA(input, slot, 1, read, nullptr) != FALSE;
                       });
}

WCHAR* console_prompt_hidden_wide(const WCHAR* prompt) {
  return prompt_hidden(wide_prompt_buffer, prompt, kWideLineEnd, console_write_text_wide,
                       [](HANDLE input, WCHAR* slot, DWORD* read) {
                         return ReadConsoleW(input, slot, 1, read, nullptr) != FALSE;
                       });
}
