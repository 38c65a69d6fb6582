#include "SimPeer.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <utility>
#include <termios.h>
#include <unistd.h>

namespace simtest {
namespace {

int remainingMs(std::chrono::steady_clock::time_point end) {
  const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Peer::Peer(const std::string &path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  termios t{};
  ::tcgetattr(fd_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd_, TCSANOW, &t);
}

Peer::Peer(int fd) : fd_(fd) {
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

Peer::~Peer() { close(); }

void Peer::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Peer::send(std::string_view bytes) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << "write failed, errno " << errno;
    pollfd p{fd_, POLLOUT, 0};
    ASSERT_GT(::poll(&p, 1, remainingMs(end)), 0) << "peer's output stuck";
  }
}

bool Peer::fill(Ms deadline) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return false;
  char buf[4096];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n <= 0) return false;
  pending_.append(buf, static_cast<std::size_t>(n));
  return true;
}

std::string Peer::readReply(Ms deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (const auto cr = pending_.find('\r'); cr != std::string::npos) {
      std::string reply = pending_.substr(0, cr + 1);
      pending_.erase(0, cr + 1);
      return reply;
    }
    if (!fill(Ms(remainingMs(end)))) return std::exchange(pending_, {});
  }
}

std::string Peer::readBytes(std::size_t count, Ms deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (pending_.size() < count && fill(Ms(remainingMs(end)))) {
  }
  std::string out = pending_.substr(0, count);
  pending_.erase(0, out.size());
  return out;
}

std::string Peer::readOnce(Ms deadline) {
  if (pending_.empty()) fill(deadline);
  return std::exchange(pending_, {});
}

bool Peer::waitHangUp(Ms deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, remainingMs(end));
    if (r <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    char buf[256];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno == EIO)) return true;
  }
}

void Peer::setSpeed(unsigned speed) {
  termios t{};
  ::tcgetattr(fd_, &t);
  ::cfsetispeed(&t, static_cast<speed_t>(speed));
  ::cfsetospeed(&t, static_cast<speed_t>(speed));
  ::tcsetattr(fd_, TCSANOW, &t);
}

}  // namespace simtest
