// The benchmark log: opened for appending in text mode for every write and
// closed right after it, so another program may read, rotate or lock it
// between samples. A row never gets lost while the process lives: rows that
// cannot be written wait, in order, for the next write that succeeds.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "monitor/monitor.h"
#include "platform/platform.h"

namespace {

// Writes every pending row in one opening of the file. Returns 0, or the
// errno of the step that failed.
int write_pending_rows(const BenchmarkLog& log) {
  std::FILE* file = std::fopen(log.path.c_str(), "at");
  if (file == nullptr) return errno != 0 ? errno : EACCES;

  // Where the file ended before this write, so that a write that fails half
  // way (disk full) can be taken back instead of leaving a torn row.
  platform_seek(file, 0, SEEK_END);
  const std::int64_t size_before = platform_tell(file);

  // A failing call need not set errno: the failure is kept apart from it.
  bool failed = false;
  int error = 0;
  const auto fail = [&] {
    if (!failed) error = errno;
    failed = true;
  };
  for (const std::string& row : log.pending) {
    if (std::fputs(row.c_str(), file) == EOF) {
      fail();
      break;
    }
  }
  if (!failed && std::fflush(file) != 0) fail();
  if (std::fclose(file) != 0) fail();
  if (!failed) return 0;

  if (size_before >= 0) {
    std::error_code ignored;
    const auto size_now = std::filesystem::file_size(log.path, ignored);
    if (!ignored && size_now > static_cast<std::uintmax_t>(size_before)) {
      std::filesystem::resize_file(log.path, static_cast<std::uintmax_t>(size_before), ignored);
    }
  }
  return error != 0 ? error : EIO;
}

}  // namespace

BenchmarkLog benchmark_log_create(const char* path) {
  return BenchmarkLog{path, {}, false};
}

bool benchmark_log_append(BenchmarkLog* log, std::string row) {
  log->pending.push_back(std::move(row));
  errno = 0;
  const int error = write_pending_rows(*log);
  if (error != 0) {
    if (!log->failing) {
      std::fprintf(stderr, "riravuvavu: cannot write %s: %s; keeping its rows until it can be\n",
                   log->path.c_str(), std::strerror(error));
      log->failing = true;
    }
    return false;
  }
  if (log->failing) {
    std::fprintf(stderr, "riravuvavu: %s is writable again; %zu kept rows written\n",
                 log->path.c_str(), log->pending.size());
    log->failing = false;
  }
  log->pending.clear();
  return true;
}
