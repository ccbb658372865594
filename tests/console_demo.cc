// console_demo STEP...: runs console operations one after the other, for the
// tests that watch them in a real terminal. Steps:
//
//   print:TEXT  TEXT to standard output      write:TEXT  console_write_text
//   move:C,R    console_move_cursor          eol         console_clear_to_eol
//   printeol:TEXT  console_print_and_clear_to_eol
//   printeach:TEXT|TEXT...  console_print_each_and_clear_to_eol
//   clear       console_clear_screen         reset       console_reset_screen
//   delete      console_delete_line          insert      console_insert_line
//   attr:N      console_set_attribute        fg:N, bg:N  foreground, background
//   high, low   intensity                    normal      console_normal_attribute
//   shape:N     console_set_cursor_shape     copy:L,T,R,B,C,R  console_copy_block
//   restore:L,T,R,B  saves the block, clears the screen, restores the block
//   prompt:TEXT console_prompt_hidden, then prints answer=[...] (\xNN for
//               bytes outside printable ASCII)
//   wprompt:TEXT console_prompt_hidden_wide with ASCII TEXT, then prints
//               answer=[...] as UTF-16 units (U+XXXX, space-separated)
//   info        prints the ConsoleTextInfo fields
//   wait:F      waits until the file F exists
//   hold        waits until the process is killed
//
// TEXT takes the escapes \n, \r and \e.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"

namespace {

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 'e' ? '\x1b' : next;
  }
  return out;
}

std::vector<int> numbers(const std::string& text) {
  std::vector<int> values;
  const char* cursor = text.c_str();
  while (*cursor != '\0') {
    char* end = nullptr;
    values.push_back(static_cast<int>(std::strtol(cursor, &end, 0)));
    cursor = *end == ',' ? end + 1 : end;
    if (end == cursor && *end != '\0') break;
  }
  values.resize(6);
  return values;
}

// The test makes the file when it is ready for the next step; poll with
// back-off until it appears.
void wait_for_file(const std::string& path) {
  auto delay = std::chrono::milliseconds(1);
  while (!std::filesystem::exists(path)) {
    std::this_thread::sleep_for(delay);
    delay = std::min(delay * 2, std::chrono::milliseconds(100));
  }
}

void print_answer(const char* answer) {
  std::string shown;
  for (const unsigned char byte : std::string(answer)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    shown += byte >= 0x20 && byte < 0x7F ? std::string(1, static_cast<char>(byte)) : escaped;
  }
  std::printf("answer=[%s]\n", shown.c_str());
}

void print_wide_answer(const WCHAR* answer) {
  std::string shown;
  for (; *answer != 0; ++answer) {
    char unit[12];
    std::snprintf(unit, sizeof unit, "%sU+%04X", shown.empty() ? "" : " ",
                  static_cast<unsigned>(*answer));
    shown += unit;
  }
  std::printf("answer=[%s]\n", shown.c_str());
}

void run(const std::string& step) {
  const std::size_t colon = step.find(':');
  const std::string name = step.substr(0, colon);
  const std::string argument = colon == std::string::npos ? "" : step.substr(colon + 1);
  const std::vector<int> n = numbers(argument);
  if (name == "print") std::fputs(unescape(argument).c_str(), stdout);
  if (name == "write") console_write_text(unescape(argument).c_str());
  if (name == "move") console_move_cursor(n[0], n[1]);
  if (name == "eol") console_clear_to_eol();
  if (name == "printeol") {
    const std::string text = unescape(argument);
    console_print_and_clear_to_eol(text.data(), text.size());
  }
  if (name == "printeach") {
    std::string texts;
    std::vector<std::size_t> lengths;
    for (std::size_t from = 0; from <= argument.size();) {
      const std::size_t bar = std::min(argument.find('|', from), argument.size());
      const std::string text = unescape(argument.substr(from, bar - from));
      texts += text;
      lengths.push_back(text.size());
      from = bar + 1;
    }
    console_print_each_and_clear_to_eol(texts.data(), lengths);
  }
  if (name == "clear") console_clear_screen();
  if (name == "reset") console_reset_screen();
  if (name == "delete") console_delete_line();
  if (name == "insert") console_insert_line();
  if (name == "attr") console_set_attribute(n[0]);
  if (name == "fg") console_set_foreground(n[0]);
  if (name == "bg") console_set_background(n[0]);
  if (name == "high") console_high_intensity();
  if (name == "low") console_low_intensity();
  if (name == "normal") console_normal_attribute();
  if (name == "shape") console_set_cursor_shape(n[0]);
  if (name == "copy") console_copy_block(n[0], n[1], n[2], n[3], n[4], n[5]);
  if (name == "restore") {
    std::vector<char> cells(2 * static_cast<std::size_t>((n[2] - n[0] + 1) * (n[3] - n[1] + 1)));
    console_save_block(n[0], n[1], n[2], n[3], cells.data());
    console_clear_screen();
    console_restore_block(n[0], n[1], n[2], n[3], cells.data());
  }
  if (name == "prompt") print_answer(console_prompt_hidden(unescape(argument).c_str()));
  if (name == "wprompt") {
    const std::basic_string<WCHAR> prompt(argument.begin(), argument.end());
    print_wide_answer(console_prompt_hidden_wide(prompt.c_str()));
  }
  if (name == "info") {
    ConsoleTextInfo info{};
    const int ok = console_get_text_info(&info);
    std::printf("info=%d window=%d,%d,%d,%d attribute=%d size=%d,%d cursor=%d,%d\n", ok,
                info.window_left, info.window_top, info.window_right, info.window_bottom,
                info.current_attribute, info.screen_width, info.screen_height, info.cursor_column,
                info.cursor_row);
  }
  if (name == "wait") wait_for_file(argument);
  if (name == "hold") {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  platform_start_process();
  for (int i = 1; i < argc; ++i) run(argv[i]);
  return 0;
}
