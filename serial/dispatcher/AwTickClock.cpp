#include "AwTickClock.h"

#include <algorithm>
#include <chrono>

namespace {
int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

// Truncation to 32 bits is intended: the millisecond clock wraps like the
// system's, and its users only take differences.
uint32_t TickClock() { return static_cast<uint32_t>(MonotonicMs()); }

// Ticks come from the 64-bit clock, so they do not jump back when the 32-bit
// millisecond clock wraps (every 49.7 days); a timer armed just before that
// wrap would otherwise wait for half the clock range.
int32_t TickNow() { return static_cast<int32_t>(MonotonicMs() / MsPerTick); }

namespace {
uint32_t TicksBetween(int32_t from, int32_t to) {
  return static_cast<uint32_t>(to) - static_cast<uint32_t>(from);
}
}  // namespace

void NewTimerAt(EventTimer& timer, int32_t ticks, int32_t now) {
  const uint32_t duration = static_cast<uint32_t>(std::clamp(ticks, 0, MaxTimerTicks));
  timer.StartTicks = now;
  timer.ExpireTicks = static_cast<int32_t>(static_cast<uint32_t>(now) + duration);
}

void NewTimer(EventTimer& timer, int32_t ticks) { NewTimerAt(timer, ticks, TickNow()); }

bool TimerExpiredAt(const EventTimer& timer, int32_t now) {
  return TicksBetween(timer.StartTicks, now) > TicksBetween(timer.StartTicks, timer.ExpireTicks);
}

bool TimerExpired(const EventTimer& timer) { return TimerExpiredAt(timer, TickNow()); }
