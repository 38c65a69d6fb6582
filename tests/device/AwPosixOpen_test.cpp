// Opening and closing real pseudo-terminals: exclusive access, the failure
// codes the component maps, and no descriptor left behind.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AwErrorCodes.h"
#include "AwMessages.h"
#include "AwPosix.h"
#include "DeviceTestSupport.h"

namespace {
int HighestOpenDescriptor() {
  int highest = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (fd != dirfd(dir)) highest = std::max(highest, fd);
    }
    closedir(dir);
  }
  return highest;
}
}  // namespace

TEST(PosixOpen, OpenCloseAndReopenAtOnceLeaveNoDescriptor) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const int before = CountOpenDescriptors();
  {
    TApdPosixDispatcher d(nullptr);
    ASSERT_EQ(Open(d, peer.SlavePath()), 0);
    EXPECT_GE(d.DeviceHandle, 0);
    EXPECT_TRUE(d.ThreadsRunning);
    d.CloseDevice();
    EXPECT_EQ(d.DeviceHandle, -1);
    EXPECT_EQ(d.ThreadCount, 0);
    // The same object, and at once a second one: the lock is gone.
    ASSERT_EQ(Open(d, peer.SlavePath()), 0);
    d.CloseDevice();
    TApdPosixDispatcher other(nullptr);
    ASSERT_EQ(Open(other, peer.SlavePath()), 0);
  }
  EXPECT_EQ(CountOpenDescriptors(), before);
}

TEST(PosixOpen, SecondOpenInTheSameProcessIsAlreadyOpen) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  TApdPosixDispatcher first(nullptr), second(nullptr);
  ASSERT_EQ(Open(first, peer.SlavePath()), 0);
  const int before = CountOpenDescriptors();
  EXPECT_EQ(Open(second, peer.SlavePath()), -5);
  EXPECT_EQ(CountOpenDescriptors(), before);
  EXPECT_FALSE(second.ThreadsRunning);
}

TEST(PosixOpen, PortLockedByAnotherProcessIsAlreadyOpen) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    (void)!write(toParent[1], &ok, 1);
    char quit;
    (void)!read(toChild[0], &quit, 1);
    _exit(0);
  }
  char locked = 0;
  ASSERT_EQ(read(toParent[0], &locked, 1), 1);
  ASSERT_EQ(locked, 1);
  const int before = CountOpenDescriptors();
  {
    TApdPosixDispatcher d(nullptr);
    EXPECT_EQ(Open(d, peer.SlavePath()), -5);
  }
  EXPECT_EQ(CountOpenDescriptors(), before);
  (void)!write(toChild[1], "q", 1);
  waitpid(pid, nullptr, 0);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);

  TApdPosixDispatcher after(nullptr);  // the child's end freed the port
  EXPECT_EQ(Open(after, peer.SlavePath()), 0);
}

TEST(PosixOpen, MissingPortAndNonTerminalFailCleanly) {
  const int before = CountOpenDescriptors();
  TApdPosixDispatcher d(nullptr);
  EXPECT_EQ(Open(d, "/dev/krm4610-no-such-port"), ecode::FileNotFound);
  EXPECT_FALSE(TApdPosixDispatcher::IsPermissionDenied(ecode::FileNotFound));
  // Opened, locked, then undone; the system's own words, not a runtime
  // text that shares the number.
  const int32_t notTerminal = Open(d, "/dev/null");
  EXPECT_EQ(notTerminal, ecode::SystemError(ENOTTY));
  EXPECT_EQ(ErrorMessageText(notTerminal), "Inappropriate ioctl for device");
  EXPECT_FALSE(TApdPosixDispatcher::IsPermissionDenied(notTerminal));
  EXPECT_EQ(d.DeviceHandle, -1);
  EXPECT_EQ(CountOpenDescriptors(), before);
}

TEST(PosixOpen, PermissionFailureCarriesTheSystemText) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  ASSERT_EQ(chmod(peer.SlavePath().c_str(), 0), 0);
  // Root passes any permission check: the open runs in a child that gave
  // up root. A non-root run is refused as it is.
  int status = InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 2;
    TApdPosixDispatcher d(nullptr);
    int32_t result = Open(d, peer.SlavePath());
    if (result >= 0) return 3;
    if (!TApdPosixDispatcher::IsPermissionDenied(result)) return 4;
    return ErrorMessageText(result) == "Permission denied" ? 0 : 4;
  });
  EXPECT_EQ(status, 0) << "2: could not drop root, 3: opened, 4: another text";
}

