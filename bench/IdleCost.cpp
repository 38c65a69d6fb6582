// Idle cost: an open port with its three threads running and the owner's
// window registered, nothing on the wire. Reports the process's CPU time as
// a share of one core and how often the process's threads woke.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <thread>

#include "BenchSupport.h"

namespace krmbench {
namespace {

// Never called: nothing arrives.
class SilentWindow : public TNotifyWindow {
 public:
  bool SendNotify(uint32_t, uint32_t, uint32_t, uint32_t) override { return true; }
};

long ContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Measures the process while nothing happens, 2 s per iteration.
void MeasureIdle(benchmark::State& state) {
  constexpr auto Idle = std::chrono::seconds(2);
  double cpuSeconds = 0, wallSeconds = 0;
  long switches = 0;
  for (auto _ : state) {
    const double cpu0 = ProcessCpuSeconds();
    const long switches0 = ContextSwitches();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(Idle);
    wallSeconds += Milliseconds(Clock::now() - t0) / 1000;
    switches += ContextSwitches() - switches0;
    cpuSeconds += ProcessCpuSeconds() - cpu0;
  }
  state.counters["cpu_percent"] = 100 * cpuSeconds / wallSeconds;
  // Less the benchmark thread's own wake-up after each sleep.
  state.counters["wakeups_per_s"] =
      static_cast<double>(switches - static_cast<long>(state.iterations())) / wallSeconds;
}

void BM_IdlePortCost(benchmark::State& state) {
  PtyPeer peer;
  TApdPosixDispatcher d(nullptr);
  SilentWindow window;
  if (!peer.Ok() || OpenPort(d, peer.SlavePath(), window) != 0) {
    state.SkipWithError("cannot open a pseudo-terminal port");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the start-up
  MeasureIdle(state);
  d.CloseDevice();
}

// The same port after its far end went away, left open by an owner that
// never closes it: nothing may spin on the dead descriptor.
void BM_LostPortCost(benchmark::State& state) {
  PtyPeer peer;
  TApdPosixDispatcher d(nullptr);
  SilentWindow window;
  if (!peer.Ok() || OpenPort(d, peer.SlavePath(), window) != 0) {
    state.SkipWithError("cannot open a pseudo-terminal port");
    return;
  }
  peer.Close();
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (!d.DeviceGone() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!d.DeviceGone()) {
    state.SkipWithError("the hang-up was not seen");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the notice
  MeasureIdle(state);
  d.CloseDevice();
}

BENCHMARK(BM_IdlePortCost)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_LostPortCost)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace krmbench
