// The POSIX device layer at its edges: paths with no port behind them, port
// names that are not COM names, an input ring the driver keeps full.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "AwErrorCodes.h"
#include "AwPosix.h"
#include "DeviceTestSupport.h"

namespace {
std::string TempPath(const char* name) {
  return std::string("/tmp/krm4610-edges-") + std::to_string(getpid()) + "-" + name;
}
}  // namespace

// A node that is there with nothing behind it is a port that does not
// exist, as a missing path is: the component then says "COM Port Not Exist".
TEST(PosixEdges, NodesWithoutADeviceBehindThemDoNotExist) {
  const int before = CountOpenDescriptors();
  {
    // A pty slave whose master never unlocked it: the open answers EIO.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    const std::string locked = ptsname(master);
    TApdPosixDispatcher d(nullptr);
    EXPECT_EQ(Open(d, locked), ecode::FileNotFound);
    close(master);
  }
  {
    // A socket in the file system: the open answers ENXIO.
    const std::string path = TempPath("socket");
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    TApdPosixDispatcher d(nullptr);
    EXPECT_EQ(Open(d, path), ecode::FileNotFound);
    close(sock);
    unlink(path.c_str());
  }
  if (geteuid() == 0) {
    // A character node of a driver that is not loaded: ENXIO or ENODEV.
    const std::string path = TempPath("node");
    unlink(path.c_str());
    ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0600, makedev(240, 77)), 0);
    TApdPosixDispatcher d(nullptr);
    EXPECT_EQ(Open(d, path), ecode::FileNotFound);
    unlink(path.c_str());
  }
  EXPECT_EQ(CountOpenDescriptors(), before);
}

// Only "\\.\COM" and one to three digits is a COM name; anything else is a
// path and is used as it is.
TEST(PosixEdges, OnlyComNamesWithANumberAreResolved) {
  unsetenv("KRM4610_COM12");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM"), "\\\\.\\COM");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM1234"), "\\\\.\\COM1234");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM1x"), "\\\\.\\COM1x");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("//./COM1"), "//./COM1");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM255"), "/dev/ttyS254");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM12"), "/dev/ttyS11");
  // An empty mapping is no mapping.
  setenv("KRM4610_COM12", "", 1);
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM12"), "/dev/ttyS11");
  unsetenv("KRM4610_COM12");
}

// While the input ring is full the driver keeps bytes the dispatcher cannot
// take: nothing spins on them, and they all come once the owner reads.
TEST(PosixEdges, FullInputRingWaitsQuietlyAndLosesNothing) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  std::vector<uint8_t> sent(InRingSize + 1000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 13 + i / 256);
  ASSERT_TRUE(peer.WriteAll(sent));
  ASSERT_TRUE(WaitUntil([&] { return d.InUsed() == InRingSize; }));

  const double cpuStart = ProcessCpuSeconds();
  const auto wallStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu = ProcessCpuSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  EXPECT_LT(cpu / wall, 0.05) << "a thread spins on the bytes the full ring cannot take";

  std::vector<uint8_t> got;
  uint8_t byte;
  EXPECT_TRUE(WaitUntil([&] {
    while (d.GetByte(byte) == 0) got.push_back(byte);
    return got.size() >= sent.size();
  }));
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
}

namespace {
// The dispatcher thread is held in a timer notice, and the event thread has
// reported one more byte and waits for that held pass: nobody polls the line.
class THeldPort {
 public:
  THeldPort() {
    ok_ = peer.Ok() && Open(d, peer.SlavePath()) == 0;
    if (!ok_) return;
    std::lock_guard<TAwLock> hold(d.DispatchLock);
    d.MethodHandlers.push_back({[this](uint32_t msg, uint32_t, uint32_t) {
                                  if (msg != TriggerTimerMsg) return;
                                  inTimer_.Set();
                                  release_.Wait(5000);
                                }, false, false});
    d.DeliveryNeeded = true;
  }
  ~THeldPort() { release_.Set(); }

  bool Hold() {
    if (!ok_) return false;
    const int32_t timer = d.NewTimerTrigger();
    if (timer <= 0 || d.ArmTimerTrigger(timer, 1, true) != 0 || !inTimer_.Wait(2000)) return false;
    return peer.WriteAll({'b'}) && WaitUntil([&] { return (d.EventMask & DevEvRxChar) != 0; });
  }
  void Release() { release_.Set(); }

 private:
  // Declared first, so they outlive the dispatcher whose handler waits on them.
  TAwEvent inTimer_{TAwEvent::Kind::ManualReset}, release_{TAwEvent::Kind::ManualReset};
  bool ok_ = false;

