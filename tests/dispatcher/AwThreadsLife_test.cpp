// The dispatcher threads' life over the scripted device: stops that come
// while a pass is held, and what each thread leaves behind when it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AwEvent.h"
#include "FakeDevice.h"
#include "ThreadTestSupport.h"

namespace {
using namespace threadtest;

}  // namespace

// The event thread has handed over a device event and waits for a pass that
// a delivery holds; the stop must release it by itself, as nothing else will
// (the held pass ends cut short by the close).
TEST(DispatcherThreadsLife, StopReleasesTheEventThreadWaitingForAHeldPass) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();
  TAwEvent inHandler(TAwEvent::Kind::ManualReset);
  std::atomic<bool> eventThreadEndedWhileHeld{false};
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg != TriggerAvailMsg) return;
    inHandler.Set();
    eventThreadEndedWhileHeld =
        WaitUntil([&] { return raw->ComThread.load() == nullptr; }, 3000);
  });
  d->SetAvailThreshold(1);
  d->Receive("x");  // found by the 50 ms pass: the event thread still waits
  ASSERT_TRUE(inHandler.Wait(5000));
  ASSERT_EQ(d->EventWaits, 0);
  d->SignalEvents(DevEvRxChar);
  ASSERT_TRUE(WaitUntil([&] { return d->EventWaits == 1; }));
  FinishesWithin(10000, [&] { d.reset(); });
  EXPECT_TRUE(eventThreadEndedWhileHeld);
}

namespace {
// Holds the dispatcher thread in a timer notice while the device is
// scripted, so that all of it is seen by one event pass.
class THeldPass {
 public:
  explicit THeldPass(TFakeDispatcher& d) : d_(d) {}
  // The timer notice's part of the test's handler.
  void OnNotice(uint32_t msg) { hold_.OnNotice(msg); }
  void Run(const std::function<void()>& script, uint32_t events) {
    ASSERT_TRUE(hold_.Hold(d_));
    const int waits = d_.EventWaits;
    {
      std::lock_guard<std::recursive_mutex> hold(d_.ScriptLock);
      script();
    }
    d_.SignalEvents(events);
    ASSERT_TRUE(WaitUntil([&] { return d_.EventWaits == waits + 1; }));
    hold_.Release();
  }

 private:
  TFakeDispatcher& d_;
  TTimerNoticeHold hold_;
};
}  // namespace

// A modem change and a line error are told from the state the device had
// when they were seen, before the bytes that came with them are taken: an
// owner that reacts to the line learns of it ahead of the data.
TEST(DispatcherThreadsLife, LineEventsAreToldBeforeTheBytesThatCameWithThem) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();
  THeldPass pass(*d);
  std::mutex lock;
  std::vector<uint32_t> ringAtStatus;
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    pass.OnNotice(msg);
    if (msg != TriggerStatusMsg) return;
    std::lock_guard<std::mutex> hold(lock);
    ringAtStatus.push_back(raw->InUsed());
  });
  {
    std::lock_guard<TAwLock> hold(d->DispatchLock);
    d->StatusTriggers.push_back({8 + StatusModem, StatusModem, 0x1000, 1, 0});  // CTS up
    d->StatusTriggers.push_back({16 + StatusLineError, StatusLineError, LineErrFraming, 1, 0});
    d->StatusTriggers.push_back({24 + StatusLineError, StatusLineError, LineErrBreak, 1, 0});
  }
  auto told = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return ringAtStatus;
  };

  pass.Run([&] {
    d->ModemLines = ModemCts;
    d->Driver.assign({'a', 'b'});
  }, DevEvCts | DevEvRxChar);
  ASSERT_TRUE(WaitUntil([&] { return told().size() == 1 && d->InUsed() == 2; }));
  EXPECT_EQ(told()[0], 0u) << "the modem change was told after its bytes were taken";

  pass.Run([&] {
    d->ErrorBits = LineErrFraming;
    d->Driver.assign({'c'});
  }, DevEvError | DevEvRxChar);
  ASSERT_TRUE(WaitUntil([&] { return told().size() == 2 && d->InUsed() == 3; }));
  EXPECT_EQ(told()[1], 2u) << "the line error was told after its bytes were taken";

  // A break alone in the wake is a line event too.
  pass.Run([&] {
    d->ErrorBits = LineErrBreak;
    d->Driver.assign({'d'});
  }, DevEvBreak);
  ASSERT_TRUE(WaitUntil([&] { return told().size() == 3 && d->InUsed() == 4; }));
  EXPECT_EQ(told()[2], 3u) << "the break was told after its bytes were taken";
}

