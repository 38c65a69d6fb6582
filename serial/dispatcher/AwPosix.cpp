// The POSIX device layer. Every blocking call waits in poll() on the port
// and on a self-pipe, so that a cancel or a purge ends it at once; a port
// that hangs up is final for its descriptor, which is never polled again
// (a spinning poll on a dead tty is the classic fault of serial tools).
#include "AwPosix.h"

#include "AwErrorCodes.h"
#include "AwThreads.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <thread>
#include <utility>

namespace {
// Retries a system call that an interrupting signal cut short.
template <typename Call>
auto Retry(Call call) {
  decltype(call()) result;
  do result = call();
  while (result == -1 && errno == EINTR);
  return result;
}

void ClosePipe(int (&pipe)[2]) {
  for (int& fd : pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void Poke(int fd) {
  const char byte = 1;
  (void)Retry([&] { return write(fd, &byte, 1); });  // a full pipe already wakes
}

// A short read is the pipe emptied.
void Drain(int fd) {
  char buffer[64];
  const auto full = static_cast<ssize_t>(sizeof buffer);
  while (Retry([&] { return read(fd, buffer, sizeof buffer); }) == full) {
  }
}

struct TSpeed {
  uint32_t Baud;
  speed_t Code;
};
constexpr TSpeed Speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000}};

bool SpeedCode(uint32_t baud, speed_t& code) {
  for (const TSpeed& s : Speeds)
    if (s.Baud == baud) {
      code = s.Code;
      return true;
    }
  return false;
}

uint32_t SpeedBaud(speed_t code) {
  for (const TSpeed& s : Speeds)
    if (s.Code == code) return s.Baud;
  return 0;
}

// A modem ioctl that a pty refuses (ENOTTY, or EINVAL on older kernels)
// is no failure: the line just is not there.
void SetModemBit(int fd, int bit, bool on) {
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

// What an open leaves on the line before its first change: DTR and RTS up.
TLineState OpenedLineState() {
  TLineState state;
  state.DtrControl = TDtrControl::On;
  state.RtsControl = TRtsControl::On;
  return state;
}

uint8_t LinesFromBits(int bits) {
  uint8_t lines = 0;
  if (bits & TIOCM_CTS) lines |= ModemCts;
  if (bits & TIOCM_DSR) lines |= ModemDsr;
  if (bits & TIOCM_RI) lines |= ModemRi;
  if (bits & TIOCM_CD) lines |= ModemDcd;
  return lines;
}
}  // namespace

TApdPosixDispatcher::TApdPosixDispatcher(TApdCustomComPort* owner) : TApdBaseDispatcher(owner) {}

int32_t TApdPosixDispatcher::SystemCode(int error) {
  switch (error) {
    case ENOENT: return ecode::FileNotFound;
    case ENOMEM: return ecode::OutOfMemory;
    default: return ecode::SystemError(error);
  }
}

int32_t TApdPosixDispatcher::Failure(int error) {
  if (error == EIO) MarkDeviceGone();  // the line hung up
  return SystemCode(error);
}

bool TApdPosixDispatcher::IsPermissionDenied(int32_t code) {
  return code == ecode::SystemError(EACCES) || code == ecode::SystemError(EPERM);
}

TApdPosixDispatcher::~TApdPosixDispatcher() {
  BeforeDestruction();
  CloseDescriptors();  // an open that never started threads, or a failed close
}

std::string TApdPosixDispatcher::ResolvePortName(const std::string& name) {
  static const std::string Prefix = "\\\\.\\COM";
  if (name.size() <= Prefix.size() || name.compare(0, Prefix.size(), Prefix) != 0) return name;
  const std::string number = name.substr(Prefix.size());
  if (number.size() > 3 || !std::all_of(number.begin(), number.end(), ::isdigit)) return name;
  const int n = std::atoi(number.c_str());
  if (n < 1) return name;
  if (const char* mapped = std::getenv(("KRM4610_COM" + number).c_str()); mapped && *mapped)
    return mapped;
  return "/dev/ttyS" + std::to_string(n - 1);
}

// --- open and close

intptr_t TApdPosixDispatcher::OpenDeviceHandle(const std::string& name, uint32_t, uint32_t) {
  const std::string path = ResolvePortName(name);
  int fd = Retry([&] { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    int error = errno;
    if (error == EBUSY) return ecode::FileAccessDenied;  // another program set TIOCEXCL
    if (error == ENXIO || error == ENODEV || error == EIO) return ecode::FileNotFound;
    return SystemCode(error);
  }
  // Undoes everything taken so far: a leaked descriptor would keep the
  // port locked until the program ends. Closing the only descriptor drops
  // the lock; the write-wake pipe is the last thing made, so never there.
  bool exclusive = false;
  auto fail = [&](int code) -> intptr_t {
    ClosePipe(eventWake_);
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
    return code;
  };
  // flock first: TIOCEXCL does not stop root, and a second process that
  // got past open() must still find the port taken.
  if (Retry([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0)
    return fail(errno == EWOULDBLOCK ? ecode::FileAccessDenied : SystemCode(errno));
  termios raw{};
  if (tcgetattr(fd, &raw) != 0) return fail(SystemCode(errno));  // not a terminal
  if (ioctl(fd, TIOCEXCL) != 0) return fail(SystemCode(errno));
  exclusive = true;
  // A known start: raw bytes, no flow control (reads return at once by
  // O_NONBLOCK). The tty's defaults would eat XON and XOFF and stop on a
  // received XOFF.
  cfmakeraw(&raw);
  raw.c_cflag = (raw.c_cflag & ~CRTSCTS) | CLOCAL | CREAD;
  raw.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (tcsetattr(fd, TCSANOW, &raw) != 0) return fail(SystemCode(errno));
  if (pipe2(eventWake_, O_CLOEXEC | O_NONBLOCK) != 0 ||
      pipe2(writeWake_, O_CLOEXEC | O_NONBLOCK) != 0)
    return fail(ecode::OutOfMemory);
  // The device numbers of BSD and UNIX 98 pty slaves.
  static constexpr unsigned PtySlaves[] = {3, 136, 137, 138, 139, 140, 141, 142, 143};
  struct stat node{};
  const unsigned kind = fstat(fd, &node) == 0 ? major(node.st_rdev) : 0;
  pseudoTerminal_ =
      std::find(std::begin(PtySlaves), std::end(PtySlaves), kind) != std::end(PtySlaves);

  fd_ = fd;
  applied_ = OpenedLineState();
  NewLineErrors();  // the counters so far are history
  {
    std::lock_guard<std::mutex> hold(errorLock_);
    pendingErrors_ = 0;
  }
  return fd;
}

int32_t TApdPosixDispatcher::SetupDeviceQueues(uint32_t, uint32_t) {
  return 0;  // the tty layer sizes its own queues
}

int32_t TApdPosixDispatcher::CloseDeviceHandle() {
  if (ThreadsRunning) {
    StopRequested = true;
    CancelDeviceEventWait();
    ReadyEvent.Set();
    GeneralEvent.Reset();
  }
  // The threads may still be inside a call on the descriptor: it closes
  // when the last of them has ended, never under them (a reused number
  // would give them another port).
  std::lock_guard<TAwLock> hold(ThreadEndLock());
  if (ThreadCount == 0) CloseDescriptors();
  return 0;
}

// Threads end together only when they are stopped: by the close above, or
// by the stop that follows it.
void TApdPosixDispatcher::AllThreadsEnded() {
  if (StopRequested) CloseDescriptors();
}

void TApdPosixDispatcher::CloseDescriptors() {
  {
    std::lock_guard<std::mutex> hold(wakeLock_);
    ClosePipe(eventWake_);
    ClosePipe(writeWake_);
  }
  if (fd_ < 0) return;
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  close(fd_);  // never retried: Linux releases the descriptor even on EINTR
  fd_ = -1;
}

// --- line state

int32_t TApdPosixDispatcher::GetDeviceState(TLineState& state) {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return SystemCode(errno);
  state = applied_;
  state.Baud = SpeedBaud(cfgetospeed(&t));
  if (!framingIgnored_) {
    switch (t.c_cflag & CSIZE) {
      case CS5: state.ByteSize = 5; break;
      case CS6: state.ByteSize = 6; break;
      case CS7: state.ByteSize = 7; break;
      default: state.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
      state.Parity = 0;
    else if (t.c_cflag & CMSPAR)
      state.Parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
      state.Parity = (t.c_cflag & PARODD) ? 1 : 2;
  }
  state.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  const bool hardware = (t.c_cflag & CRTSCTS) != 0;
  state.OutxCtsFlow = hardware;
  if (hardware) state.RtsControl = TRtsControl::Handshake;
  state.OutX = (t.c_iflag & IXON) != 0;
  state.InX = (t.c_iflag & IXOFF) != 0;
  state.XonChar = t.c_cc[VSTART];
  state.XoffChar = t.c_cc[VSTOP];
  return 0;
}

int32_t TApdPosixDispatcher::SetDeviceState(const TLineState& state) {
  // Linux has one switch for RTS/CTS flow in both directions, and none for
  // DTR/DSR flow: anything else cannot be done, and is not pretended.
  const bool rtsFlow = state.RtsControl == TRtsControl::Handshake;
  if (rtsFlow != state.OutxCtsFlow || state.DtrControl == TDtrControl::Handshake ||
      state.OutxDsrFlow)
    return SystemCode(EOPNOTSUPP);
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return SystemCode(errno);
  speed_t speed;
  if (!SpeedCode(state.Baud, speed)) return SystemCode(EINVAL);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= Sizes[std::clamp<int>(state.ByteSize, 5, 8) - 5];
  switch (state.Parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (state.Parity != 0 && state.ParityCheck) t.c_iflag |= INPCK;
  if (state.StopBits != 0) t.c_cflag |= CSTOPB;  // one and a half is two here
  if (rtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (state.OutX) t.c_iflag |= IXON;
  if (state.InX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = state.XonChar;
  t.c_cc[VSTOP] = state.XoffChar;
  // A pty keeps 8 data bits and no parity whatever it is told, and the C
  // library may then answer EINVAL although everything else was applied.
  // For a pty that is no failure: the line state reports what was asked
  // for, as a real port would. A real driver that kept its own framing
  // did not take the data format, and says so.
  const int set = tcsetattr(fd_, TCSANOW, &t);
  const int setError = errno;
  termios kept{};
  if (tcgetattr(fd_, &kept) != 0) return SystemCode(errno);
  constexpr tcflag_t Framing = CSIZE | PARENB | PARODD | CMSPAR;
  // The speed is in c_cflag too.
  const bool restApplied = (kept.c_cflag & ~Framing) == (t.c_cflag & ~Framing);
  if (set != 0 && !(pseudoTerminal_ && setError == EINVAL && restApplied))
    return SystemCode(setError);
  const bool framingKept = (kept.c_cflag & Framing) == (t.c_cflag & Framing);
  if (!framingKept && !pseudoTerminal_) return SystemCode(EINVAL);
  framingIgnored_ = !framingKept;

  if (state.DtrControl != TDtrControl::Handshake)
    SetModemBit(fd_, TIOCM_DTR, state.DtrControl == TDtrControl::On);
  if (state.RtsControl == TRtsControl::On || state.RtsControl == TRtsControl::Off)
    SetModemBit(fd_, TIOCM_RTS, state.RtsControl == TRtsControl::On);
  const bool toggle = state.RtsControl == TRtsControl::Toggle;
  if (toggle != (applied_.RtsControl == TRtsControl::Toggle)) {
    // The driver's own RS-485 direction control, where it has one.
    serial_rs485 rs485{};
    if (toggle) rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    ioctl(fd_, TIOCSRS485, &rs485);
  }
  applied_ = state;
  return 0;
}

int32_t TApdPosixDispatcher::EscapeFunction(int32_t code) {
  switch (code) {
    case EscSetRts: SetModemBit(fd_, TIOCM_RTS, true); break;
    case EscClrRts: SetModemBit(fd_, TIOCM_RTS, false); break;
    case EscSetDtr: SetModemBit(fd_, TIOCM_DTR, true); break;
    case EscClrDtr: SetModemBit(fd_, TIOCM_DTR, false); break;
    default: break;
  }
  return 0;
}

uint8_t TApdPosixDispatcher::ReadModemLines() {
  int bits = 0;
  if (DeviceGone() || ioctl(fd_, TIOCMGET, &bits) != 0) return 0;
  return LinesFromBits(bits);
}

// --- errors and status

uint32_t TApdPosixDispatcher::NewLineErrors() {
  std::lock_guard<std::mutex> hold(errorLock_);
  serial_icounter_struct counts{};
  // A pty and many USB adapters have none: asking again costs one call.
  if (ioctl(fd_, TIOCGICOUNT, &counts) != 0) return 0;
  const int now[5] = {counts.buf_overrun, counts.overrun, counts.parity, counts.frame, counts.brk};
  static constexpr uint32_t Bits[5] = {LineErrRxOverflow, LineErrOverrun, LineErrParity,
                                       LineErrFraming, LineErrBreak};
  uint32_t fresh = 0;
  for (int i = 0; i < 5; ++i) {
    if (now[i] != lastCounts_[i]) fresh |= Bits[i];
    lastCounts_[i] = now[i];
  }
  pendingErrors_ |= fresh;
  return fresh;
}

uint32_t TApdPosixDispatcher::ReadDeviceErrors(TDeviceStatus& status) {
  NewLineErrors();
  uint32_t errors;
  {
    std::lock_guard<std::mutex> hold(errorLock_);
    errors = std::exchange(pendingErrors_, 0u);
  }
  int waiting = 0;
  if (DeviceGone() || ioctl(fd_, FIONREAD, &waiting) != 0) waiting = 0;
  status.InQueue = static_cast<uint32_t>(std::max(waiting, 0));
  return errors;
}

// --- reading and writing

int32_t TApdPosixDispatcher::ReadDevice(uint8_t* buffer, uint32_t count) {
  if (DeviceGone()) return 0;
  ssize_t got = Retry([&] { return read(fd_, buffer, count); });
  return got >= 0 ? static_cast<int32_t>(got) : Failure(errno);
}

int32_t TApdPosixDispatcher::QueueOutput(const uint8_t* data, uint32_t count) {
  CopyToOutputRing(data, count);
  OutputReadyEvent.Set();
  return static_cast<int32_t>(count);
}

int32_t TApdPosixDispatcher::WriteDevice(const uint8_t* data, uint32_t count) {
  while (!DeviceGone()) {
    ssize_t written = Retry([&] { return write(fd_, data, count); });
    if (written >= 0) return static_cast<int32_t>(written);
    if (errno != EAGAIN) return Failure(errno);
    // The device's queue is full: wait until it takes more, or a purge. A
    // hang-up wakes the poll, and the next write meets it as EIO.
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {writeWake_[0], POLLIN, 0}};
    if (Retry([&] { return poll(fds, 2, -1); }) < 0) return SystemCode(errno);
    if (fds[1].revents & POLLIN) {
      Drain(writeWake_[0]);
      return WriteInterrupted;
    }
  }
  return SystemCode(EIO);
}

uint32_t TApdPosixDispatcher::DeviceOutputQueued() {
  int queued = 0;
  if (DeviceGone() || ioctl(fd_, TIOCOUTQ, &queued) != 0) return 0;
  return static_cast<uint32_t>(std::max(queued, 0));
}

int32_t TApdPosixDispatcher::PurgeQueue(bool input) {
  if (!input) {
    // Interrupt the write in progress and wait for the writer to let go of
    // the ring before it is emptied.
    if (OutThread.load() != nullptr) FlushWriter([this] { Wake(writeWake_); });
    EmptyOutputRing();
  }
  if (DeviceGone()) return 0;
  if (tcflush(fd_, input ? TCIFLUSH : TCOFLUSH) == 0) return 0;
  return Failure(errno);  // the line may have hung up before the event thread saw it
}

// --- device events

void TApdPosixDispatcher::PrepareDeviceEvents(uint32_t) {
  // Reads return at once already (O_NONBLOCK). Modem lines
  // are watched by looking at them on each wake, where the driver has them.
  int bits = 0;
  watchLines_ = ioctl(fd_, TIOCMGET, &bits) == 0;
  lastLines_ = watchLines_ ? LinesFromBits(bits) : 0;
}

void TApdPosixDispatcher::CancelDeviceEventWait() { Wake(eventWake_); }

void TApdPosixDispatcher::Wake(const int (&pipe)[2]) {
  // The last thread may be closing the pipes right now; a closed one is -1,
  // and writing there fails harmlessly.
  std::lock_guard<std::mutex> hold(wakeLock_);
  Poke(pipe[1]);
}

uint32_t TApdPosixDispatcher::LineEvents() {
  uint32_t mask = 0;
  if (watchLines_) {
    int bits = 0;
    if (ioctl(fd_, TIOCMGET, &bits) == 0) {
      uint8_t lines = LinesFromBits(bits);
      uint8_t changed = lines ^ lastLines_;
      if (changed & ModemCts) mask |= DevEvCts;
      if (changed & ModemDsr) mask |= DevEvDsr;
      if (changed & ModemDcd) mask |= DevEvRlsd;
      if (changed & lines & ModemRi) mask |= DevEvRing;
      lastLines_ = lines;
    } else {
      watchLines_ = false;
    }
  }
  uint32_t errors = NewLineErrors();
  if (errors & LineErrBreak) mask |= DevEvBreak;
  if (errors & ~LineErrBreak) mask |= DevEvError;
  return mask;
}

// The caller's mask starts at 0; a cancel leaves it so.
bool TApdPosixDispatcher::WaitDeviceEvent(uint32_t& mask) {
  while (!DeviceGone()) {
    // While the input ring is full the dispatcher cannot take what waits in
    // the driver, and a level-triggered poll would spin on it: then watch
    // only for a hang-up and look again in 50 ms. Any other waiting byte is
    // reported at once (those of an earlier report were taken by the event
    // pass this thread waited for). Lines that can change are looked at
    // every 50 ms too; a pty has none.
    const bool stale = InputRingFull();
    pollfd fds[2] = {{fd_, static_cast<short>(stale ? 0 : POLLIN), 0},
                     {eventWake_[0], POLLIN, 0}};
    int ready = Retry([&] { return poll(fds, 2, watchLines_ || stale ? 50 : -1); });
    if (ready < 0) return false;
    if (fds[1].revents & POLLIN) return true;  // cancelled: only a stop does that
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    mask = LineEvents();
    // Readable with nothing waiting is no hang-up: TDispThread's own pass
    // took the bytes after poll saw them (a tty is readable only with bytes
    // waiting, or hung up, which poll reports as POLLHUP).
    int waiting = 0;
    if ((fds[0].revents & POLLIN) && ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0)
      mask |= DevEvRxChar;
    if (mask != 0) return true;
  }
  MarkDeviceGone();
  return false;
}

int32_t TApdPosixDispatcher::YieldSlice() {
  std::this_thread::yield();
  return 0;
}

// --- thread priorities

long CurrentSystemThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

// Linux keeps a nice value per thread: five steps of nice per level.
void ApplyThreadPriority(long systemId, int level) {
  setpriority(PRIO_PROCESS, static_cast<id_t>(systemId), (3 - level) * 5);
}
