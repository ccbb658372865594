// Text-mode operations on the console's active screen buffer and input buffer.
//
// Every operation opens its own console device for the length of the call and
// closes it before it returns; coordinates at this interface are 1-based
// (column 1, row 1 is the buffer's top-left cell). Failures are silent: an
// operation that cannot reach the console changes nothing and returns its
// failure value where it has one.
#ifndef RIRAVUVAVU_CONSOLE_CONSOLE_H_
#define RIRAVUVAVU_CONSOLE_CONSOLE_H_

#include <cstddef>
#include <span>

#include "platform/platform.h"

// The screen's state in eleven bytes, each the low 8 bits of its value.
struct ConsoleTextInfo {
  unsigned char window_left;
  unsigned char window_top;
  unsigned char window_right;
  unsigned char window_bottom;
  unsigned char current_attribute;
  unsigned char normal_attribute;  // always 7
  unsigned char screen_mode;       // always 3
  unsigned char screen_height;     // buffer rows
  unsigned char screen_width;      // buffer columns
  unsigned char cursor_column;
  unsigned char cursor_row;
};

// Opens "CONOUT$" or "CONIN$" with an inheritable handle; returns
// INVALID_HANDLE_VALUE when the device cannot be opened.
HANDLE open_console_device(const char* device_name);
// Returns non-zero when *info was filled; 0 leaves it as it was.
int console_query_buffer_info(CONSOLE_SCREEN_BUFFER_INFO* info);
// Blanks from the cursor to the end of its buffer row in the current
// attribute; the cursor does not move.
void console_clear_to_eol();
// Writes the text to standard output, then blanks the console row from the
// cursor to its end, as fwrite then console_clear_to_eol do; where standard
// output is the console itself, both go out in one write.
void console_print_and_clear_to_eol(const char* text, std::size_t length);
// Texts one after another, each followed by the blanking of the console row
// behind it, as console_print_and_clear_to_eol writes each: the texts lie one
// after another from `texts`, of the given lengths. Where standard output is
// the console itself, or a file or a pipe, they go out in one write.
void console_print_each_and_clear_to_eol(const char* texts, std::span<const std::size_t> lengths);

void console_write_text(const char* text);
void console_write_text_wide(const WCHAR* text);
int console_get_text_info(ConsoleTextInfo* info);
void console_reset_screen();
void console_noop();
int console_cursor_column();
int console_cursor_row();
void console_move_cursor(int column, int row);
// 0 hidden, 1 block, 2 normal; any other shape leaves the cursor as it is.
void console_set_cursor_shape(int shape);
void console_high_intensity();
void console_low_intensity();
void console_normal_attribute();
void console_set_attribute(int attribute);
void console_set_background(int colour);
void console_set_foreground(int colour);
void console_clear_screen();
void console_delete_line();
void console_insert_line();
// Block operations return 1 on success and 0 on failure, including a block
// whose right edge lies left of its left edge or whose bottom lies above its
// top. The caller's buffer holds 2 bytes (narrow) or one CHAR_INFO (wide) per
// cell of the block.
int console_copy_block(int left, int top, int right, int bottom, int destination_column,
                       int destination_row);
int console_save_block(int left, int top, int right, int bottom, char* cells);
int console_save_block_wide(int left, int top, int right, int bottom, CHAR_INFO* cells);
int console_restore_block(int left, int top, int right, int bottom, const char* cells);
int console_restore_block_wide(int left, int top, int right, int bottom, const CHAR_INFO* cells);
// Writes the prompt and reads up to 8 characters without echo; returns the
// operation's static buffer, which the next call overwrites.
char* console_prompt_hidden(const char* prompt);
WCHAR* console_prompt_hidden_wide(const WCHAR* prompt);

#endif  // RIRAVUVAVU_CONSOLE_CONSOLE_H_
