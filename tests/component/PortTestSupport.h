// What the port component's tests share: a pseudo-terminal whose master end
// plays the peer, port names mapped to it through the environment, and
// waits that keep the Qt event loop turning until a deadline.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

namespace porttest {

using namespace std::chrono_literals;

// Turns the event loop until `done` holds or `timeout` passed; the result of `done`.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = 3000ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeout.count()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Turns the event loop for `span`: the window in which something must NOT happen.
inline void PumpFor(std::chrono::milliseconds span) {
  WaitFor([] { return false; }, span);
}

// Waits without turning the event loop: the GUI thread is "busy".
inline bool WaitBlocked(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = 3000ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeout.count()) return done();
    usleep(1000);
  }
  return true;
}

// Whether this process holds a descriptor of the device at `path`.
inline bool HoldsDescriptorOf(const std::string& path) {
  bool held = false;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      char target[512];
      std::string link = std::string("/proc/self/fd/") + entry->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      if (std::string(target).rfind(path, 0) == 0) held = true;  // also "... (deleted)"
    }
    closedir(dir);
  }
  return held;
}

// A pseudo-terminal: the component opens the slave, the test is the master.
class PtyPeer {
 public:
  PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    slave_ = ptsname(master_);
    // The master's own side raw, so that the peer sees bytes as sent.
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
  }
  ~PtyPeer() { Close(); }
  // The far end goes away, as a pulled adapter does.
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }

  void Write(const std::string& bytes) const {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("peer write failed");
  }
  // Reads until `count` bytes came or the deadline passed.
  std::string Read(size_t count, std::chrono::milliseconds timeout = 3000ms) const {
    std::string got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < timeout.count()) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 20) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Everything waiting now, until the line stays quiet for `quiet`.
  std::string Drain(std::chrono::milliseconds quiet = 200ms) const {
    std::string got;
    for (;;) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(quiet.count())) <= 0) return got;
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return got;
      got.append(buffer, static_cast<size_t>(n));
    }
  }
  // The line settings in force on the device.
  termios Settings() const {
    termios tio{};
    tcgetattr(master_, &tio);
    return tio;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Maps COM<n> to a device path for one test, as the device layer resolves it.
class PortName {
 public:
  PortName(int n, const std::string& path) : name_("KRM4610_COM" + std::to_string(n)) {
    setenv(name_.c_str(), path.c_str(), 1);
  }
  ~PortName() { unsetenv(name_.c_str()); }
  PortName(const PortName&) = delete;
  PortName& operator=(const PortName&) = delete;

 private:
  std::string name_;
};

}  // namespace porttest
