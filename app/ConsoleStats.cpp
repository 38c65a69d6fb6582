#include "ConsoleStats.h"

#include <algorithm>
#include <cstdio>

void TExchangeStats::Start(Clock::time_point Now) {
  *this = TExchangeStats();
  FStarted = true;
  FStart = Now;
  FLastReply = Now;
}

void TExchangeStats::Sent(Clock::time_point Now) { FSent = Now; }

void TExchangeStats::Replied(Clock::time_point Now) {
  const Clock::duration trip = Now - FSent;
  FMin = FCompleted == 0 ? trip : std::min(FMin, trip);
  FMax = FCompleted == 0 ? trip : std::max(FMax, trip);
  FLast = trip;
  FTotal += trip;
  ++FCompleted;
  FLastReply = Now;
}

void TExchangeStats::TimedOut() { ++FTimeOuts; }

double TExchangeStats::PerSecond() const {
  const double seconds = std::chrono::duration<double>(FLastReply - FStart).count();
  return seconds > 0 ? static_cast<double>(FCompleted) / seconds : 0.0;
}

double TExchangeStats::MeanMs() const {
  return FCompleted == 0 ? 0.0 : ToMs(FTotal) / static_cast<double>(FCompleted);
}

std::string TExchangeStats::Line() const {
  if (!FStarted) return {};
  char line[160];
  std::snprintf(line, sizeof line, "EXCHANGES %llu  TIME-OUTS %llu  %.1f/S  RTT %.1f (MIN %.1f MEAN %.1f MAX %.1f) MS",
                static_cast<unsigned long long>(FCompleted), static_cast<unsigned long long>(FTimeOuts), PerSecond(),
                LastMs(), MinMs(), MeanMs(), MaxMs());
  return line;
}
