// The window's link to the host port, over real pseudo-terminals whose master
// end plays the converter: the port at start, reply batches fed one by one,
// time-outs, the host boxes, a missing port, write errors and closing.
#include "AdExcept.h"
#include "AdPort.h"
#include "KrmProtocol.h"
#include "PortTestSupport.h"
#include "Unit1.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <termios.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace porttest;
using namespace std::chrono_literals;

namespace {

speed_t SpeedOf(const PtyPeer& Peer) {
  const termios settings = Peer.Settings();
  return cfgetospeed(&settings);
}

struct Box {
  QString Text;
  QString Caption;
  TBoxKind Kind;
};

class MainWindowLink : public ::testing::Test {
 protected:
  void SetUp() override {
    SetApplicationExceptionReport([this](const std::exception& E) { Reported.push_back(E.what()); });
    Form = std::make_unique<TForm1>(750);
    // The engines' own steps stay out of the way of these exchanges.
    Form->Timer1->stop();
    Form->Timer2->stop();
    Form->BoxHook = [this](const QString& Text, const QString& Caption, TBoxKind Kind) {
      Boxes.push_back({Text, Caption, Kind});
      if (OnBox) OnBox();
      return int(QMessageBox::Ok);
    };
    Form->show();
  }
  void TearDown() override {
    Form.reset();
    SetApplicationExceptionReport(nullptr);
  }

  TApdComPort* Port() const { return Form->ApdComPort1; }

  // Stops the notices so that the test hands the handler each batch itself.
  void FeedByHand() { Port()->SetOnTrigger(nullptr); }
  void Feed(const std::string& Batch) {
    Peer.Write(Batch);
    const auto want = static_cast<uint32_t>(Batch.size());
    ASSERT_TRUE(WaitFor([&] { return Port()->Dispatcher()->InUsed() >= want; }));
    const auto count = static_cast<uint16_t>(Batch.size());
    Form->ApdComPort1Trigger(Port(), TriggerAvailMsg, count, count);
  }

  PtyPeer Peer;
  PortName Com1{1, Peer.SlavePath()};
  std::unique_ptr<TForm1> Form;
  std::vector<Box> Boxes;
  std::function<void()> OnBox;
  std::vector<std::string> Reported;
};

TEST_F(MainWindowLink, PortStartsClosedWithTheFormSettings) {
  TApdComPort* port = Port();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->objectName(), "ApdComPort1");
  EXPECT_FALSE(port->Open());
  EXPECT_FALSE(port->Loading());
  EXPECT_EQ(port->ComNumber(), 1);
  EXPECT_EQ(port->Baud(), 9600);
  EXPECT_FALSE(port->AutoOpen());
  EXPECT_EQ(port->Parity(), pNone);
  EXPECT_EQ(port->DataBits(), 8);
  EXPECT_EQ(port->StopBits(), 1);
  EXPECT_EQ(port->TraceName(), "QELT.TRC");
  EXPECT_EQ(port->LogName(), "QELT.LOG");
  EXPECT_EQ(port->Tracing(), tlOff);
  EXPECT_EQ(port->Logging(), tlOff);
  EXPECT_TRUE(static_cast<bool>(port->OnTrigger()));
  EXPECT_EQ(Form->State.TimeoutTicks, 6);
  EXPECT_EQ(Form->State.TimeoutTrigger, 0);
  EXPECT_TRUE(Form->State.PortOk);
}

