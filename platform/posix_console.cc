// The Win32 console calls on POSIX. A handle names "CONOUT$" or "CONIN$" of
// the process's console, which is the controlling terminal, or, once a test
// installs one, an in-memory screen buffer with the same rules. Without a
// controlling terminal there is no console: CreateFileA fails at once.

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix_screen_model.h"
#include "platform/posix_terminal.h"

namespace {

enum class Device { kOutput, kInput };
enum class Source { kTerminal, kModel, kNone };

struct ConsoleHandle {
  Device device;
  Source source;
  int fd;  // the terminal's, for Source::kTerminal
  // The second half of a surrogate pair that a one-unit read could not take.
  WCHAR held_unit = 0;
};

struct Installed {
  Source source = Source::kTerminal;
  ScreenModel model;
  unsigned failing_calls = 0;
};

Installed& installed() {
  static Installed state;
  return state;
}

ConsoleHandle* as_console(HANDLE handle, Device device) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* console = static_cast<ConsoleHandle*>(handle);
  return console->device == device ? console : nullptr;
}

// The model, when the handle is one of its handles.
ScreenModel* model_of(const ConsoleHandle* console) {
  return console->source == Source::kModel ? &installed().model : nullptr;
}

bool model_fails(unsigned call) {
  return (installed().failing_calls & call) != 0;
}

void set_count(DWORD* count, DWORD value) {
  if (count != nullptr) *count = value;
}

// Up to to_read UTF-16 units from the terminal, one UTF-8 sequence at a time.
BOOL read_terminal_wide(ConsoleHandle* console, WCHAR* units, DWORD to_read, DWORD* read) {
  DWORD got = 0;
  if (console->held_unit != 0) {
    units[got++] = console->held_unit;
    console->held_unit = 0;
  }
  while (got == 0) {
    unsigned char lead = 0;
    std::size_t count = 0;
    if (!terminal_read_bytes(console->fd, &lead, 1, &count)) return FALSE;
    if (count == 0) break;
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t code_point = extra == 0 ? lead : lead & (0x3F >> extra);
    bool whole = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4);
    for (int i = 0; i < extra && whole; ++i) {
      unsigned char next = 0;
      if (!terminal_read_bytes(console->fd, &next, 1, &count)) return FALSE;
      whole = count == 1 && (next & 0xC0) == 0x80;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    if (!whole || code_point > 0x10FFFF) code_point = 0xFFFD;
    if (code_point < 0x10000) {
      units[got++] = static_cast<WCHAR>(code_point);
    } else {
      const char32_t offset = code_point - 0x10000;
      units[got++] = static_cast<WCHAR>(0xD800 + (offset >> 10));
      const WCHAR low = static_cast<WCHAR>(0xDC00 + (offset & 0x3FF));
      if (got < to_read) {
        units[got++] = low;
      } else {
        console->held_unit = low;
      }
    }
  }
  set_count(read, got);
  return TRUE;
}

// Keys from the model's input queue; a read that finds it empty waits for
// what the user types, and fails when nobody types.
BOOL read_model(ScreenModel& model, void* buffer, DWORD to_read, DWORD* read, bool wide) {
  if (model.input.empty()) {
    model.input.insert(model.input.end(), model.typing.begin(), model.typing.end());
    model.typing.clear();
  }
  if (model.input.empty() || model_fails(kModelFailReadConsole)) return FALSE;
  DWORD got = 0;
  while (got < to_read && !model.input.empty()) {
    const WCHAR key = model.input.front();
    model.input.pop_front();
    if (wide) {
      static_cast<WCHAR*>(buffer)[got] = key;
    } else {
      static_cast<char*>(buffer)[got] = static_cast<char>(key <= 0xFF ? key : u'?');
    }
    ++got;
  }
  set_count(read, got);
  return TRUE;
}

BOOL write_model_text(ScreenModel& model, const WCHAR* units, DWORD length) {
  for (DWORD i = 0; i < length; ++i) model_put_character(model, units[i], WrapRule::kConsole);
  model_show_cursor(model);
  return TRUE;
}

