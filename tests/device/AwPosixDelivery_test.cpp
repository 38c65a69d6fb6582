// Trigger messages from a real pseudo-terminal to windows on other threads:
// counts, the 3000 ms limit, closing from a handler, stopping while a send
// waits for the GUI thread.
#include <gtest/gtest.h>

#include "AwPosix.h"
#include "DeviceTestSupport.h"

namespace {
int32_t Open(TApdPosixDispatcher& d, const TPtyPeer& peer) {
  return d.OpenDevice(peer.SlavePath(), 115200, LineFlagDtr | LineFlagRts, 4096, 4096, 1, 8, 0);
}

// Registers the window the way the component does for its own window.
void Register(TApdBaseDispatcher& d, TNotifyWindow& window, uint32_t threshold) {
  d.AddWindowHandler(&window);
  d.UpdateHandlerFlags(1);
  d.SetAvailThreshold(threshold);
}

// Reads what a delivery offers; outside a delivery this consumes.
uint32_t ReadAvailable(TApdBaseDispatcher& d, std::vector<uint8_t>* into = nullptr) {
  uint32_t n = 0;
  uint8_t byte;
  while (d.GetByte(byte) == 0) {
    ++n;
    if (into) into->push_back(byte);
  }
  return n;
}

// Installs a message pump for the test's thread, removed at the end.
struct TPumpScope {
  explicit TPumpScope(std::function<void()> pump) { SetMessagePump(std::move(pump)); }
  ~TPumpScope() { SetMessagePump(nullptr); }
};
}  // namespace

TEST(PosixDelivery, AvailNoticesReachTheHandlerOnItsThreadWithTheirCounts) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  std::mutex lock;
  std::vector<uint8_t> received;
  std::vector<std::string> faults;
  std::thread::id handlerThread;
  TThreadWindow window([&](uint32_t msg, uint32_t wParam, uint32_t lParam) {
    std::lock_guard<std::mutex> hold(lock);
    handlerThread = std::this_thread::get_id();
    if (msg != TriggerAvailMsg) faults.push_back("message " + std::to_string(msg));
    if ((lParam >> 16) != static_cast<uint32_t>(d.DispatcherHandle)) faults.push_back("lParam");
    // In a delivery exactly the announced bytes can be read.
    uint32_t read = ReadAvailable(d, &received);
    if (read != wParam)
      faults.push_back("announced " + std::to_string(wParam) + ", read " + std::to_string(read));
  });
  ASSERT_EQ(Open(d, peer), 0);
  Register(d, window, 1);

  std::vector<uint8_t> sent;
  for (int round = 0; round < 20; ++round) {
    std::vector<uint8_t> chunk(static_cast<size_t>(1 + round * 37), static_cast<uint8_t>(round));
    ASSERT_TRUE(peer.WriteAll(chunk));
    sent.insert(sent.end(), chunk.begin(), chunk.end());
  }
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return received.size() >= sent.size();
  }));
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ(received, sent);
  EXPECT_TRUE(faults.empty()) << faults.front();
  EXPECT_EQ(handlerThread, window.ThreadId());
  EXPECT_EQ(d.InUsed(), 0u);
}

TEST(PosixDelivery, SlowHandlerIsAbandonedAndItsLateReadsConsume) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  std::atomic<int> calls{0};
  std::atomic<uint32_t> lateRead{0};
  std::atomic<bool> done{false};
  TThreadWindow window([&](uint32_t, uint32_t, uint32_t) {
    if (calls++ == 0) {
      // Longer than the 3000 ms a send waits.
      WaitUntil([&] { return window.Abandoned() > 0; }, 6000);
      lateRead = ReadAvailable(d);
      done = true;
    }
  });
  ASSERT_EQ(Open(d, peer), 0);
  Register(d, window, 1);
  const auto start = Clock::now();
  ASSERT_TRUE(peer.WriteAll(std::vector<uint8_t>(10, 'x')));
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 8000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2900));
  EXPECT_EQ(window.Abandoned(), 1);
  // Outside the delivery the reads took the bytes for good.
  EXPECT_EQ(lateRead, 10u);
  EXPECT_EQ(d.InUsed(), 0u);
}

TEST(PosixDelivery, ClosingFromInsideAHandlerDefersAndCompletes) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  auto d = std::make_unique<TApdPosixDispatcher>(nullptr);
  std::atomic<int> calls{0};
  TThreadWindow window([&](uint32_t, uint32_t, uint32_t) {
    ++calls;
    d->CloseDevice();
    // Deferred: the rings stay until the dispatcher's thread ends.
    EXPECT_TRUE(d->ClosePending);
  });
  TThreadWindow second([&](uint32_t, uint32_t, uint32_t) { ++calls; });
  ASSERT_EQ(Open(*d, peer), 0);
  Register(*d, window, 1);
  d->AddWindowHandler(&second);
  ASSERT_TRUE(peer.WriteAll(std::vector<uint8_t>(5, 'a')));
  ASSERT_TRUE(WaitUntil([&] { return d->ThreadCount == 0; }));
  EXPECT_EQ(calls, 1) << "no handler after the one that closed";
  EXPECT_FALSE(d->ThreadsRunning);
  EXPECT_TRUE(d->InBuffer.empty());
  ASSERT_TRUE(peer.WriteAll(std::vector<uint8_t>(5, 'b')));
  EXPECT_EQ(calls, 1);
  d.reset();
  // The port is free again.
  TApdPosixDispatcher again(nullptr);
  EXPECT_EQ(Open(again, peer), 0);
}

