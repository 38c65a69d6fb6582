// What the thread tests share: a fake with running threads, waits with a
// deadline, a method handler in the window's place, a dispatcher thread
// held in a notice, what the threads report, and a run that ends the
// process on a deadlock.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AwEvent.h"
#include "AwThreads.h"
#include "AwUser.h"
#include "FakeDevice.h"

namespace threadtest {

using Clock = std::chrono::steady_clock;

inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The scripted device with its three threads running, opened.
inline std::unique_ptr<TFakeDispatcher> Threaded(uint32_t outSize = 256) {
  auto d = std::make_unique<TFakeDispatcher>();
  d->RealThreads = true;
  EXPECT_EQ(d->Open(outSize), 0);
  return d;
}

// Holds the dispatcher thread in a timer notice, so that what a test
// scripts meanwhile is seen by one later pass. The dispatcher's close may
// return while the notice is still leaving its wait: let this outlive it.
class TTimerNoticeHold {
 public:
  // The timer notice's part of the test's handler.
  void OnNotice(uint32_t msg) {
    if (msg != TriggerTimerMsg) return;
    inTimer_.Set();
    release_.Wait(5000);
  }
  // Arms a timer on d; true once its notice holds the dispatcher thread.
  ::testing::AssertionResult Hold(TApdBaseDispatcher& d) {
    inTimer_.Reset();
    release_.Reset();
    const int32_t timer = d.NewTimerTrigger();
    if (timer <= 0) return ::testing::AssertionFailure() << "no timer trigger: " << timer;
    if (const int32_t armed = d.ArmTimerTrigger(timer, 1, true); armed != 0)
      return ::testing::AssertionFailure() << "timer not armed: " << armed;
    if (!inTimer_.Wait(2000)) return ::testing::AssertionFailure() << "no timer notice";
    return ::testing::AssertionSuccess();
  }
  void Release() { release_.Set(); }

 private:
  TAwEvent inTimer_{TAwEvent::Kind::ManualReset}, release_{TAwEvent::Kind::ManualReset};
};

// What the dispatcher threads report of the exceptions that ended them,
// while this lives.
class TThreadReports {
 public:
  TThreadReports() {
    SetThreadExceptionReporter([this](const std::string& what) {
      std::lock_guard<std::mutex> hold(lock_);
      reports_.push_back(what);
    });
  }
  ~TThreadReports() { SetThreadExceptionReporter(nullptr); }
  TThreadReports(const TThreadReports&) = delete;
  TThreadReports& operator=(const TThreadReports&) = delete;
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> reports_;
};

inline void AddMethodHandler(TApdBaseDispatcher& d, TTriggerMethod method) {
  std::lock_guard<TAwLock> hold(d.DispatchLock);
  d.MethodHandlers.push_back({std::move(method), false, false});
  d.DeliveryNeeded = true;
}

// Runs body on its own thread; a deadlocked thread cannot be joined, so the
// process ends instead.
inline void FinishesWithin(int timeoutMs, const std::function<void()>& body) {
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

}  // namespace threadtest