// A status handler that closes the port ends the pass: a line error seen
// in the same wake is not told after the close, and the rings go with the
// thread.
TEST(DispatcherThreadsLife, StatusHandlerClosingThePortIsTheLastNotice) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();
  THeldPass pass(*d);
  std::atomic<int> notices{0};
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    pass.OnNotice(msg);
    if (msg != TriggerStatusMsg) return;
    ++notices;
    raw->CloseDevice();
  });
  {
    std::lock_guard<TAwLock> hold(d->DispatchLock);
    d->StatusTriggers.push_back({8 + StatusModem, StatusModem, 0x1000, 1, 0});  // CTS up
    d->StatusTriggers.push_back({16 + StatusLineError, StatusLineError, LineErrFraming, 1, 0});
  }
  pass.Run([&] {
    d->ModemLines = ModemCts;
    d->ErrorBits = LineErrFraming;
  }, DevEvCts | DevEvError);
  ASSERT_TRUE(WaitUntil([&] { return d->ThreadCount == 0; }));
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(d->InBuffer.size(), 0u) << "the rings outlived the close";
  FinishesWithin(10000, [&] { d.reset(); });
}

namespace {
// A device whose writes the test holds: the first write of each block
// takes half of it and waits for the test's word.
class TWriterProbe : public TFakeDispatcher {
 public:
  TWriterProbe() { RealThreads = true; }
  ~TWriterProbe() override { go.Set(); }

  TAwEvent writing{TAwEvent::Kind::ManualReset}, go{TAwEvent::Kind::ManualReset};
  // Set when a write found its ring freed while it still held a block.
  std::atomic<bool> ringFreedUnderWriter{false};
  std::atomic<bool> holdUntilStopped{false};

  int32_t WriteDevice(const uint8_t*, uint32_t count) override {
    writing.Set();
    if (holdUntilStopped) {
      WaitUntil([&] { return StopRequested.load(); });
      // Give a stop that does not wait for the writer time to free the ring.
      WaitUntil([&] { return DispThread.load() == nullptr; }, 300);
      std::lock_guard<TAwLock> out(OutputLock);
      if (OutBuffer.empty()) ringFreedUnderWriter = true;
      return WriteInterrupted;
    }
    go.Wait(5000);
    return static_cast<int32_t>(count / 2);
  }
  // The flush of a device layer whose writer may hold a block: ask the
  // writer, wait for its answer, then empty the ring. A held writer is not
  // asked.
  std::atomic<bool> flushAnswered{false};
  int32_t PurgeQueue(bool input) override {
    if (input || holdUntilStopped) return TFakeDispatcher::PurgeQueue(input);
    GeneralEvent.Reset();
    OutputFlushEvent.Set();
    go.Set();
    flushAnswered = GeneralEvent.Wait(2000);
    EmptyOutputRing();
    return 0;
  }
};
}  // namespace

// A flush that comes between two writes of one block is answered by the
// writer at once, not after the flush's time-out.
TEST(DispatcherThreadsLife, FlushBetweenTwoWritesIsAnsweredAtOnce) {
  TWriterProbe d;
  ASSERT_EQ(d.Open(), 0);
  const uint8_t block[100] = {};
  ASSERT_EQ(d.PutBytes(block, sizeof block), 0);
  d.OutputReadyEvent.Set();
  ASSERT_TRUE(d.writing.Wait(2000));
  EXPECT_EQ(d.FlushOutput(), 0);
  EXPECT_TRUE(d.flushAnswered) << "the writer did not answer the flush";
  EXPECT_EQ(d.OutUsed(), 0u);
}

// Closed from inside a handler, the port stops on the dispatcher thread:
// the rings are freed only once the writer, which may hold a block of the
// output ring, has ended.
TEST(DispatcherThreadsLife, DeferredCloseFreesTheRingsOnlyAfterTheWriterLetGo) {
  auto d = std::make_unique<TWriterProbe>();
  ASSERT_EQ(d->Open(), 0);
  d->holdUntilStopped = true;
  TWriterProbe* raw = d.get();
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg == TriggerAvailMsg) raw->CloseDevice();
  });
  const uint8_t block[100] = {};
  ASSERT_EQ(d->PutBytes(block, sizeof block), 0);
  d->OutputReadyEvent.Set();
  ASSERT_TRUE(d->writing.Wait(2000));
  d->SetAvailThreshold(1);
  d->Receive("x");
  ASSERT_TRUE(WaitUntil([&] { return d->ThreadCount == 0; }));
  EXPECT_FALSE(d->ringFreedUnderWriter);
  FinishesWithin(10000, [&] { d.reset(); });
}

