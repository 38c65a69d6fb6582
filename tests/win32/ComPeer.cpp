// wine_com_peer: the Linux end of a Windows program's COM1 under Wine.
//
//   wine_com_peer LINK -- COMMAND...
//
// Opens a pseudo-terminal in raw mode, points the symlink LINK at its slave
// (Wine's COM1 leads to LINK), listens on a local TCP port, runs COMMAND
// with KRM_PEER_PORT set to that port and ends with COMMAND's exit status.
// Over the port the program drives the far end of its line, one command per
// line, each answered by a line "OK ..." or "ERR why":
//   ECHO 0|1      send back every byte that arrives
//   ANSWER 0|1    answer every request "$x...\r" with "!x...\r"
//   STALL 0|1     stop (1) or go on (0) reading the pty: its buffer fills up
//   SEND hex      write these bytes to the line
//   TAKE n ms     the first n bytes that arrived (waits up to ms), as hex
//   DISCARD       forget what arrived and what waits in the pty
//   TERMIOS       the line settings the port gave the pty
//   HANGUP        close the pty's master: the adapter is pulled
//   REPLUG        a new pty behind LINK
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char Digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text += Digits[b >> 4];
    text += Digits[b & 15];
  }
  return text;
}

std::optional<std::vector<uint8_t>> FromHex(const std::string& text) {
  if (text.size() % 2) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

uint32_t BaudOf(speed_t speed) {
  static const std::pair<speed_t, uint32_t> Speeds[] = {
      {B300, 300},     {B600, 600},     {B1200, 1200},   {B2400, 2400},
      {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
      {B57600, 57600}, {B115200, 115200}};
  for (auto [code, baud] : Speeds)
    if (code == speed) return baud;
  return 0;
}

class TPeer {
 public:
  TPeer(std::string link) : link_(std::move(link)) {}

  bool Plug() {
    Unplug();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    // Raw from the start: the tty's defaults would eat XON and XOFF.
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    const char* slave = ptsname(master_);
    if (!slave) return false;
    unlink(link_.c_str());
    return symlink(slave, link_.c_str()) == 0;
  }

  void Unplug() {
    if (master_ >= 0) close(master_);
    master_ = -1;
    toLine_.clear();
  }

  ~TPeer() {
    Unplug();
    unlink(link_.c_str());
  }

  // The pty's part of one poll round.
  pollfd LinePoll() const {
    short events = 0;
    if (master_ >= 0 && !stalled_) events |= POLLIN;
    if (master_ >= 0 && !toLine_.empty()) events |= POLLOUT;
    return {master_ >= 0 ? master_ : -1, events, 0};
  }

  void ServeLine(short revents) {
    if (master_ < 0) return;
    if (revents & POLLIN) {
      uint8_t buffer[4096];
      ssize_t n;
      while ((n = read(master_, buffer, sizeof buffer)) > 0) Arrived(buffer, static_cast<size_t>(n));
    }
    Flush();
  }

  // Runs one command line; the answer, or nothing while a TAKE waits.
  std::optional<std::string> Command(const std::string& line) {
    std::istringstream in(line);
    std::string verb, arg;
    in >> verb >> arg;
    if (verb == "ECHO") return Switch(echo_, arg);
    if (verb == "ANSWER") return Switch(answer_, arg);
    if (verb == "STALL") return Switch(stalled_, arg);
    if (verb == "SEND") {
      auto bytes = FromHex(arg);
      if (!bytes || master_ < 0) return std::string("ERR send");
      toLine_.insert(toLine_.end(), bytes->begin(), bytes->end());
      Flush();
      return std::string("OK");
    }
    if (verb == "TAKE") {
      int ms = 0;
      in >> ms;
      take_ = {std::strtoul(arg.c_str(), nullptr, 10), Clock::now() + std::chrono::milliseconds(ms)};
      return PendingAnswer();
    }
    if (verb == "DISCARD") {
      arrived_.clear();
      request_.clear();
      if (master_ >= 0) tcflush(master_, TCIFLUSH);
      return std::string("OK");
    }
    if (verb == "TERMIOS") return Termios();
    if (verb == "HANGUP") {
      Unplug();
      return std::string("OK");
    }
    if (verb == "REPLUG") return std::string(Plug() ? "OK" : "ERR replug");
    return "ERR unknown command " + verb;
  }

  // The answer to a waiting TAKE once it is due, else nothing.
  std::optional<std::string> PendingAnswer() {
    if (!take_) return std::nullopt;
    if (arrived_.size() < take_->Count && Clock::now() < take_->Deadline) return std::nullopt;
    const size_t n = std::min(take_->Count, arrived_.size());
    std::vector<uint8_t> bytes(arrived_.begin(), arrived_.begin() + static_cast<long>(n));
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<long>(n));
    take_.reset();
    return "OK " + Hex(bytes);
  }

  // How long the poll may sleep: until a waiting TAKE is due.
  int PollTimeoutMs() const {
    if (!take_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(take_->Deadline - Clock::now());
    return static_cast<int>(std::max<long>(0, left.count()) + 1);
  }

 private:
  struct TTake {
    size_t Count;
    Clock::time_point Deadline;
  };

  static std::optional<std::string> Switch(bool& flag, const std::string& arg) {
    if (arg != "0" && arg != "1") return std::string("ERR expected 0 or 1");
    flag = arg == "1";
    return std::string("OK");
  }

  void Arrived(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const uint8_t b = data[i];
      if (echo_) {
        toLine_.push_back(b);
        continue;
      }
      arrived_.push_back(b);
      if (!answer_) continue;
      request_.push_back(b);
      if (b != '\r') continue;
      if (request_.size() > 1 && request_[0] == '$') {
        toLine_.push_back('!');
        toLine_.insert(toLine_.end(), request_.begin() + 1, request_.end());
      }
      request_.clear();
    }
  }

  void Flush() {
    while (master_ >= 0 && !toLine_.empty()) {
      std::vector<uint8_t> chunk(toLine_.begin(),
                                 toLine_.begin() + static_cast<long>(std::min<size_t>(toLine_.size(), 4096)));
      ssize_t n = write(master_, chunk.data(), chunk.size());
      if (n <= 0) return;  // full: POLLOUT brings us back
      toLine_.erase(toLine_.begin(), toLine_.begin() + n);
    }
  }

  std::string Termios() const {
    termios t{};
    // The master reports the slave's settings, which the port wrote.
    if (master_ < 0 || tcgetattr(master_, &t) != 0) return "ERR termios";
    const int size = (t.c_cflag & CSIZE) == CS5 ? 5 : (t.c_cflag & CSIZE) == CS6 ? 6
                   : (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
    std::ostringstream out;
    out << "OK baud=" << BaudOf(cfgetospeed(&t)) << " csize=" << size
        << " parenb=" << ((t.c_cflag & PARENB) ? 1 : 0) << " cstopb=" << ((t.c_cflag & CSTOPB) ? 1 : 0)
        << " crtscts=" << ((t.c_cflag & CRTSCTS) ? 1 : 0) << " ixon=" << ((t.c_iflag & IXON) ? 1 : 0)
        << " ixoff=" << ((t.c_iflag & IXOFF) ? 1 : 0);
    return out.str();
  }

  std::string link_;
  int master_ = -1;
  bool echo_ = false, answer_ = false, stalled_ = false;
  std::deque<uint8_t> arrived_;
  std::vector<uint8_t> request_;
  std::deque<uint8_t> toLine_;
  std::optional<TTake> take_;
};

// The control connection's bytes, cut into lines.
class TControl {
 public:
  explicit TControl(int fd) : fd_(fd) {}
  ~TControl() { close(fd_); }
  int Fd() const { return fd_; }
  // False once the program closed its end.
  bool ReadLines(std::vector<std::string>& lines) {
    char buffer[8192];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    pending_.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      std::string line = pending_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      pending_.erase(0, end + 1);
    }
    return true;
  }
  void Reply(const std::string& line) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n <= 0 && errno != EINTR) return;
      if (n > 0) done += static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  std::string pending_;
};

