// What the benchmarks share: a pty whose master end is the peer, an open
// dispatcher with its owner's window registered, a window that hands trigger
// messages to an owner thread as the GUI's blocking send does, and small
// statistics.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AwPosix.h"
#include "AwUser.h"

namespace krmbench {

using Clock = std::chrono::steady_clock;

inline double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction q (0..1) of the sorted samples; 0 when there are none.
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(q * (samples.size() - 1) + 0.5));
  std::nth_element(samples.begin(), samples.begin() + static_cast<long>(at), samples.end());
  return samples[at];
}

inline double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A pseudo-terminal without a simulator: the master is the far end of the
// line, the slave path is the port.
class PtyPeer {
 public:
  PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slavePath_ = ptsname(master_);
  }
  ~PtyPeer() { Close(); }
  // The far end goes away, as a pulled adapter does.
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  std::string slavePath_;
};

// Opens the dispatcher on path as the component does (115200 8N1, DTR and
// RTS on) and registers window as the owner's window with an avail
// threshold of one byte. 0, or the open's error code.
inline int32_t OpenPort(TApdBaseDispatcher& d, const std::string& path, TNotifyWindow& window) {
  const int32_t result = d.OpenDevice(path, 115200, LineFlagDtr | LineFlagRts, 4096, 4096, 1, 8, 0);
  if (result != 0) return result;
  d.AddWindowHandler(&window);
  d.UpdateHandlerFlags(1);
  d.SetAvailThreshold(1);
  return 0;
}

// The owner's window as the GUI thread has it: SendNotify (on TDispThread)
// queues the message and blocks until the owner thread has handled it with
// RunNext, or until the send's time limit.
class OwnerWindow : public TNotifyWindow {
 public:
  struct Notice {
    uint32_t Msg = 0;
    uint32_t WParam = 0;
  };

  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t, uint32_t timeoutMs) override {
    auto pending = std::make_shared<Pending>();
    pending->What = {msg, wParam};
    std::unique_lock<std::mutex> lock(lock_);
    queue_.push_back(pending);
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pending->Done; });
    return true;
  }

  // Waits up to timeout for a message and runs handle(notice) on the
  // calling thread while the sender waits. False on a time-out.
  template <typename Handler>
  bool RunNext(std::chrono::milliseconds timeout, Handler&& handle) {
    std::unique_lock<std::mutex> lock(lock_);
    if (!changed_.wait_for(lock, timeout, [&] { return !queue_.empty(); })) return false;
    std::shared_ptr<Pending> pending = queue_.front();
    queue_.pop_front();
    lock.unlock();
    handle(pending->What);
    lock.lock();
    pending->Done = true;
    changed_.notify_all();
    return true;
  }

 private:
  struct Pending {
    Notice What;
    bool Done = false;
  };
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Pending>> queue_;
};

}  // namespace krmbench
