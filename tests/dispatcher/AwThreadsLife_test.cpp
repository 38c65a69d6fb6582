// The dispatcher threads' life over the scripted device: stops that come
// while a pass is held, and what each thread leaves behind when it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "AwEvent.h"
#include "FakeDevice.h"

namespace {
using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void AddMethodHandler(TApdBaseDispatcher& d, TTriggerMethod method) {
  std::lock_guard<std::recursive_mutex> hold(d.DispatchLock);
  d.MethodHandlers.push_back({std::move(method), false, false});
  d.DeliveryNeeded = true;
}

// A deadlocked thread cannot be joined: the process ends instead.
void FinishesWithin(int timeoutMs, const std::function<void()>& body) {
  std::atomic<bool> done{false};
  std::thread runner([&] {
    body();
    done = true;
  });
  if (!WaitUntil([&] { return done.load(); }, timeoutMs)) {
    ADD_FAILURE() << "deadlock";
    std::fflush(stdout);
    std::_Exit(1);
  }
  runner.join();
}
}  // namespace

// The event thread has handed over a device event and waits for a pass that
// a delivery holds; the stop must release it by itself, as nothing else will
// (the held pass ends cut short by the close).
TEST(DispatcherThreadsLife, StopReleasesTheEventThreadWaitingForAHeldPass) {
  auto d = std::make_unique<TFakeDispatcher>();
  d->RealThreads = true;
  ASSERT_EQ(d->Open(), 0);
  TFakeDispatcher* raw = d.get();
  TAwEvent inHandler(TAwEvent::Kind::ManualReset);
  std::atomic<bool> eventThreadEndedWhileHeld{false};
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg != TriggerAvailMsg) return;
    inHandler.Set();
    eventThreadEndedWhileHeld =
        WaitUntil([&] { return raw->ComThread.load() == nullptr; }, 3000);
  });
  d->SetAvailThreshold(1);
  d->Receive("x");  // found by the 50 ms pass: the event thread still waits
  ASSERT_TRUE(inHandler.Wait(5000));
  ASSERT_EQ(d->EventWaits, 0);
  d->SignalEvents(DevEvRxChar);
  ASSERT_TRUE(WaitUntil([&] { return d->EventWaits == 1; }));
  FinishesWithin(10000, [&] { d.reset(); });
  EXPECT_TRUE(eventThreadEndedWhileHeld);
}
