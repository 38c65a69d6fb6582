// Modem lines, line-error counters, the driver's output queue and its
// RS-485 mode, which a pseudo-terminal does not have: for the pty a test
// scripts, those ioctls are answered here as a UART's driver answers them.
// Everything else, and every other descriptor, goes to the system; the
// dispatcher's threads and the pty itself are real.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "AwErrorCodes.h"
#include "AwPosix.h"
#include "DeviceTestSupport.h"

namespace {
struct TScriptedUart {
  std::mutex lock;
  dev_t device = 0;  // the pty slave answered for; 0: none
  int lines = 0;     // TIOCM_* bits, outputs and inputs
  serial_icounter_struct counts{};
  int outQueue = 0;
  serial_rs485 rs485{};
  int rs485Sets = 0;
  bool linesFail = false;  // TIOCMGET fails, as an adapter's may after a while
  int lineReads = 0;       // TIOCMGET calls
  // A UART keeps the data format it is told, which a pty drops.
  bool keepsFraming = false;
  tcflag_t framing = CS8;
  // The C library answers EINVAL although it applied what it was given.
  bool setAnswersInvalid = false;
  bool speedRefused = false;  // the device keeps 9600 baud whatever it is told
};
constexpr tcflag_t FramingBits = CSIZE | PARENB | PARODD | CMSPAR;
TScriptedUart& Uart() {
  static TScriptedUart uart;
  return uart;
}

bool Scripted(int fd) {
  struct stat node{};
  std::lock_guard<std::mutex> hold(Uart().lock);
  return Uart().device != 0 && fstat(fd, &node) == 0 && S_ISCHR(node.st_mode) &&
         node.st_rdev == Uart().device;
}

int Answer(unsigned long request, void* arg) {
  std::lock_guard<std::mutex> hold(Uart().lock);
  TScriptedUart& u = Uart();
  switch (request) {
    case TIOCMGET:
      ++u.lineReads;
      if (u.linesFail) {
        errno = EINVAL;
        return -1;
      }
      *static_cast<int*>(arg) = u.lines;
      return 0;
    case TIOCMBIS: u.lines |= *static_cast<int*>(arg); return 0;
    case TIOCMBIC: u.lines &= ~*static_cast<int*>(arg); return 0;
    case TIOCGICOUNT: *static_cast<serial_icounter_struct*>(arg) = u.counts; return 0;
    case TIOCOUTQ: *static_cast<int*>(arg) = u.outQueue; return 0;
    case TIOCSRS485:
      u.rs485 = *static_cast<serial_rs485*>(arg);
      ++u.rs485Sets;
      return 0;
    default: return -2;  // the system's
  }
}
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  using Real = int (*)(int, unsigned long, ...);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (Scripted(fd)) {
    const int answer = Answer(request, arg);
    if (answer != -2) return answer;
  }
  return real(fd, request, arg);
}

extern "C" int tcsetattr(int fd, int actions, const termios* t) __THROW {
  using Real = int (*)(int, int, const termios*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  const int result = real(fd, actions, t);
  if (result == 0 && Scripted(fd)) {
    std::lock_guard<std::mutex> hold(Uart().lock);
    Uart().framing = t->c_cflag & FramingBits;
    if (Uart().setAnswersInvalid) {
      errno = EINVAL;
      return -1;
    }
  }
  return result;
}

extern "C" int tcgetattr(int fd, termios* t) __THROW {
  using Real = int (*)(int, termios*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
  const int result = real(fd, t);
  if (result == 0 && Scripted(fd)) {
    std::lock_guard<std::mutex> hold(Uart().lock);
    if (Uart().keepsFraming) t->c_cflag = (t->c_cflag & ~FramingBits) | Uart().framing;
    if (Uart().speedRefused) cfsetospeed(t, B9600);
  }
  return result;
}

namespace {
class PosixModem : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Ok());
    struct stat node{};
    ASSERT_EQ(stat(peer.SlavePath().c_str(), &node), 0);
    {
      std::lock_guard<std::mutex> hold(Uart().lock);
      Uart().device = node.st_rdev;
      Uart().lines = 0;
      Uart().counts = {};
      Uart().outQueue = 0;
      Uart().rs485 = {};
      Uart().rs485Sets = 0;
      Uart().linesFail = false;
      Uart().lineReads = 0;
      Uart().keepsFraming = KeepsFraming();
      Uart().framing = CS8;
      Uart().setAnswersInvalid = false;
      Uart().speedRefused = false;
    }
    ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  }
  virtual bool KeepsFraming() const { return false; }
  void TearDown() override {
    d.CloseDevice();
    std::lock_guard<std::mutex> hold(Uart().lock);
    Uart().device = 0;
  }
  void Script(const std::function<void(TScriptedUart&)>& change) {
    std::lock_guard<std::mutex> hold(Uart().lock);
    change(Uart());
  }
  int Lines() {
    std::lock_guard<std::mutex> hold(Uart().lock);
    return Uart().lines;
  }
  int LineReads() {
    std::lock_guard<std::mutex> hold(Uart().lock);
    return Uart().lineReads;
  }
  uint32_t Modem() {
    std::lock_guard<TAwLock> hold(d.DispatchLock);
    return d.ModemStatus;
  }

  TPtyPeer peer;
  TApdPosixDispatcher d{nullptr};
};
}  // namespace

