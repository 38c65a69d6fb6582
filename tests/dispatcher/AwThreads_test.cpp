// The dispatcher's threads over the scripted device: stopping without a
// deadlock, faults inside a thread, the writer's ring rotation, the events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "AwEvent.h"
#include "FakeDevice.h"
#include "ThreadTestSupport.h"

namespace {
using namespace threadtest;

}  // namespace

TEST(DispatcherThreads, StartAndStopLeaveNothingRunning) {
  auto d = Threaded();
  EXPECT_EQ(d->ThreadCount, 3);
  EXPECT_EQ(d->PreparedMask, DeviceEventMask);
  EXPECT_THROW(d->StartThreads(), std::logic_error);
  d->CloseDevice();
  EXPECT_EQ(d->ThreadCount, 0);
  EXPECT_FALSE(d->ThreadsRunning);
  EXPECT_EQ(d->ComThread.load(), nullptr);
  EXPECT_EQ(d->OutThread.load(), nullptr);
  // And again on the same object.
  ASSERT_EQ(d->Open(), 0);
  EXPECT_EQ(d->ThreadCount, 3);
}

TEST(DispatcherThreads, DeviceEventsAndThe50msPassBothFillTheRing) {
  auto d = Threaded();
  d->Receive("quiet");  // no device event: the 50 ms pass finds it
  EXPECT_TRUE(WaitUntil([&] { return d->InUsed() == 5; }));
  d->Receive("loud");
  d->SignalEvents(DevEvRxChar);
  EXPECT_TRUE(WaitUntil([&] { return d->InUsed() == 9; }));
  EXPECT_EQ(ReadAll(*d), "quietloud");
}

// The stop waits for a thread that wants DispatchLock; holding that lock
// while waiting would deadlock.
TEST(DispatcherThreads, StopCompletesWhileTheDispatcherThreadWaitsForTheLock) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();  // the handler runs while d is being freed
  TAwEvent inHandler(TAwEvent::Kind::ManualReset);
  std::atomic<bool> stopping{false};
  std::atomic<bool> tookLock{false};
  AddMethodHandler(*d, [&](uint32_t, uint32_t, uint32_t) {
    inHandler.Set();
    WaitUntil([&] { return stopping.load(); });
    raw->SetAvailThreshold(1);  // takes DispatchLock on TDispThread
    tookLock = true;
  });
  d->SetAvailThreshold(1);
  d->Receive("x");
  ASSERT_TRUE(inHandler.Wait(5000));
  FinishesWithin(10000, [&] {
    // The pump runs only while the stop waits for a thread.
    SetMessagePump([&] { stopping = true; });
    d->CloseDevice();
    d.reset();
    SetMessagePump(nullptr);
  });
  EXPECT_TRUE(stopping);
  EXPECT_TRUE(tookLock);
}

TEST(DispatcherThreads, AnExceptionEndsOnlyItsThreadAndNothingWaitsForever) {
  TThreadReports reports;
  auto d = std::make_unique<TFakeDispatcher>();
  d->RealThreads = true;
  d->ThrowInEventWait = true;
  ASSERT_EQ(d->Open(), 0);
  ASSERT_TRUE(WaitUntil([&] { return d->ComThread.load() == nullptr; }));
  EXPECT_EQ(d->ThreadCount, 2);
  // Input still comes in through the 50 ms passes.
  d->Receive("abc");
  EXPECT_TRUE(WaitUntil([&] { return d->InUsed() == 3; }));

  // A handler that throws ends TDispThread in the middle of a delivery.
  AddMethodHandler(*d, [](uint32_t, uint32_t, uint32_t) { throw std::runtime_error("handler"); });
  d->SetAvailThreshold(1);
  d->Receive("d");
  ASSERT_TRUE(WaitUntil([&] { return d->DispThread.load() == nullptr; }));
  EXPECT_FALSE(d->Delivering);
  FinishesWithin(10000, [&] { d.reset(); });
  EXPECT_EQ(reports.Taken(), (std::vector<std::string>{"event wait exploded", "handler"}));
}

