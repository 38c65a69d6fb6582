// The address scan over 256 answering converters in the real main window:
// SCAN until the scan has ended (every address probed, the result on the
// panel). The engine takes one step per 20 ms tick, so a scan cannot beat
// 20 ms per address; what matters is that it stays there plus the line time.
#include <benchmark/benchmark.h>

#include <vector>

#include "AppBenchSupport.h"
#include "BenchSupport.h"
#include "KrmProtocol.h"
#include "SimPeer.h"

namespace krmbench {
namespace {

constexpr int Addresses = 256;
constexpr double TickMs = 20;
constexpr auto ScanLimit = std::chrono::seconds(30);
// A probe "$xxIFD\r" (7 bytes) and its reply "!xx00\r" (6), 10 bits a byte on the line.
constexpr double LineBitsPerAddress = (7 + 6) * 10;

// state.range(0): 0 with an instant bus, 1 with the line time of the host's
// speed emulated by the simulator.
void BM_ScanAllAnswering(benchmark::State& state) {
  const bool lineTime = state.range(0) != 0;
  std::vector<uint8_t> everyAddress;
  for (int a = 0; a < Addresses; ++a) everyAddress.push_back(static_cast<uint8_t>(a));
  SimPeer peer(everyAddress, !lineTime);
  AppWindow window(peer.Path());
  TForm1& form = window.Form();

  Clock::duration scanTime{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    form.SCAN1Click();
    const bool ended = RunEventLoopUntil([&] { return form.State.LinkPhase == 2; }, ScanLimit);
    scanTime += Clock::now() - start;
    if (!ended || !window.Trouble().empty() || form.State.ModuleCount != Addresses) {
      const std::string seen =
          !window.Trouble().empty() ? window.Trouble()
                                    : "found " + std::to_string(form.State.ModuleCount) + " of 256 converters";
      state.SkipWithError(("the scan did not end with every converter: " + seen).c_str());
      return;
    }
  }
  const double lineMs =
      lineTime ? LineBitsPerAddress * 1000 / BaudRateOfIndex(form.BaudBox1->ItemIndex()).value_or(9600) : 0;
  const double msPerAddress = Milliseconds(scanTime) / static_cast<double>(state.iterations()) / Addresses;
  state.counters["scan_s"] = Milliseconds(scanTime) / static_cast<double>(state.iterations()) / 1000;
  state.counters["ms_per_address"] = msPerAddress;
  state.counters["bound_ms_per_address"] = TickMs + lineMs;
  state.counters["ratio_to_bound"] = msPerAddress / (TickMs + lineMs);
}

BENCHMARK(BM_ScanAllAnswering)
    ->ArgName("line_time")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace krmbench
