// The port component end to end over a pseudo-terminal: what the main
// window relies on (notices on the GUI thread, reads, timers, sends, clears),
// closing from inside a notice, and a port change on an open port.
#include <gtest/gtest.h>

#include <QThread>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "AdExcept.h"
#include "AdPort.h"
#include "PortTestSupport.h"
#include "SimBus.h"

using namespace porttest;
using namespace std::chrono_literals;

namespace {

struct Notice {
  uint16_t Msg;
  uint16_t TriggerHandle;
  uint16_t Data;
  bool OnGuiThread;
};

bool OnGui() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

class ComPortE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    Port.SetComNumber(1);
    Port.SetBaud(9600);
    Port.SetAutoOpen(false);
  }
  // Records every notice; reads `toRead(count)` characters of an avail notice.
  void Record(std::function<size_t(uint16_t count)> toRead = [](uint16_t count) { return count; }) {
    Port.SetOnTrigger([this, toRead](TApdCustomComPort* cp, uint16_t msg, uint16_t handle,
                                     uint16_t data) {
      EXPECT_EQ(cp, &Port);
      Notices.push_back({msg, handle, data, OnGui()});
      if (msg != TriggerAvailMsg) return;
      for (size_t i = toRead(handle); i > 0; --i) Received += Port.ReadChar();
    });
  }
  size_t Count(uint16_t msg) const {
    return static_cast<size_t>(std::count_if(Notices.begin(), Notices.end(),
                                             [msg](const Notice& n) { return n.Msg == msg; }));
  }

  PtyPeer Peer;
  PortName Com1{1, Peer.SlavePath()};
  TApdComPort Port;
  std::vector<Notice> Notices;
  std::string Received;
};

}  // namespace

TEST_F(ComPortE2E, AvailNoticeRunsOnTheGuiThreadWithTheCountTwice) {
  std::vector<uint16_t> availCounts;
  Port.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t count) { availCounts.push_back(count); });
  Record();
  Port.SetOpen(true);
  Peer.Write("HELLO");
  ASSERT_TRUE(WaitFor([&] { return Received.size() == 5; }));
  EXPECT_EQ(Received, "HELLO");
  ASSERT_FALSE(Notices.empty());
  ASSERT_EQ(availCounts.size(), Notices.size());
  for (size_t i = 0; i < Notices.size(); ++i) {
    EXPECT_EQ(Notices[i].Msg, 0x7E01);
    EXPECT_EQ(Notices[i].TriggerHandle, Notices[i].Data);
    EXPECT_EQ(availCounts[i], Notices[i].Data);
    EXPECT_TRUE(Notices[i].OnGuiThread);
  }
  // Exactly the announced characters were consumed.
  EXPECT_THROW(Port.ReadChar(), EBufferIsEmpty);
}

TEST_F(ComPortE2E, UnreadCharactersAreAnnouncedAgainOnlyWithNewOnes) {
  Record([](uint16_t count) { return count >= 2 ? 2 : count; });
  Port.SetOpen(true);
  Peer.Write("ABCDEF");
  // All six arrived; what the handler left stays unread.
  ASSERT_TRUE(WaitFor([&] { return Received.size() + Port.Dispatcher()->InUsed() == 6; }));
  PumpFor(300ms);
  size_t before = Notices.size();
  size_t unread = 6 - Received.size();
  ASSERT_GT(unread, 0u);
  // Without new characters nothing is announced.
  PumpFor(300ms);
  EXPECT_EQ(Notices.size(), before);

  Peer.Write("G");
  ASSERT_TRUE(WaitFor([&] { return Notices.size() > before; }));
  EXPECT_EQ(Notices[before].Msg, 0x7E01);
  EXPECT_EQ(Notices[before].Data, unread + 1);
  EXPECT_EQ(Received.substr(0, 4), "ABCD");
}