// Each input line that changes is seen by the event thread and shows in
// the modem status with its change bit; a ring shows when it starts.
TEST_F(PosixModem, InputLineChangesReachTheModemStatus) {
  struct Line {
    int bit;
    uint32_t level, change;
  };
  for (Line line : {Line{TIOCM_CTS, ModemCts, 0x01}, Line{TIOCM_DSR, ModemDsr, 0x02},
                    Line{TIOCM_CD, ModemDcd, 0x08}}) {
    SCOPED_TRACE(line.bit);
    Script([&](TScriptedUart& u) { u.lines |= line.bit; });
    ASSERT_TRUE(WaitUntil([&] { return (Modem() & line.level) != 0; }, 2000));
    EXPECT_EQ(Modem() & line.change, line.change);
    {
      std::lock_guard<TAwLock> hold(d.DispatchLock);
      d.ModemStatus &= 0xF0;  // the owner took the change bits
    }
    Script([&](TScriptedUart& u) { u.lines &= ~line.bit; });
    ASSERT_TRUE(WaitUntil([&] { return (Modem() & line.level) == 0; }, 2000));
    EXPECT_EQ(Modem() & line.change, line.change);
  }
  Script([&](TScriptedUart& u) { u.lines |= TIOCM_RI; });
  ASSERT_TRUE(WaitUntil([&] { return (Modem() & ModemRi) != 0; }, 2000));
  EXPECT_TRUE(Modem() & 0x04);
}

