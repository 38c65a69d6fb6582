// All events share one mutex and one condition: a wait on two events then
// needs no registration between them. A few threads per port set events a
// few hundred times a second at most, so the shared wake-ups cost nothing.
#include "AwEvent.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::mutex& SharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::condition_variable& SharedCondition() {
  static std::condition_variable condition;
  return condition;
}

// Waits until ready() holds or the time-out passes; ready() runs under the lock.
template <typename Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Ready ready) {
  if (timeoutMs == WaitForever) {
    SharedCondition().wait(lock, ready);
    return true;
  }
  return SharedCondition().wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}
}  // namespace

TAwEvent::TAwEvent(Kind kind, bool initiallySet)
    : manual_(kind == Kind::ManualReset), set_(initiallySet) {}

void TAwEvent::Set() {
  {
    std::lock_guard<std::mutex> hold(SharedMutex());
    set_ = true;
  }
  SharedCondition().notify_all();
}

void TAwEvent::Reset() {
  std::lock_guard<std::mutex> hold(SharedMutex());
  set_ = false;
}

bool TAwEvent::TakeLocked() {
  if (!set_) return false;
  if (!manual_) set_ = false;
  return true;
}

bool TAwEvent::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(SharedMutex());
  bool taken = false;
  WaitUntil(lock, timeoutMs, [&] { return taken = TakeLocked(); });
  return taken;
}

int TAwEvent::WaitAny(TAwEvent& first, TAwEvent& second, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(SharedMutex());
  int taken = -1;
  WaitUntil(lock, timeoutMs, [&] {
    if (first.TakeLocked())
      taken = 0;
    else if (second.TakeLocked())
      taken = 1;
    return taken >= 0;
  });
  return taken;
}