TEST_F(ComPortE2E, TimerTriggerFiresOnceAfterItsTicksAndADisarmedOneNever) {
  Record();
  Port.SetOpen(true);
  uint16_t armed = Port.NewTimerTrigger();
  uint16_t disarmed = Port.NewTimerTrigger();
  EXPECT_NE(armed, 0);
  EXPECT_NE(disarmed, 0);
  EXPECT_NE(armed, disarmed);
  std::vector<uint16_t> timerEvents;
  Port.SetOnTriggerTimer([&](TApdCustomComPort*, uint16_t handle) { timerEvents.push_back(handle); });

  Port.ArmTimerTrigger(disarmed, 5, true);
  QElapsedTimer clock;
  clock.start();
  Port.ArmTimerTrigger(armed, 10, true);
  Port.ArmTimerTrigger(disarmed, 0, false);
  ASSERT_TRUE(WaitFor([&] { return Count(0x7E03) > 0; }, 1500ms));
  qint64 elapsed = clock.elapsed();
  EXPECT_GE(elapsed, 550);
  EXPECT_LT(elapsed, 1500);
  PumpFor(700ms);
  ASSERT_EQ(Count(0x7E03), 1u);
  auto timer = std::find_if(Notices.begin(), Notices.end(),
                            [](const Notice& n) { return n.Msg == 0x7E03; });
  EXPECT_EQ(timer->TriggerHandle, armed);
  EXPECT_EQ(timer->Data, 0);
  EXPECT_TRUE(timer->OnGuiThread);
  EXPECT_EQ(timerEvents, std::vector<uint16_t>{armed});
}

TEST_F(ComPortE2E, SentFrameReachesTheSimulatedConverterIntact) {
  krm::sim::Bus bus;
  krm::sim::Converter converter;
  converter.address = 0x05;
  bus.add(converter);
  bus.start();
  PortName com3(3, bus.path());
  Port.SetComNumber(3);
  Record();
  Port.SetOpen(true);

  std::string frame = "$05W" + std::string("0123456789ABCDEFGHIJKLMNOPQRST") + "\r";
  ASSERT_EQ(frame.size(), 35u);
  Port.SendText(frame);
  ASSERT_TRUE(bus.waitForFrames(1, 3s));
  EXPECT_EQ(bus.frames().at(0), frame.substr(0, 34));
  // The converter's reply comes back through the notices.
  ASSERT_TRUE(WaitFor([&] { return !Received.empty() && Received.back() == '\r'; }));
  EXPECT_EQ(Received.substr(1, 2), "05");
}

TEST_F(ComPortE2E, ClearInputDiscardsWhatWasNotRead) {
  Port.SetOpen(true);  // no trigger event: the bytes wait in the input ring
  Peer.Write("stale");
  ASSERT_TRUE(WaitFor([&] { return Port.Dispatcher()->InUsed() == 5; }));
  Port.ClearInput();
  EXPECT_THROW(Port.ReadChar(), EBufferIsEmpty);
  Peer.Write("n");
  ASSERT_TRUE(WaitFor([&] { return Port.Dispatcher()->InUsed() == 1; }));
  EXPECT_EQ(Port.ReadChar(), 'n');
}

TEST_F(ComPortE2E, ClearOutputDiscardsWhatWasNotSent) {
  Port.SetOpen(true);
  // The peer does not read: the pseudo-terminal fills, then the ring, and
  // the ring stays full.
  std::string block(1000, 'x');
  size_t sent = 0;
  int fullChecks = 0;
  QElapsedTimer clock;
  clock.start();
  while (fullChecks < 5 && clock.elapsed() < 10000) {
    if (Port.Dispatcher()->OutFree() >= block.size()) {
      Port.SendText(block);
      sent += block.size();
      fullChecks = 0;
    } else {
      ++fullChecks;
      PumpFor(50ms);
    }
  }
  ASSERT_EQ(fullChecks, 5);
  ASSERT_GT(Port.Dispatcher()->OutUsed(), 0u);
  Port.ClearOutput();
  EXPECT_EQ(Port.Dispatcher()->OutUsed(), 0u);
  std::string arrived = Peer.Drain();
  EXPECT_LT(arrived.size(), sent);
  EXPECT_EQ(arrived.find_first_not_of('x'), std::string::npos);
}