TEST(PosixDelivery, StoppingWhileASendWaitsForTheGuiThreadCompletes) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  auto d = std::make_unique<TApdPosixDispatcher>(nullptr);
  TApdPosixDispatcher* raw = d.get();  // still alive while it is freed
  std::atomic<int> handled{0};
  // This test's thread is the GUI thread: messages run only when it pumps.
  TQueuedWindow window([&](uint32_t, uint32_t, uint32_t) {
    ReadAvailable(*raw);
    ++handled;
  });
  TPumpScope pump([&] { window.RunPending(); });
  ASSERT_EQ(Open(*d, peer), 0);
  Register(*d, window, 1);
  ASSERT_TRUE(peer.WriteAll(std::vector<uint8_t>(8, 'z')));
  ASSERT_TRUE(WaitUntil([&] { return d->Delivering.load(); }));
  const auto start = Clock::now();
  // A close while a delivery runs is deferred; freeing the dispatcher then
  // waits for its threads, pumping, so the blocked send is answered.
  d->CloseDevice();
  EXPECT_TRUE(d->ClosePending);
  d.reset();
  const auto took = Clock::now() - start;
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(window.Abandoned(), 0);
  EXPECT_LT(took, std::chrono::milliseconds(2500)) << "the stop waited for the send's time-out";
  TApdPosixDispatcher again(nullptr);
  EXPECT_EQ(Open(again, peer), 0);
}

// The owner hears of a hang-up once, after the bytes that came before it,
// whatever trigger events it has; then the dead descriptor is let go.
TEST(PosixDelivery, HangUpIsToldOnceAfterTheLastBytes) {
  for (bool triggerEvents : {true, false}) {
    SCOPED_TRACE(triggerEvents ? "with trigger events" : "without trigger events");
    TPtyPeer peer;
    ASSERT_TRUE(peer.Ok());
    TApdPosixDispatcher d(nullptr);
    std::mutex lock;
    std::vector<uint32_t> messages;
    TThreadWindow window([&](uint32_t msg, uint32_t, uint32_t) {
      ReadAvailable(d);
      std::lock_guard<std::mutex> hold(lock);
      messages.push_back(msg);
    });
    ASSERT_EQ(Open(d, peer), 0);
    d.AddWindowHandler(&window);
    d.UpdateHandlerFlags(triggerEvents ? 1 : 2);
    d.SetAvailThreshold(1);
    auto seen = [&] {
      std::lock_guard<std::mutex> hold(lock);
      return messages;
    };
    ASSERT_TRUE(peer.WriteAll({'b', 'y', 'e'}));
    if (triggerEvents) {
      ASSERT_TRUE(WaitUntil([&] { return !seen().empty(); }));
    }
    peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return !seen().empty() && seen().back() == DeviceGoneMsg; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // no second notice
    std::vector<uint32_t> got = seen();
    EXPECT_EQ(std::count(got.begin(), got.end(), DeviceGoneMsg), 1);
    EXPECT_EQ(got.back(), DeviceGoneMsg);
    if (triggerEvents) {
      EXPECT_EQ(got.front(), TriggerAvailMsg);
    } else {
      EXPECT_EQ(got.size(), 1u);  // no trigger notice at all
    }
    d.CloseDevice();
    EXPECT_EQ(d.DeviceHandle, -1);
    EXPECT_EQ(d.ThreadCount, 0);
  }
}

// A close asked from inside a handler stops watching the line at once, not
// when the handler returns: the event thread ends while the handler still
// runs, whether it waited on the line (a time-out's notice) or for the pass
// it had woken (a data notice).
TEST(PosixDelivery, ClosingFromInsideAHandlerEndsTheEventThreadAtOnce) {
  for (bool byData : {false, true}) {
    SCOPED_TRACE(byData ? "data notice" : "time-out notice");
    TPtyPeer peer;
    ASSERT_TRUE(peer.Ok());
    auto d = std::make_unique<TApdPosixDispatcher>(nullptr);
    std::atomic<int> endedInHandler{-1};
    TThreadWindow window([&](uint32_t, uint32_t, uint32_t) {
      if (endedInHandler != -1) return;
      d->CloseDevice();
      endedInHandler = WaitUntil([&] { return d->ComThread.load() == nullptr; }, 2000) ? 1 : 0;
    });
    ASSERT_EQ(Open(*d, peer), 0);
    Register(*d, window, byData ? 1 : 0);
    if (byData) {
      ASSERT_TRUE(peer.WriteAll({'a'}));
    } else {
      const int32_t timer = d->NewTimerTrigger();
      ASSERT_EQ(d->ArmTimerTrigger(timer, 1, true), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return d->ThreadCount == 0; }));
    EXPECT_EQ(endedInHandler, 1) << "the event thread went on until the handler returned";
    d.reset();
  }
}
