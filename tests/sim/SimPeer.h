#pragma once
// The host's end of the simulated line in tests: plain open/read/write on the device
// path, every wait bounded by a deadline.

#include <chrono>
#include <string>
#include <string_view>

namespace simtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

class Peer {
 public:
  explicit Peer(const std::string &path);
  explicit Peer(int fd);  // takes the descriptor over
  void close();
  ~Peer();
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  void send(std::string_view bytes);
  // Bytes up to and including the first CR; what arrived so far when the deadline passes.
  std::string readReply(Ms deadline = 3000ms);
  // Exactly count bytes, or fewer when the deadline passes.
  std::string readBytes(std::size_t count, Ms deadline = 3000ms);
  // The bytes of one read() once something arrives; empty at the deadline.
  std::string readOnce(Ms deadline = 3000ms);
  std::string query(std::string_view frame) {
    send(frame);
    return readReply();
  }
  // True when the line hangs up (POLLHUP/POLLERR, end of file or EIO) before the deadline.
  bool waitHangUp(Ms deadline = 3000ms);
  void setSpeed(unsigned speed);  // a termios Bxxx constant

 private:
  bool fill(Ms deadline);  // one read into pending_; false at the deadline or hang-up
  int fd_ = -1;
  std::string pending_;
};

}  // namespace simtest
