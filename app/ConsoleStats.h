// ConsoleStats: what a run of the command test console did, as engineers
// read it off a serial test tool: exchanges completed, time-outs, exchanges
// per second and the round trip of the last exchange with its minimum,
// mean and maximum. Plain arithmetic on time points the caller takes.
#pragma once

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

  // "EXCHANGES 12  TIME-OUTS 0  840.3/S  RTT 1.2 (MIN 1.0 MEAN 1.2 MAX 1.9) MS";
  // empty before the first start.
  std::string Line() const;

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
};