TEST_F(ComPortE2E, ClosingInsideTheNoticeCompletesAfterTheHandler) {
  int notices = 0;
  bool stillOpenInHandler = false;
  char readWhileClosing = 'z';
  bool inHandler = false;
  bool ranNested = false, ran = false;
  Port.SetOnTrigger([&](TApdCustomComPort* cp, uint16_t, uint16_t, uint16_t) {
    ++notices;
    inHandler = true;
    // Another event already queued must wait for the handler to return.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { ranNested = inHandler; ran = true; },
        Qt::QueuedConnection);
    cp->SetOpen(false);
    inHandler = false;
    stillOpenInHandler = cp->Open() && cp->PortPhase() == phClosing;
    readWhileClosing = cp->ReadChar();  // refused silently while closing
    EXPECT_EQ(cp->NewTimerTrigger(), 0);
  });
  Port.SetOpen(true);
  Peer.Write("QUIT\r");
  ASSERT_TRUE(WaitFor([&] { return Port.PortPhase() == phClosed && ran; }));
  EXPECT_FALSE(ranNested) << "the close ran the event loop inside the handler";
  EXPECT_EQ(notices, 1);
  EXPECT_TRUE(stillOpenInHandler);
  EXPECT_EQ(readWhileClosing, 0);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);

  Peer.Write("more");
  PumpFor(300ms);
  EXPECT_EQ(notices, 1);
  // The port opens again as new.
  Port.SetOnTrigger(nullptr);
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
}

TEST_F(ComPortE2E, ReopenAskedForWhileTheCloseWaitsHappensWhenItCompletes) {
  bool asked = false;
  Port.SetOnTrigger([&](TApdCustomComPort* cp, uint16_t, uint16_t, uint16_t) {
    if (asked) return;
    asked = true;
    cp->SetOpen(false);
    cp->SetOpen(true);
    EXPECT_TRUE(cp->ReopenRequested());
  });
  int opens = 0;
  int closes = 0;
  Port.SetOnPortOpen([&](TApdCustomComPort*) { ++opens; });
  Port.SetOnPortClose([&](TApdCustomComPort*) { ++closes; });
  Port.SetOpen(true);
  Peer.Write("x");
  ASSERT_TRUE(WaitFor([&] { return opens == 2; }));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(Port.PortPhase(), phOpen);
  EXPECT_FALSE(Port.ReopenRequested());
  Port.SendText("again");
  EXPECT_EQ(Peer.Read(5), "again");
}

TEST_F(ComPortE2E, ComNumberChangeReopensOnTheNewPortKeepingTheTimerHandle) {
  PtyPeer second;
  PortName com2(2, second.SlavePath());
  Record();
  std::string trace = testing::TempDir() + "krm_comnumber.trc";
  Port.SetTraceName(trace);
  Port.SetTracing(tlOn);
  Port.SetOpen(true);
  uint16_t timer = Port.NewTimerTrigger();

  Port.SetComNumber(2);
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.PortPhase(), phOpen);
  EXPECT_EQ(Port.Tracing(), tlOn);
  Port.SendText("two");
  EXPECT_EQ(second.Read(3), "two");
  EXPECT_EQ(Peer.Drain(100ms), "");

  Port.ArmTimerTrigger(timer, 2, true);
  ASSERT_TRUE(WaitFor([&] { return Count(0x7E03) == 1; }));
  EXPECT_EQ(Notices.back().TriggerHandle, timer);

  second.Write("in");
  ASSERT_TRUE(WaitFor([&] { return Received == "in"; }));
  Port.SetTracing(tlOff);
  std::remove(trace.c_str());
}

TEST_F(ComPortE2E, ExceptionFromAHandlerIsReportedOnTheGuiThread) {
  std::vector<std::string> reports;
  std::vector<bool> reportedOnGui;
  SetApplicationExceptionReport([&](const std::exception& e) {
    reports.push_back(e.what());
    reportedOnGui.push_back(OnGui());
  });
  Port.SetOnTrigger([&](TApdCustomComPort* cp, uint16_t, uint16_t, uint16_t) {
    cp->ReadChar();
    cp->ReadChar();  // one character was sent: this raises
  });
  Port.SetOpen(true);
  Peer.Write("1");
  bool reported = WaitFor([&] { return !reports.empty(); });
  SetApplicationExceptionReport(nullptr);
  ASSERT_TRUE(reported);
  EXPECT_EQ(reports[0], "Buffer is empty");
  EXPECT_TRUE(reportedOnGui[0]);
  // The dispatcher goes on delivering.
  Record();
  Peer.Write("2");
  ASSERT_TRUE(WaitFor([&] { return !Received.empty(); }));
}

