// Bytes over a real pseudo-terminal through the dispatcher's threads.
#include <gtest/gtest.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include "AwErrorCodes.h"
#include "AwMessages.h"
#include "AwPosix.h"
#include "DeviceTestSupport.h"

namespace {
class PosixIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Ok());
    ASSERT_EQ(d.OpenDevice(peer.SlavePath(), 115200, LineFlagDtr | LineFlagRts, OutSize, 4096,
                           1, 8, 0),
              0);
  }
  // Reads what the owner can get within the time.
  std::vector<uint8_t> Collect(size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> got;
    uint8_t byte;
    WaitUntil([&] {
      while (got.size() < count && d.GetByte(byte) == 0) got.push_back(byte);
      return got.size() >= count;
    }, timeoutMs);
    return got;
  }
  static std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return bytes;
  }

  static constexpr uint32_t OutSize = 65536;
  TPtyPeer peer;
  TApdPosixDispatcher d{nullptr};
};
}  // namespace

TEST_F(PosixIo, EveryByteValueBothWays) {
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_TRUE(peer.WriteAll(all));
  EXPECT_EQ(Collect(256), all);

  ASSERT_EQ(d.PutBytes(all.data(), 256), 0);
  EXPECT_EQ(peer.Read(256), all);
}

TEST_F(PosixIo, BurstArrivesCompleteAndInOrderThroughTheRing) {
  const std::vector<uint8_t> burst = Pattern(200 * 1024);
  std::thread sender([&] { peer.WriteAll(burst.data(), burst.size(), 20000); });
  std::vector<uint8_t> got = Collect(burst.size(), 20000);
  sender.join();
  ASSERT_EQ(got.size(), burst.size());
  EXPECT_TRUE(got == burst);
}

TEST_F(PosixIo, OutputLargerThanOneDeviceWriteGoesOutComplete) {
  // The pty takes a few KB at a time: the writer waits for room many times.
  const std::vector<uint8_t> block = Pattern(OutSize);
  ASSERT_EQ(d.PutBytes(block.data(), OutSize), 0);
  std::vector<uint8_t> got = peer.Read(OutSize, 10000);
  ASSERT_EQ(got.size(), block.size());
  EXPECT_TRUE(got == block);
  EXPECT_TRUE(WaitUntil([&] { return d.OutUsed() == 0; }));
  // The ring keeps working after a lap.
  ASSERT_EQ(d.PutBytes(block.data(), 1000), 0);
  EXPECT_EQ(peer.Read(1000), std::vector<uint8_t>(block.begin(), block.begin() + 1000));
}