TEST_F(MainWindowLink, SplitReplyCompletesOnlyOnTheBatchEndingInCr) {
  Form->BaudBox1->SetItemIndex(9);  // shortest time-out: 6 ticks
  Form->SendCommand('I');
  ASSERT_TRUE(Port()->Open());
  EXPECT_EQ(Peer.Read(7), "$00IFD\r");
  EXPECT_TRUE(Form->State.Busy);
  FeedByHand();

  Feed("!0");
  Feed("500");
  EXPECT_TRUE(Form->State.Busy);
  EXPECT_FALSE(Form->State.ReplyEvent);
  EXPECT_EQ(Form->State.ReplyLength, 5);
  Feed("\r");
  EXPECT_EQ(Form->State.ReplyText, "!0500\r");
  EXPECT_EQ(Form->State.ReplyLength, 6);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_TRUE(Form->State.ReplyEvent);
  EXPECT_TRUE(Form->State.ReplyOk);

  // The reply stopped its time-out: nothing fires once its 330 ms are over.
  Port()->SetOnTrigger([this](TApdCustomComPort* CP, uint16_t Msg, uint16_t Handle, uint16_t Data) {
    Form->ApdComPort1Trigger(CP, Msg, Handle, Data);
  });
  Form->State.ReplyEvent = false;
  PumpFor(700ms);
  EXPECT_FALSE(Form->State.ReplyEvent);
  EXPECT_TRUE(Form->State.ReplyOk);
}

TEST_F(MainWindowLink, CrFollowedByLineFeedInOneBatchDoesNotComplete) {
  Form->BaudBox1->SetItemIndex(9);
  Form->SendCommand('V');
  ASSERT_TRUE(Port()->Open());
  const auto handler = Port()->OnTrigger();
  FeedByHand();
  Feed("!001.00\r\n");
  EXPECT_TRUE(Form->State.Busy);
  EXPECT_FALSE(Form->State.ReplyEvent);
  EXPECT_EQ(Form->State.ReplyLength, 9);

  // So the exchange ends by its time-out.
  Port()->SetOnTrigger(handler);
  ASSERT_TRUE(WaitFor([this] { return Form->State.ReplyEvent; }));
  EXPECT_FALSE(Form->State.ReplyOk);
  EXPECT_FALSE(Form->State.Busy);
}

TEST_F(MainWindowLink, OnlyTheReplyTimeoutTriggerEndsAnExchange) {
  Form->State.TimeoutTrigger = 16;
  Form->State.Busy = true;
  Form->TxBox->setReadOnly(true);
  Form->ApdComPort1Trigger(Port(), TriggerTimerMsg, 24, 0);
  Form->ApdComPort1Trigger(Port(), 0x7E02, 16, 0);
  Form->ApdComPort1Trigger(Port(), 0x7E04, 16, 0);
  EXPECT_TRUE(Form->State.Busy);
  EXPECT_FALSE(Form->State.ReplyEvent);
  EXPECT_TRUE(Form->TxBox->isReadOnly());

  Form->ApdComPort1Trigger(Port(), TriggerTimerMsg, 16, 0);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_TRUE(Form->State.ReplyEvent);
  EXPECT_FALSE(Form->State.ReplyOk);
  EXPECT_FALSE(Form->TxBox->isReadOnly());
  EXPECT_TRUE(Form->isVisible());
}

TEST_F(MainWindowLink, TimeoutInTheTestPanelStopsTheTest) {
  Form->State.TimeoutTrigger = 8;
  Form->State.TestActive = true;
  Form->State.ExchangeOwner = TExchangeOwner::Console;  // its line is out
  Form->ApdComPort1Trigger(Port(), TriggerTimerMsg, 8, 0);
  EXPECT_EQ(Form->RxBox->text(), "Time out error, Test stop !!!");
  EXPECT_TRUE(Form->State.TestStopped);
}

TEST_F(MainWindowLink, QuitRequestedClosesAtTheTimeout) {
  Form->State.TimeoutTrigger = 8;
  Form->State.Busy = true;
  Form->YES1Click();
  EXPECT_TRUE(Form->State.QuitRequested);
  EXPECT_TRUE(Form->isVisible());
  Form->ApdComPort1Trigger(Port(), TriggerTimerMsg, 8, 0);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Form->State.ReplyEvent);
}

