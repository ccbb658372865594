// The in-memory screen buffer: every operation follows the Win32 console's
// rules for clipping, filling and scrolling.
#include "platform/posix_screen_model.h"

#include <algorithm>

namespace {

constexpr WCHAR kBlank = u' ';
constexpr WORD kNormalAttribute = 7;
constexpr int kTabWidth = 8;

struct Rect {
  int left, top, right, bottom;  // inclusive
  bool empty() const { return right < left || bottom < top; }
};

Rect to_rect(const SMALL_RECT& r) {
  return {r.Left, r.Top, r.Right, r.Bottom};
}
SMALL_RECT to_small_rect(const Rect& r) {
  return {static_cast<SHORT>(r.left), static_cast<SHORT>(r.top), static_cast<SHORT>(r.right),
          static_cast<SHORT>(r.bottom)};
}
Rect intersect(const Rect& a, const Rect& b) {
  return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
          std::min(a.bottom, b.bottom)};
}
Rect whole_buffer(const ScreenModel& model) {
  return {0, 0, model.columns - 1, model.rows - 1};
}
bool inside(const Rect& r, int column, int row) {
  return column >= r.left && column <= r.right && row >= r.top && row <= r.bottom;
}

// A fill of length cells from start, clipped at the buffer's end; calls
// visit(cell) for each and returns the count.
template <typename Visit>
DWORD fill_run(ScreenModel& model, DWORD length, COORD start, Visit visit) {
  if (!model_contains(model, start.X, start.Y)) return 0;
  const std::size_t first = static_cast<std::size_t>(start.Y) * model.columns + start.X;
  const std::size_t count = std::min<std::size_t>(length, model.cells.size() - first);
  for (std::size_t i = 0; i < count; ++i) visit(model.cells[first + i]);
  return static_cast<DWORD>(count);
}

// A new row at the bottom: the whole buffer moves up and the last row is
// blanked in the current attribute.
void scroll_buffer_up(ScreenModel& model) {
  std::move(model.cells.begin() + model.columns, model.cells.end(), model.cells.begin());
  std::fill(model.cells.end() - model.columns, model.cells.end(),
            ModelCell{kBlank, model.attribute});
}

void next_row(ScreenModel& model) {
  if (model.cursor.Y + 1 < model.rows) {
    ++model.cursor.Y;
  } else {
    scroll_buffer_up(model);
  }
}

// Clips the caller's rectangle to the screen buffer and to the part of the
// caller's array that lies at and after buffer_coord. Returns the region in
// buffer coordinates; its cell (c, r) is array cell
// (buffer_coord.X + c - requested.left, buffer_coord.Y + r - requested.top).
Rect clip_region(const ScreenModel& model, COORD buffer_size, COORD buffer_coord,
                 const SMALL_RECT& requested) {
  const Rect wanted = to_rect(requested);
  const Rect in_array = {wanted.left, wanted.top, wanted.left + buffer_size.X - buffer_coord.X - 1,
                         wanted.top + buffer_size.Y - buffer_coord.Y - 1};
  if (buffer_coord.X < 0 || buffer_coord.Y < 0) return {0, 0, -1, -1};
  return intersect(intersect(wanted, in_array), whole_buffer(model));
}

SMALL_RECT empty_region(const SMALL_RECT& requested) {
  return {requested.Left, requested.Top, static_cast<SHORT>(requested.Left - 1),
          static_cast<SHORT>(requested.Top - 1)};
}

// Hands each cell of the region, clipped as clip_region does, to visit with
// its entry in the caller's array, and stores the region actually covered.
template <typename Model, typename Cell, typename Visit>
void for_each_region_cell(Model& model, Cell* buffer, COORD buffer_size, COORD buffer_coord,
                          SMALL_RECT* region, Visit visit) {
  const Rect area = clip_region(model, buffer_size, buffer_coord, *region);
  if (area.empty()) {
    *region = empty_region(*region);
    return;
  }
  for (int row = area.top; row <= area.bottom; ++row) {
    for (int column = area.left; column <= area.right; ++column) {
      const int array_column = buffer_coord.X + column - region->Left;
      const int array_row = buffer_coord.Y + row - region->Top;
      visit(model.cells[static_cast<std::size_t>(row) * model.columns +
                        static_cast<std::size_t>(column)],
            buffer[static_cast<std::size_t>(array_row) * buffer_size.X + array_column]);
    }
  }
  *region = to_small_rect(area);
}

}  // namespace

void model_reset(ScreenModel& model, int columns, int rows, SMALL_RECT window) {
  model = ScreenModel{};
  model.columns = columns;
  model.rows = rows;
  model.cells.assign(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows),
                     ModelCell{kBlank, kNormalAttribute});
  model.window = window;
}

void model_resize(ScreenModel& model, int columns, int rows) {
  std::vector<ModelCell> cells(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows),
                               ModelCell{kBlank, model.attribute});
  for (int row = 0; row < std::min(rows, model.rows); ++row) {
    for (int column = 0; column < std::min(columns, model.columns); ++column) {
      cells[static_cast<std::size_t>(row) * columns + column] = model_cell(model, column, row);
    }
  }
  model.cells = std::move(cells);
  model.columns = columns;
  model.rows = rows;
  model.window = to_small_rect(whole_buffer(model));
  model.cursor.X = static_cast<SHORT>(std::clamp<int>(model.cursor.X, 0, columns - 1));
  model.cursor.Y = static_cast<SHORT>(std::clamp<int>(model.cursor.Y, 0, rows - 1));
  model.wrap_pending = false;
}