// Signals the program takes (a child that ended, a timer) cut the system
// calls of the dispatcher's threads short: they are made again, and the
// port goes on, its event thread too.
TEST_F(PosixIo, SignalsCuttingTheThreadsCallsShortChangeNothing) {
  struct sigaction quiet{}, before{};
  quiet.sa_handler = [](int) {};  // no SA_RESTART: a cut-short call answers EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &before), 0);
  sigset_t usr1, mine;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &mine);  // they go to the dispatcher's threads
  const std::vector<uint8_t> ping = Pattern(2000);
  for (int i = 0; i < 200; ++i) {
    kill(getpid(), SIGUSR1);
    if (i % 50 == 0) {
      ASSERT_EQ(d.PutBytes(ping.data(), static_cast<uint32_t>(ping.size())), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_NE(d.ComThread.load(), nullptr) << "a cut-short wait ended the event thread";
  EXPECT_EQ(peer.Read(4 * ping.size()).size(), 4 * ping.size());
  ASSERT_TRUE(peer.WriteAll(ping));
  EXPECT_EQ(Collect(ping.size()), ping);
  pthread_sigmask(SIG_SETMASK, &mine, nullptr);
  sigaction(SIGUSR1, &before, nullptr);
}

TEST_F(PosixIo, FlushWhileAWriteIsPendingEndsAtOnce) {
  // Nobody reads the master: the pty's buffer fills and the writer blocks.
  const std::vector<uint8_t> block = Pattern(OutSize);
  ASSERT_EQ(d.PutBytes(block.data(), OutSize), 0);
  int waiting = 0;
  ASSERT_TRUE(WaitUntil([&] {
    ioctl(peer.Master(), FIONREAD, &waiting);
    return waiting > 0 && d.OutUsed() < OutSize && d.OutUsed() > 0;
  }));
  const auto start = Clock::now();
  EXPECT_EQ(d.FlushOutput(), 0);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_LT(took.count(), 1000) << "the flush waited for its time-out, not for the writer";
  EXPECT_EQ(d.OutUsed(), 0u);

  // The writer still works: a marker after the flush comes through.
  peer.Read(OutSize, 200);  // whatever the pty kept
  const std::vector<uint8_t> marker = {'E', 'N', 'D'};
  ASSERT_EQ(d.PutBytes(marker.data(), 3), 0);
  std::vector<uint8_t> tail = peer.Read(3, 5000);
  EXPECT_EQ(tail, marker);
}

TEST_F(PosixIo, FlushWithNothingQueuedLeavesTheWriterAsleep) {
  // A request/reply loop purges before every send: with the ring empty and
  // no block in the writer's hands, the writer is not asked.
  const std::vector<uint8_t> first = {'o', 'n', 'e'};
  ASSERT_EQ(d.PutBytes(first.data(), 3), 0);
  EXPECT_EQ(peer.Read(3), first);
  ASSERT_TRUE(WaitUntil([&] { return d.OutUsed() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the writer back in its wait
  const uint64_t wakes = d.OutputFlushEvent.WakeUps();
  EXPECT_EQ(d.FlushOutput(), 0);
  EXPECT_EQ(d.FlushOutput(), 0);
  EXPECT_EQ(d.OutputFlushEvent.WakeUps(), wakes);
  // The writer still answers the next write.
  const std::vector<uint8_t> second = {'t', 'w', 'o'};
  ASSERT_EQ(d.PutBytes(second.data(), 3), 0);
  EXPECT_EQ(peer.Read(3), second);
}

TEST_F(PosixIo, FlushingInputKeepsTheQueuedOutput) {
  // Nobody reads the master: the writer waits with most of the block queued.
  const std::vector<uint8_t> block = Pattern(OutSize);
  ASSERT_EQ(d.PutBytes(block.data(), OutSize), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.OutUsed() < OutSize && d.OutUsed() > 0; }));
  ASSERT_TRUE(peer.WriteAll({'i', 'n'}));
  ASSERT_TRUE(WaitUntil([&] { return d.InUsed() == 2; }));
  EXPECT_EQ(d.FlushInput(), 0);
  EXPECT_EQ(d.InUsed(), 0u);
  std::vector<uint8_t> got = peer.Read(OutSize, 10000);
  EXPECT_TRUE(got == block) << got.size() << " of " << OutSize << " bytes arrived";
}

TEST_F(PosixIo, LineSettingsReachTheDevice) {
  ASSERT_EQ(d.SetLineParams(19200, 2, 2, 7), 0);
  termios t{};
  ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  uint32_t baud;
  uint8_t parity, stop, bits;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(baud, 19200u);
  EXPECT_EQ(parity, 2);
  EXPECT_EQ(stop, 2);
  EXPECT_EQ(bits, 7);

  for (uint32_t rate : {300u, 600u, 1200u, 2400u, 4800u, 9600u, 38400u, 57600u, 115200u}) {
    ASSERT_EQ(d.SetLineParams(rate, 0, 1, 8), 0) << rate;
    ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
    EXPECT_EQ(baud, rate);
  }
  EXPECT_EQ(d.SetLineParams(12345, 0, 1, 8), ecode::SystemError(EINVAL));

  ASSERT_EQ(d.SetSoftwareFlow(100, 50, SwfTransmit | SwfReceive), 0);
  ASSERT_EQ(d.SetFlowChars(0x01, 0x02), 0);
  ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  ASSERT_EQ(d.ClearSoftwareFlow(), 0);
  ASSERT_EQ(d.SetHardwareFlow(100, 50, HwfUseRts | HwfRequireCts), 0);
  ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
  EXPECT_FALSE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
}

TEST_F(PosixIo, PtyKeepingItsOwnFramingIsNoFailure) {
  // A pty forces 8 data bits and no parity (the C library may then answer
  // EINVAL); the rest of each change must still apply and succeed.
  struct Format {
    uint8_t parity, stop, bits;
  };
  for (Format f : {Format{0, 1, 7}, Format{2, 2, 7}, Format{1, 1, 8}, Format{2, 1, 8},
                   Format{0, 2, 8}, Format{4, 1, 7}}) {
    SCOPED_TRACE(testing::Message() << int(f.parity) << int(f.stop) << int(f.bits));
    ASSERT_EQ(d.SetLineParams(9600, f.parity, f.stop, f.bits), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(peer.Master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, f.stop == 2);
    uint32_t baud;
    uint8_t parity, stop, bits;
    ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
    EXPECT_EQ(parity, f.parity);
    EXPECT_EQ(bits, f.bits);
    EXPECT_EQ(stop, f.stop);
  }
  // Keep values change only the one setting asked for.
  ASSERT_EQ(d.SetLineParams(0, KeepParity, KeepStopBits, 8), 0);
  uint32_t baud;
  uint8_t parity, stop, bits;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(parity, 4);
  EXPECT_EQ(bits, 8);
}

TEST_F(PosixIo, PeerHangingUpMidStreamEndsQuietly) {
  const std::vector<uint8_t> some = Pattern(3000);
  ASSERT_TRUE(peer.WriteAll(some));
  ASSERT_EQ(Collect(1000).size(), 1000u);
  peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return d.DeviceGone(); }));
  ASSERT_TRUE(WaitUntil([&] { return d.ComThread.load() == nullptr; }));

  // Idle after the hang-up: no thread spins on the dead descriptor.
  const double cpuStart = ProcessCpuSeconds();
  const auto wallStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu = ProcessCpuSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  EXPECT_LT(cpu / wall, 0.05);

  // A line change on the dead port names the cause in the system's words.
  const int32_t change = d.SetLineParams(19200, 0, 1, 8);
  EXPECT_EQ(change, ecode::SystemError(EIO)) << ErrorMessageText(change);
  EXPECT_EQ(ErrorMessageText(change), "Input/output error");

  // Output to the dead port is refused, not queued for nobody.
  EXPECT_EQ(d.PutBytes(some.data(), 100), ecode::PutBlockFail);
  EXPECT_EQ(d.OutUsed(), 0u);
  uint8_t byte;
  while (d.GetByte(byte) == 0) {
  }
  const auto closeStart = Clock::now();
  d.CloseDevice();
  EXPECT_LT(Clock::now() - closeStart, std::chrono::seconds(2));
  EXPECT_EQ(d.ThreadCount, 0);
}

// Root can open the port a second time (TIOCEXCL does not stop it): that
// reader takes each byte as it comes, so the event thread keeps waking to
// find nothing waiting, as it does when the dispatcher's own 50 ms pass was
// quicker. None of that is a hang-up.
TEST_F(PosixIo, BytesTakenBeforeTheEventThreadLooksDoNotEndThePort) {
  if (geteuid() != 0) GTEST_SKIP() << "a second reader needs root";
  int thief = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(thief, 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t sink[64];
    while (!stop) {
      pollfd p{thief, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) (void)!read(thief, sink, sizeof sink);
    }
  });
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(peer.WriteAll({'x'}));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  reader.join();
  close(thief);

  EXPECT_FALSE(d.DeviceGone());
  EXPECT_NE(d.ComThread.load(), nullptr) << "the event thread gave up";
  uint8_t byte;
  while (d.GetByte(byte) == 0) {
  }
  ASSERT_TRUE(peer.WriteAll({'o', 'k'}));
  EXPECT_EQ(Collect(2), std::vector<uint8_t>({'o', 'k'}));
  ASSERT_EQ(d.PutBytes(reinterpret_cast<const uint8_t*>("up"), 2), 0);
  EXPECT_EQ(peer.Read(2), std::vector<uint8_t>({'u', 'p'}));
}

