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
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(trip).count();
  ++FTrips[BucketOf(static_cast<std::uint64_t>(std::max<decltype(micros)>(micros, 0)))];
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

std::size_t TExchangeStats::BucketOf(std::uint64_t Micros) {
  if (Micros < ExactBuckets) return static_cast<std::size_t>(Micros);
  int shift = 0;  // Micros >> shift keeps its top six bits: 32..63
  while ((Micros >> shift) >= 2 * ExactBuckets) ++shift;
  const std::size_t bucket = static_cast<std::size_t>(ExactBuckets * (shift + 1)) +
                             static_cast<std::size_t>((Micros >> shift) - ExactBuckets);
  return std::min(bucket, std::tuple_size_v<decltype(FTrips)> - 1);
}

std::uint64_t TExchangeStats::BucketTop(std::size_t Bucket) {
  if (Bucket < ExactBuckets) return Bucket;
  const std::size_t shift = Bucket / ExactBuckets - 1;
  const std::uint64_t top = (static_cast<std::uint64_t>(ExactBuckets + Bucket % ExactBuckets) + 1) << shift;
  return top - 1;
}

double TExchangeStats::P99Ms() const {
  if (FCompleted == 0) return 0.0;
  // The smallest bucket that holds at least 99 % of the round trips.
  const std::uint64_t rank = (FCompleted * 99 + 99) / 100;
  std::uint64_t seen = 0;
  for (std::size_t bucket = 0; bucket < FTrips.size(); ++bucket) {
    seen += FTrips[bucket];
    // The last bucket has no top: it holds everything beyond.
    if (seen >= rank && bucket + 1 < FTrips.size())
      return std::min(static_cast<double>(BucketTop(bucket)) / 1000.0, MaxMs());
  }
  return MaxMs();
}

std::string TExchangeStats::Summary() const {
  char line[160];
  std::snprintf(line, sizeof line, "EXCHANGES %llu  TIME-OUTS %llu  %.1f/S  RTT MIN %.1f MEAN %.1f MAX %.1f P99 %.1f MS",
                static_cast<unsigned long long>(FCompleted), static_cast<unsigned long long>(FTimeOuts), PerSecond(),
                MinMs(), MeanMs(), MaxMs(), P99Ms());
  return line;
}
