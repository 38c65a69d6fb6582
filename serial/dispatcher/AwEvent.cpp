// All events share one mutex, so a wait on two events checks and registers
// with both at once. Each sleeping thread has its own condition, registered
// with the events it waits on: a Set wakes only the threads waiting on that
// event, not every dispatcher thread of the process.
#include "AwEvent.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::mutex& SharedMutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

struct TAwEvent::Waiter {
  std::condition_variable woken;
};

TAwEvent::TAwEvent(Kind kind, bool initiallySet)
    : manual_(kind == Kind::ManualReset), set_(initiallySet) {}

void TAwEvent::Set() {
  std::lock_guard<std::mutex> hold(SharedMutex());
  set_ = true;
  // Notified under the lock: a waiter's record lives on its stack and is gone
  // once the waiter has the lock again. Every waiter is told, as the one that
  // takes an automatic-reset event cannot be chosen here.
  for (Waiter* waiter : waiters_) waiter->woken.notify_one();
}

void TAwEvent::Reset() {
  std::lock_guard<std::mutex> hold(SharedMutex());
  set_ = false;
}

uint64_t TAwEvent::WakeUps() const {
  std::lock_guard<std::mutex> hold(SharedMutex());
  return wakeUps_;
}

bool TAwEvent::TakeLocked() {
  if (!set_) return false;
  if (!manual_) set_ = false;
  return true;
}

bool TAwEvent::Wait(uint32_t timeoutMs) { return WaitFirst({this}, timeoutMs) == 0; }

int TAwEvent::WaitAny(TAwEvent& first, TAwEvent& second, uint32_t timeoutMs) {
  return WaitFirst({&first, &second}, timeoutMs);
}

int TAwEvent::WaitFirst(std::initializer_list<TAwEvent*> events, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(SharedMutex());
  auto takeFirst = [&] {
    int index = 0;
    for (TAwEvent* event : events) {
      if (event->TakeLocked()) return index;
      ++index;
    }
    return -1;
  };
  int taken = takeFirst();
  if (taken >= 0 || timeoutMs == 0) return taken;

  Waiter self;
  for (TAwEvent* event : events) event->waiters_.push_back(&self);
  for (;;) {
    bool timedOut = false;
    if (timeoutMs == WaitForever)
      self.woken.wait(lock);
    else
      timedOut = self.woken.wait_until(lock, deadline) == std::cv_status::timeout;
    if (!timedOut)
      for (TAwEvent* event : events) ++event->wakeUps_;
    taken = takeFirst();
    if (taken >= 0 || timedOut) break;
  }
  for (TAwEvent* event : events) std::erase(event->waiters_, &self);
  return taken;
}
