// The controlling terminal as a Win32 console.
//
// A VT terminal cannot report what it shows, so the layer keeps a ScreenModel
// as the shadow of the screen (the buffer and the window are the terminal's
// size) and answers every read of cells from it. Each change is applied to
// the shadow and mirrored onto the terminal, the whole update built in one
// buffer and sent with one write(). The cursor's position is the layer's own
// account, kept up to date from what it draws and from what standard output
// writes (terminal_note_output); the terminal is asked (DSR) only when the
// account cannot know, such as the first time a query needs the row.
//
// Escape sequences sent (CSI is ESC [):
//
// | Sequence          | Effect                                                    |
// |-------------------|-----------------------------------------------------------|
// | CSI row ; col H   | CUP: cursor to row, column (1-based)                      |
// | CSI col G         | CHA: cursor to a column of the same row                   |
// | CSI K             | EL: erase from the cursor to the end of the row           |
// | CSI n X           | ECH: erase n cells from the cursor; the cursor stays      |
// | CSI top ; bot r   | DECSTBM: scroll margins (homes the cursor)                |
// | CSI r             | DECSTBM: margins back to the whole screen                 |
// | CSI n L           | IL: n blank rows at the cursor row, rows below move down  |
// | CSI n M           | DL: n rows at the cursor row go, rows below move up       |
// | CSI 0;... m       | SGR: reset, then 4 underline, 7 reverse, 30-37 / 90-97    |
// |                   | foreground, 40-47 / 100-107 background                    |
// | CSI ? 25 h / l    | DECTCEM: show / hide the cursor                           |
// | CSI n SP q        | DECSCUSR: cursor shape, 0 the terminal's own, 2 block     |
// | CSI 6 n           | DSR: asks for the cursor, answered by CSI row ; col R     |
//
// Erasing (EL, ECH) and inserting or deleting rows (IL, DL) blank the cells in
// the background colour in force, so the SGR of the fill cell goes first.
#include "platform/posix_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr WORD kNormalAttribute = 7;
constexpr WCHAR kBlank = u' ';
constexpr int kSgrUnknown = -1;
// Long enough for a round trip over a slow network link; paid at most once
// when the terminal never answers.
constexpr int kReportTimeoutMilliseconds = 1000;
constexpr WORD kUnderscore = 0x8000;  // COMMON_LVB_UNDERSCORE
constexpr WORD kReverse = 0x4000;     // COMMON_LVB_REVERSE_VIDEO
constexpr DWORD kInputModeFlags = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

// The glyphs the console shows for the control characters 1 to 31 (code page
// 437), so a cell holding one never sends a control byte to the terminal.
constexpr char16_t kControlGlyphs[32] = {
    u' ',      u'\u263A', u'\u263B', u'\u2665', u'\u2666', u'\u2663', u'\u2660', u'\u2022',
    u'\u25D8', u'\u25CB', u'\u25D9', u'\u2642', u'\u2640', u'\u266A', u'\u266B', u'\u263C',
    u'\u25BA', u'\u25C4', u'\u2195', u'\u203C', u'\u00B6', u'\u00A7', u'\u25AC', u'\u21A8',
    u'\u2191', u'\u2193', u'\u2192', u'\u2190', u'\u221F', u'\u2194', u'\u25B2', u'\u25BC'};

// Where an escape sequence in someone else's output stands.
enum class EscapeState { kNone, kEscape, kCsi, kString, kStringEscape };

struct Terminal {
  ScreenModel shadow;
  bool sized = false;
  bool column_known = false;
  bool row_known = false;
  bool report_unanswered = false;
  bool onlcr = true;
  long size_asked_at = 0;      // CLOCK_MONOTONIC nanoseconds
  int sgr = kNormalAttribute;  // what the terminal's SGR stands at
  // Standard output's bytes as they arrive, split across writes.
  EscapeState escape = EscapeState::kNone;
  char32_t code_point = 0;
  int continuation_bytes = 0;
};

Terminal& terminal() {
  static Terminal state;
  return state;
}

// ---- Restoring the terminal when a signal ends the process ----------------

