// The library's millisecond clock and the 55 ms tick timers built on it.
#pragma once

#include <cstdint>

inline constexpr uint32_t MsPerTick = 55;
// Half of the 32-bit millisecond range, counted in ticks.
inline constexpr int32_t MaxTimerTicks = 39045157;

// Milliseconds of a monotonic clock; wraps at 2^32.
uint32_t TickClock();
// The monotonic clock in 55 ms ticks; wraps at 2^32 (about 7.5 years), so
// that only differences taken modulo 2^32 mean anything.
int32_t TickNow();

struct EventTimer {
  int32_t StartTicks = 0;
  int32_t ExpireTicks = 0;
};

// Starts `timer` for `ticks` ticks (clamped to 0..MaxTimerTicks) from `now`.
void NewTimerAt(EventTimer& timer, int32_t ticks, int32_t now);
void NewTimer(EventTimer& timer, int32_t ticks);
// Whether more ticks than the timer's duration passed since its start; a
// difference taken modulo 2^32, so that a wrap of the clock changes nothing.
bool TimerExpiredAt(const EventTimer& timer, int32_t now);
bool TimerExpired(const EventTimer& timer);
