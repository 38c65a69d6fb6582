// Request/reply exchange rate against the simulator in instant mode (no
// emulated line time, so only the software on both ends is measured): a
// minimal raw termios loop versus the same exchange through the dispatcher,
// with the reply reaching the owner the way it reaches the utility (an avail
// notice sent to the owner's thread, GetByte there while TDispThread waits).
#include <benchmark/benchmark.h>

#include <string>

#include "BenchSupport.h"
#include "SimPeer.h"

namespace krmbench {
namespace {

constexpr uint32_t RequestLength = sizeof Request - 1;
constexpr auto ReplyTimeout = std::chrono::seconds(2);

// The same exchange through the dispatcher; the calling thread is the owner's.
class DispatcherExchanger {
 public:
  explicit DispatcherExchanger(const std::string& path) : ok_(OpenPort(d_, path, window_) == 0) {}
  ~DispatcherExchanger() { d_.CloseDevice(); }
  DispatcherExchanger(const DispatcherExchanger&) = delete;
  DispatcherExchanger& operator=(const DispatcherExchanger&) = delete;

  bool Ok() const { return ok_; }

  bool Exchange() {
    if (d_.PutBytes(reinterpret_cast<const uint8_t*>(Request), RequestLength) != 0) return false;
    std::string reply;
    while (reply.empty() || reply.back() != '\r') {
      const bool noticed = window_.RunNext(ReplyTimeout, [&](const OwnerWindow::Notice& notice) {
        uint8_t byte;
        for (uint32_t i = 0; i < notice.WParam && d_.GetByte(byte) == 0; ++i)
          reply.push_back(static_cast<char>(byte));
      });
      if (!noticed || reply.size() > 64) return false;
    }
    return reply == ExpectedReply;
  }

 private:
  TApdPosixDispatcher d_{nullptr};
  OwnerWindow window_;
  bool ok_;
};

// An exchange slower than this waited for something other than the software:
// with an instant peer, a fallback pass or a time-out.
constexpr auto Stalled = std::chrono::milliseconds(10);

// Runs one exchange per iteration and reports the rate seen, the median
// exchange and the share of stalled ones.
template <typename Exchanger>
void RunExchanges(benchmark::State& state) {
  SimPeer bus;
  Exchanger exchanger(bus.Path());
  if (!exchanger.Ok()) {
    state.SkipWithError("cannot open the simulator's port");
    return;
  }
  std::vector<double> samples;
  int64_t stalled = 0;
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    if (!exchanger.Exchange()) {
      state.SkipWithError("an exchange failed");
      break;
    }
    const Clock::duration took = Clock::now() - t0;
    samples.push_back(Milliseconds(took));
    if (took > Stalled) ++stalled;
  }
  if (samples.empty()) return;
  const double seconds = Milliseconds(Clock::now() - start) / 1000;
  state.counters["exchanges_per_s"] = static_cast<double>(samples.size()) / seconds;
  state.counters["exchange_ms"] = Quantile(samples, 0.5);
  state.counters["stalled_percent"] = 100.0 * static_cast<double>(stalled) / static_cast<double>(samples.size());
}

void BM_ExchangeRawTermios(benchmark::State& state) { RunExchanges<RawExchanger>(state); }
void BM_ExchangeDispatcher(benchmark::State& state) { RunExchanges<DispatcherExchanger>(state); }

BENCHMARK(BM_ExchangeRawTermios)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExchangeDispatcher)
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Both loops in turn, block by block, each on its own instant bus, so that a
// burst of load from elsewhere on the machine hits both alike. The ratio is
// the dispatcher's rate over the raw rate.
void BM_ExchangeRatio(benchmark::State& state) {
  constexpr int Block = 100;
  SimPeer rawBus, dispatcherBus;
  RawExchanger raw(rawBus.Path());
  DispatcherExchanger dispatcher(dispatcherBus.Path());
  if (!raw.Ok() || !dispatcher.Ok()) {
    state.SkipWithError("cannot open the simulators' ports");
    return;
  }
  Clock::duration rawTime{}, dispatcherTime{};
  int64_t blocks = 0;
  for (auto _ : state) {
    bool ok = true;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < Block && ok; ++i) ok = raw.Exchange();
    const Clock::time_point t1 = Clock::now();
    for (int i = 0; i < Block && ok; ++i) ok = dispatcher.Exchange();
    const Clock::time_point t2 = Clock::now();
    if (!ok) {
      state.SkipWithError("an exchange failed");
      break;
    }
    rawTime += t1 - t0;
    dispatcherTime += t2 - t1;
    ++blocks;
  }
  if (blocks == 0) return;
  const double exchanges = static_cast<double>(blocks * Block);
  const double rawRate = exchanges / (Milliseconds(rawTime) / 1000);
  const double dispatcherRate = exchanges / (Milliseconds(dispatcherTime) / 1000);
  state.counters["raw_per_s"] = rawRate;
  state.counters["dispatcher_per_s"] = dispatcherRate;
  state.counters["ratio"] = dispatcherRate / rawRate;
}

BENCHMARK(BM_ExchangeRatio)
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace krmbench
