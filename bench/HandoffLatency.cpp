// Reply hand-off latency: from the peer's write() of the reply's last byte
// until the owner's window holds the avail notice for all of it on
// TDispThread. The path is event driven (TComThread's poll wakes
// TDispThread); results of tens of milliseconds mean the reply waited for
// the 50 ms fallback pass instead.
//
// Argument: 0 writes the reply at once; n > 0 writes it byte by byte, n
// microseconds apart, as a UART delivers it (87 us is a byte at 115200 bit/s).
#include <benchmark/benchmark.h>

#include <optional>
#include <thread>

#include "BenchSupport.h"

namespace krmbench {
namespace {

constexpr char Reply[] = "!0500\r";
constexpr uint32_t ReplyLength = sizeof Reply - 1;

// Takes the notices on TDispThread itself: reads the announced bytes inside
// the delivery and stamps the moment the last byte of the reply is in hand.
class StampingWindow : public TNotifyWindow {
 public:
  explicit StampingWindow(TApdBaseDispatcher& d) : d_(d) {}

  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t, uint32_t) override {
    if (msg != TriggerAvailMsg) return true;
    uint32_t read = 0;
    uint8_t byte;
    while (read < wParam && d_.GetByte(byte) == 0) ++read;
    std::lock_guard<std::mutex> hold(lock_);
    received_ += read;
    if (received_ >= ReplyLength) {
      arrived_ = Clock::now();
      done_.notify_all();
    }
    return true;
  }

  void Expect() {
    std::lock_guard<std::mutex> hold(lock_);
    received_ = 0;
  }
  // When the whole reply was in the window's hands, or nothing on a time-out.
  std::optional<Clock::time_point> Await(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!done_.wait_for(lock, timeout, [&] { return received_ >= ReplyLength; })) return {};
    return arrived_;
  }

 private:
  TApdBaseDispatcher& d_;
  std::mutex lock_;
  std::condition_variable done_;
  uint32_t received_ = 0;
  Clock::time_point arrived_;
};

bool WriteReply(int fd, std::chrono::microseconds gap) {
  if (gap.count() == 0) return write(fd, Reply, ReplyLength) == static_cast<ssize_t>(ReplyLength);
  for (uint32_t i = 0; i < ReplyLength; ++i) {
    if (i > 0) std::this_thread::sleep_for(gap);
    if (write(fd, Reply + i, 1) != 1) return false;
  }
  return true;
}

void BM_ReplyHandoffLatency(benchmark::State& state) {
  const std::chrono::microseconds gap(state.range(0));
  PtyPeer peer;
  TApdPosixDispatcher d(nullptr);
  StampingWindow window(d);
  if (!peer.Ok() || OpenPort(d, peer.SlavePath(), window) != 0) {
    state.SkipWithError("cannot open a pseudo-terminal port");
    return;
  }
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    // Let the threads settle back into their waits, as between two replies.
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    window.Expect();
    state.ResumeTiming();

    if (!WriteReply(peer.Master(), gap)) {
      state.SkipWithError("the peer's write failed");
      break;
    }
    const Clock::time_point written = Clock::now();
    const std::optional<Clock::time_point> arrived = window.Await(std::chrono::seconds(2));
    if (!arrived) {
      state.SkipWithError("no avail notice within 2 s");
      break;
    }
    samples.push_back(Milliseconds(*arrived - written));
  }
  d.CloseDevice();
  state.counters["handoff_ms"] = Quantile(samples, 0.5);
  state.counters["handoff_p99_ms"] = Quantile(samples, 0.99);
  state.counters["handoff_max_ms"] = Quantile(samples, 1.0);
}

BENCHMARK(BM_ReplyHandoffLatency)
    ->Arg(0)
    ->Arg(87)
    ->ArgName("byte_gap_us")
    ->Iterations(200)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace krmbench