TEST(PosixOpen, ComNamesResolveThroughTheEnvironment) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  setenv("KRM4610_COM7", peer.SlavePath().c_str(), 1);
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM7"), peer.SlavePath());
  TApdPosixDispatcher d(nullptr);
  EXPECT_EQ(Open(d, "\\\\.\\COM7"), 0);
  unsetenv("KRM4610_COM7");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM7"), "/dev/ttyS6");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM1"), "/dev/ttyS0");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("\\\\.\\COM0"), "\\\\.\\COM0");
  EXPECT_EQ(TApdPosixDispatcher::ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(PosixOpen, OpeningAnOpenDispatcherAgainIsRefusedAndTheOpenPortGoesOn) {
  TPtyPeer peer, other;
  ASSERT_TRUE(peer.Ok());
  ASSERT_TRUE(other.Ok());
  TApdPosixDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.SlavePath()), 0);
  EXPECT_EQ(Open(d, peer.SlavePath()), ecode::AlreadyOpen);
  EXPECT_EQ(Open(d, other.SlavePath()), ecode::AlreadyOpen);
  EXPECT_EQ(Open(d, "/dev/krm4610-no-such-port"), ecode::AlreadyOpen);

  // The first opening still moves bytes both ways and closes at once.
  const uint8_t out[] = {'u', 'p'};
  ASSERT_EQ(d.PutBytes(out, 2), 0);
  EXPECT_EQ(peer.Read(2), std::vector<uint8_t>({'u', 'p'}));
  ASSERT_TRUE(peer.WriteAll({'i', 'n'}));
  EXPECT_TRUE(WaitUntil([&] { return d.InUsed() == 2; }));
  const auto start = Clock::now();
  d.CloseDevice();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(d.ThreadCount, 0);
}

// The system refuses the first, second or third of the three threads (a
// process at its limit of tasks): the open is undone, answers a code, and
// nothing waits for a thread that never ran.
TEST(PosixOpen, ThreadTheSystemRefusesUndoesTheOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the child as a user of its own";
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  ASSERT_EQ(chmod(peer.SlavePath().c_str(), 0666), 0);
  for (rlim_t threadsAllowed = 0; threadsAllowed < 3; ++threadsAllowed) {
    SCOPED_TRACE(threadsAllowed);
    int status = InChild([&] {
      alarm(20);  // a destructor waiting for ever ends the child: status 255
      // Root ignores the task limit; a user of its own has this process only.
      if (setgid(54321) != 0 || setuid(54321) != 0) return 2;
      const rlimit limit{1 + threadsAllowed, 1 + threadsAllowed};
      if (setrlimit(RLIMIT_NPROC, &limit) != 0) return 3;
      const int before = CountOpenDescriptors();
      {
        TApdPosixDispatcher d(nullptr);
        if (Open(d, peer.SlavePath()) != ecode::NoHandles) return 4;
        if (d.ThreadsRunning || d.ThreadCount != 0 || d.DeviceHandle != -1) return 5;
      }
      return CountOpenDescriptors() == before ? 0 : 6;
    });
    EXPECT_EQ(status, 0) << "2-3: no child user, 4: other result, 5: threads left, "
                            "6: descriptor left, 255: hung";
  }
  TApdPosixDispatcher after(nullptr);  // nothing of the child's stayed
  EXPECT_EQ(Open(after, peer.SlavePath()), 0);
}

// Exclusive access is taken back on every way out, so that another user's
// program can open the port afterwards: after a normal close, and after an
// open that ran out of descriptors half-way (its wake-up pipes).
TEST(PosixOpen, EveryWayOutLeavesThePortFreeForAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the child as a user of its own";
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  ASSERT_EQ(chmod(peer.SlavePath().c_str(), 0666), 0);
  const std::string path = peer.SlavePath();
  int status = InChild([&] {
    alarm(20);
    // TIOCEXCL stops only users other than root.
    if (setgid(54321) != 0 || setuid(54321) != 0) return 2;
    auto othersCanOpen = [&] {
      int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      return fd >= 0;
    };
    {
      TApdPosixDispatcher d(nullptr);
      if (Open(d, path) != 0) return 3;
      if (othersCanOpen()) return 10;  // a program without the lock got in
      d.CloseDevice();
    }
    if (!othersCanOpen()) return 4;

    // Fill every free descriptor below the highest, then allow three more:
    // the device and one pipe fit, the second pipe does not.
    const int highest = HighestOpenDescriptor();
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
      if (fd > highest) {
        close(fd);
        break;
      }
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit tight{static_cast<rlim_t>(highest + 1 + 3), limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return 6;
    const int before = CountOpenDescriptors();
    int32_t result;
    {
      TApdPosixDispatcher d(nullptr);
      result = Open(d, path);
    }
    const int after = CountOpenDescriptors();
    setrlimit(RLIMIT_NOFILE, &limit);
    if (result != ecode::OutOfMemory) return 7;
    if (after != before) return 8;
    return othersCanOpen() ? 0 : 9;
  });
  EXPECT_EQ(status, 0) << "2: no child user, 3: no open, 4: still exclusive after a close, "
                          "6: no descriptor limit, 7: other result, 8: descriptor left, "
                          "9: still exclusive after a failed open, 10: not exclusive while open, 255: hung";
}
