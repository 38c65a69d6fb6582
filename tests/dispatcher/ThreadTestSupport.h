// What the thread tests share: a fake with running threads, waits with a
// deadline, a method handler in the window's place, what the threads
// report, and a run that ends the process on a deadlock.
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