DWORD model_fill_characters(ScreenModel& model, WCHAR character, DWORD length, COORD start) {
  return fill_run(model, length, start,
                  [character](ModelCell& cell) { cell.character = character; });
}

DWORD model_fill_attributes(ScreenModel& model, WORD attribute, DWORD length, COORD start) {
  return fill_run(model, length, start,
                  [attribute](ModelCell& cell) { cell.attribute = attribute; });
}

bool model_scroll(ScreenModel& model, const SMALL_RECT& scroll, const SMALL_RECT* clip,
                  COORD destination, ModelCell fill, ScrollEffect* effect) {
  const Rect buffer = whole_buffer(model);
  const Rect source = intersect(to_rect(scroll), buffer);
  const Rect limit = clip == nullptr ? buffer : intersect(to_rect(*clip), buffer);
  if (source.empty() || limit.empty()) return false;
  // The destination is where the unclipped rectangle's top-left goes, so
  // clipping the source does not shift what lands there.
  const int dx = destination.X - scroll.Left;
  const int dy = destination.Y - scroll.Top;

  // Every source cell is read before any cell is written.
  std::vector<ModelCell> moved;
  moved.reserve(static_cast<std::size_t>(source.right - source.left + 1) *
                static_cast<std::size_t>(source.bottom - source.top + 1));
  for (int row = source.top; row <= source.bottom; ++row) {
    for (int column = source.left; column <= source.right; ++column) {
      moved.push_back(model_cell(model, column, row));
    }
  }
  const Rect target = {source.left + dx, source.top + dy, source.right + dx, source.bottom + dy};
  // Uncovered cells: in the source, inside the clip, and not overwritten.
  for (int row = source.top; row <= source.bottom; ++row) {
    for (int column = source.left; column <= source.right; ++column) {
      if (inside(limit, column, row) && !inside(target, column, row)) {
        model_cell(model, column, row) = fill;
      }
    }
  }
  std::size_t next = 0;
  for (int row = target.top; row <= target.bottom; ++row) {
    for (int column = target.left; column <= target.right; ++column, ++next) {
      if (inside(limit, column, row)) model_cell(model, column, row) = moved[next];
    }
  }
  if (effect != nullptr) {
    *effect = {to_small_rect(source), dx, dy, to_small_rect(limit)};
  }
  return true;
}

void model_read_region(const ScreenModel& model, CHAR_INFO* buffer, COORD buffer_size,
                       COORD buffer_coord, SMALL_RECT* region, bool wide) {
  for_each_region_cell(model, buffer, buffer_size, buffer_coord, region,
                       [wide](const ModelCell& cell, CHAR_INFO& out) {
                         out.Char.UnicodeChar = 0;
                         if (wide) {
                           out.Char.UnicodeChar = cell.character;
                         } else {
                           out.Char.AsciiChar =
                               static_cast<CHAR>(cell.character <= 0xFF ? cell.character : u'?');
                         }
                         out.Attributes = cell.attribute;
                       });
}

void model_write_region(ScreenModel& model, const CHAR_INFO* buffer, COORD buffer_size,
                        COORD buffer_coord, SMALL_RECT* region, bool wide) {
  for_each_region_cell(
      model, buffer, buffer_size, buffer_coord, region,
      [wide](ModelCell& cell, const CHAR_INFO& in) {
        cell.character = wide ? in.Char.UnicodeChar
                              : static_cast<WCHAR>(static_cast<unsigned char>(in.Char.AsciiChar));
        cell.attribute = in.Attributes;
      });
}

void model_put_character(ScreenModel& model, WCHAR character, WrapRule rule) {
  const bool terminal = rule == WrapRule::kTerminal;
  switch (character) {
    case u'\r':
      model.cursor.X = 0;
      model.wrap_pending = false;
      return;
    case u'\n':
      model.cursor.X = 0;
      model.wrap_pending = false;
      next_row(model);
      return;
    case u'\b':
      if (model.cursor.X > 0 && !model.wrap_pending) --model.cursor.X;
      model.wrap_pending = false;
      return;
    case u'\a':
      return;
    case u'\t':
      if (terminal) {
        model.cursor.X = static_cast<SHORT>(
            std::min((model.cursor.X / kTabWidth + 1) * kTabWidth, model.columns - 1));
        model.wrap_pending = false;
      } else {
        do {
          model_put_character(model, kBlank, rule);
        } while (model.cursor.X % kTabWidth != 0);
      }
      return;
    default:
      break;
  }
  if (terminal && (character < 0x20 || character == 0x7F)) return;
  if (model.wrap_pending) {
    model.cursor.X = 0;
    model.wrap_pending = false;
    next_row(model);
  }
  model_cell(model, model.cursor.X, model.cursor.Y) = {character, model.attribute};
  if (model.cursor.X + 1 < model.columns) {
    ++model.cursor.X;
  } else if (terminal) {
    model.wrap_pending = true;
  } else {
    model.cursor.X = 0;
    next_row(model);
  }
}

void model_show_cursor(ScreenModel& model) {
  SMALL_RECT& w = model.window;
  const int width = w.Right - w.Left;
  const int height = w.Bottom - w.Top;
  if (model.cursor.X < w.Left) w.Left = model.cursor.X;
  if (model.cursor.X > w.Right) w.Left = static_cast<SHORT>(model.cursor.X - width);
  if (model.cursor.Y < w.Top) w.Top = model.cursor.Y;
  if (model.cursor.Y > w.Bottom) w.Top = static_cast<SHORT>(model.cursor.Y - height);
  w.Right = static_cast<SHORT>(w.Left + width);
  w.Bottom = static_cast<SHORT>(w.Top + height);
}
