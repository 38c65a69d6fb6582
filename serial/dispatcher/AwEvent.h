// A small event object for the dispatcher's threads: set, reset, and a wait
// with a time-out on one event or on the first of two.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

inline constexpr uint32_t WaitForever = 0xFFFFFFFF;

class TAwEvent {
 public:
  enum class Kind { AutoReset, ManualReset };
  explicit TAwEvent(Kind kind, bool initiallySet = false);
  TAwEvent(const TAwEvent&) = delete;
  TAwEvent& operator=(const TAwEvent&) = delete;

  void Set();
  void Reset();
  // True when the event was set, or became set within timeoutMs. An
  // automatic-reset event is cleared by the wait that takes it. A time-out
  // of 0 only checks, it never sleeps.
  bool Wait(uint32_t timeoutMs = WaitForever);
  // 0 or 1: which of the two was taken (the first wins when both are set);
  // -1 on a time-out. Only the event taken is cleared.
  static int WaitAny(TAwEvent& first, TAwEvent& second, uint32_t timeoutMs = WaitForever);

  // How often a thread sleeping on this event was woken (time-outs aside):
  // shows that a Set reaches only the waiters of its own event.
  uint64_t WakeUps() const;

 private:
  struct Waiter;
  // The index of the first event taken, or -1 on a time-out.
  static int WaitFirst(std::initializer_list<TAwEvent*> events, uint32_t timeoutMs);
  bool TakeLocked();  // the shared mutex held

  const bool manual_;
  bool set_;
  std::vector<Waiter*> waiters_;  // threads sleeping on this event now
  uint64_t wakeUps_ = 0;
};
