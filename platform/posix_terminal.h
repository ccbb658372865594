// The controlling terminal as a Win32 console: a ScreenModel kept as the
// shadow of what the terminal shows, every change mirrored with VT sequences,
// and the layer's own account of where the terminal's cursor stands.
//
// Internal to platform/: posix_console.cc routes the console calls here when
// no test model is installed, and posix_start.cc reports what standard output
// writes to the terminal and whether standard output is its stream.
#ifndef RIRAVUVAVU_PLATFORM_POSIX_TERMINAL_H_
#define RIRAVUVAVU_PLATFORM_POSIX_TERMINAL_H_

#include <cstddef>
#include <span>

#include "platform/platform.h"
#include "platform/posix_screen_model.h"

// Opens the controlling terminal for one console operation; -1 when the
// process has none.
int terminal_open(bool inheritable);
// True when fd is open on the controlling terminal.
bool terminal_is_controlling(int fd);

// The shadow at the terminal's current size, with the cursor's position
// worked out: from the account where it knows, else asked of the terminal
// (once, with a short timeout). False when the size cannot be read.
bool terminal_query(int fd, CONSOLE_SCREEN_BUFFER_INFO* info);
// The shadow as it stands, for reading cells back.
const ScreenModel& terminal_shadow(int fd);

DWORD terminal_fill_characters(int fd, WCHAR character, DWORD length, COORD start);
DWORD terminal_fill_attributes(int fd, WORD attribute, DWORD length, COORD start);
bool terminal_set_cursor_position(int fd, COORD position);
bool terminal_set_cursor_info(int fd, const CONSOLE_CURSOR_INFO& cursor_info);
void terminal_set_attribute(int fd, WORD attribute);
bool terminal_scroll(int fd, const SMALL_RECT& scroll, const SMALL_RECT* clip, COORD destination,
                     ModelCell fill);
void terminal_write_region(int fd, const CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                           SMALL_RECT* region, bool wide);
// Text at the cursor: narrow text passes through as bytes, wide text as
// UTF-8. False when the terminal refuses the write.
bool terminal_write_text(int fd, const char* bytes, std::size_t length);
bool terminal_write_wide(int fd, const WCHAR* units, std::size_t length);

// Input modes map onto termios: line input is canonical mode, echo input is
// echo, processed input is signal keys and flow control. A mode that clears
// every flag makes each key arrive as its own byte.
bool terminal_get_input_mode(int fd, DWORD* mode);
bool terminal_set_input_mode(int fd, DWORD mode);
bool terminal_flush_input(int fd);
// Blocks until at least one byte arrives; false on a read error.
bool terminal_read_bytes(int fd, unsigned char* bytes, std::size_t capacity, std::size_t* count);

// What standard output wrote to the terminal: moves the account's cursor and
// writes the text into the shadow. An escape sequence written by anyone else
// leaves the cursor's position unknown until the terminal is asked again.
void terminal_note_output(const char* bytes, std::size_t length);
// True while standard output is posix_start.cc's stream, which reports what it
// writes through terminal_note_output.
bool standard_output_is_noted();
// Standard output's texts, each followed by the blanking of the rest of the
// row behind it, with the bytes and the shadow that terminal_note_output and
// then terminal_fill_characters and terminal_fill_attributes from the cursor
// to the row's end would give for each in turn, sent to standard output in
// one write. The texts lie one after another from `texts`, of the given
// lengths. False, with nothing written or noted, when the account does not
// know the cursor's place or a text holds an escape sequence.
bool terminal_write_output_and_clear_to_eol(int fd, const char* texts,
                                            std::span<const std::size_t> lengths);

#endif  // RIRAVUVAVU_PLATFORM_POSIX_TERMINAL_H_