// Each thread says it has started: an open waits for that, never for the
// start's time-out (a missing signal would add seconds to every open).
TEST(DispatcherThreadsLife, OpenWaitsForTheThreadsNotForTheirTimeOut) {
  TFakeDispatcher d;
  d.RealThreads = true;
  for (int round = 0; round < 2; ++round) {
    const auto start = Clock::now();
    ASSERT_EQ(d.Open(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << "round " << round;
    EXPECT_EQ(d.ThreadCount, 3);
    d.CloseDevice();
  }
}

// Whatever a handler throws ends only the dispatcher thread, and is shown:
// also what is no standard exception.
TEST(DispatcherThreadsLife, AnyThrownValueIsReportedAndEndsOnlyItsThread) {
  TThreadReports reports;
  auto d = Threaded();
  AddMethodHandler(*d, [](uint32_t msg, uint32_t, uint32_t) {
    if (msg == TriggerAvailMsg) throw 42;
  });
  d->SetAvailThreshold(1);
  d->Receive("x");
  ASSERT_TRUE(WaitUntil([&] { return d->DispThread.load() == nullptr; }));
  EXPECT_NE(d->OutThread.load(), nullptr);
  FinishesWithin(10000, [&] { d.reset(); });
  EXPECT_EQ(reports.Taken(), std::vector<std::string>{"unknown exception"});
}

// The message pump belongs to the thread that installed it (the GUI
// thread): a stop waited for on any other thread never runs it there.
TEST(DispatcherThreadsLife, StopOnAnotherThreadNeverRunsTheGuiPump) {
  std::atomic<int> pumpedElsewhere{0};
  const std::thread::id gui = std::this_thread::get_id();
  SetMessagePump([&] {
    if (std::this_thread::get_id() != gui) ++pumpedElsewhere;
  });
  FinishesWithin(10000, [&] {
    TFakeDispatcher d;
    d.RealThreads = true;
    ASSERT_EQ(d.Open(), 0);
    d.CloseDevice();
  });
  SetMessagePump(nullptr);
  EXPECT_EQ(pumpedElsewhere, 0);
}

// The bytes that come with a modem change or a line error are taken and
// told in the pass that tells the line, ahead of a time-out that fell due
// while the line was told: a reply that arrived is never reported as a
// time-out first.
TEST(DispatcherThreadsLife, BytesWithALineEventAreToldBeforeATimeOutDueMeanwhile) {
  for (bool lineError : {false, true}) {
    SCOPED_TRACE(lineError ? "line error" : "modem change");
    auto d = Threaded();
    TFakeDispatcher* raw = d.get();
    THeldPass pass(*d);
    const int32_t timeOut = d->NewTimerTrigger();
    ASSERT_GT(timeOut, 0);
    std::mutex lock;
    std::vector<uint32_t> told;
    std::atomic<bool> recording{false};
    AddMethodHandler(*d, [&](uint32_t msg, uint32_t wParam, uint32_t) {
      pass.OnNotice(msg);
      const bool otherTimer = msg == TriggerTimerMsg && wParam != static_cast<uint32_t>(timeOut);
      if (!recording || otherTimer) return;
      {
        std::lock_guard<std::mutex> hold(lock);
        told.push_back(msg);
      }
      if (msg == TriggerStatusMsg) {
        raw->ArmTimerTrigger(timeOut, 1, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past its one tick
      }
    });
    {
      std::lock_guard<TAwLock> hold(d->DispatchLock);
      if (lineError)
        d->StatusTriggers.push_back({8 + StatusLineError, StatusLineError, LineErrFraming, 1, 0});
      else
        d->StatusTriggers.push_back({8 + StatusModem, StatusModem, 0x1000, 1, 0});  // CTS up
      d->DataTriggers.push_back(MakeDataTrigger(800, "c"));
    }
    pass.Run([&] {
      recording = true;
      if (lineError)
        d->ErrorBits = LineErrFraming;
      else
        d->ModemLines = ModemCts;
      d->Driver.assign({'c'});
    }, (lineError ? DevEvError : DevEvCts) | DevEvRxChar);
    auto notices = [&] {
      std::lock_guard<std::mutex> hold(lock);
      return told;
    };
    ASSERT_TRUE(WaitUntil([&] { return notices().size() == 3; }));
    EXPECT_EQ(notices(),
              (std::vector<uint32_t>{TriggerStatusMsg, TriggerDataMsg, TriggerTimerMsg}));
    FinishesWithin(10000, [&] { d.reset(); });
  }
}

// A hit keeps a status trigger quiet for the rest of its round only: one
// that its handler arms again fires once in each event pass and once more
// in the timer pass after it.
TEST(DispatcherThreadsLife, StatusTriggerArmedAgainFiresOnceInEachRound) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();
  constexpr int Wanted = 12;
  std::vector<int> passAtNotice;  // the dispatcher thread's only
  std::atomic<int> notices{0};
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg != TriggerStatusMsg || notices == Wanted) return;
    passAtNotice.push_back(raw->ErrorReads);  // one read per event pass
    ++notices;
    std::lock_guard<TAwLock> hold(raw->DispatchLock);
    raw->StatusTriggers[0].Armed = 1;
  });
  {
    std::lock_guard<TAwLock> hold(d->DispatchLock);
    d->StatusTriggers.push_back({8 + StatusModem, StatusModem, 0x1010, 1, 0});  // CTS down: always
  }
  ASSERT_TRUE(WaitUntil([&] { return notices == Wanted; }));
  FinishesWithin(10000, [&] { d.reset(); });
  // Fired in an event pass and again in the timer pass that follows it.
  int twiceInOnePass = 0;
  for (size_t i = 1; i < passAtNotice.size(); ++i)
    if (passAtNotice[i] == passAtNotice[i - 1]) ++twiceInOnePass;
  EXPECT_GE(twiceInOnePass, Wanted / 2 - 1) << testing::PrintToString(passAtNotice);
}

