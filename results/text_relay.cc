#include "results/text_relay.h"

#include <cstring>
#include <new>
#include <system_error>

namespace {

// How many times the writer looks again for a new text, yielding in between,
// before it sleeps: a scan's texts come a few microseconds apart, and waking
// a sleeper costs the sender a system call.
constexpr int kLooksBeforeSleep = 256;

}  // namespace

bool TextRelay::start() {
  if (thread_.joinable()) return true;
  if (!slots_) {
    slots_.reset(new (std::nothrow) Slot[kSlots]);
    if (!slots_) return false;
  }
  closing_.store(false);
  try {
    thread_ = std::thread(&TextRelay::run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void TextRelay::send(const char* text, std::size_t length) {
  if (length > kMaxText || !start()) {
    finish();
    sink_(text, length);
    return;
  }
  const std::uint32_t queued = queued_.load(std::memory_order_relaxed);
  if (queued - written_.load() == kSlots) {
    // Full: sleep until the writer has emptied half of the queue.
    sender_bell_.sleep_until([&] { return queued - written_.load() <= kSlots / 2; });
  }
  Slot& slot = slots_[queued % kSlots];
  std::memcpy(slot.text, text, length);
  slot.length = length;
  queued_.store(queued + 1);
  writer_bell_.ring();
}

void TextRelay::finish() {
  if (!thread_.joinable()) return;
  closing_.store(true);
  writer_bell_.ring();
  thread_.join();
}

void TextRelay::run() {
  std::uint32_t written = written_.load();
  int idle_looks = 0;
  for (;;) {
    if (queued_.load() != written) {
      const Slot& slot = slots_[written % kSlots];
      sink_(slot.text, slot.length);
      written_.store(++written);
      if (queued_.load() - written <= kSlots / 2) sender_bell_.ring();
      idle_looks = 0;
      continue;
    }
    // closing_ is set after the last text was queued.
    if (closing_.load()) {
      if (queued_.load() == written) return;
      continue;
    }
    if (++idle_looks < kLooksBeforeSleep) {
      std::this_thread::yield();
      continue;
    }
    writer_bell_.sleep_until([&] { return queued_.load() != written || closing_.load(); });
    idle_looks = 0;
  }
}
