// Test support over real pseudo-terminals: the peer end of the wire, windows
// that take trigger messages on their own thread or on a pumped "GUI" thread,
// and waits with deadlines.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AwEvent.h"
#include "AwUser.h"

using Clock = std::chrono::steady_clock;

// Polls cond until it holds or timeoutMs passes; its last answer.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// An open at 9600 8N1 with DTR and RTS up, 4096-byte rings.
inline int32_t Open(TApdBaseDispatcher& d, const std::string& name) {
  return d.OpenDevice(name, 9600, LineFlagDtr | LineFlagRts, 4096, 4096, 1, 8, 0);
}

// Runs body in a child process; its exit status (0..255).
inline int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

inline double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline int CountOpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// The far end of the line: a pty master. The slave path is the "port".
class TPtyPeer {
 public:
  TPtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      slavePath_ = ptsname(master_);
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~TPtyPeer() { Close(); }
  TPtyPeer(const TPtyPeer&) = delete;
  TPtyPeer& operator=(const TPtyPeer&) = delete;

  bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
  const std::string& SlavePath() const { return slavePath_; }
  int Master() const { return master_; }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Writes everything, waiting while the pty's buffer is full.
  bool WriteAll(const uint8_t* data, size_t size, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
      ssize_t n = write(master_, data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (Clock::now() >= deadline) return false;
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
    return true;
  }
  bool WriteAll(const std::vector<uint8_t>& bytes) { return WriteAll(bytes.data(), bytes.size()); }

  // Reads until count bytes came or the time is up.
  std::vector<uint8_t> Read(size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buffer[4096];
    while (got.size() < count && Clock::now() < deadline) {
      ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
        continue;
      }
      pollfd p{master_, POLLIN, 0};
      poll(&p, 1, 10);
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

// A window whose messages are handled on a queue; RunPending runs them on
// the calling thread. The send waits for its message at most timeoutMs and
// is then abandoned; the message still runs later.
class TQueuedWindow : public TNotifyWindow {
 public:
  using Handler = std::function<void(uint32_t msg, uint32_t wParam, uint32_t lParam)>;
  explicit TQueuedWindow(Handler handler) : handler_(std::move(handler)) {}

  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t timeoutMs) override {
    auto done = std::make_shared<TAwEvent>(TAwEvent::Kind::ManualReset);
    {
      std::lock_guard<std::mutex> hold(lock_);
      queue_.push_back({msg, wParam, lParam, done});
    }
    queued_.notify_all();
    if (!done->Wait(timeoutMs)) ++abandoned_;
    return true;
  }
  // Runs what is queued; with waitMs, waits that long for a first message.
  void RunPending(int waitMs = 0) {
    std::unique_lock<std::mutex> lock(lock_);
    queued_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return !queue_.empty() || quit_; });
    while (!queue_.empty()) {
      TMessage m = queue_.front();
      queue_.pop_front();
      lock.unlock();
      handler_(m.Msg, m.WParam, m.LParam);
      m.Done->Set();
      lock.lock();
    }
  }
  int Abandoned() const { return abandoned_; }

 protected:
  void Quit() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      quit_ = true;
    }
    queued_.notify_all();
  }
  bool Quitting() {
    std::lock_guard<std::mutex> hold(lock_);
    return quit_;
  }

 private:
  struct TMessage {
    uint32_t Msg, WParam, LParam;
    std::shared_ptr<TAwEvent> Done;
  };
  Handler handler_;
  std::mutex lock_;
  std::condition_variable queued_;
  std::deque<TMessage> queue_;
  bool quit_ = false;
  std::atomic<int> abandoned_{0};
};

// A window with a thread of its own, as the GUI thread would be.
class TThreadWindow : public TQueuedWindow {
 public:
  explicit TThreadWindow(Handler handler)
      : TQueuedWindow(std::move(handler)), thread_([this] {
          while (!Quitting()) RunPending(50);
        }) {}
  ~TThreadWindow() override {
    Quit();
    thread_.join();
  }
  std::thread::id ThreadId() const { return thread_.get_id(); }

 private:
  std::thread thread_;
};
