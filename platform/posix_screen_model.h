// An in-memory console screen buffer and input buffer with the Win32
// console's rules: cells of a UTF-16 character and an attribute, a window onto
// the buffer, a cursor, the current attribute, an input mode and a queue of
// keys. The tests use it as the console itself; the terminal backend keeps
// one as the shadow of what the terminal shows.
//
// Internal to platform/: the rest of the system sees only platform/platform.h.
#ifndef RIRAVUVAVU_PLATFORM_POSIX_SCREEN_MODEL_H_
#define RIRAVUVAVU_PLATFORM_POSIX_SCREEN_MODEL_H_

#include <cstddef>
#include <deque>
#include <vector>

#include "platform/platform.h"

struct ModelCell {
  WCHAR character;
  WORD attribute;
};

// Where text wraps: the console moves to the next row as soon as the last
// column is written; a VT terminal keeps the cursor on the last column until
// the next printable character arrives.
enum class WrapRule { kConsole, kTerminal };

struct ScreenModel {
  int columns = 0;
  int rows = 0;
  std::vector<ModelCell> cells;  // row by row
  SMALL_RECT window{};
  COORD cursor{};
  bool wrap_pending = false;  // WrapRule::kTerminal only
  CONSOLE_CURSOR_INFO cursor_info{25, TRUE};
  WORD attribute = 7;
  DWORD input_mode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
  std::deque<WCHAR> input;   // keys typed and not yet read
  std::deque<WCHAR> typing;  // keys the user types once a read waits
};

// Blank cells in attribute 7, cursor at the top-left, window as given
// (inclusive, 0-based).
void model_reset(ScreenModel& model, int columns, int rows, SMALL_RECT window);
// New size; the cells of the overlap are kept, the window is the whole buffer
// and the cursor is clamped into it.
void model_resize(ScreenModel& model, int columns, int rows);

inline bool model_contains(const ScreenModel& model, int column, int row) {
  return column >= 0 && row >= 0 && column < model.columns && row < model.rows;
}
inline ModelCell& model_cell(ScreenModel& model, int column, int row) {
  return model.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(model.columns) +
                     static_cast<std::size_t>(column)];
}

// Fills run from start along the row and on into the following rows, and
// stop at the buffer's end; a start outside the buffer fills nothing. Return
// the number of cells filled.
DWORD model_fill_characters(ScreenModel& model, WCHAR character, DWORD length, COORD start);
DWORD model_fill_attributes(ScreenModel& model, WORD attribute, DWORD length, COORD start);

// What a scroll did, for a mirror that repeats it elsewhere: the source
// rectangle clipped to the buffer, the offset every cell moved by, and the
// clip rectangle (the buffer when none was given). Only cells inside the clip
// changed.
struct ScrollEffect {
  SMALL_RECT source;
  int column_offset;
  int row_offset;
  SMALL_RECT clip;
};
// Moves the scroll rectangle so that its top-left lands on destination and
// fills the cells it uncovers with fill. False, with nothing changed, when
// the rectangle lies outside the buffer or the clip rectangle is empty.
bool model_scroll(ScreenModel& model, const SMALL_RECT& scroll, const SMALL_RECT* clip,
                  COORD destination, ModelCell fill, ScrollEffect* effect);

// Rectangles of cells between the buffer and a caller's array of size
// buffer_size, at buffer_coord within it. The region is clipped to the screen
// buffer and to the caller's array and handed back as the rectangle actually
// moved (Right < Left when none was). Narrow forms carry one byte per
// character: 0-255 map to U+0000-U+00FF, and any other character reads as
// '?'.
void model_read_region(const ScreenModel& model, CHAR_INFO* buffer, COORD buffer_size,
                       COORD buffer_coord, SMALL_RECT* region, bool wide);
void model_write_region(ScreenModel& model, const CHAR_INFO* buffer, COORD buffer_size,
                        COORD buffer_coord, SMALL_RECT* region, bool wide);

// One character written at the cursor in the current attribute: printable
// characters advance and wrap, CR, LF (also back to column 0), BS and TAB
// move the cursor, BEL does nothing; at the buffer's bottom a new row scrolls
// the whole buffer up. Under WrapRule::kTerminal other control characters do
// nothing; under kConsole they are shown like any other character.
void model_put_character(ScreenModel& model, WCHAR character, WrapRule rule);

// Moves the window as little as possible so that it shows the cursor.
void model_show_cursor(ScreenModel& model);

#endif  // RIRAVUVAVU_PLATFORM_POSIX_SCREEN_MODEL_H_