TEST_F(MainWindowLink, QuitRequestedClosesAtTheNextReplyAndThePortCloses) {
  Form->SendCommand('V');
  ASSERT_TRUE(Port()->Open());
  Form->YES1Click();
  EXPECT_TRUE(Form->State.QuitRequested);
  Peer.Write("!00");
  PumpFor(100ms);
  EXPECT_TRUE(Form->isVisible());
  Peer.Write("1.00\r");
  ASSERT_TRUE(WaitFor([this] { return !Form->isVisible(); }));
  ASSERT_TRUE(WaitFor([this] { return !Port()->Open(); }));
  EXPECT_TRUE(Form->State.ReplyOk);
  EXPECT_TRUE(Reported.empty());
}

TEST_F(MainWindowLink, ClosingTheWindowClosesThePort) {
  Form->SendCommand('V');
  ASSERT_TRUE(Port()->Open());
  Form->close();
  EXPECT_FALSE(Port()->Open());
}

TEST_F(MainWindowLink, TestLineDiscardsWhatWaitedAndSendsTheLineAsTyped) {
  Form->State.TestActive = true;
  Form->TxBox->setText(QStringLiteral("$05V"));
  Form->Request(TExchangeOwner::Console);
  ASSERT_TRUE(Port()->Open());
  EXPECT_EQ(Peer.Read(5), "$05V\r");
  EXPECT_EQ(Form->State.TimeoutTicks + TestLineExtraTicks, 10 + 54);
  Form->State.TestStopped = true;  // single lines
  Peer.Write("!05\r");
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));

  // Characters that arrive unread before the next line are thrown away.
  const auto handler = Port()->OnTrigger();
  FeedByHand();
  Peer.Write("stale");
  ASSERT_TRUE(WaitFor([this] { return Port()->Dispatcher()->InUsed() == 5; }));
  Port()->SetOnTrigger(handler);
  Form->Request(TExchangeOwner::Console);
  EXPECT_TRUE(Form->TxBox->isReadOnly());
  EXPECT_EQ(Peer.Read(5), "$05V\r");
  Peer.Write("!051.00\r");
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_EQ(Form->State.ReplyText, "!051.00\r");
  EXPECT_EQ(Form->RxBox->text(), "!051.00\r");
  EXPECT_FALSE(Form->TxBox->isReadOnly());
}

TEST_F(MainWindowLink, TimeoutBaseFollowsTheBaudBox) {
  struct Row {
    int Item;
    int Ticks;
  };
  for (const Row row : {Row{0, 28}, Row{5, 10}, Row{9, 6}, Row{-1, 32}}) {
    Form->State.PickArmed = true;
    Form->BaudBox1->SetItemIndex(row.Item);
    emit Form->BaudBox1->Change();
    EXPECT_EQ(Form->State.TimeoutTicks, row.Ticks) << row.Item;
    EXPECT_FALSE(Form->State.PickArmed) << row.Item;  // a host box is no setting's pick
  }
  EXPECT_EQ(Port()->Baud(), 115200);  // no item chosen leaves the rate alone
  EXPECT_FALSE(Port()->Open());
}

TEST_F(MainWindowLink, FirstRequestOpensWithAllThreeHostBoxes) {
  struct Row {
    int Item;
    int Ticks;
    speed_t Speed;
  };
  for (const Row row : {Row{9, 6, B115200}, Row{0, 28, B300}, Row{5, 10, B9600}}) {
    SCOPED_TRACE(row.Item);
    Form->FormClose();
    Form->State.TimeoutTicks = 6;
    Form->BaudBox1->SetItemIndex(row.Item);
    Form->FormatBox1->SetItemIndex(5);  // N,8,2
    Form->SendCommand('V');
    ASSERT_TRUE(Port()->Open());
    EXPECT_EQ(Form->State.TimeoutTicks, row.Ticks);
    EXPECT_EQ(SpeedOf(Peer), row.Speed);
    EXPECT_TRUE(Peer.Settings().c_cflag & CSTOPB);
    EXPECT_NE(Form->State.TimeoutTrigger, 0);
    Peer.Drain(50ms);
  }
}