 public:
  TPtyPeer peer;
  TApdPosixDispatcher d{nullptr};
};
}  // namespace

// The line hangs up while the event thread is not looking: the first call
// that meets the hang-up tells of it, so that nothing goes on writing to a
// dead line or reports it alive.
TEST(PosixEdges, HangUpMetByAWriteOrAPurgeIsTheDeviceGone) {
  {
    THeldPort port;
    ASSERT_TRUE(port.Hold());
    port.peer.Close();
    const uint8_t out[] = {'x'};
    ASSERT_EQ(port.d.PutBytes(out, 1), 0);
    EXPECT_TRUE(WaitUntil([&] { return port.d.DeviceGone(); }, 2000)) << "after a write";
    port.Release();
  }
  {
    THeldPort port;
    ASSERT_TRUE(port.Hold());
    port.peer.Close();
    port.d.FlushInput();
    EXPECT_TRUE(port.d.DeviceGone()) << "after a purge";
    port.Release();
  }
}

// An open refused because another program holds the port undoes only what
// it took itself: the holder's exclusive use stays, and other users are
// still kept out.
TEST(PosixEdges, RefusedOpenLeavesTheHoldersExclusiveUseAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to try the port as another user";
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const std::string path = peer.SlavePath();
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const int holder = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  {
    TApdPosixDispatcher d(nullptr);
    EXPECT_EQ(Open(d, path), ecode::FileAccessDenied);
  }
  const int status = InChild([&] {
    if (setgid(54321) != 0 || setuid(54321) != 0) return 2;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return 1;
    return errno == EBUSY ? 0 : 3;
  });
  EXPECT_EQ(status, 0) << "1: another user got in, 2: no child user, 3: other error";
  close(holder);
}

// Another program (stty as root) changed the line behind the port: what the
// port reports is the device's, not what it last set itself.
TEST(PosixEdges, LineStateIsReadFromTheDeviceAfterAnotherProgramChangedIt) {
  if (geteuid() != 0) GTEST_SKIP() << "a second opening of the port needs root";
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  const int other = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(other, &t), 0);
  cfsetispeed(&t, B4800);
  cfsetospeed(&t, B4800);
  t.c_cflag |= CSTOPB | CRTSCTS;
  t.c_iflag |= IXON | IXOFF;
  t.c_cc[VSTART] = 0x05;
  t.c_cc[VSTOP] = 0x06;
  ASSERT_EQ(tcsetattr(other, TCSANOW, &t), 0);
  close(other);

  uint32_t baud;
  uint8_t parity, stop, bits;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(baud, 4800u);
  EXPECT_EQ(stop, 2);
  const TFlowOptions flow = d.GetFlowOptions();
  EXPECT_EQ(flow.Result, 0);
  EXPECT_EQ(flow.Hardware, HwfUseRts | HwfRequireCts);
  EXPECT_EQ(flow.Software, SwfTransmit | SwfReceive);
  EXPECT_EQ(flow.XonChar, 0x05);
  EXPECT_EQ(flow.XoffChar, 0x06);
}

// A program started with its standard input closed gets descriptor 0 for
// the port: that is an open like any other.
TEST(PosixEdges, PortOnDescriptorZeroOpensAndCloses) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const int status = InChild([&] {
    close(0);
    TApdPosixDispatcher d(nullptr);
    if (Open(d, peer.SlavePath()) != 0) return 1;
    if (d.DeviceHandle != 0) return 2;
    d.CloseDevice();
    return fcntl(0, F_GETFD) == -1 ? 0 : 3;
  });
  EXPECT_EQ(status, 0) << "1: refused, 2: not on descriptor 0, 3: left open";
}

// After a close the port's descriptor number belongs to whoever opens next:
// nothing of the dispatcher closes it again, also not its destruction.
TEST(PosixEdges, ClosedPortNeverClosesItsDescriptorNumberAgain) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  std::vector<int> reused;
  {
    TApdPosixDispatcher d(nullptr);
    ASSERT_EQ(Open(d, peer.SlavePath()), 0);
    const intptr_t number = d.DeviceHandle;
    d.CloseDevice();
    // The lowest free numbers are the port's and its wake-up pipes' old ones.
    for (int i = 0; i < 5; ++i) reused.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(reused[0], number) << "the lowest free number is the port's old one";
    d.CloseDevice();
  }
  for (int fd : reused) {
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "another file's descriptor was closed";
    close(fd);
  }
}

