// A small event object for the dispatcher's threads: set, reset, and a wait
// with a time-out on one event or on the first of two.
#pragma once

#include <cstdint>

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
  // automatic-reset event is cleared by the wait that takes it.
  bool Wait(uint32_t timeoutMs = WaitForever);
  // 0 or 1: which of the two was taken (the first wins when both are set);
  // -1 on a time-out. Only the event taken is cleared.
  static int WaitAny(TAwEvent& first, TAwEvent& second, uint32_t timeoutMs = WaitForever);

 private:
  bool TakeLocked();  // the shared mutex held

  const bool manual_;
  bool set_;
};