// Read by the signal handler: the termios to put back while ours is in force,
// and whether the cursor or the colours were changed.
termios g_saved_termios;
volatile std::sig_atomic_t g_termios_changed = 0;
volatile std::sig_atomic_t g_looks_changed = 0;
constexpr char kLooksReset[] = "\x1b[0m\x1b[?25h\x1b[0 q";

extern "C" void restore_terminal_and_reraise(int signal_number) {
  const int saved_errno = errno;
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    if (g_termios_changed) tcsetattr(fd, TCSANOW, &g_saved_termios);
    if (g_looks_changed) {
      [[maybe_unused]] const ssize_t ignored = write(fd, kLooksReset, sizeof kLooksReset - 1);
    }
    close(fd);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  errno = saved_errno;
}

// Takes over the signals that would end the process, unless the program has
// a plan of its own for them (a handler, or ignoring them).
void arm_signal_restore() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
      continue;
    }
    struct sigaction ours {};
    ours.sa_handler = restore_terminal_and_reraise;
    sigemptyset(&ours.sa_mask);
    sigaction(signal_number, &ours, nullptr);
  }
}

// ---- Output ----------------------------------------------------------------

bool write_all(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The glyph of one cell: control characters as the console draws them, a
// lone surrogate as the replacement character.
void append_cell_glyph(std::string& out, WCHAR character) {
  if (character < 0x20) {
    append_utf8(out, kControlGlyphs[character]);
  } else if (character == 0x7F) {
    append_utf8(out, u'\u2302');
  } else if (character >= 0xD800 && character <= 0xDFFF) {
    append_utf8(out, u'\uFFFD');
  } else {
    append_utf8(out, character);
  }
}

// Console colour bits are 1 blue, 2 green, 4 red; ANSI colour numbers are
// 1 red, 2 green, 4 blue.
int ansi_colour(int console_colour) {
  return ((console_colour & 4) != 0 ? 1 : 0) | (console_colour & 2) |
         ((console_colour & 1) != 0 ? 4 : 0);
}

// The normal attribute (light grey on black) is the terminal's own default
// colours, so that text the program never coloured looks as the user's
// terminal shows any other text.
std::string sgr_sequence(WORD attribute) {
  std::string out = "\x1b[0";
  if ((attribute & kUnderscore) != 0) out += ";4";
  if ((attribute & kReverse) != 0) out += ";7";
  const int foreground = attribute & 0x0F;
  const int background = (attribute >> 4) & 0x0F;
  if (foreground != kNormalAttribute || background != 0) {
    out += ';' + std::to_string(((foreground & 8) != 0 ? 90 : 30) + ansi_colour(foreground));
    out += ';' + std::to_string(((background & 8) != 0 ? 100 : 40) + ansi_colour(background));
  }
  out += 'm';
  return out;
}

// One screen update: the sequences go into a buffer that is written at once.
// Drawing starts where the terminal's cursor stands (the shadow's cursor) and
// ends with the cursor and the SGR back where the shadow has them.
class Update {
 public:
  explicit Update(Terminal& state)
      : state_(state), column_(state.shadow.cursor.X), row_(state.shadow.cursor.Y) {
    // A cursor parked behind the last column moves on to the next row with
    // the next character; place it on its cell so the drawing starts there.
    if (state_.shadow.wrap_pending) {
      column_ = -1;
      state_.shadow.wrap_pending = false;
    }
  }

  void move_to(int column, int row) {
    if (column == column_ && row == row_) return;
    if (row == row_ && column_ >= 0) {
      out_ += "\x1b[" + std::to_string(column + 1) + 'G';
    } else {
      out_ += "\x1b[" + std::to_string(row + 1) + ';' + std::to_string(column + 1) + 'H';
    }
    column_ = column;
    row_ = row;
  }

  void set_attribute(WORD attribute) {
    if (state_.sgr == attribute) return;
    out_ += sgr_sequence(attribute);
    state_.sgr = attribute;
  }

  // Draws the shadow's cells of one row from first to last column.
  void draw(int row, int first, int last) {
    move_to(first, row);
    for (int column = first; column <= last; ++column) {
      const ModelCell& cell = model_cell(state_.shadow, column, row);
      set_attribute(cell.attribute);
      append_cell_glyph(out_, cell.character);
    }
    // Behind the last column the terminal holds the cursor back; make the
    // next move an absolute one.
    column_ = last + 1 < state_.shadow.columns ? last + 1 : -1;
  }

  // Blanks columns first to last of a row in attribute.
  void erase(int row, int first, int last, WORD attribute) {
    move_to(first, row);
    set_attribute(attribute);
    if (last == state_.shadow.columns - 1) {
      out_ += "\x1b[K";
    } else {
      out_ += "\x1b[" + std::to_string(last - first + 1) + 'X';
    }
  }

  void raw(const std::string& text) { out_ += text; }
  // Sequences that leave the cursor somewhere else (DECSTBM homes it).
  void cursor_moved_to(int column, int row) {
    column_ = column;
    row_ = row;
  }

  // The whole update, ending with the cursor and the SGR where the shadow
  // has them.
  std::string finish() {
    move_to(state_.shadow.cursor.X, state_.shadow.cursor.Y);
    set_attribute(state_.shadow.attribute);
    return std::move(out_);
  }

  bool send(int fd) {
    const std::string out = finish();
    return out.empty() || write_all(fd, out.data(), out.size());
  }

 private:
  Terminal& state_;
  std::string out_;
  int column_;  // where the terminal's cursor stands; -1 when unsure of it
  int row_;
};

// ---- The cursor's account --------------------------------------------------

// Asks the terminal where its cursor is, waiting a short while for the
// answer with echo and line editing off; the terminal's mode is put back at
// once.
bool ask_cursor_position(int fd, int* column, int* row) {
  termios before{};
  if (tcgetattr(fd, &before) != 0) return false;
  termios quiet = before;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  quiet.c_cc[VMIN] = 0;
  quiet.c_cc[VTIME] = 0;
  const bool was_changed = g_termios_changed != 0;
  if (!was_changed) {
    g_saved_termios = before;
    arm_signal_restore();
  }
  g_termios_changed = 1;
  bool answered = false;
  if (tcsetattr(fd, TCSANOW, &quiet) == 0 && write_all(fd, "\x1b[6n", 4)) {
    std::string reply;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long elapsed =
          (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
      if (elapsed >= kReportTimeoutMilliseconds) break;
      pollfd ready{fd, POLLIN, 0};
      const int polled = poll(&ready, 1, static_cast<int>(kReportTimeoutMilliseconds - elapsed));
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) break;
      char byte = 0;
      if (read(fd, &byte, 1) != 1) continue;
      reply += byte;
      if (byte != 'R') continue;
      // Keys typed meanwhile may precede the answer; the answer is the tail.
      const std::size_t start_of_answer = reply.rfind("\x1b[");
      if (start_of_answer == std::string::npos) continue;
      if (std::sscanf(reply.c_str() + start_of_answer, "\x1b[%d;%dR", row, column) == 2) {
        answered = true;
        break;
      }
    }
  }
  tcsetattr(fd, TCSANOW, &before);
  g_termios_changed = was_changed ? 1 : 0;
  return answered;
}

