// The peers the benchmarks talk to: a simulated bus on its own pseudo-
// terminal, and the minimal raw termios request/reply loop that sets the
// pace every serial programmer knows.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "SimBus.h"

namespace krmbench {

// The exchange every loop repeats: the converter at 05 asked for its settings.
inline constexpr char Request[] = "$05IFD\r";
inline constexpr char ExpectedReply[] = "!0500\r";

// A simulated bus with a converter at each of the given addresses. Instant:
// replies come at once; otherwise after the line time of request and reply
// at the host's speed, as on a real line.
class SimPeer {
 public:
  explicit SimPeer(const std::vector<uint8_t>& addresses = {0x05}, bool instant = true) : bus_(Options(instant)) {
    for (const uint8_t address : addresses) {
      krm::sim::Converter converter;
      converter.address = address;
      bus_.add(converter);
    }
    bus_.start();
  }
  std::string Path() const { return bus_.path(); }
  const krm::sim::Bus& Bus() const { return bus_; }

 private:
  static krm::sim::BusOptions Options(bool instant) {
    krm::sim::BusOptions options;
    options.instant = instant;
    return options;
  }
  krm::sim::Bus bus_;
};

// The loop any serial programmer writes first: raw mode, write, read to CR.
class RawExchanger {
 public:
  explicit RawExchanger(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd_ < 0 || tcgetattr(fd_, &t) != 0) return;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 0;  // a read returns what came, or nothing after VTIME
    t.c_cc[VTIME] = 20;
    ok_ = tcsetattr(fd_, TCSANOW, &t) == 0;
  }
  ~RawExchanger() {
    if (fd_ >= 0) close(fd_);
  }
  RawExchanger(const RawExchanger&) = delete;
  RawExchanger& operator=(const RawExchanger&) = delete;

  bool Ok() const { return ok_; }

  // One request and its reply; false on a failure, a silence or a wrong reply.
  bool Exchange() {
    constexpr ssize_t length = sizeof Request - 1;
    if (write(fd_, Request, length) != length) return false;
    std::string reply;
    char buffer[64];
    while (reply.empty() || reply.back() != '\r') {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || reply.size() > 64) return false;
      reply.append(buffer, static_cast<size_t>(n));
    }
    return reply == ExpectedReply;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace krmbench