// The controlling terminal's descriptor that every handle of the terminal
// shares, opened by the first: a console operation then costs no open and
// close of its own. One kept open for inheritable handles stays inheritable
// between handles, which matters only to a program started in between, and
// this layer starts none.
int terminal_descriptor(bool inheritable) {
  static int descriptors[2] = {-1, -1};
  int& fd = descriptors[inheritable ? 1 : 0];
  if (fd < 0) fd = terminal_open(inheritable);
  return fd;
}

}  // namespace

HANDLE CreateFileA(LPCSTR file_name, DWORD /*desired_access*/, DWORD /*share_mode*/,
                   SECURITY_ATTRIBUTES* security_attributes, DWORD /*creation_disposition*/,
                   DWORD /*flags_and_attributes*/, HANDLE /*template_file*/) {
  Device device;
  if (std::strcmp(file_name, "CONOUT$") == 0) {
    device = Device::kOutput;
  } else if (std::strcmp(file_name, "CONIN$") == 0) {
    device = Device::kInput;
  } else {
    return INVALID_HANDLE_VALUE;
  }
  const Source source = installed().source;
  if (source == Source::kNone) return INVALID_HANDLE_VALUE;
  int fd = -1;
  if (source == Source::kTerminal) {
    const bool inheritable = security_attributes != nullptr && security_attributes->bInheritHandle;
    fd = terminal_descriptor(inheritable);
    if (fd < 0) return INVALID_HANDLE_VALUE;
  }
  auto* console = new (std::nothrow) ConsoleHandle{device, source, fd};
  return console == nullptr ? INVALID_HANDLE_VALUE : console;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return FALSE;
  // The terminal's descriptor stays open for the next handle.
  delete static_cast<ConsoleHandle*>(handle);
  return TRUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE handle, CONSOLE_SCREEN_BUFFER_INFO* info) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (model_fails(kModelFailBufferInfo)) return FALSE;
    info->dwSize = {static_cast<SHORT>(model->columns), static_cast<SHORT>(model->rows)};
    info->dwCursorPosition = model->cursor;
    info->wAttributes = model->attribute;
    info->srWindow = model->window;
    info->dwMaximumWindowSize = {static_cast<SHORT>(model->window.Right - model->window.Left + 1),
                                 static_cast<SHORT>(model->window.Bottom - model->window.Top + 1)};
    return TRUE;
  }
  return terminal_query(console->fd, info) ? TRUE : FALSE;
}

BOOL FillConsoleOutputCharacterA(HANDLE handle, CHAR character, DWORD length, COORD start,
                                 DWORD* cells_written) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  const WCHAR wide = static_cast<unsigned char>(character);
  ScreenModel* model = model_of(console);
  set_count(cells_written, model != nullptr
                               ? model_fill_characters(*model, wide, length, start)
                               : terminal_fill_characters(console->fd, wide, length, start));
  return TRUE;
}

BOOL FillConsoleOutputAttribute(HANDLE handle, WORD attribute, DWORD length, COORD start,
                                DWORD* cells_written) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  ScreenModel* model = model_of(console);
  set_count(cells_written, model != nullptr
                               ? model_fill_attributes(*model, attribute, length, start)
                               : terminal_fill_attributes(console->fd, attribute, length, start));
  return TRUE;
}

BOOL SetConsoleCursorPosition(HANDLE handle, COORD position) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (!model_contains(*model, position.X, position.Y)) return FALSE;
    model->cursor = position;
    model_show_cursor(*model);
    return TRUE;
  }
  return terminal_set_cursor_position(console->fd, position) ? TRUE : FALSE;
}

BOOL SetConsoleCursorInfo(HANDLE handle, const CONSOLE_CURSOR_INFO* cursor_info) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (cursor_info->dwSize < 1 || cursor_info->dwSize > 100) return FALSE;
    model->cursor_info = *cursor_info;
    return TRUE;
  }
  return terminal_set_cursor_info(console->fd, *cursor_info) ? TRUE : FALSE;
}

BOOL SetConsoleTextAttribute(HANDLE handle, WORD attribute) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    model->attribute = attribute;
  } else {
    terminal_set_attribute(console->fd, attribute);
  }
  return TRUE;
}