TEST(DispatcherThreads, AWrappedFullRingGoesOutAsOneWrite) {
  auto d = Threaded(256);
  std::vector<uint8_t> expected;
  {
    std::lock_guard<TAwLock> out(d->OutputLock);
    std::iota(d->OutBuffer.begin(), d->OutBuffer.end(), 0);
    d->OutHead = d->OutTail = 100;
    d->OutFull = true;
    expected.assign(d->OutBuffer.begin() + 100, d->OutBuffer.end());
    expected.insert(expected.end(), d->OutBuffer.begin(), d->OutBuffer.begin() + 100);
  }
  d->OutputReadyEvent.Set();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::recursive_mutex> hold(d->ScriptLock);
    return d->Written.size() == 256;
  }));
  {
    std::lock_guard<std::recursive_mutex> hold(d->ScriptLock);
    EXPECT_EQ(d->WriteSizes, std::vector<uint32_t>{256});
    EXPECT_EQ(d->Written, expected);
  }
  std::lock_guard<TAwLock> out(d->OutputLock);
  EXPECT_EQ(d->OutHead, 0u);
  EXPECT_EQ(d->OutTail, 0u);
  EXPECT_FALSE(d->OutFull);
}

TEST(DispatcherThreads, PartialWritesConsumeWhatTheDeviceTook) {
  auto d = Threaded(256);
  {
    std::lock_guard<std::recursive_mutex> hold(d->ScriptLock);
    d->MaxWritePerCall = 100;
  }
  std::vector<uint8_t> block(200);
  std::iota(block.begin(), block.end(), 0);
  ASSERT_EQ(d->PutBytes(block.data(), 150), 0);
  d->OutputReadyEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return d->OutUsed() == 0; }));
  // Now the next block wraps: 106 bytes to the end, 94 from the start.
  ASSERT_EQ(d->PutBytes(block.data(), 200), 0);
  d->OutputReadyEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return d->OutUsed() == 0; }));
  std::lock_guard<std::recursive_mutex> hold(d->ScriptLock);
  std::vector<uint8_t> expected(block.begin(), block.begin() + 150);
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(d->Written, expected);
  // The wrapped 200 went as one rotated block, then its rest.
  EXPECT_EQ(d->WriteSizes, (std::vector<uint32_t>{150, 50, 200, 100}));
}

TEST(AwEvent, ResetKindsAndTheWaitOnTwo) {
  TAwEvent automatic(TAwEvent::Kind::AutoReset), manual(TAwEvent::Kind::ManualReset);
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  TAwEvent a(TAwEvent::Kind::AutoReset), b(TAwEvent::Kind::AutoReset);
  a.Set();
  b.Set();
  EXPECT_EQ(TAwEvent::WaitAny(a, b, 0), 0);
  EXPECT_EQ(TAwEvent::WaitAny(a, b, 0), 1);  // b was left set
  EXPECT_EQ(TAwEvent::WaitAny(a, b, 20), -1);

  std::thread setter([&] { b.Set(); });
  EXPECT_EQ(TAwEvent::WaitAny(a, b, 5000), 1);
  setter.join();
}

TEST(AwEvent, SetWakesOnlyTheWaitersOfItsEvent) {
  TAwEvent a(TAwEvent::Kind::AutoReset), ping(TAwEvent::Kind::AutoReset),
      pong(TAwEvent::Kind::AutoReset);
  std::atomic<bool> aDone{false};
  bool aTaken = false;
  std::thread onA([&] {
    aTaken = a.Wait(10000);
    aDone = true;
  });
  // Set after Set on another event while the thread on a sleeps through all.
  std::thread echo([&] {
    for (int i = 0; i < 200; ++i)
      if (ping.Wait(5000)) pong.Set();
  });
  int echoed = 0;
  for (int i = 0; i < 200; ++i) {
    ping.Set();
    echoed += pong.Wait(5000);
  }
  echo.join();
  EXPECT_EQ(echoed, 200);
  EXPECT_GT(ping.WakeUps(), 0u);  // the echo did sleep and was woken
  EXPECT_EQ(a.WakeUps(), 0u);
  EXPECT_FALSE(aDone);

  a.Set();
  onA.join();
  EXPECT_TRUE(aTaken);
  EXPECT_LE(a.WakeUps(), 1u);
}