// The wake-up that ended a blocked write is used up: the next write that
// waits for room waits quietly, and goes out once the peer reads.
TEST(PosixEdges, WriteBlockedAfterAFlushWaitsQuietly) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(d.OpenDevice(peer.SlavePath(), 115200, LineFlagDtr | LineFlagRts, 65536, 4096, 1, 8,
                         0),
            0);
  std::vector<uint8_t> block(65536, 'x');
  ASSERT_EQ(d.PutBytes(block.data(), 65536), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.OutUsed() < 65536 && d.OutUsed() > 0; }));
  ASSERT_EQ(d.FlushOutput(), 0);
  ASSERT_EQ(d.PutBytes(block.data(), 65536), 0);  // the pty is still full: the writer waits
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const double cpuStart = ProcessCpuSeconds();
  const auto wallStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu = ProcessCpuSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  EXPECT_LT(cpu / wall, 0.05) << "the writer spins while the device's queue is full";
  EXPECT_GT(d.OutUsed(), 0u);
  peer.Read(200000, 1000);
  EXPECT_TRUE(WaitUntil([&] { return d.OutUsed() == 0; }));
}

// An open that ran out of descriptors half-way gives back the ones it took
// at once, not only when the dispatcher goes.
TEST(PosixEdges, OpenOutOfDescriptorsGivesBackItsPipeAtOnce) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const int status = InChild([&] {
    TApdPosixDispatcher d(nullptr);
    // Every free number below the highest taken, then room for three more:
    // the device and one pipe fit, the second pipe does not.
    int highest = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (dirent* entry = readdir(dir))
        if (std::atoi(entry->d_name) != dirfd(dir)) highest = std::max(highest, std::atoi(entry->d_name));
      closedir(dir);
    }
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
      if (fd > highest) {
        close(fd);
        break;
      }
    }
    const int before = CountOpenDescriptors();
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit tight{static_cast<rlim_t>(highest + 1 + 3), limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return 2;
    const int32_t result = Open(d, peer.SlavePath());
    setrlimit(RLIMIT_NOFILE, &limit);
    if (result != ecode::OutOfMemory) return 3;
    return CountOpenDescriptors() == before ? 0 : 4;
  });
  EXPECT_EQ(status, 0) << "2: no limit, 3: other result, 4: descriptors kept";
}

// Whatever the last program left on the line, an open starts from a known
// one: no flow control of either kind, and the modem lines no condition for
// using the port (CLOCAL). A line change puts CLOCAL back where another
// program took it away.
TEST(PosixEdges, OpenStartsFromAKnownLineWhateverWasLeftOnIt) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  auto line = [&] {
    termios t{};
    EXPECT_EQ(tcgetattr(peer.Master(), &t), 0);  // a pty master shows its slave's
    return t;
  };
  termios left = line();
  left.c_iflag |= IXON | IXOFF | IXANY;
  left.c_cflag = (left.c_cflag | CRTSCTS) & ~CLOCAL;
  ASSERT_EQ(tcsetattr(peer.Master(), TCSANOW, &left), 0);
  ASSERT_EQ(line().c_iflag & (IXON | IXOFF | IXANY), IXON | IXOFF | IXANY);

  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  termios opened = line();
  EXPECT_EQ(opened.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(opened.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(opened.c_cflag & CLOCAL, 0u);

  opened.c_cflag &= ~CLOCAL;
  ASSERT_EQ(tcsetattr(peer.Master(), TCSANOW, &opened), 0);
  ASSERT_EQ(d.SetLineParams(19200, 0, 1, 8), 0);
  EXPECT_NE(line().c_cflag & CLOCAL, 0u);
}

// A child the program forked holds every descriptor it had, the port's too:
// the close still gives the port's lock back, so that another program can
// take it while the child runs on.
TEST(PosixEdges, CloseGivesTheLockBackWhileAForkedChildHoldsTheDescriptor) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  int release[2];
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  if (child == 0) {
    char byte;
    (void)read(release[0], &byte, 1);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  d.CloseDevice();
  const int other = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the port stayed locked";
  close(other);
  (void)write(release[1], "x", 1);
  waitpid(child, nullptr, 0);
  close(release[0]);
  close(release[1]);
}

// An open that fails after the device was opened (a speed the driver does
// not have) gives the port back at once, not when the dispatcher goes.
TEST(PosixEdges, OpenFailingAfterTheDeviceOpenedGivesItBackAtOnce) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  const int before = CountOpenDescriptors();
  EXPECT_LT(d.OpenDevice(peer.SlavePath(), 12345, LineFlagDtr | LineFlagRts, 4096, 4096, 1, 8, 0),
            0);
  EXPECT_EQ(CountOpenDescriptors(), before) << "the port is held until the dispatcher goes";
}