BOOL ScrollConsoleScreenBufferA(HANDLE handle, const SMALL_RECT* scroll_rectangle,
                                const SMALL_RECT* clip_rectangle, COORD destination_origin,
                                const CHAR_INFO* fill) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr || scroll_rectangle == nullptr || fill == nullptr) return FALSE;
  const ModelCell fill_cell{static_cast<WCHAR>(static_cast<unsigned char>(fill->Char.AsciiChar)),
                            fill->Attributes};
  if (ScreenModel* model = model_of(console)) {
    return model_scroll(*model, *scroll_rectangle, clip_rectangle, destination_origin, fill_cell,
                        nullptr)
               ? TRUE
               : FALSE;
  }
  return terminal_scroll(console->fd, *scroll_rectangle, clip_rectangle, destination_origin,
                         fill_cell)
             ? TRUE
             : FALSE;
}

namespace {

BOOL read_output(HANDLE handle, CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                 SMALL_RECT* read_region, bool wide) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr || buffer == nullptr || read_region == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (model_fails(kModelFailReadOutput)) return FALSE;
    model_read_region(*model, buffer, buffer_size, buffer_coord, read_region, wide);
  } else {
    model_read_region(terminal_shadow(console->fd), buffer, buffer_size, buffer_coord, read_region,
                      wide);
  }
  return TRUE;
}

BOOL write_output(HANDLE handle, const CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                  SMALL_RECT* write_region, bool wide) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr || buffer == nullptr || write_region == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (model_fails(kModelFailWriteOutput)) return FALSE;
    model_write_region(*model, buffer, buffer_size, buffer_coord, write_region, wide);
  } else {
    terminal_write_region(console->fd, buffer, buffer_size, buffer_coord, write_region, wide);
  }
  return TRUE;
}

}  // namespace

BOOL ReadConsoleOutputA(HANDLE handle, CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                        SMALL_RECT* read_region) {
  return read_output(handle, buffer, buffer_size, buffer_coord, read_region, false);
}

BOOL ReadConsoleOutputW(HANDLE handle, CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                        SMALL_RECT* read_region) {
  return read_output(handle, buffer, buffer_size, buffer_coord, read_region, true);
}

BOOL WriteConsoleOutputA(HANDLE handle, const CHAR_INFO* buffer, COORD buffer_size,
                         COORD buffer_coord, SMALL_RECT* write_region) {
  return write_output(handle, buffer, buffer_size, buffer_coord, write_region, false);
}

BOOL WriteConsoleOutputW(HANDLE handle, const CHAR_INFO* buffer, COORD buffer_size,
                         COORD buffer_coord, SMALL_RECT* write_region) {
  return write_output(handle, buffer, buffer_size, buffer_coord, write_region, true);
}

BOOL WriteConsoleA(HANDLE handle, const void* buffer, DWORD length, DWORD* written,
                   void* /*reserved*/) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  const auto* bytes = static_cast<const char*>(buffer);
  BOOL result = TRUE;
  if (ScreenModel* model = model_of(console)) {
    std::u16string units(length, u'\0');
    for (DWORD i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(bytes[i]);
    result = write_model_text(*model, units.data(), length);
  } else {
    result = terminal_write_text(console->fd, bytes, length) ? TRUE : FALSE;
  }
  set_count(written, result ? length : 0);
  return result;
}

BOOL WriteConsoleW(HANDLE handle, const void* buffer, DWORD length, DWORD* written,
                   void* /*reserved*/) {
  ConsoleHandle* console = as_console(handle, Device::kOutput);
  if (console == nullptr) return FALSE;
  const auto* units = static_cast<const WCHAR*>(buffer);
  ScreenModel* model = model_of(console);
  const BOOL result = model != nullptr
                          ? write_model_text(*model, units, length)
                          : (terminal_write_wide(console->fd, units, length) ? TRUE : FALSE);
  set_count(written, result ? length : 0);
  return result;
}

int lstrlenA(LPCSTR text) {
  return text == nullptr ? 0 : static_cast<int>(std::strlen(text));
}

