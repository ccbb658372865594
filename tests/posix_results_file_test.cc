// The line reader on streams whose file changes under it, made with
// fopencookie: a file cut short between the count of a line and its block
// read, and a file whose reads fail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "results/results_file.h"

namespace {

// The file behind the stream. At its first absolute seek (the reader going
// back to the start of a line it has counted) it is cut to `cut_to` bytes;
// from the read numbered `fail_from` on, reads fail.
struct ChangingFile {
  std::string bytes;
  std::size_t cut_to = std::string::npos;
  int fail_from = -1;
  std::size_t position = 0;
  int reads = 0;
  int absolute_seeks = 0;
};

ssize_t read_changing(void* cookie, char* buffer, std::size_t size) {
  auto* file = static_cast<ChangingFile*>(cookie);
  if (file->fail_from >= 0 && file->reads++ >= file->fail_from) return -1;
  if (file->position >= file->bytes.size()) return 0;
  const std::size_t count = std::min(size, file->bytes.size() - file->position);
  std::memcpy(buffer, file->bytes.data() + file->position, count);
  file->position += count;
  return static_cast<ssize_t>(count);
}

int seek_changing(void* cookie, off64_t* offset, int whence) {
  auto* file = static_cast<ChangingFile*>(cookie);
  if (whence == SEEK_SET && file->absolute_seeks++ == 0 && file->cut_to < file->bytes.size()) {
    file->bytes.resize(file->cut_to);
  }
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(file->position)
                                            : static_cast<off64_t>(file->bytes.size());
  if (base + *offset < 0) return -1;
  file->position = static_cast<std::size_t>(base + *offset);
  *offset = static_cast<off64_t>(file->position);
  return 0;
}

// Unbuffered, so that every read and seek reaches the file.
std::FILE* open_changing(ChangingFile* file) {
  std::FILE* stream = fopencookie(file, "rb", {read_changing, nullptr, seek_changing, nullptr});
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

struct Reading {
  std::vector<std::string> lines;
  ResultsStatus status = ResultsStatus::kOk;
};

Reading read_all(ChangingFile* file) {
  std::FILE* stream = open_changing(file);
  Reading reading;
  for (;;) {
    char* line = nullptr;
    reading.status = read_line_checked(stream, &line);
    if (line == nullptr) break;
    reading.lines.emplace_back(line);
    std::free(line);
  }
  std::fclose(stream);
  return reading;
}

TEST(ChangingFileTest, ALineCutShortEndsTheFileAtWhatIsLeft) {
  struct Case {
    std::size_t cut_to;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {3, {"abc"}}, {0, {}}, {7, {"abcdef"}},  // only the terminator went
  };
  for (const Case& c : cases) {
    ChangingFile file{"abcdef\nnext line\n", c.cut_to};
    const Reading reading = read_all(&file);
    EXPECT_EQ(reading.status, ResultsStatus::kOk);
    EXPECT_EQ(reading.lines, c.lines) << "cut to " << c.cut_to;
  }
}

TEST(ChangingFileTest, FailingReadsAreAnErrorNotTheEnd) {
  // Read 0 is the first byte of the count; read 3 is the block read of "ab".
  for (int fail_from : {0, 3}) {
    ChangingFile file{"ab\ncd\n"};
    file.fail_from = fail_from;
    const Reading reading = read_all(&file);
    EXPECT_EQ(reading.status, ResultsStatus::kReadError) << "failing from read " << fail_from;
    EXPECT_TRUE(reading.lines.empty());
  }
}

}  // namespace