// Linux has one switch for RTS/CTS flow in both directions and none for
// DTR/DSR: exactly that is applied, the rest refused and left as it was.
TEST_F(PosixIo, HardwareFlowOptionsAreWhatTermiosShows) {
  auto crtscts = [&] {
    termios t{};
    EXPECT_EQ(tcgetattr(peer.Master(), &t), 0);
    return (t.c_cflag & CRTSCTS) != 0;
  };
  const int32_t unsupported = ecode::SystemError(EOPNOTSUPP);
  for (uint32_t refused : {HwfRequireCts, HwfUseRts, HwfUseDtr, HwfRequireDsr,
                           HwfUseRts | HwfRequireCts | HwfUseDtr}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(d.SetHardwareFlow(100, 50, refused), unsupported);
    EXPECT_FALSE(crtscts());
    EXPECT_EQ(d.GetFlowOptions().Hardware, 0u);
    EXPECT_EQ(d.DriveDtr(1), 0) << "DTR is not the driver's after a refusal";
    EXPECT_EQ(d.DriveRts(1), 0) << "RTS is not the driver's after a refusal";
  }
  EXPECT_EQ(ErrorMessageText(unsupported), "Operation not supported");

  ASSERT_EQ(d.SetHardwareFlow(100, 50, HwfUseRts | HwfRequireCts), 0);
  EXPECT_TRUE(crtscts());
  EXPECT_EQ(d.GetFlowOptions().Hardware, HwfUseRts | HwfRequireCts);
  // A refused change keeps the flow in force.
  EXPECT_EQ(d.SetHardwareFlow(100, 50, HwfRequireCts), unsupported);
  EXPECT_TRUE(crtscts());
  ASSERT_EQ(d.SetHardwareFlow(100, 50, 0), 0);
  EXPECT_FALSE(crtscts());
  EXPECT_EQ(d.GetFlowOptions().Hardware, 0u);
}

