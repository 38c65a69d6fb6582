// The test console's endless loop ("CONTINUE TEST") in the real main window
// against an instant simulator, side by side with the raw termios loop: the
// utility's whole path (port component, dispatcher, the window's reply
// handling and the next send from inside it) against the least any program
// needs for the same exchange.
#include <benchmark/benchmark.h>

#include <QLineEdit>

#include "AppBenchSupport.h"
#include "BenchSupport.h"
#include "SimPeer.h"

namespace krmbench {
namespace {

constexpr auto Block = std::chrono::milliseconds(100);
// Long enough for the last request of a block to end even on a loaded machine.
constexpr auto DrainLimit = std::chrono::seconds(2);

// The raw loop for one block; the count of exchanges, or -1 when one failed.
int64_t RawBlock(RawExchanger& raw, Clock::duration& spent) {
  int64_t exchanges = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point now = start;
  while (now - start < Block) {
    if (!raw.Exchange()) return -1;
    ++exchanges;
    now = Clock::now();
  }
  spent += now - start;
  return exchanges;
}

// state.range(0): 1 with the window on screen, as the operator has it; 0
// with the same window hidden, which tells what its painting costs.
void BM_ContinuousTestLoop(benchmark::State& state) {
  SimPeer rawPeer, loopPeer;
  RawExchanger raw(rawPeer.Path());
  if (!raw.Ok()) {
    state.SkipWithError("cannot open the raw loop's simulator port");
    return;
  }
  AppWindow window(loopPeer.Path(), state.range(0) != 0);
  TForm1& form = window.Form();
  form.CONTINUETEST1Click();
  form.TxBox->setText(QStringLiteral("$05IFD"));

  Clock::duration rawTime{}, loopTime{};
  int64_t rawExchanges = 0, loopExchanges = 0;
  double loopCpuSeconds = 0;
  for (auto _ : state) {
    const int64_t rawCount = RawBlock(raw, rawTime);
    if (rawCount < 0) {
      state.SkipWithError("a raw exchange failed");
      return;
    }
    rawExchanges += rawCount;

    // The loop runs for a block, is stopped with STOP, and the block ends
    // when the request still out has its reply: every request the bus got
    // in the block is then a completed exchange.
    const size_t framesBefore = loopPeer.Bus().frameCount();
    const double cpuBefore = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    form.Button1Click();
    RunEventLoop(Block);
    form.Button2Click();
    const bool drained = RunEventLoopUntil([&] { return !form.State.Busy; }, DrainLimit);
    loopTime += Clock::now() - start;
    loopCpuSeconds += ProcessCpuSeconds() - cpuBefore;
    loopExchanges += static_cast<int64_t>(loopPeer.Bus().frameCount() - framesBefore);
    if (!drained || !window.Trouble().empty() || form.RxBox->text() != QString::fromLatin1(ExpectedReply)) {
      const std::string seen = window.Trouble().empty() ? form.RxBox->text().toStdString() : window.Trouble();
      state.SkipWithError(("the console's loop did not end on a good reply: " + seen).c_str());
      return;
    }
  }
  const double rawRate = static_cast<double>(rawExchanges) / (Milliseconds(rawTime) / 1000);
  const double loopSeconds = Milliseconds(loopTime) / 1000;
  const double loopRate = static_cast<double>(loopExchanges) / loopSeconds;
  state.counters["raw_per_s"] = rawRate;
  state.counters["loop_per_s"] = loopRate;
  state.counters["ratio"] = loopRate / rawRate;
  state.counters["loop_cpu_percent"] = 100 * loopCpuSeconds / loopSeconds;
}

BENCHMARK(BM_ContinuousTestLoop)
    ->ArgName("window_shown")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(10)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace krmbench
