// A scan's progress handed to a thread of its own, which shows it in order,
// so that a long scan does not stop to format and write a text every hundred
// records. Used by the scan; not part of the module's interface.
#ifndef RIRAVUVAVU_RESULTS_PROGRESS_RELAY_H_
#define RIRAVUVAVU_RESULTS_PROGRESS_RELAY_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>

#include "results/doorbell.h"

// What one progress text shows.
struct ProgressNote {
  std::int64_t position;  // in the file, after the record
  std::uint32_t count;    // records so far
  bool opening;           // the text opens with a carriage return
};

class ProgressRelay {
 public:
  // Shows notes in the order given; the relay hands over all that are waiting
  // at once, so that the sink may write them together.
  using Sink = void (*)(void* context, std::span<const ProgressNote> notes);

  ProgressRelay(Sink sink, void* context) : sink_(sink), context_(context) {}
  ProgressRelay(const ProgressRelay&) = delete;
  ProgressRelay& operator=(const ProgressRelay&) = delete;
  ~ProgressRelay() { finish(); }

  // Passes a note to the sink, from the relay's thread once it runs, or here
  // when the thread cannot be had. Waits while the notes not yet shown fill
  // the queue.
  void send(const ProgressNote& note);
  // Returns once every note sent has been shown; the thread ends (the next
  // send starts another).
  void finish();

 private:
  static constexpr std::uint32_t kSlots = 256;

  bool start();
  void run();

  const Sink sink_;
  void* const context_;
  std::unique_ptr<ProgressNote[]> slots_;
  std::thread thread_;
  // Counts of notes queued (moved by send) and shown (moved by the thread),
  // each on a cache line of its own, and the sender's last look at the
  // second: the two sides read each other's count only now and then, so that
  // the lines do not travel between the processors at every note.
  alignas(64) std::atomic<std::uint32_t> queued_{0};
  alignas(64) std::atomic<std::uint32_t> shown_{0};
  alignas(64) std::uint32_t shown_seen_ = 0;
  std::atomic<bool> closing_{false};
  Doorbell shower_bell_;  // half of the queue is taken, or closing_ set
  Doorbell sender_bell_;  // half of the queue is free
};

#endif  // RIRAVUVAVU_RESULTS_PROGRESS_RELAY_H_
