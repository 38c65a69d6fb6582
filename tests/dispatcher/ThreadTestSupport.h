// What the thread tests share: waits with a deadline, a method handler in
// the window's place, and a run that ends the process on a deadlock.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "AwUser.h"

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
