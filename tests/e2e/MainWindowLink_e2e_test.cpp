// The main window against the converter simulator on a pseudo-terminal: every
// command frame as the converter reads it, replies in pieces, silence, the
// repeating test line and QUIT while a request is out.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "AdPort.h"
#include "PortTestSupport.h"
#include "SimBus.h"
#include "Unit1.h"

using namespace porttest;
using namespace std::chrono_literals;

namespace {

krm::sim::BusOptions Instant() {
  krm::sim::BusOptions options;
  options.instant = true;
  return options;
}
krm::sim::Misbehaviour Silent() {
  krm::sim::Misbehaviour m;
  m.silent = true;
  return m;
}
krm::sim::Misbehaviour Late(int Ms) {
  krm::sim::Misbehaviour m;
  m.latencyMs = Ms;
  return m;
}

class MainWindowLinkE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    Converter.address = 0x05;
    Converter.initStep = true;  // takes every write
    Bus.add(Converter);
    Bus.start();
    Com1 = std::make_unique<PortName>(1, Bus.path());
    Form = std::make_unique<TForm1>(750);
    Form->Timer1->stop();  // the engines would consume the replies
    Form->Timer2->stop();
    Form->BoxHook = [this](const QString& Text, const QString&, TBoxKind) {
      Boxes.push_back(Text);
      return int(QMessageBox::Ok);
    };
    Form->State.TargetAddress = 0x05;
    Form->show();
  }
  void TearDown() override {
    Form.reset();
    Com1.reset();
  }

  // Sends one command and waits until its exchange has ended.
  void Exchange(char Letter) {
    Form->State.ReplyEvent = false;
    Form->SendCommand(Letter);
    ASSERT_TRUE(WaitFor([this] { return Form->State.ReplyEvent; })) << Letter;
  }

  krm::sim::Converter Converter;
  krm::sim::Bus Bus{Instant()};
  std::unique_ptr<PortName> Com1;
  std::unique_ptr<TForm1> Form;
  std::vector<QString> Boxes;
};

TEST_F(MainWindowLinkE2E, EveryCommandLetterPutsItsFrameOnTheWire) {
  UtilityState& s = Form->State;
  s.ParRs485Baud = '5';
  s.ParRs232Baud = '9';
  s.ParRs485Format = "O81";
  s.ParRs232Format = "E71";
  s.ParAddress = "1F";
  s.ParStopChar = "0D";
  s.ParDelimiter = '~';
  s.QueryIndex = 3;
  Form->CheckSumBox1->SetItemIndex(0);

  for (char letter : std::string("AB01234578") + "9CEFNIJLSV") Exchange(letter);
  Form->CheckSumBox1->SetItemIndex(1);
  Exchange('S');
  s.ParProductId.clear();
  Exchange('6');
  s.ParProductId = std::string(30, 'P');
  Exchange('6');

  const std::vector<std::string> expected = {
      "$05A",   "$05B",  "$0509",  "$0515",  "$052E71", "$053O81", "$054", "$055",
      "$057",   "$0581F", "$0590D", "$05C~",  "$05E03",  "$05F",    "$05N", "$05IFD",
      "$05J",   "$05L",  "$05S1",  "$05V",   "$05S0",   "$056",    "$056" + std::string(30, 'P')};
  EXPECT_EQ(Bus.frames(), expected);
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(MainWindowLinkE2E, ReplyInPiecesCompletesWithTheFinalCr) {
  krm::sim::Misbehaviour pieces;
  pieces.chunkSize = 2;
  pieces.chunkPauseMs = 40;
  Bus.setBusMisbehaviour(pieces);
  Exchange('I');
  EXPECT_TRUE(Form->State.ReplyOk);
  EXPECT_EQ(Form->State.ReplyText, "!0511\r");
  EXPECT_EQ(Form->State.ReplyLength, 6);
  EXPECT_FALSE(Form->State.Busy);
}

TEST_F(MainWindowLinkE2E, SilentConverterEndsTheExchangeByTimeout) {
  Bus.setBusMisbehaviour(Silent());
  Exchange('V');
  EXPECT_FALSE(Form->State.ReplyOk);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_EQ(Bus.frames(), std::vector<std::string>{"$05V"});
}

TEST_F(MainWindowLinkE2E, ProductIdReadWaitsItsLongerTimeout) {
  // Base 6 ticks (330 ms) plus 36 for "7": a reply 800 ms late still counts.
  Form->BaudBox1->SetItemIndex(9);
  Bus.setBusMisbehaviour(Late(800));
  Exchange('7');
  EXPECT_TRUE(Form->State.ReplyOk);
  EXPECT_EQ(Form->State.ReplyText, "!05KRM4610\r");
}

TEST_F(MainWindowLinkE2E, RepeatingTestLineRunsUntilTheFirstTimeout) {
  Form->State.TestActive = true;
  Form->TxBox->setText(QStringLiteral("$05V"));
  Form->Request(TExchangeOwner::Console);
  ASSERT_TRUE(WaitFor([this] { return Bus.frameCount() >= 5; }));
  Bus.setBusMisbehaviour(Silent());
  ASSERT_TRUE(WaitFor([this] { return Form->State.TestStopped; }, 8000ms));
  EXPECT_EQ(Form->RxBox->text(), "Time out error, Test stop !!!");
  const std::size_t sent = Bus.frameCount();
  PumpFor(200ms);
  EXPECT_EQ(Bus.frameCount(), sent);
  for (const std::string& frame : Bus.frames()) EXPECT_EQ(frame, "$05V");
}

TEST_F(MainWindowLinkE2E, QuitWhileARequestIsOutClosesAtItsReply) {
  Bus.setBusMisbehaviour(Late(300));
  Form->SendCommand('V');
  // A long time-out: the reply, not the time-out, must end this exchange.
  Form->ApdComPort1->ArmTimerTrigger(Form->State.TimeoutTrigger, 100, true);
  Form->YES1Click();
  EXPECT_TRUE(Form->State.QuitRequested);
  EXPECT_TRUE(Form->isVisible());
  ASSERT_TRUE(WaitFor([this] { return !Form->isVisible(); }));
  EXPECT_TRUE(Form->State.ReplyOk);
  ASSERT_TRUE(WaitFor([this] { return !Form->ApdComPort1->Open(); }));
}

}  // namespace