TEST(AwEvent, WaitAnyWakesOnEitherAndOnlyOnItsOwn) {
  TAwEvent a(TAwEvent::Kind::AutoReset), b(TAwEvent::Kind::AutoReset),
      other(TAwEvent::Kind::AutoReset);
  for (TAwEvent* setLater : {&a, &b, &a}) {
    std::atomic<int> taken{-2};
    std::thread waiter([&] { taken = TAwEvent::WaitAny(a, b, 10000); });
    other.Set();  // no waiter of its own
    setLater->Set();
    ASSERT_TRUE(WaitUntil([&] { return taken != -2; }));
    waiter.join();
    EXPECT_EQ(taken, setLater == &a ? 0 : 1);
  }
  EXPECT_TRUE(other.Wait(0));
  EXPECT_EQ(other.WakeUps(), 0u);
  EXPECT_EQ(TAwEvent::WaitAny(a, b, 0), -1);  // each Set was taken once
}

TEST(AwEvent, AutoResetReleasesOneWaiterPerSetManualReleasesAll) {
  TAwEvent automatic(TAwEvent::Kind::AutoReset);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] { released += automatic.Wait(10000); });
  automatic.Set();
  ASSERT_TRUE(WaitUntil([&] { return released == 1; }));
  EXPECT_FALSE(WaitUntil([&] { return released > 1; }, 50));  // the other still waits
  automatic.Set();  // the one left is not lost
  ASSERT_TRUE(WaitUntil([&] { return released == 2; }));
  for (auto& t : waiters) t.join();
  waiters.clear();
  EXPECT_FALSE(automatic.Wait(0));

  TAwEvent manual(TAwEvent::Kind::ManualReset);
  released = 0;
  for (int i = 0; i < 4; ++i) waiters.emplace_back([&] { released += manual.Wait(10000); });
  manual.Set();
  ASSERT_TRUE(WaitUntil([&] { return released == 4; }));
  for (auto& t : waiters) t.join();
  EXPECT_TRUE(manual.Wait(0));
}

TEST(AwEvent, ManyHandOffsAcrossThreadsLoseNoWakeUp) {
  // Two ping-pong pairs share the process-wide lock; one side waits on two
  // events, one pair uses short time-outs that often expire.
  constexpr int Rounds = 5000;
  TAwEvent ping(TAwEvent::Kind::AutoReset), pong(TAwEvent::Kind::AutoReset),
      stop(TAwEvent::Kind::ManualReset), tick(TAwEvent::Kind::AutoReset),
      tock(TAwEvent::Kind::AutoReset);
  std::atomic<int> echoFailures{0};
  std::thread echo([&] {
    for (int i = 0; i < Rounds; ++i) {
      if (TAwEvent::WaitAny(ping, stop, 5000) != 0) ++echoFailures;
      pong.Set();
    }
  });
  std::atomic<bool> done{false};
  std::atomic<int> ticks{0};
  std::thread ticker([&] {
    while (!done) {
      tick.Set();
      if (tock.Wait(1)) ++ticks;
    }
  });
  std::thread tocker([&] {
    while (!done)
      if (tick.Wait(1)) tock.Set();
  });
  int missed = 0;
  for (int i = 0; i < Rounds; ++i) {
    ping.Set();
    missed += !pong.Wait(5000);
  }
  done = true;
  stop.Set();
  echo.join();
  ticker.join();
  tocker.join();
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(echoFailures, 0);
  EXPECT_GT(ticks, 0);
}

// A modem-line change reported together with data, then the data alone
// again before the dispatcher thread looked: the change must still count.
TEST(DispatcherThreads, ModemChangeArrivingWithDataIsNotReplacedByTheNextWait) {
  TTimerNoticeHold held;
  auto d = Threaded();
  // The dispatcher thread is held in a delivery while the event thread
  // waits twice: a pass that ended before let the event thread go on.
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) { held.OnNotice(msg); });
  ASSERT_TRUE(held.Hold(*d));

  {
    std::lock_guard<std::recursive_mutex> hold(d->ScriptLock);
    d->ModemLines = ModemCts;
  }
  d->Receive("d");
  d->QueueEvents({DevEvRxChar});  // the level-triggered re-report
  d->SignalEvents(DevEvCts | DevEvRxChar);
  ASSERT_TRUE(WaitUntil([&] { return d->EventWaits == 2; }));
  held.Release();

  auto modem = [&] {
    std::lock_guard<TAwLock> hold(d->DispatchLock);
    return d->ModemStatus;
  };
  EXPECT_TRUE(WaitUntil([&] { return (modem() & 0x11) == 0x11; }, 2000))
      << "CTS and its change bit, got " << modem();
  EXPECT_TRUE(WaitUntil([&] { return d->InUsed() == 1; }));
}
