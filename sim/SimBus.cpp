#include "SimBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <stdlib.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace krm::sim {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

long speedBitsPerSecond(speed_t s) {
  switch (s) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

// Shows a frame in the log: printable characters as they are, others in <..>.
std::string visible(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') s += "<CR>";
    else if (c == '\n') s += "<LF>";
    else if (u < 0x20 || u > 0x7E) s += {'<', kHex[u >> 4], kHex[u & 15], '>'};
    else s += c;
  }
  return s;
}

void makeRaw(int fd, const std::string &path) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throwErrno("tcgetattr " + path);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throwErrno("tcsetattr " + path);
}

// Counters behind the drop decisions of one misbehaviour.
struct Faults {
  std::uint64_t replies = 0;
  std::mt19937 random;

  void restart(const Misbehaviour &m) {
    replies = 0;
    random.seed(m.dropSeed);
  }
  bool dropNext(const Misbehaviour &m) {
    ++replies;
    bool drop = m.dropEvery > 0 && replies % static_cast<std::uint64_t>(m.dropEvery) == 0;
    // Draw only when a probability is set, so that the sequence depends on the seed alone.
    if (m.dropProbability > 0) drop = std::uniform_real_distribution<double>(0, 1)(random) < m.dropProbability || drop;
    return drop;
  }
};

struct Slot {
  Converter converter;
  std::uint8_t wireAddress = 0;
  int wireRs232Baud = 0;
  Faults faults;

  void powerUp() {
    wireAddress = converter.address;
    wireRs232Baud = converter.rs232Baud;
    if (converter.misbehaviour) faults.restart(*converter.misbehaviour);
  }
};

// A piece of output due at a time; hangUp closes the line instead of writing.
struct Chunk {
  Clock::time_point due;
  std::string bytes;
  bool hangUp = false;
};

enum class Input { Data, Nothing, Gone };

}  // namespace

struct Bus::State {
  BusOptions options;
  mutable std::mutex mutex;
  mutable std::condition_variable framesArrived;

  // Guarded by mutex.
  std::vector<Slot> slots;
  Misbehaviour busMisbehaviour;
  Faults busFaults;
  std::vector<std::string> frames;
  std::size_t frameCount = 0;
  bool started = false;
  bool stopping = false;
  bool closeRequested = false;
  bool lineOpen = false;
  std::string path;
  std::deque<Chunk> output;
  std::size_t outputBytes = 0;
  int lineFd = -1;   // pty master, or the given port
  int slaveFd = -1;  // kept open so that the peer may come and go without a hang-up
  int wakeRead = -1, wakeWrite = -1;
  std::string partial;  // the line being received
  bool discarding = false;

  void log(const std::string &line) const {
    if (options.log) options.log(line);
  }
  void wake() const {
    const char b = 1;
    [[maybe_unused]] auto n = ::write(wakeWrite, &b, 1);  // a full pipe wakes the thread anyway
  }

  void closeLineLocked() {
    closeFd(lineFd);
    closeFd(slaveFd);
    if (lineOpen) log("-- line closed");
    lineOpen = false;
    output.clear();
    outputBytes = 0;
  }

  long hostBitsPerSecond() const {
    termios t{};
    const int fd = slaveFd >= 0 ? slaveFd : lineFd;
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return 0;
    return speedBitsPerSecond(::cfgetospeed(&t));
  }