int ListenLocally(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
    std::fprintf(stderr, "usage: wine_com_peer LINK -- COMMAND...\n");
    return 2;
  }
  TPeer peer(argv[1]);
  uint16_t port = 0;
  const int listener = ListenLocally(port);
  if (!peer.Plug() || listener < 0) {
    std::perror("wine_com_peer: set-up");
    return 2;
  }
  const pid_t child = fork();
  if (child == 0) {
    setenv("KRM_PEER_PORT", std::to_string(port).c_str(), 1);
    execvp(argv[3], argv + 3);
    std::perror("wine_com_peer: exec");
    _exit(127);
  }
  // Readable when the program has ended.
  const int childEnded = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (childEnded < 0) {
    std::perror("wine_com_peer: pidfd_open");
    return 2;
  }

  std::optional<TControl> control;
  for (;;) {
    pollfd fds[4] = {{childEnded, POLLIN, 0}, {listener, POLLIN, 0}, peer.LinePoll(),
                     {control ? control->Fd() : -1, POLLIN, 0}};
    if (poll(fds, 4, peer.PollTimeoutMs()) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) control.emplace(fd);  // one program, one connection at a time
    }
    if (fds[2].revents) peer.ServeLine(fds[2].revents);
    if (control && fds[3].revents) {
      std::vector<std::string> lines;
      if (!control->ReadLines(lines)) control.reset();
      for (const std::string& line : lines)
        if (auto answer = peer.Command(line)) control->Reply(*answer);
    }
    if (control)
      if (auto answer = peer.PendingAnswer()) control->Reply(*answer);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