TEST_F(ComPortE2E, WithoutTriggerEventsNoNoticesArrive) {
  int notices = 0;
  Port.SetOpen(true);
  Port.SetOnTrigger([&](TApdCustomComPort*, uint16_t, uint16_t, uint16_t) { ++notices; });
  Port.SetOnTrigger(nullptr);
  Peer.Write("quiet");
  ASSERT_TRUE(WaitFor([&] { return Port.Dispatcher()->InUsed() == 5; }));
  PumpFor(200ms);
  EXPECT_EQ(notices, 0);
  Port.SetOnTrigger([&](TApdCustomComPort*, uint16_t, uint16_t, uint16_t) { ++notices; });
  Peer.Write("!");
  EXPECT_TRUE(WaitFor([&] { return notices > 0; }));
}

// A port change from the GUI thread while a notice waits for that thread:
// the notice is handled first, and the port is open on the new number when
// the change returns, with the old timer handle still good.
TEST_F(ComPortE2E, PortChangeWhileANoticeWaitsReopensAtOnce) {
  PtyPeer second;
  PortName com2(2, second.SlavePath());
  Record();
  Port.SetOpen(true);
  uint16_t timer = Port.NewTimerTrigger();
  Peer.Write("late");
  ASSERT_TRUE(WaitBlocked([&] { return Port.Dispatcher()->Delivering.load(); }));

  Port.SetComNumber(2);
  EXPECT_EQ(Port.PortPhase(), phOpen);
  EXPECT_TRUE(Port.Open());
  EXPECT_FALSE(Received.empty()) << "the notice on its way was lost";
  EXPECT_EQ(std::string("late").substr(0, Received.size()), Received);
  EXPECT_NE(Port.NewTimerTrigger(), 0);
  Port.ArmTimerTrigger(timer, 1, true);
  ASSERT_TRUE(WaitFor([&] { return Count(0x7E03) == 1; }));
  EXPECT_EQ(Notices.back().TriggerHandle, timer);
  Port.SendText("two");
  EXPECT_EQ(second.Read(3), "two");
}

namespace {
// A device path that can be pointed at another pty, as the simulator's
// --link makes one.
class DeviceLink {
 public:
  explicit DeviceLink(const std::string& target)
      : path_(testing::TempDir() + "krm_com_link_" + std::to_string(getpid())) {
    PointAt(target);
  }
  ~DeviceLink() { unlink(path_.c_str()); }
  void PointAt(const std::string& target) {
    unlink(path_.c_str());
    if (symlink(target.c_str(), path_.c_str()) != 0) throw std::runtime_error("symlink");
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};
}  // namespace

// The adapter is pulled while the port is open: the port closes, lets go of
// the dead device and tells its owner on the GUI thread; the device that
// comes back at the same path works on the next open.
TEST_F(ComPortE2E, LostDeviceClosesThePortAndTheNextOpenFindsItsSuccessor) {
  auto first = std::make_unique<PtyPeer>();
  const std::string deadPath = first->SlavePath();
  DeviceLink link(deadPath);
  PortName com4(4, link.Path());
  Port.SetComNumber(4);
  Record();
  int lost = 0;
  bool lostOnGui = false, closedWhenTold = false;
  Port.SetOnPortLost([&](TApdCustomComPort* cp) {
    ++lost;
    lostOnGui = OnGui();
    closedWhenTold = !cp->Open() && cp->PortPhase() == phClosed;
  });
  Port.SetOpen(true);
  uint16_t timer = Port.NewTimerTrigger();
  first->Write("last words");
  ASSERT_TRUE(WaitFor([&] { return Received == "last words"; }));

  first->Close();
  ASSERT_TRUE(WaitFor([&] { return lost > 0; }));
  EXPECT_TRUE(lostOnGui);
  EXPECT_TRUE(closedWhenTold);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.LastFailure(), "COM4 (" + link.Path() + "): device disconnected");
  EXPECT_FALSE(HoldsDescriptorOf(deadPath));
  PumpFor(200ms);
  EXPECT_EQ(lost, 1);
  EXPECT_THROW(Port.SendText("x"), ECommNotOpen);