// An event pass that tells a modem change and a line error has three
// rounds (the modem's, the line's, the data's): a trigger armed again by
// its handler fires in each of them, ahead of the bytes.
TEST(DispatcherThreadsLife, StatusTriggerArmedAgainFiresInEachRoundOfAnEventPass) {
  auto d = Threaded();
  TFakeDispatcher* raw = d.get();
  THeldPass pass(*d);
  std::mutex lock;
  std::vector<uint32_t> told;
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    pass.OnNotice(msg);
    if (msg != TriggerStatusMsg && msg != TriggerDataMsg) return;
    std::lock_guard<std::mutex> hold(lock);
    if (told.size() == 4) return;
    told.push_back(msg);
    std::lock_guard<TAwLock> dispatch(raw->DispatchLock);
    raw->StatusTriggers[0].Armed = 1;
  });
  {
    std::lock_guard<TAwLock> hold(d->DispatchLock);
    d->StatusTriggers.push_back({8 + StatusModem, StatusModem, 0x1000, 1, 0});  // CTS up
    d->DataTriggers.push_back(MakeDataTrigger(800, "c"));
  }
  pass.Run([&] {
    d->ModemLines = ModemCts;
    d->ErrorBits = LineErrFraming;
    d->Driver.assign({'c'});
  }, DevEvCts | DevEvError | DevEvRxChar);
  auto notices = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return told;
  };
  ASSERT_TRUE(WaitUntil([&] { return notices().size() == 4; }));
  EXPECT_EQ(notices(), (std::vector<uint32_t>{TriggerStatusMsg, TriggerStatusMsg, TriggerStatusMsg,
                                              TriggerDataMsg}));
  FinishesWithin(10000, [&] { d.reset(); });
}

namespace {
// An event thread that, woken for a stop, looks at the input ring once the
// dispatcher thread has had time to free it.
class TEventThreadProbe : public TFakeDispatcher {
 public:
  TEventThreadProbe() { RealThreads = true; }
  std::atomic<bool> ringFreedUnderEventThread{false};
  bool WaitDeviceEvent(uint32_t& mask) override {
    const bool result = TFakeDispatcher::WaitDeviceEvent(mask);
    if (StopRequested) {
      WaitUntil([&] { return DispThread.load() == nullptr; }, 300);
      std::lock_guard<TAwLock> in(InputLock);
      if (InBuffer.empty()) ringFreedUnderEventThread = true;
    }
    return result;
  }
};
}  // namespace

