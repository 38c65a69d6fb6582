// The hidden notification window: a send from another thread runs the
// notice on the GUI thread and waits for it; a send to a window that is
// gone, or that the GUI thread does not take in time, lets the sender go on.
#include <gtest/gtest.h>

#include <QThread>

#include <array>
#include <atomic>
#include <thread>

#include "AdPort.h"
#include "AdPortWindow.h"
#include "PortTestSupport.h"

using namespace porttest;
using namespace std::chrono_literals;

class AdPortWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    Port.SetComNumber(1);
    Port.SetAutoOpen(false);
    Port.SetOnTrigger([this](TApdCustomComPort*, uint16_t msg, uint16_t handle, uint16_t data) {
      Calls.push_back({msg, handle, data});
      OnGui = QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    Port.SetOpen(true);
  }
  uint32_t Lparam(uint16_t low) const {
    return static_cast<uint32_t>(Port.Dispatcher()->DispatcherHandle) << 16 | low;
  }

  PtyPeer Peer;
  PortName Com1{1, Peer.SlavePath()};
  TApdComPort Port;
  std::vector<std::array<uint16_t, 3>> Calls;
  bool OnGui = false;
};

TEST_F(AdPortWindow, SendFromAWorkerRunsOnTheGuiThreadAndWaitsForIt) {
  TApdNotifyWindow window;
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    window.SendNotify(TriggerStatusMsg, 0x21, Lparam(7), 3000);
    returned = true;
  });
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
  sender.join();
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0], (std::array<uint16_t, 3>{0x7E04, 0x21, 7}));
  EXPECT_TRUE(OnGui);
}

TEST_F(AdPortWindow, MessageForAWindowThatIsGoneIsDropped) {
  auto window = std::make_unique<TApdNotifyWindow>();
  window->PostNotify(TriggerTimerMsg, 3, Lparam(0));
  window.reset();  // before the GUI thread took the message
  PumpFor(100ms);
  EXPECT_TRUE(Calls.empty());

  TApdNotifyWindow alive;
  alive.PostNotify(TriggerTimerMsg, 3, Lparam(0));
  ASSERT_TRUE(WaitFor([&] { return Calls.size() == 1; }));
}

TEST_F(AdPortWindow, SenderGivesUpWhenTheGuiThreadDoesNotAnswerInTime) {
  TApdNotifyWindow window;
  QElapsedTimer clock;
  clock.start();
  bool timerTaken = true, statusTaken = false;
  std::thread sender([&] {
    timerTaken = window.SendNotify(TriggerTimerMsg, 3, Lparam(0), 200);
    statusTaken = window.SendNotify(TriggerStatusMsg, 0x21, Lparam(7), 200);
  });
  sender.join();  // the GUI thread is busy here: it never turns its loop
  EXPECT_GE(clock.elapsed(), 390);
  EXPECT_TRUE(Calls.empty());
  // A time-out (like data) is dropped whole, for its dispatcher to tell
  // again; any other notice still runs, late.
  EXPECT_FALSE(timerTaken);
  EXPECT_TRUE(statusTaken);
  ASSERT_TRUE(WaitFor([&] { return Calls.size() == 1; }));
  PumpFor(100ms);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0][0], TriggerStatusMsg);
}