  PtyPeer second;
  link.PointAt(second.SlavePath());
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.LastFailure(), "");
  Port.SendText("back");
  EXPECT_EQ(second.Read(4), "back");
  second.Write("hi");
  ASSERT_TRUE(WaitFor([&] { return Received == "last wordshi"; }));
  Port.ArmTimerTrigger(timer, 1, true);  // the handle outlived the loss
  ASSERT_TRUE(WaitFor([&] { return Count(0x7E03) == 1; }));

  // A later close from inside a notice is no second loss.
  Port.SetOnTrigger([&](TApdCustomComPort* cp, uint16_t msg, uint16_t, uint16_t) {
    if (msg == TriggerAvailMsg) cp->SetOpen(false);
  });
  second.Write("bye");
  ASSERT_TRUE(WaitFor([&] { return Port.PortPhase() == phClosed; }));
  PumpFor(100ms);
  EXPECT_EQ(lost, 1);
}

// The line to the converters is cut in the middle of a continuous exchange
// (each reply sends the next request, with a time-out armed): the exchange
// ends with the loss, nothing is sent into the dead line, nothing spins.
TEST_F(ComPortE2E, LineCutDuringAContinuousExchangeEndsItAsAFailedOpen) {
  krm::sim::Bus bus;
  krm::sim::Converter converter;
  converter.address = 0x05;
  bus.add(converter);
  bus.start();
  const std::string busPath = bus.path();
  PortName com3(3, busPath);
  Port.SetComNumber(3);
  int replies = 0, lost = 0, timeouts = 0;
  uint16_t timeout = 0;
  const std::string request = "$05A\r";
  Port.SetOnTrigger([&](TApdCustomComPort* cp, uint16_t msg, uint16_t count, uint16_t) {
    if (msg == TriggerTimerMsg) ++timeouts;
    if (msg != TriggerAvailMsg) return;
    for (uint16_t i = 0; i < count; ++i) {
      if (cp->ReadChar() != '\r') continue;
      ++replies;
      cp->ArmTimerTrigger(timeout, 10, true);
      cp->SendText(request);
    }
  });
  Port.SetOnPortLost([&](TApdCustomComPort*) { ++lost; });
  Port.SetOpen(true);
  timeout = Port.NewTimerTrigger();
  Port.SendText(request);
  ASSERT_TRUE(WaitFor([&] { return replies >= 20; }, 10s))
      << replies << " replies, " << timeouts << " time-outs: " << (timeouts ? "an exchange was lost" : "too slow");
  bus.closeLine();
  ASSERT_TRUE(WaitFor([&] { return lost == 1; }));
  EXPECT_FALSE(Port.Open());
  EXPECT_FALSE(HoldsDescriptorOf(busPath));
  const int repliesAtLoss = replies;
  PumpFor(300ms);
  EXPECT_EQ(replies, repliesAtLoss);
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(timeouts, 0) << "a time-out of the closed port arrived";
}

// The window's thread stalls past the delivery's 3 s when the device goes:
// the late notice still closes the port, at once, and tells the owner.
TEST_F(ComPortE2E, LostDeviceToldToAStalledWindowClosesThePortWhenItTurns) {
  auto peer = std::make_unique<PtyPeer>();
  PortName com4(4, peer->SlavePath());
  Port.SetComNumber(4);
  Record();
  int lost = 0;
  Port.SetOnPortLost([&](TApdCustomComPort* cp) {
    ++lost;
    EXPECT_FALSE(cp->Open());
  });
  Port.SetOpen(true);
  peer->Close();
  ASSERT_TRUE(WaitBlocked([&] { return Port.Dispatcher()->DeviceGone(); }));
  usleep(3500 * 1000);  // the thread is busy elsewhere: the send gives up
  ASSERT_TRUE(WaitFor([&] { return lost == 1; }));
  EXPECT_EQ(Port.PortPhase(), phClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  PumpFor(200ms);
  EXPECT_EQ(lost, 1);
}