// ---- The terminal's size ----------------------------------------------------

// The size is asked for (an ioctl) only when it may have changed: after a
// SIGWINCH, which a resize sends to the terminal's foreground process group,
// and at most 100 ms after the last asking, since a process in the background
// gets no SIGWINCH. A progress line would otherwise pay for asking at every
// text twice, once for standard output and once for the row's blanking.
constexpr long kSizeRecheckNanoseconds = 100'000'000;
volatile std::sig_atomic_t g_resized = 1;

extern "C" void note_resize(int) {
  g_resized = 1;
}

// Listens for SIGWINCH, unless the program has a plan of its own for it; then
// the size is asked for every time.
bool arm_resize_notice() {
  static const bool armed = [] {
    struct sigaction current {};
    if (sigaction(SIGWINCH, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return false;
    struct sigaction ours {};
    ours.sa_handler = note_resize;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    return sigaction(SIGWINCH, &ours, nullptr) == 0;
  }();
  return armed;
}

long monotonic_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000L + now.tv_nsec;
}

// Fits the shadow to the terminal's size. False when the size is unknown.
bool refresh(int fd) {
  Terminal& state = terminal();
  const bool resizes_noticed = arm_resize_notice();
  const long now = monotonic_nanoseconds();
  if (resizes_noticed && state.sized && !g_resized &&
      now - state.size_asked_at < kSizeRecheckNanoseconds) {
    return true;
  }
  g_resized = 0;
  state.size_asked_at = now;
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return false;
  const int columns = std::min<int>(size.ws_col, SHRT_MAX);
  const int rows = std::min<int>(size.ws_row, SHRT_MAX);
  if (!state.sized) {
    model_reset(state.shadow, columns, rows,
                {0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>(rows - 1)});
    state.sized = true;
    termios mode{};
    if (tcgetattr(fd, &mode) == 0) {
      state.onlcr = (mode.c_oflag & OPOST) != 0 && (mode.c_oflag & ONLCR) != 0;
    }
  } else if (columns != state.shadow.columns || rows != state.shadow.rows) {
    // Terminals move the cursor in their own ways when resized.
    model_resize(state.shadow, columns, rows);
    state.column_known = false;
    state.row_known = false;
  }
  return true;
}

// Makes the account of the cursor whole, asking the terminal if need be.
// When the terminal does not answer, the account's guess stands and the
// terminal is not asked again.
void locate_cursor(int fd) {
  Terminal& state = terminal();
  if ((state.column_known && state.row_known) || state.report_unanswered) return;
  // Only the foreground process may read the terminal: a background one
  // would be stopped. It asks once it is in the foreground again.
  if (tcgetpgrp(fd) != getpgrp()) return;
  int column = 0;
  int row = 0;
  if (!ask_cursor_position(fd, &column, &row)) {
    state.report_unanswered = true;
    return;
  }
  state.shadow.cursor.X = static_cast<SHORT>(std::clamp(column - 1, 0, state.shadow.columns - 1));
  state.shadow.cursor.Y = static_cast<SHORT>(std::clamp(row - 1, 0, state.shadow.rows - 1));
  state.shadow.wrap_pending = false;
  state.column_known = true;
  state.row_known = true;
}

// One byte of output that the terminal interprets. Escape sequences are
// skipped whole and leave the cursor and the SGR unknown.
void note_byte(Terminal& state, unsigned char byte) {
  switch (state.escape) {
    case EscapeState::kNone:
      break;
    case EscapeState::kEscape:
      state.escape = byte == '[' ? EscapeState::kCsi
                     : (byte == ']' || byte == 'P' || byte == '_' || byte == '^')
                         ? EscapeState::kString
                         : EscapeState::kNone;
      return;
    case EscapeState::kCsi:
      if (byte >= 0x40 && byte <= 0x7E) state.escape = EscapeState::kNone;
      return;
    case EscapeState::kString:
      if (byte == 0x07) state.escape = EscapeState::kNone;
      if (byte == 0x1B) state.escape = EscapeState::kStringEscape;
      return;
    case EscapeState::kStringEscape:
      state.escape = byte == '\\' ? EscapeState::kNone : EscapeState::kString;
      return;
  }
  if (byte == 0x1B) {
    state.escape = EscapeState::kEscape;
    state.column_known = false;
    state.row_known = false;
    state.sgr = kSgrUnknown;
    state.continuation_bytes = 0;
    return;
  }
  ScreenModel& shadow = state.shadow;
  // UTF-8: a sequence takes one cell, shown once it is whole; a stray byte
  // takes a cell of its own.
  if (state.continuation_bytes > 0 && (byte & 0xC0) == 0x80) {
    state.code_point = (state.code_point << 6) | (byte & 0x3F);
    if (--state.continuation_bytes == 0) {
      const char32_t c = state.code_point;
      model_put_character(shadow, c < 0x10000 ? static_cast<WCHAR>(c) : u'\uFFFD',
                          WrapRule::kTerminal);
    }
    return;
  }
  state.continuation_bytes = 0;
  if (byte >= 0xC2 && byte <= 0xF4) {
    state.continuation_bytes = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
    state.code_point = byte & (0x3F >> state.continuation_bytes);
    return;
  }
  if (byte == '\r') state.column_known = true;
  if (byte == '\n' && !state.onlcr) {
    // Without ONLCR a line feed keeps the column.
    const SHORT column = shadow.cursor.X;
    const bool pending = shadow.wrap_pending;
    model_put_character(shadow, u'\n', WrapRule::kTerminal);
    shadow.cursor.X = column;
    shadow.wrap_pending = pending;
    return;
  }
  model_put_character(shadow, byte, WrapRule::kTerminal);
}

// ---- Input modes -----------------------------------------------------------

DWORD input_mode_of(const termios& mode) {
  DWORD flags = 0;
  if ((mode.c_lflag & ICANON) != 0) flags |= ENABLE_LINE_INPUT;
  if ((mode.c_lflag & ECHO) != 0) flags |= ENABLE_ECHO_INPUT;
  if ((mode.c_lflag & ISIG) != 0) flags |= ENABLE_PROCESSED_INPUT;
  return flags;
}

}  // namespace