// Closed from inside a handler, the port frees its rings only once the
// event thread, which looks at the input ring while it waits, has ended.
TEST(DispatcherThreadsLife, DeferredCloseFreesTheRingsOnlyAfterTheEventThreadEnded) {
  auto d = std::make_unique<TEventThreadProbe>();
  ASSERT_EQ(d->Open(), 0);
  TEventThreadProbe* raw = d.get();
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg == TriggerAvailMsg) raw->CloseDevice();
  });
  d->SetAvailThreshold(1);
  d->Receive("x");  // found by the 50 ms pass: the event thread still waits
  ASSERT_TRUE(WaitUntil([&] { return d->ThreadCount == 0; }));
  EXPECT_FALSE(d->ringFreedUnderEventThread);
  FinishesWithin(10000, [&] { d.reset(); });
}

namespace {
long VirtualMemoryKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmSize: %ld", &kib) == 1) break;
  std::fclose(status);
  return kib;
}
}  // namespace

// An ended thread keeps its stack until it is let go: the threads of each
// opening go at the next one, so a port opened again and again does not
// pile them up.
TEST(DispatcherThreadsLife, OpeningAgainLetsTheEndedThreadsGo) {
  if (VirtualMemoryKiB() < 0) GTEST_SKIP() << "no /proc/self/status";
  TFakeDispatcher d;
  d.RealThreads = true;
  ASSERT_EQ(d.Open(), 0);
  d.CloseDevice();
  const long before = VirtualMemoryKiB();
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(d.Open(), 0);
    d.CloseDevice();
  }
  // Sixty stacks of ended threads would be hundreds of MiB.
  EXPECT_LT(VirtualMemoryKiB() - before, 64 * 1024);
}

namespace {
// A device layer whose output purge asks the writer to let go, as the
// real ones do; its queue leaves the writer asleep.
class TPurgeAsksTheWriter : public TFakeDispatcher {
 public:
  TPurgeAsksTheWriter() { RealThreads = true; }
  int32_t PurgeQueue(bool input) override {
    if (!input) FlushWriter([] {});
    return TFakeDispatcher::PurgeQueue(input);
  }
};
}  // namespace

// A flush that finds the writer asleep, with bytes it has not yet been woken
// for, is answered at once, not after the flush's limit.
TEST(DispatcherThreadsLife, FlushReachingAnIdleWriterIsAnsweredAtOnce) {
  TPurgeAsksTheWriter d;
  ASSERT_EQ(d.Open(), 0);
  const uint8_t block[10] = {};
  ASSERT_EQ(d.PutBytes(block, sizeof block), 0);
  const auto start = Clock::now();
  EXPECT_EQ(d.FlushOutput(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500))
      << "the flush waited for its limit";
  EXPECT_EQ(d.OutUsed(), 0u);
}

// A ring the event thread saw is told even when the line is down again by
// the time the dispatcher reads the modem status.
TEST(DispatcherThreadsLife, RingOverBeforeTheStatusIsReadIsStillTold) {
  TFakeDispatcher d;
  d.RealThreads = true;
  ASSERT_EQ(d.Open(), 0);
  d.SignalEvents(DevEvRing);  // ModemLines stay 0: the ring is over
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<TAwLock> hold(d.DispatchLock);
    return (d.ModemStatus & 0x04) != 0;
  }));
  d.CloseDevice();
}

// While a notice holds the dispatcher thread, the event thread waits for the
// pass to take what it handed over: a device that stays readable (a tty with
// bytes not yet read) is not asked again and again meanwhile.
TEST(DispatcherThreadsLife, EventThreadWaitsForThePassWhileANoticeHoldsIt) {
  TTimerNoticeHold held;
  auto d = Threaded();
  AddMethodHandler(*d, [&](uint32_t msg, uint32_t, uint32_t) { held.OnNotice(msg); });
  ASSERT_TRUE(held.Hold(*d));
  d->StayReadable = true;
  d->SignalEvents(DevEvRxChar);  // ends the wait in progress
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int waits = d->EventWaits;
  held.Release();
  d->CloseDevice();
  EXPECT_GE(waits, 1);
  EXPECT_LE(waits, 2) << "the event thread kept asking the device while the pass was held";
}
