#include "results/progress_relay.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

namespace {

// How long a note may wait for the thread. A scan's notes come a few
// microseconds apart: waking the thread for each would cost the scan a system
// call every time, so the thread comes to look by itself, and the sender
// rings only when half of the queue is taken.
constexpr std::chrono::microseconds kLookAgain{500};

}  // namespace

bool ProgressRelay::start() {
  if (thread_.joinable()) return true;
  if (!slots_) {
    slots_.reset(new (std::nothrow) ProgressNote[kSlots]);
    if (!slots_) return false;
  }
  closing_.store(false);
  try {
    thread_ = std::thread(&ProgressRelay::run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ProgressRelay::send(const ProgressNote& note) {
  if (!start()) {
    sink_(context_, std::span(&note, 1));
    return;
  }
  const std::uint32_t queued = queued_.load(std::memory_order_relaxed);
  if (queued - shown_seen_ >= kSlots / 2) {
    shown_seen_ = shown_.load();
    if (queued - shown_seen_ == kSlots) {
      // Full: sleep until the thread has emptied half of the queue.
      sender_bell_.sleep_until([&] { return queued - shown_.load() <= kSlots / 2; });
      shown_seen_ = shown_.load();
    }
  }
  slots_[queued % kSlots] = note;
  queued_.store(queued + 1);
  if (queued + 1 - shown_seen_ >= kSlots / 2) shower_bell_.ring();
}

void ProgressRelay::finish() {
  if (!thread_.joinable()) return;
  closing_.store(true);
  shower_bell_.ring();
  thread_.join();
}

void ProgressRelay::run() {
  std::uint32_t shown = shown_.load();
  for (;;) {
    for (std::uint32_t queued = queued_.load(); shown != queued; queued = queued_.load()) {
      while (shown != queued) {
        // The waiting notes up to the end of the ring, which stay put until
        // shown_ passes them.
        const std::uint32_t first = shown % kSlots;
        const std::uint32_t count = std::min(queued - shown, kSlots - first);
        sink_(context_, std::span<const ProgressNote>(slots_.get() + first, count));
        shown += count;
        shown_.store(shown);
        // A sleeping sender queues nothing, so `queued` is up to date then.
        if (queued - shown <= kSlots / 2) sender_bell_.ring();
      }
    }
    // closing_ is set after the last note was queued.
    if (closing_.load() && queued_.load() == shown) return;
    shower_bell_.doze([&] { return queued_.load() - shown >= kSlots / 2 || closing_.load(); },
                      kLookAgain);
  }
}