  void feed(const char *data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const char c = data[i];
      if (c == '\r') {
        if (!discarding) handleLine(partial);
        partial.clear();
        discarding = false;
      } else if (discarding || (partial.empty() && c == '\n')) {
        continue;
      } else if (partial.size() == Bus::kMaxLine) {
        log("-- line longer than " + std::to_string(Bus::kMaxLine) + " bytes dropped");
        partial.clear();
        discarding = true;
      } else {
        partial.push_back(c);
      }
    }
  }

  void handleLine(const std::string &line) {
    ++frameCount;
    if (frames.size() < Bus::kMaxRecordedFrames) frames.push_back(line);
    framesArrived.notify_all();
    log("<- " + visible(line) + "<CR>");

    const auto request = parseRequest(line);
    if (!request) {
      log("-- not a request");
      return;
    }
    const long hostSpeed = options.checkBaud ? hostBitsPerSecond() : 0;
    for (auto &slot : slots) {
      if (slot.wireAddress != request->address) continue;
      const Misbehaviour &m = slot.converter.misbehaviour ? *slot.converter.misbehaviour : busMisbehaviour;
      Faults &faults = slot.converter.misbehaviour ? slot.faults : busFaults;
      if (m.silent) {
        log("-- silent");
        continue;
      }
      if (options.checkBaud && hostSpeed != baudRate(slot.wireRs232Baud)) {
        log("-- host speed " + std::to_string(hostSpeed) + " is not the converter's");
        continue;
      }
      std::string reply = answer(slot.converter, slot.wireAddress, *request);
      if (faults.dropNext(m)) {
        log("-- dropped " + visible(reply));
        continue;
      }
      schedule(m, line.size() + 1, std::move(reply));
    }
  }

  void schedule(const Misbehaviour &m, std::size_t requestBytes, std::string reply) {
    if (m.omitCr && !reply.empty()) reply.pop_back();
    const std::string bytes = m.noiseBefore + reply + m.noiseAfter;
    if (outputBytes + bytes.size() > Bus::kMaxPendingOutput) {
      log("-- output full, lost " + visible(bytes));
      return;
    }
    const auto now = Clock::now();
    auto due = output.empty() ? now : std::max(now, output.back().due);
    if (!options.instant) {
      const long speed = hostBitsPerSecond();
      if (speed > 0)
        due += std::chrono::microseconds(static_cast<long long>(requestBytes + bytes.size()) * 10'000'000 / speed);
    }
    due += std::chrono::milliseconds(m.latencyMs);
    if (m.hangUp) {
      log("-- hang-up");
      output.push_back({due, {}, true});
      return;
    }
    log("-> " + visible(bytes));
    const std::size_t size = m.chunkSize > 0 ? static_cast<std::size_t>(m.chunkSize) : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += size) {
      if (at > 0) due += std::chrono::milliseconds(m.chunkPauseMs);
      output.push_back({due, bytes.substr(at, size), false});
    }
    outputBytes += bytes.size();
  }

  // Writes what is due; leaves the rest while the peer's input is full.
  void flushDue() {
    while (lineFd >= 0 && !output.empty() && output.front().due <= Clock::now()) {
      Chunk &c = output.front();
      if (c.hangUp) {
        closeLineLocked();
        return;
      }
      const ssize_t n = ::write(lineFd, c.bytes.data(), c.bytes.size());
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        log(std::string("-- write failed: ") + std::strerror(errno));
        closeLineLocked();
        return;
      }
      outputBytes -= static_cast<std::size_t>(n);
      c.bytes.erase(0, static_cast<std::size_t>(n));
      if (!c.bytes.empty()) return;
      output.pop_front();
    }
  }

  // One read per poll round, so that a flooding peer cannot hold the thread.
  Input readInput() {
    char buf[4096];
    const ssize_t n = ::read(lineFd, buf, sizeof buf);
    if (n > 0) {
      feed(buf, static_cast<std::size_t>(n));
      return Input::Data;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Input::Nothing;
    log(n == 0 ? std::string("-- end of input") : std::string("-- read failed: ") + std::strerror(errno));
    return Input::Gone;
  }

  // Opens a new pseudo-terminal or the given port, raw and non-blocking.
  void openLine() {
    if (options.port.empty()) {
      lineFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (lineFd < 0) throwErrno("posix_openpt");
      if (::grantpt(lineFd) != 0 || ::unlockpt(lineFd) != 0) throwErrno("pseudo-terminal");
      char name[128];
      if (::ptsname_r(lineFd, name, sizeof name) != 0) throwErrno("ptsname");
      path = name;
      slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (slaveFd < 0) throwErrno("open " + path);
      makeRaw(slaveFd, path);
    } else {
      path = options.port;
      lineFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (lineFd < 0) throwErrno("open " + path);
      makeRaw(lineFd, path);
    }
    const int flags = ::fcntl(lineFd, F_GETFL);
    if (flags < 0 || ::fcntl(lineFd, F_SETFL, flags | O_NONBLOCK) != 0) throwErrno("fcntl");
    int wakePipe[2];
    if (::pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) throwErrno("pipe");
    wakeRead = wakePipe[0];
    wakeWrite = wakePipe[1];
  }
};

Bus::Bus(BusOptions options) : state_(std::make_unique<State>()) { state_->options = std::move(options); }

Bus::~Bus() { stop(); }