// Each of the driver's error counters that moves is one line-error bit, and
// only the counters that moved count.
TEST_F(PosixModem, ErrorCountersThatMoveAreLineErrors) {
  struct Counter {
    int serial_icounter_struct::*field;
    uint32_t bit;
  };
  for (Counter c : {Counter{&serial_icounter_struct::buf_overrun, LineErrRxOverflow},
                    Counter{&serial_icounter_struct::overrun, LineErrOverrun},
                    Counter{&serial_icounter_struct::parity, LineErrParity},
                    Counter{&serial_icounter_struct::frame, LineErrFraming},
                    Counter{&serial_icounter_struct::brk, LineErrBreak}}) {
    SCOPED_TRACE(c.bit);
    d.LineErrors = 0;
    Script([&](TScriptedUart& u) { u.counts.*c.field += 1; });
    ASSERT_TRUE(WaitUntil([&] { return d.LineErrors != 0; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // two more passes
    EXPECT_EQ(d.LineErrors.load(), c.bit);
  }
}

// Lines that stop answering are no longer looked at: the event thread then
// sleeps until the line has something, instead of waking every 50 ms. The
// error counters are still read, by the dispatcher's own passes.
TEST_F(PosixModem, LinesThatStopAnsweringAreLeftAloneAndErrorsStillCount) {
  const int before = LineReads();
  ASSERT_TRUE(WaitUntil([&] { return LineReads() > before; }));  // looked at every 50 ms
  Script([](TScriptedUart& u) { u.linesFail = true; });
  const int failing = LineReads();
  ASSERT_TRUE(WaitUntil([&] { return LineReads() > failing; }));
  const int asked = LineReads();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(LineReads() - asked, 1) << "the event thread still looks at the lines every 50 ms";
  d.LineErrors = 0;
  Script([](TScriptedUart& u) { u.counts.frame += 1; });
  EXPECT_TRUE(WaitUntil([&] { return d.LineErrors != 0; }, 2000));
}

// Opened with both lines under flow control, DTR and RTS are up, as an
// open raises them, until a flow mode takes them: a line change raises
// them where the device had them down. What the driver counted before the
// open is no line error of this one.
TEST_F(PosixModem, OpenWithFlowControlledLinesKeepsThemRaisedAndOldCountsOut) {
  ASSERT_EQ(d.DriveDtr(0), 0);  // nothing of the last opening's lines stays
  ASSERT_EQ(d.DriveRts(0), 0);
  ASSERT_EQ(d.SetLineParams(19200, 0, 1, 8), 0);
  d.CloseDevice();
  Script([](TScriptedUart& u) {
    u.lines = 0;
    u.counts.frame = 5;
    u.counts.parity = 2;
  });
  ASSERT_EQ(d.OpenDevice(peer.SlavePath(), 9600, LineFlagDtrFlow | LineFlagRtsFlow, 4096, 4096, 1,
                         8, 0),
            0);
  ASSERT_EQ(d.SetLineParams(19200, 0, 1, 8), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // passes that would tell them
  EXPECT_EQ(d.LineErrors.load(), 0u);
}

// DTR and RTS are driven on the device: raised at the open, then as asked.
TEST_F(PosixModem, DtrAndRtsFollowWhatIsAsked) {
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  ASSERT_EQ(d.DriveDtr(0), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
  ASSERT_EQ(d.DriveRts(0), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), 0);
  ASSERT_EQ(d.DriveDtr(1), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);
  ASSERT_EQ(d.DriveRts(1), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
  // A line change keeps both where they were put.
  ASSERT_EQ(d.DriveDtr(0), 0);
  ASSERT_EQ(d.DriveRts(0), 0);
  ASSERT_EQ(d.SetLineParams(19200, 0, 1, 8), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), 0);
  ASSERT_EQ(d.DriveRts(1), 0);
  ASSERT_EQ(d.SetLineParams(9600, 0, 1, 8), 0);
  EXPECT_EQ(Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
}

// In RS-485 mode the driver turns the bus round: it is asked to raise RTS
// while sending, and asked to stop when the mode ends.
TEST_F(PosixModem, Rs485ModeHandsRtsToTheDriver) {
  d.SetRS485Mode(true);
  ASSERT_EQ(d.SetHardwareFlow(100, 50, 0), 0);
  {
    std::lock_guard<std::mutex> hold(Uart().lock);
    EXPECT_EQ(Uart().rs485Sets, 1);
    EXPECT_EQ(Uart().rs485.flags, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
  }
  EXPECT_TRUE(Lines() & TIOCM_RTS) << "RTS is the driver's now, not driven here";
  ASSERT_EQ(d.SetHardwareFlow(100, 50, 0), 0);  // no change: not asked again
  d.SetRS485Mode(false);
  ASSERT_EQ(d.SetHardwareFlow(100, 50, 0), 0);
  std::lock_guard<std::mutex> hold(Uart().lock);
  EXPECT_EQ(Uart().rs485Sets, 2);
  EXPECT_EQ(Uart().rs485.flags, 0u);
}

// A line change waits until the driver has sent what it holds: the tail of
// the last frame leaves at the old settings.
TEST_F(PosixModem, LineChangeWaitsForTheDriversOutputQueue) {
  Script([](TScriptedUart& u) { u.outQueue = 100; });
  std::atomic<bool> changed{false};
  std::thread change([&] {
    EXPECT_EQ(d.SetLineParams(19200, 0, 1, 8), 0);
    changed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(changed) << "the change did not wait for the driver's queue";
  termios t{};
  ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  Script([](TScriptedUart& u) { u.outQueue = 0; });
  change.join();
  ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

// A pty that dropped the data format may have the C library answer EINVAL
// although it applied the rest: that is no failure, and the line state is
// what was asked for. EINVAL with anything else left unapplied is one.
TEST_F(PosixModem, InvalidAnswerToAFormatThePtyDroppedIsNoFailure) {
  Script([](TScriptedUart& u) { u.setAnswersInvalid = true; });
  ASSERT_EQ(d.SetLineParams(19200, 2, 1, 7), 0);
  uint32_t baud;
  uint8_t parity, stop, bits;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(baud, 19200u);
  EXPECT_EQ(bits, 7);
  EXPECT_EQ(parity, 2);
  Script([](TScriptedUart& u) { u.speedRefused = true; });
  EXPECT_EQ(d.SetLineParams(38400, 0, 1, 8), ecode::SystemError(EINVAL));
}

namespace {
class PosixUartFraming : public PosixModem {
 protected:
  bool KeepsFraming() const override { return true; }
};
}  // namespace

// A driver that keeps the data format: every size and parity is applied and
// read back from the device as it is.
TEST_F(PosixUartFraming, EveryDataFormatIsReadBackFromTheDevice) {
  for (uint8_t bits : {5, 6, 7, 8}) {
    for (uint8_t parity : {0, 1, 2, 3, 4}) {
      SCOPED_TRACE(testing::Message() << int(bits) << " bits, parity " << int(parity));
      ASSERT_EQ(d.SetLineParams(9600, parity, 1, bits), 0);
      uint32_t baud;
      uint8_t readParity, stop, readBits;
      ASSERT_EQ(d.GetLineParams(baud, readParity, stop, readBits), 0);
      EXPECT_EQ(readBits, bits);
      EXPECT_EQ(readParity, parity);
    }
  }
  // Changed on the device by someone else: the device's format counts.
  auto readBack = [&] {
    uint32_t baud;
    uint8_t parity, stop, bits;
    EXPECT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
    return std::make_pair(int(bits), int(parity));
  };
  ASSERT_EQ(d.SetLineParams(9600, 1, 1, 8), 0);
  Script([](TScriptedUart& u) { u.framing = CS5; });
  EXPECT_EQ(readBack(), std::make_pair(5, 0));
  Script([](TScriptedUart& u) { u.framing = CS6 | PARENB; });
  EXPECT_EQ(readBack(), std::make_pair(6, 2));
  Script([](TScriptedUart& u) { u.framing = CS7 | PARENB | PARODD | CMSPAR; });
  EXPECT_EQ(readBack(), std::make_pair(7, 3));
}
