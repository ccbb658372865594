// Texts handed to a thread of their own, which writes them in order, each
// with one call of the sink, so that a long scan does not stop for a system
// call at every progress text. Used by the scan; not part of the module's
// interface.
#ifndef RIRAVUVAVU_RESULTS_TEXT_RELAY_H_
#define RIRAVUVAVU_RESULTS_TEXT_RELAY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "results/doorbell.h"

class TextRelay {
 public:
  using Sink = void (*)(const char* text, std::size_t length);
  static constexpr std::size_t kMaxText = 600;

  explicit TextRelay(Sink sink) : sink_(sink) {}
  TextRelay(const TextRelay&) = delete;
  TextRelay& operator=(const TextRelay&) = delete;
  ~TextRelay() { finish(); }

  // Passes a text of at most kMaxText bytes to the sink, from the relay's
  // thread once it runs, or here when the thread cannot be had. Waits while
  // the texts not yet written fill the queue.
  void send(const char* text, std::size_t length);
  // Returns once every text sent has been written; the thread ends (the next
  // send starts another).
  void finish();

 private:
  static constexpr std::uint32_t kSlots = 256;
  struct Slot {
    std::size_t length;
    char text[kMaxText];
  };

  bool start();
  void run();

  const Sink sink_;
  std::unique_ptr<Slot[]> slots_;
  std::thread thread_;
  // Counts of texts queued (moved by send) and written (moved by the thread),
  // each on a cache line of its own, and the sender's last look at the
  // second: the two sides read each other's count only now and then, so that
  // the lines do not travel between the processors at every text.
  alignas(64) std::atomic<std::uint32_t> queued_{0};
  alignas(64) std::atomic<std::uint32_t> written_{0};
  alignas(64) std::uint32_t written_seen_ = 0;
  std::atomic<bool> closing_{false};
  Doorbell writer_bell_;  // a text was queued, or closing_ set
  Doorbell sender_bell_;  // half of the queue is free
};

#endif  // RIRAVUVAVU_RESULTS_TEXT_RELAY_H_