void Bus::start() {
  State &s = *state_;
  std::lock_guard lock(s.mutex);
  if (s.started) throw std::logic_error("the bus is already started");
  try {
    s.openLine();
  } catch (...) {
    closeFd(s.lineFd);
    closeFd(s.slaveFd);
    s.path.clear();
    throw;
  }
  s.started = true;
  s.stopping = false;
  s.closeRequested = false;
  s.lineOpen = true;
  s.partial.clear();
  s.discarding = false;
  thread_ = std::thread([this] { serve(); });
}

void Bus::stop() {
  State &s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (!s.started) return;
    s.stopping = true;
  }
  s.wake();
  thread_.join();
  std::lock_guard lock(s.mutex);
  s.closeLineLocked();
  closeFd(s.wakeRead);
  closeFd(s.wakeWrite);
  s.started = false;
}

void Bus::serve() {
  State &s = *state_;
  std::unique_lock lock(s.mutex);
  while (!s.stopping) {
    if (s.closeRequested) {
      s.closeRequested = false;
      s.closeLineLocked();
    }
    int timeout = -1;
    short events = POLLIN;
    if (s.lineFd >= 0 && !s.output.empty()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(s.output.front().due - Clock::now());
      if (wait.count() <= 0) events |= POLLOUT;
      else timeout = static_cast<int>(std::min<long long>(wait.count(), 60'000));
    }
    pollfd fds[2] = {{s.wakeRead, POLLIN, 0}, {s.lineFd, events, 0}};
    const nfds_t count = s.lineFd >= 0 ? 2 : 1;

    lock.unlock();
    const int ready = ::poll(fds, count, timeout);
    lock.lock();
    if (ready < 0) continue;  // EINTR; nothing else can fail with our own descriptors
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(s.wakeRead, drain, sizeof drain) > 0) {
      }
    }
    if (count == 2 && s.lineFd >= 0) {
      const short r = fds[1].revents;
      // A hang-up or error without data is final: never poll that descriptor again.
      if (r & POLLNVAL) {
        s.closeLineLocked();
      } else if (r & (POLLIN | POLLHUP | POLLERR)) {
        const Input input = s.readInput();
        if (input == Input::Gone || (input == Input::Nothing && (r & (POLLHUP | POLLERR)))) s.closeLineLocked();
      }
      s.flushDue();
    }
  }
}

std::string Bus::path() const {
  std::lock_guard lock(state_->mutex);
  return state_->path;
}

std::size_t Bus::add(const Converter &converter) {
  std::lock_guard lock(state_->mutex);
  Slot slot;
  slot.converter = converter;
  slot.powerUp();
  state_->slots.push_back(std::move(slot));
  return state_->slots.size() - 1;
}

void Bus::modify(std::size_t index, const std::function<void(Converter &)> &change) {
  std::lock_guard lock(state_->mutex);
  Slot &slot = state_->slots.at(index);
  const Converter before = slot.converter;
  change(slot.converter);
  const Converter &after = slot.converter;
  if (after.address != before.address) slot.wireAddress = after.address;
  if (after.rs232Baud != before.rs232Baud) slot.wireRs232Baud = after.rs232Baud;
  if (after.misbehaviour != before.misbehaviour && after.misbehaviour) slot.faults.restart(*after.misbehaviour);
}

Converter Bus::converter(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  return state_->slots.at(index).converter;
}

std::size_t Bus::converterCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->slots.size();
}

void Bus::setBusMisbehaviour(const Misbehaviour &misbehaviour) {
  std::lock_guard lock(state_->mutex);
  state_->busMisbehaviour = misbehaviour;
  state_->busFaults.restart(misbehaviour);
}

void Bus::powerUp() {
  std::lock_guard lock(state_->mutex);
  for (auto &slot : state_->slots) slot.powerUp();
  state_->busFaults.restart(state_->busMisbehaviour);
  state_->log("-- power-up");
}

void Bus::closeLine() {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->started) return;
    state_->closeRequested = true;
  }
  state_->wake();
}

bool Bus::lineOpen() const {
  std::lock_guard lock(state_->mutex);
  return state_->lineOpen && !state_->closeRequested;
}

std::vector<std::string> Bus::frames() const {
  std::lock_guard lock(state_->mutex);
  return state_->frames;
}

std::size_t Bus::frameCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->frameCount;
}

void Bus::clearFrames() {
  std::lock_guard lock(state_->mutex);
  state_->frames.clear();
  state_->frameCount = 0;
}

bool Bus::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->framesArrived.wait_for(lock, timeout, [&] { return state_->frameCount >= count; });
}

}  // namespace krm::sim
