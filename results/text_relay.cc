#include "results/text_relay.h"

#include <cstring>
#include <new>
#include <system_error>

namespace {

// How long a text may wait for the writer. A scan's texts come a few
// microseconds apart: waking the writer for each would cost the scan a system
// call every time, so the writer comes to look by itself, and the sender
// rings only when half of the queue is taken.
constexpr std::chrono::microseconds kLookAgain{500};

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
  if (queued - written_seen_ >= kSlots / 2) {
    written_seen_ = written_.load();
    if (queued - written_seen_ == kSlots) {
      // Full: sleep until the writer has emptied half of the queue.
      sender_bell_.sleep_until([&] { return queued - written_.load() <= kSlots / 2; });
      written_seen_ = written_.load();
    }
  }
  Slot& slot = slots_[queued % kSlots];
  std::memcpy(slot.text, text, length);
  slot.length = length;
  queued_.store(queued + 1);
  if (queued + 1 - written_seen_ >= kSlots / 2) writer_bell_.ring();
}

void TextRelay::finish() {
  if (!thread_.joinable()) return;
  closing_.store(true);
  writer_bell_.ring();
  thread_.join();
}

void TextRelay::run() {
  std::uint32_t written = written_.load();
  for (;;) {
    for (std::uint32_t queued = queued_.load(); written != queued; queued = queued_.load()) {
      while (written != queued) {
        const Slot& slot = slots_[written % kSlots];
        sink_(slot.text, slot.length);
        written_.store(++written);
        // A sleeping sender queues nothing, so `queued` is up to date then.
        if (queued - written <= kSlots / 2) sender_bell_.ring();
      }
    }
    // closing_ is set after the last text was queued.
    if (closing_.load() && queued_.load() == written) return;
    writer_bell_.doze([&] { return queued_.load() - written >= kSlots / 2 || closing_.load(); },
                      kLookAgain);
  }
}