int terminal_open(bool inheritable) {
  // A process without a controlling terminal gains one only by opening a
  // terminal without O_NOCTTY, which this layer never does: once /dev/tty
  // has said there is none, every later console operation can fail at once
  // instead of paying a system call.
  static bool no_terminal = false;
  if (no_terminal) {
    errno = ENXIO;
    return -1;
  }
  int flags = O_RDWR | O_NOCTTY;
  if (!inheritable) flags |= O_CLOEXEC;
  int fd = -1;
  do {
    fd = open("/dev/tty", flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ENXIO) no_terminal = true;
  return fd;
}

bool terminal_is_controlling(int fd) {
  // Succeeds only for the caller's controlling terminal; comparing devices
  // would not do, since /dev/tty is a device of its own.
  return isatty(fd) != 0 && tcgetsid(fd) != -1;
}

bool terminal_query(int fd, CONSOLE_SCREEN_BUFFER_INFO* info) {
  if (!refresh(fd)) return false;
  locate_cursor(fd);
  const ScreenModel& shadow = terminal().shadow;
  info->dwSize = {static_cast<SHORT>(shadow.columns), static_cast<SHORT>(shadow.rows)};
  info->dwCursorPosition = shadow.cursor;
  info->wAttributes = shadow.attribute;
  info->srWindow = shadow.window;
  info->dwMaximumWindowSize = info->dwSize;
  return true;
}

const ScreenModel& terminal_shadow(int fd) {
  refresh(fd);
  return terminal().shadow;
}

namespace {

// A fill of characters made in the shadow, and the update that shows it on the
// terminal; *filled counts the cells.
std::string fill_characters(int fd, WCHAR character, DWORD length, COORD start, DWORD* filled) {
  Terminal& state = terminal();
  ScreenModel& shadow = state.shadow;
  *filled = model_fill_characters(shadow, character, length, start);
  if (*filled == 0) return {};
  // A fill that starts at the cursor needs no position: the terminal's
  // cursor is there even when the account does not know the row.
  const bool at_cursor = start.X == shadow.cursor.X && start.Y == shadow.cursor.Y;
  const bool one_row = start.X + *filled <= static_cast<DWORD>(shadow.columns);
  if (!at_cursor || !one_row || shadow.wrap_pending) locate_cursor(fd);
  Update update(state);
  std::size_t index = static_cast<std::size_t>(start.Y) * shadow.columns + start.X;
  const std::size_t end = index + *filled;
  while (index < end) {
    const int row = static_cast<int>(index / shadow.columns);
    const int first = static_cast<int>(index % shadow.columns);
    const int last = static_cast<int>(
        std::min<std::size_t>(end - 1, static_cast<std::size_t>(row + 1) * shadow.columns - 1) %
        shadow.columns);
    // Runs of one attribute: blanks are erased, other characters drawn.
    for (int run = first; run <= last;) {
      const WORD attribute = model_cell(shadow, run, row).attribute;
      int run_end = run;
      while (run_end < last && model_cell(shadow, run_end + 1, row).attribute == attribute) {
        ++run_end;
      }
      if (character == kBlank) {
        update.erase(row, run, run_end, attribute);
      } else {
        update.draw(row, run, run_end);
      }
      run = run_end + 1;
    }
    index = static_cast<std::size_t>(row + 1) * shadow.columns;
  }
  return update.finish();
}

// A fill of attributes made in the shadow, and the update that shows it on
// the terminal, empty when no cell changes colour; *filled counts the cells.
std::string fill_attributes(int fd, WORD attribute, DWORD length, COORD start, DWORD* filled) {
  Terminal& state = terminal();
  ScreenModel& shadow = state.shadow;
  *filled = 0;
  if (!model_contains(shadow, start.X, start.Y)) return {};
  // Only cells whose colour changes are drawn again: a terminal cannot
  // recolour a cell without writing its character, and the shadow's
  // character is only as good as what the layer saw.
  const std::size_t first = static_cast<std::size_t>(start.Y) * shadow.columns + start.X;
  const std::size_t count = std::min<std::size_t>(length, shadow.cells.size() - first);
  std::vector<bool> changed(count);
  bool any = false;
  for (std::size_t i = 0; i < count; ++i) {
    changed[i] = shadow.cells[first + i].attribute != attribute;
    any = any || changed[i];
  }
  *filled = model_fill_attributes(shadow, attribute, length, start);
  if (!any) return {};
  locate_cursor(fd);
  Update update(state);
  for (std::size_t i = 0; i < count;) {
    if (!changed[i]) {
      ++i;
      continue;
    }
    const std::size_t index = first + i;
    const int row = static_cast<int>(index / shadow.columns);
    const int column = static_cast<int>(index % shadow.columns);
    int last = column;
    while (i + 1 < count && changed[i + 1] && last + 1 < shadow.columns) {
      ++i;
      ++last;
    }
    ++i;
    update.draw(row, column, last);
  }
  return update.finish();
}

// A fill on its own: its update goes out at once.
template <typename Value>
DWORD fill_and_send(std::string (*fill)(int, Value, DWORD, COORD, DWORD*), int fd, Value value,
                    DWORD length, COORD start) {
  if (!refresh(fd)) return 0;
  DWORD filled = 0;
  const std::string out = fill(fd, value, length, start, &filled);
  if (!out.empty()) write_all(fd, out.data(), out.size());
  return filled;
}

}  // namespace

DWORD terminal_fill_characters(int fd, WCHAR character, DWORD length, COORD start) {
  return fill_and_send(fill_characters, fd, character, length, start);
}

DWORD terminal_fill_attributes(int fd, WORD attribute, DWORD length, COORD start) {
  return fill_and_send(fill_attributes, fd, attribute, length, start);
}

bool terminal_set_cursor_position(int fd, COORD position) {
  if (!refresh(fd)) return false;
  Terminal& state = terminal();
  if (!model_contains(state.shadow, position.X, position.Y)) return false;
  state.shadow.cursor = position;
  state.shadow.wrap_pending = false;
  state.column_known = true;
  state.row_known = true;
  const std::string move =
      "\x1b[" + std::to_string(position.Y + 1) + ';' + std::to_string(position.X + 1) + 'H';
  return write_all(fd, move.data(), move.size());
}

bool terminal_set_cursor_info(int fd, const CONSOLE_CURSOR_INFO& cursor_info) {
  if (cursor_info.dwSize < 1 || cursor_info.dwSize > 100 || !refresh(fd)) return false;
  terminal().shadow.cursor_info = cursor_info;
  const bool block = cursor_info.dwSize > 50;
  if (!cursor_info.bVisible || block) {
    g_looks_changed = 1;
    arm_signal_restore();
  }
  std::string out = cursor_info.bVisible ? "\x1b[?25h" : "\x1b[?25l";
  out += block ? "\x1b[2 q" : "\x1b[0 q";
  return write_all(fd, out.data(), out.size());
}

void terminal_set_attribute(int fd, WORD attribute) {
  if (!refresh(fd)) return;
  Terminal& state = terminal();
  state.shadow.attribute = attribute;
  if (state.sgr == attribute) return;
  if (attribute != kNormalAttribute) arm_signal_restore();
  const std::string out = sgr_sequence(attribute);
  if (write_all(fd, out.data(), out.size())) state.sgr = attribute;
  if (attribute != kNormalAttribute) g_looks_changed = 1;
}

bool terminal_scroll(int fd, const SMALL_RECT& scroll, const SMALL_RECT* clip, COORD destination,
                     ModelCell fill) {
  if (!refresh(fd)) return false;
  Terminal& state = terminal();
  ScreenModel& shadow = state.shadow;
  ScrollEffect effect{};
  if (!model_scroll(shadow, scroll, clip, destination, fill, &effect)) return false;
  locate_cursor(fd);
  const SMALL_RECT& source = effect.source;
  const int columns = shadow.columns;
  const int top = std::max(0, std::min<int>(source.Top, source.Top + effect.row_offset));
  const int bottom =
      std::min(shadow.rows - 1, std::max<int>(source.Bottom, source.Bottom + effect.row_offset));
  const int shift = effect.row_offset < 0 ? -effect.row_offset : effect.row_offset;
  Update update(state);
  // Whole rows moving up or down inside a band of rows are a delete or an
  // insert of rows within scroll margins set to that band.
  const bool whole_rows = effect.column_offset == 0 && source.Left == 0 &&
                          source.Right == columns - 1 && effect.clip.Left == 0 &&
                          effect.clip.Right == columns - 1 && effect.clip.Top <= top &&
                          effect.clip.Bottom >= bottom && fill.character == kBlank && shift > 0 &&
                          shift <= source.Bottom - source.Top + 1;
  if (whole_rows && shift > bottom - top) {
    // Every row of the band is uncovered and none is overwritten.
    for (int row = top; row <= bottom; ++row) update.erase(row, 0, columns - 1, fill.attribute);
  } else if (whole_rows) {
    update.set_attribute(fill.attribute);
    update.raw("\x1b[" + std::to_string(top + 1) + ';' + std::to_string(bottom + 1) + 'r');
    update.cursor_moved_to(0, 0);
    update.move_to(0, top);
    update.raw("\x1b[" + std::to_string(shift) + (effect.row_offset < 0 ? 'M' : 'L'));
    update.raw("\x1b[r");
    update.cursor_moved_to(0, 0);
  } else {
    // Anything else: draw again the cells the scroll could have changed.
    const int left = std::max<int>(effect.clip.Left,
                                   std::min<int>(source.Left, source.Left + effect.column_offset));
    const int right = std::min<int>(
        effect.clip.Right, std::max<int>(source.Right, source.Right + effect.column_offset));
    const int first_row = std::max<int>(effect.clip.Top, top);
    const int last_row = std::min<int>(effect.clip.Bottom, bottom);
    for (int row = first_row; row <= last_row; ++row) {
      if (left <= right) update.draw(row, std::max(left, 0), std::min(right, columns - 1));
    }
  }
  return update.send(fd);
}

void terminal_write_region(int fd, const CHAR_INFO* buffer, COORD buffer_size, COORD buffer_coord,
                           SMALL_RECT* region, bool wide) {
  if (!refresh(fd)) {
    *region = {region->Left, region->Top, static_cast<SHORT>(region->Left - 1),
               static_cast<SHORT>(region->Top - 1)};
    return;
  }
  Terminal& state = terminal();
  model_write_region(state.shadow, buffer, buffer_size, buffer_coord, region, wide);
  if (region->Right < region->Left || region->Bottom < region->Top) return;
  locate_cursor(fd);
  Update update(state);
  for (int row = region->Top; row <= region->Bottom; ++row) {
    update.draw(row, region->Left, region->Right);
  }
  update.send(fd);
}

bool terminal_write_text(int fd, const char* bytes, std::size_t length) {
  if (!refresh(fd)) return false;
  Terminal& state = terminal();
  std::string out;
  if (state.sgr != state.shadow.attribute) {
    out = sgr_sequence(state.shadow.attribute);
    state.sgr = state.shadow.attribute;
  }
  out.append(bytes, length);
  if (!write_all(fd, out.data(), out.size())) return false;
  for (std::size_t i = 0; i < length; ++i) {
    note_byte(state, static_cast<unsigned char>(bytes[i]));
  }
  return true;
}

bool terminal_write_wide(int fd, const WCHAR* units, std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) {
    char32_t code_point = units[i];
    const bool high = code_point >= 0xD800 && code_point <= 0xDBFF;
    if (high && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (code_point >= 0xD800 && code_point <= 0xDFFF) {
      code_point = 0xFFFD;
    }
    append_utf8(bytes, code_point);
  }
  return terminal_write_text(fd, bytes.data(), bytes.size());
}

bool terminal_get_input_mode(int fd, DWORD* mode) {
  termios current{};
  if (tcgetattr(fd, &current) != 0) return false;
  *mode = input_mode_of(current);
  return true;
}

bool terminal_set_input_mode(int fd, DWORD mode) {
  termios current{};
  if (tcgetattr(fd, &current) != 0) return false;
  // The mode the terminal had before the layer first changed it; it comes
  // back exactly when the flags it stands for are asked for again.
  if (!g_termios_changed) g_saved_termios = current;
  mode &= kInputModeFlags;
  if (mode == input_mode_of(g_saved_termios)) {
    if (tcsetattr(fd, TCSANOW, &g_saved_termios) != 0) return false;
    g_termios_changed = 0;
    return true;
  }
  termios wanted = g_saved_termios;
  if ((mode & ENABLE_LINE_INPUT) == 0) {
    // Keys one at a time, Enter as a carriage return, all eight bits.
    wanted.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    wanted.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | ISTRIP);
    wanted.c_cc[VMIN] = 1;
    wanted.c_cc[VTIME] = 0;
  }
  if ((mode & ENABLE_ECHO_INPUT) == 0) {
    wanted.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  }
  if ((mode & ENABLE_PROCESSED_INPUT) == 0) {
    // Ctrl+C, Ctrl+Z, Ctrl+S and the like arrive as characters.
    wanted.c_lflag &= ~static_cast<tcflag_t>(ISIG | IEXTEN);
    wanted.c_iflag &= ~static_cast<tcflag_t>(IXON | BRKINT);
  }
  // Saved before the change, so a signal in between finds it.
  arm_signal_restore();
  g_termios_changed = 1;
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    g_termios_changed = 0;
    tcsetattr(fd, TCSANOW, &g_saved_termios);
    return false;
  }
  return true;
}