namespace {
// A real port's driver that keeps its own framing, played by a pty whose
// allowance is taken away.
class TFramingKeeper : public TApdPosixDispatcher {
 public:
  TFramingKeeper() : TApdPosixDispatcher(nullptr) {}
  intptr_t OpenDeviceHandle(const std::string& name, uint32_t in, uint32_t out) override {
    intptr_t handle = TApdPosixDispatcher::OpenDeviceHandle(name, in, out);
    pseudoTerminal_ = false;
    return handle;
  }
};
}  // namespace

TEST(PosixLine, DataFormatARealDriverDidNotTakeIsAFailure) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TFramingKeeper d;
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  const int32_t refused = ecode::SystemError(EINVAL);
  EXPECT_EQ(d.SetLineParams(9600, 0, 1, 7), refused) << "7 data bits reported as applied";
  EXPECT_EQ(d.SetLineParams(9600, 2, 1, 8), refused) << "even parity reported as applied";
  uint32_t baud;
  uint8_t parity, stop, bits;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(parity, 0);  // what the device really has
  EXPECT_EQ(bits, 8);
  EXPECT_EQ(d.SetLineParams(19200, 0, 2, 8), 0);  // what it can do still works
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(baud, 19200u);
  EXPECT_EQ(stop, 2);
}

// One byte about every 50 ms each way for a minute, through the real threads:
// the cadence of the dispatcher's own pass, which used to race the event
// thread into declaring a live port gone.
TEST(PosixSoak, OneByteEvery50msBothWaysForAMinuteKeepsThePortAlive) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(d.OpenDevice(peer.SlavePath(), 115200, LineFlagDtr | LineFlagRts, 4096, 4096, 1, 8,
                         0),
            0);
  std::vector<uint8_t> toPort, toPeer, received, echoed;
  auto collect = [&] {
    uint8_t byte;
    while (d.GetByte(byte) == 0) received.push_back(byte);
    uint8_t buffer[64];
    for (ssize_t n; (n = read(peer.Master(), buffer, sizeof buffer)) > 0;)
      echoed.insert(echoed.end(), buffer, buffer + n);
  };
  const auto end = Clock::now() + std::chrono::seconds(61);
  for (int i = 0; Clock::now() < end; ++i) {
    toPort.push_back(static_cast<uint8_t>('a' + i % 26));
    toPeer.push_back(static_cast<uint8_t>('A' + i % 26));
    ASSERT_TRUE(peer.WriteAll(&toPort.back(), 1));
    ASSERT_EQ(d.PutBytes(&toPeer.back(), 1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(45 + i % 11));
    collect();
  }
  EXPECT_TRUE(WaitUntil([&] {
    collect();
    return received.size() >= toPort.size() && echoed.size() >= toPeer.size();
  }));
  EXPECT_EQ(received, toPort);
  EXPECT_EQ(echoed, toPeer);
  EXPECT_FALSE(d.DeviceGone());
  EXPECT_NE(d.ComThread.load(), nullptr);
}

