// The host port's adapter is pulled while the window works: whatever ran ends
// as on a failed open, with the warning that says which device went, the
// dead device is let go, and when it comes back at the same path (a link,
// as krm4610-sim --link makes) the next request just works.
#include "../component/PortTestSupport.h"
#include "OperationsFixture.h"

#include <unistd.h>

namespace {

using namespace journeys;

class LostPort : public Operations {
 protected:
  void Begin(const std::vector<Converter>& Converters) {
    Start(Converters);
    Bus0 = Converters;
    Link = testing::TempDir() + "krm_lost_com1_" + std::to_string(getpid());
    PointLinkAt(Sim->path());
    ASSERT_EQ(setenv("KRM4610_COM1", Link.c_str(), 1), 0);
  }
  void TearDown() override {
    Operations::TearDown();
    if (!Link.empty()) unlink(Link.c_str());
  }
  void PointLinkAt(const std::string& Target) {
    unlink(Link.c_str());
    ASSERT_EQ(symlink(Target.c_str(), Link.c_str()), 0);
  }

  // The adapter goes; the warning must come, and the dead device be let go.
  void Unplug() {
    Dead = Sim->path();
    Boxes.clear();
    Sim->closeLine();
    ASSERT_TRUE(WaitFor([this] { return !Boxes.empty(); }));
    EXPECT_EQ(Boxes[0].Text, QString::fromStdString("COM Port Not Exist\nCOM1 (" + Link + "): device disconnected"));
    EXPECT_EQ(Boxes[0].Caption, "Warning");
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_FALSE(Form->State.PortOk);
    EXPECT_FALSE(Form->ApdComPort1->Open());
    EXPECT_FALSE(Form->State.Busy);
    EXPECT_FALSE(porttest::HoldsDescriptorOf(Dead));
  }

  // The adapter is back, at the same path: a new line to the same converters.
  void PlugBackIn() {
    Gone.push_back(std::move(Sim));
    BusOptions options;
    options.instant = true;
    Sim = std::make_unique<Bus>(options);
    for (const Converter& c : Bus0) Sim->add(c);
    Sim->start();
    PointLinkAt(Sim->path());
    Boxes.clear();
  }

  std::string Link;
  std::string Dead;
  std::vector<Converter> Bus0;
  std::vector<std::unique_ptr<Bus>> Gone;
};

TEST_F(LostPort, WhileIdleTheNextRequestOpensTheDeviceThatCameBack) {
  Begin({Configured()});
  ScanAndList();
  Choose(1);
  Unplug();
  int ticks = 0;
  const QObject counting;
  QObject::connect(Form->Timer2, &QTimer::timeout, &counting, [&ticks] { ++ticks; });
  ASSERT_TRUE(WaitFor([&ticks] { return ticks >= 2; }));
  EXPECT_EQ(Boxes.size(), 1u);  // nothing asked for the port, nothing tried it

  PlugBackIn();
  Form->FWVERSION1->trigger();
  ASSERT_TRUE(WaitFor([this] { return !Boxes.empty(); }));
  EXPECT_EQ(Boxes[0].Text, "Firmware Version 2.07");
  EXPECT_TRUE(Form->State.PortOk);
}

TEST_F(LostPort, DuringAScanTheScanEndsWithWhatItFound) {
  Begin({At(0x05, "EARLY"), At(0x50, "LATE")});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan([](int Address) { return Address == 0x20; }));
  Unplug();
  EXPECT_FALSE(Form->State.Scanning);
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  EXPECT_TRUE(StaysAt(0x21));

  PlugBackIn();
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "EARLY");
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(LostPort, DuringAReadBackTheInputsShowWhatWasRead) {
  Converter slow = Configured();
  Misbehaviour late;
  late.latencyMs = 100;
  slow.misbehaviour = late;
  Begin({slow});
  ScanAndList();
  Sim->clearFrames();
  DoubleClickRow(1);
  ASSERT_TRUE(FramesReach(3));
  Unplug();
  EXPECT_EQ(Form->State.LinkPhase, 0);
  EXPECT_FALSE(Form->Timer1->isActive());
  EXPECT_TRUE(Form->Timer2->isActive());
  EXPECT_TRUE(Form->ProtocolBox1->isVisible());
  EXPECT_TRUE(Form->ComPortBox1->isEnabled());
  EXPECT_LT(Sim->frameCount(), 10u);
}

TEST_F(LostPort, DuringASaveTheUnwrittenSettingsWaitForTheNextSave) {
  Converter slow = Configured();
  Begin({slow});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 2);
  Pick(Form->Format232Box1, 0);
  Misbehaviour late;
  late.latencyMs = 300;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = late; });
  Sim->clearFrames();
  Form->SAVE1->trigger();
  ASSERT_TRUE(FramesReach(1));  // the delimiter is out
  Unplug();
  EXPECT_FALSE(Form->State.SaveRequested);
  EXPECT_EQ(Form->State.WriteStep, 0);
  EXPECT_TRUE(Form->State.PendDelimiter);  // its reply never came
  EXPECT_TRUE(Form->State.PendRs232Format);
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   ]");  // no verdict put it back

  PlugBackIn();
  Form->SAVE1->trigger();
  ASSERT_TRUE(WaitFor([this] { return Sim->frameCount() == 2 && SaveDone(); }));
  EXPECT_EQ(Frames(), QStringList({"$0AC]", "$0A2N81"}));
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
}

TEST_F(LostPort, DuringTheContinuousTestTheLoopStopsSendingAndCanStartAgain) {
  Begin({Configured()});
  Form->CONTINUETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AE04");
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(20));
  Unplug();
  EXPECT_FALSE(Form->TxBox->isReadOnly());
  EXPECT_NE(Form->RxBox->text(), "Time out error, Test stop !!!");  // nothing timed out
  EXPECT_TRUE(StaysAt(Sim->frameCount()));
  Form->Button3->click();  // still looping as far as the operator said: END waits for STOP
  EXPECT_TRUE(Form->TestBox->isVisible());

  PlugBackIn();
  Form->Button2->click();
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(20));
  Form->Button2->click();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_TRUE(Form->RxBox->text().startsWith("!0A1A"));
  EXPECT_TRUE(Boxes.empty());
}

}  // namespace