bool terminal_flush_input(int fd) {
  return tcflush(fd, TCIFLUSH) == 0;
}

bool terminal_read_bytes(int fd, unsigned char* bytes, std::size_t capacity, std::size_t* count) {
  for (;;) {
    const ssize_t got = read(fd, bytes, capacity);
    if (got >= 0) {
      *count = static_cast<std::size_t>(got);
      return true;
    }
    if (errno != EINTR) return false;
  }
}

void terminal_note_output(const char* bytes, std::size_t length) {
  Terminal& state = terminal();
  if (!state.sized && !refresh(STDOUT_FILENO)) return;
  for (std::size_t i = 0; i < length; ++i) {
    note_byte(state, static_cast<unsigned char>(bytes[i]));
  }
}

bool terminal_write_output_and_clear_to_eol(int fd, const char* texts,
                                            std::span<const std::size_t> lengths) {
  std::size_t total = 0;
  for (const std::size_t length : lengths) total += length;
  // An escape sequence of the caller's leaves the cursor unknown, and the
  // erase could only be placed by asking the terminal in between.
  if (std::memchr(texts, 0x1B, total) != nullptr || !refresh(fd)) return false;
  Terminal& state = terminal();
  if (!state.column_known || !state.row_known) return false;
  const ScreenModel& shadow = state.shadow;
  std::string out;
  const char* text = texts;
  for (const std::size_t length : lengths) {
    for (std::size_t i = 0; i < length; ++i) {
      note_byte(state, static_cast<unsigned char>(text[i]));
    }
    // What console_clear_to_eol asks for: the rest of the cursor's row in the
    // current attribute, characters first. Text without escapes leaves the
    // account known, so neither fill asks the terminal anything.
    const COORD start = shadow.cursor;
    const DWORD count = static_cast<DWORD>(shadow.columns - start.X);
    DWORD filled = 0;
    out.append(text, length);
    out += fill_characters(fd, kBlank, count, start, &filled);
    out += fill_attributes(fd, shadow.attribute, count, start, &filled);
    text += length;
  }
  write_all(STDOUT_FILENO, out.data(), out.size());
  return true;
}