namespace {
// The nice value of each thread of this process, by thread id, as Linux
// shows them.
std::map<int, int> ThreadNices() {
  std::map<int, int> nices;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int thread = std::atoi(entry->d_name);
      errno = 0;
      const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
      if (errno == 0) nices[thread] = nice;
    }
    closedir(dir);
  }
  return nices;
}

// The nice values other than 0.
std::multiset<int> NiceValues() {
  std::multiset<int> values;
  for (const auto& [thread, nice] : ThreadNices())
    if (nice != 0) values.insert(nice);
  return values;
}
}  // namespace

// The dispatcher's threads run at the levels asked for, as Linux shows their
// nice values: a boost lifts all three, RS-485 mode the writer one more;
// a boost asked for before the open is there from the threads' start.
TEST(PosixThreads, BoostAndRs485ModeSetTheThreadPriorities) {
  if (geteuid() != 0) GTEST_SKIP() << "raising a priority needs root";
  if (getpriority(PRIO_PROCESS, 0) != 0) GTEST_SKIP() << "the test runs under nice";
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  {
    TApdPosixDispatcher d(nullptr);
    ASSERT_EQ(Open(d, peer.SlavePath()), 0);
    EXPECT_EQ(NiceValues(), std::multiset<int>{});
    d.SetThreadBoost(1);  // level 4: five steps of nice above normal
    EXPECT_EQ(NiceValues(), (std::multiset<int>{-5, -5, -5}));
    d.SetRS485Mode(true);  // the writer one level higher still
    EXPECT_EQ(NiceValues(), (std::multiset<int>{-10, -5, -5}));
    d.SetRS485Mode(false);
    EXPECT_EQ(NiceValues(), (std::multiset<int>{-5, -5, -5}));
    d.SetThreadBoost(5);  // past the top level (6, time critical) is the top level
    EXPECT_EQ(NiceValues(), (std::multiset<int>{-15, -15, -15}));
    d.CloseDevice();
  }
  TApdPosixDispatcher early(nullptr);
  early.SetThreadBoost(2);
  ASSERT_EQ(Open(early, peer.SlavePath()), 0);
  EXPECT_EQ(NiceValues(), (std::multiset<int>{-10, -10, -10}));
}

// A program started with nice keeps it in the port's threads at the normal
// level; only a level asked for changes a thread.
TEST(PosixThreads, ProgramStartedWithNiceKeepsItAtTheNormalLevel) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const int status = InChild([&] {
    alarm(20);
    if (setpriority(PRIO_PROCESS, 0, 5) != 0) return 2;
    // The threads the open adds: the port's three (and one a sanitizer's
    // runtime may start meanwhile, which takes the nice as they do).
    const std::map<int, int> before = ThreadNices();
    auto added = [&] {
      std::multiset<int> nices;
      for (const auto& [thread, nice] : ThreadNices())
        if (before.count(thread) == 0) nices.insert(nice);
      return nices;
    };
    TApdPosixDispatcher d(nullptr);
    if (Open(d, peer.SlavePath()) != 0) return 3;
    if (added().size() < 3 || added().count(5) != added().size()) return 4;
    if (getpriority(PRIO_PROCESS, 0) != 5) return 4;
    if (geteuid() != 0) return 0;  // raising a priority needs root
    d.SetThreadBoost(1);
    if (added().count(-5) != 3) return 5;
    return getpriority(PRIO_PROCESS, 0) == 5 ? 0 : 6;
  });
  EXPECT_EQ(status, 0) << "2: no nice, 3: no open, 4: the threads lost the nice, "
                          "5: the boost was not applied, 6: the boost reached the "
                          "opener, 255: hung";
}