TEST_F(MainWindowLink, DataFormatReachesThePort) {
  // Chosen before the first request: the open takes it.
  Form->State.PickArmed = true;
  Form->FormatBox1->SetItemIndex(8);  // E,7,2
  emit Form->FormatBox1->Change();
  EXPECT_FALSE(Form->State.PickArmed);
  EXPECT_EQ(Port()->Parity(), pEven);
  EXPECT_EQ(Port()->DataBits(), 7);
  EXPECT_EQ(Port()->StopBits(), 2);
  EXPECT_FALSE(Port()->Open());

  // The first request opens with it. A pseudo-terminal keeps only the stop
  // bits of a format (always 8 bits, no parity); the line state has the rest.
  Form->SendCommand('V');
  ASSERT_TRUE(Port()->Open());
  EXPECT_TRUE(Form->State.PortOk);
  EXPECT_TRUE(Peer.Settings().c_cflag & CSTOPB);
  uint32_t baud = 0;
  uint8_t parity = 0, stop = 0, bits = 0;
  ASSERT_EQ(Port()->Dispatcher()->GetLineParams(baud, parity, stop, bits), 0);
  EXPECT_EQ(parity, 2);
  EXPECT_EQ(bits, 7);
  EXPECT_EQ(stop, 2);

  // Chosen on the open port: it changes at once.
  Form->FormatBox1->SetItemIndex(5);  // N,8,2
  emit Form->FormatBox1->Change();
  EXPECT_TRUE(Peer.Settings().c_cflag & CSTOPB);
  Form->FormatBox1->SetItemIndex(0);  // N,8,1
  emit Form->FormatBox1->Change();
  EXPECT_EQ(Port()->Parity(), pNone);
  EXPECT_EQ(Port()->DataBits(), 8);
  EXPECT_EQ(Port()->StopBits(), 1);
  EXPECT_FALSE(Peer.Settings().c_cflag & CSTOPB);
  EXPECT_EQ(Peer.Settings().c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(Reported.empty());
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainWindowLink, ChoosingCom3WhileClosedOpensItAtTheComponentSettings) {
  PtyPeer com3;
  PortName name{3, com3.SlavePath()};
  Port()->SetBaud(19200);
  Form->State.PickArmed = true;
  Form->ComPortBox1->SetItemIndex(2);
  emit Form->ComPortBox1->Change();
  ASSERT_TRUE(Port()->Open());
  EXPECT_EQ(Port()->ComNumber(), 3);
  EXPECT_EQ(SpeedOf(com3), B19200);
  EXPECT_EQ(Form->State.TimeoutTicks, 6);
  EXPECT_NE(Form->State.TimeoutTrigger, 0);
  EXPECT_FALSE(Form->State.PickArmed);
  EXPECT_TRUE(Form->State.PortOk);

  // Requests now go out on COM3.
  Form->SendCommand('V');
  EXPECT_EQ(com3.Read(5), "$00V\r");
}

TEST_F(MainWindowLink, MissingPortWarnsOnceAndSendsNothing) {
  PortName missing{1, "/nonexistent/krm4610-tty"};
  // Ticks go on while the warning is up; the engines do not step then, so
  // no second open and no second warning.
  OnBox = [this] {
    OnBox = nullptr;
    Form->State.VersionRequested = true;
    Form->Timer2Timer();
    Form->Timer1Timer();
  };
  Form->SendCommand('V');
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0].Text, "COM Port Not Exist\nCOM1 (/nonexistent/krm4610-tty): no such device");
  EXPECT_EQ(Boxes[0].Caption, "Warning");
  EXPECT_EQ(Boxes[0].Kind, TBoxKind::Warning);
  EXPECT_FALSE(Form->State.PortOk);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_FALSE(Port()->Open());

  // The next request tries again, and warns again.
  Form->Timer2Timer();
  EXPECT_FALSE(Form->State.VersionRequested);
  EXPECT_EQ(Boxes.size(), 2u);

  // So does a port choice.
  Form->ComPortBox1->SetItemIndex(1);
  emit Form->ComPortBox1->Change();
  EXPECT_EQ(Boxes.size(), 3u);
  EXPECT_FALSE(Form->State.PortOk);
  EXPECT_FALSE(Port()->Open());
  EXPECT_TRUE(Reported.empty());
}

