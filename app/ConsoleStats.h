// ConsoleStats: what a run of the command test console did, as engineers
// read it off a serial test tool: exchanges completed, time-outs, exchanges
// per second and the round trip of the last exchange with its minimum,
// mean and maximum, and the 99th percentile. Plain arithmetic on time
// points the caller takes; memory stays the same however long a run lasts.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

class TExchangeStats {
 public:
  using Clock = std::chrono::steady_clock;

  // START TEST: every figure from zero.
  void Start(Clock::time_point Now);
  // The line went out; its reply's final CR arrived; its time-out ran out.
  void Sent(Clock::time_point Now);
  void Replied(Clock::time_point Now);
  void TimedOut();

  std::uint64_t Completed() const { return FCompleted; }
  std::uint64_t TimeOuts() const { return FTimeOuts; }
  // Completed exchanges per second, from the start to the last reply.
  double PerSecond() const;
  double LastMs() const { return ToMs(FLast); }
  double MinMs() const { return ToMs(FMin); }
  double MeanMs() const;
  double MaxMs() const { return ToMs(FMax); }
  // 99 % of the round trips took at most this long (within 1/32 of it).
  double P99Ms() const;

  // "EXCHANGES 12  TIME-OUTS 0  840.3/S  RTT 1.2 (MIN 1.0 MEAN 1.2 MAX 1.9) MS";
  // empty before the first start.
  std::string Line() const;
  // The whole run at its end, for a log or a shell:
  // "EXCHANGES 1000  TIME-OUTS 0  840.3/S  RTT MIN 1.0 MEAN 1.2 MAX 1.9 P99 1.8 MS".
  std::string Summary() const;

 private:
  static double ToMs(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

  bool FStarted = false;
  Clock::time_point FStart{};
  Clock::time_point FSent{};
  Clock::time_point FLastReply{};
  std::uint64_t FCompleted = 0;
  std::uint64_t FTimeOuts = 0;
  Clock::duration FLast{};
  Clock::duration FMin{};
  Clock::duration FMax{};
  Clock::duration FTotal{};
  // Round trips in microseconds: one bucket each below 32, then 32 buckets
  // to every doubling, up to more than two hours.
  static constexpr int ExactBuckets = 32;
  static constexpr int Doublings = 28;
  static std::size_t BucketOf(std::uint64_t Micros);
  static std::uint64_t BucketTop(std::size_t Bucket);
  std::array<std::uint64_t, ExactBuckets * (Doublings + 1)> FTrips{};
};