int lstrlenW(LPCWSTR text) {
  if (text == nullptr) return 0;
  int length = 0;
  while (text[length] != 0) ++length;
  return length;
}

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  if (as_console(handle, Device::kOutput) != nullptr) {
    // Processed output with wrapping at the end of a row, as text is shown.
    *mode = 0x0003;
    return TRUE;
  }
  ConsoleHandle* console = as_console(handle, Device::kInput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (model_fails(kModelFailGetMode)) return FALSE;
    *mode = model->input_mode;
    return TRUE;
  }
  return terminal_get_input_mode(console->fd, mode) ? TRUE : FALSE;
}

BOOL SetConsoleMode(HANDLE handle, DWORD mode) {
  if (as_console(handle, Device::kOutput) != nullptr) return TRUE;
  ConsoleHandle* console = as_console(handle, Device::kInput);
  if (console == nullptr) return FALSE;
  if (ScreenModel* model = model_of(console)) {
    if (model_fails(kModelFailSetMode)) return FALSE;
    model->input_mode = mode;
    return TRUE;
  }
  return terminal_set_input_mode(console->fd, mode) ? TRUE : FALSE;
}

BOOL FlushConsoleInputBuffer(HANDLE handle) {
  ConsoleHandle* console = as_console(handle, Device::kInput);
  if (console == nullptr) return FALSE;
  console->held_unit = 0;
  if (ScreenModel* model = model_of(console)) {
    model->input.clear();
    return TRUE;
  }
  return terminal_flush_input(console->fd) ? TRUE : FALSE;
}

BOOL ReadConsoleA(HANDLE handle, void* buffer, DWORD to_read, DWORD* read,
                  void* /*input_control*/) {
  ConsoleHandle* console = as_console(handle, Device::kInput);
  if (console == nullptr || buffer == nullptr || to_read == 0) return FALSE;
  if (ScreenModel* model = model_of(console))
    return read_model(*model, buffer, to_read, read, false);
  std::size_t count = 0;
  if (!terminal_read_bytes(console->fd, static_cast<unsigned char*>(buffer), to_read, &count)) {
    return FALSE;
  }
  set_count(read, static_cast<DWORD>(count));
  return TRUE;
}

BOOL ReadConsoleW(HANDLE handle, void* buffer, DWORD to_read, DWORD* read,
                  void* /*input_control*/) {
  ConsoleHandle* console = as_console(handle, Device::kInput);
  if (console == nullptr || buffer == nullptr || to_read == 0) return FALSE;
  if (ScreenModel* model = model_of(console))
    return read_model(*model, buffer, to_read, read, true);
  return read_terminal_wide(console, static_cast<WCHAR*>(buffer), to_read, read);
}

bool platform_print_and_clear_to_eol(const char* texts, std::span<const std::size_t> lengths) {
  if (installed().source != Source::kTerminal || !standard_output_is_noted()) return false;
  // The descriptor that console_clear_to_eol's handle would have.
  const int fd = terminal_descriptor(true);
  return fd >= 0 && terminal_write_output_and_clear_to_eol(fd, texts, lengths);
}

// ---- Test hooks ----------------------------------------------------------

void platform_use_screen_model(int columns, int rows, SMALL_RECT window) {
  Installed& state = installed();
  state.source = Source::kModel;
  state.failing_calls = 0;
  model_reset(state.model, columns, rows, window);
}

void platform_use_no_console() {
  installed().source = Source::kNone;
}

void platform_use_terminal() {
  installed().source = Source::kTerminal;
}

void platform_model_fail_calls(unsigned calls) {
  installed().failing_calls = calls;
}

CHAR_INFO platform_model_cell(int column, int row) {
  CHAR_INFO info{};
  const ModelCell cell = model_cell(installed().model, column, row);
  info.Char.UnicodeChar = cell.character;
  info.Attributes = cell.attribute;
  return info;
}

CONSOLE_CURSOR_INFO platform_model_cursor_info() {
  return installed().model.cursor_info;
}

void platform_model_type_ahead(const WCHAR* keys) {
  for (; *keys != 0; ++keys) installed().model.input.push_back(*keys);
}

void platform_model_type_while_reading(const WCHAR* keys) {
  for (; *keys != 0; ++keys) installed().model.typing.push_back(*keys);
}

int platform_model_pending_keys() {
  const ScreenModel& model = installed().model;
  return static_cast<int>(model.input.size() + model.typing.size());
}