TEST_F(MainWindowLink, WriteErrorIsReportedAndItsExchangeEndsByItsTimeout) {
  Form->SendCommand('V');  // opens the port
  Peer.Read(5);
  Peer.Write("!001.00\r");
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  Form->TxBox->setText(QString(5000, QLatin1Char('X')));  // more than the output buffer holds
  Form->Request(TExchangeOwner::Console);
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0].Caption, "KRM4610W");
  EXPECT_EQ(Boxes[0].Kind, TBoxKind::Error);
  EXPECT_FALSE(Boxes[0].Text.isEmpty());
  // The time-out armed before the write ends the exchange; until then the
  // line is not free, and a request waits for it.
  EXPECT_TRUE(Form->State.Busy);
  Form->Request(TExchangeOwner::Engine, 'V');
  EXPECT_EQ(Form->State.WaitingOwner, TExchangeOwner::Engine);
  ASSERT_TRUE(WaitFor([this] { return Form->State.WaitingOwner == TExchangeOwner::Nobody; }, 6000ms));
  EXPECT_EQ(Peer.Read(5), "$00V\r");
}

TEST_F(MainWindowLink, PortChoiceDuringARequestStillEndsTheExchange) {
  PtyPeer com2;
  PortName name{2, com2.SlavePath()};
  Form->SendCommand('V');
  ASSERT_TRUE(Form->State.Busy);
  Form->ComPortBox1->SetItemIndex(1);
  emit Form->ComPortBox1->Change();
  ASSERT_TRUE(Port()->Open());
  EXPECT_EQ(Port()->ComNumber(), 2);
  ASSERT_TRUE(WaitFor([this] { return Form->State.ReplyEvent; }));
  EXPECT_FALSE(Form->State.ReplyOk);
  EXPECT_FALSE(Form->State.Busy);
}

TEST_F(MainWindowLink, LostPortDuringARequestEndsTheExchange) {
  Form->SendCommand('V');
  ASSERT_TRUE(Form->State.Busy);
  PortName missing{2, "/nonexistent/krm4610-tty"};
  Form->ComPortBox1->SetItemIndex(1);
  emit Form->ComPortBox1->Change();
  EXPECT_EQ(Boxes.size(), 1u);
  EXPECT_FALSE(Form->State.Busy);
  // Given up like a request whose open failed: no outcome for anyone to take.
  EXPECT_FALSE(Form->State.ReplyEvent);
  EXPECT_FALSE(Form->TxBox->isReadOnly());
}

TEST_F(MainWindowLink, EndlessChatterKeepsTheReplyBounded) {
  Form->SendCommand('V');
  ASSERT_TRUE(Port()->Open());
  // A long time-out, so that only the missing CR can keep the exchange open.
  Port()->ArmTimerTrigger(Form->State.TimeoutTrigger, 1000, true);
  // The chatter comes from a thread of its own: a full pseudo-terminal
  // blocks the writer until the window, on this thread, has read.
  std::thread chatter([this] {
    const std::string noise(1000, 'x');
    for (int i = 0; i < 20; ++i) Peer.Write(noise);
  });
  const bool allArrived = WaitFor([this] { return Form->State.ReplyLength == 20000; });
  chatter.join();
  ASSERT_TRUE(allArrived);
  EXPECT_LE(Form->State.ReplyText.size(), 4096u);
  EXPECT_EQ(Form->State.ReplyText.substr(0, 4), "xxxx");
  EXPECT_TRUE(Form->State.Busy);
}

}  // namespace
