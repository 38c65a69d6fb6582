// One exchange at a time on a line that misbehaves: a reply that comes late
// is never taken for the next request, no engine steps inside a modal loop,
// and nothing that arrives, is pasted or typed reaches the wire as a frame
// of its own or as a substituted character.
#include "AdSelCom.h"
#include "OperationsFixture.h"

#include <QComboBox>
#include <QLineEdit>

#include <algorithm>
#include <thread>

namespace {

using namespace journeys;

Misbehaviour LateBy(int Ms) {
  Misbehaviour m;
  m.latencyMs = Ms;
  return m;
}

// Typed as a keyboard types it, one key a character (QTest only types ASCII).
void Type(QWidget* Widget, const QString& Text) {
  for (const QChar c : Text) {
    const auto key = c.unicode() < 0x80 ? Qt::Key(QChar(c).toUpper().unicode()) : Qt::Key_unknown;
    QTest::sendKeyEvent(QTest::Click, Widget, key, QString(c), Qt::NoModifier);
  }
}

class OneExchange : public Operations {
 protected:
  void TearDown() override {
    TComSelectForm::SetModalHook(nullptr);
    Operations::TearDown();
  }

  // Enter in the product ID field, then SAVE, and wait for the save to end.
  void CommitProductIdAndSave() {
    Form->ProductID->setFocus();
    QTest::keyClick(Form->ProductID, Qt::Key_Return);
    Form->SAVE1->trigger();
    ASSERT_TRUE(WaitFor([this] { return Form->State.PendProductId == false && SaveDone(); }));
  }
};

TEST_F(OneExchange, AStoppedProbeAnsweringLateIsNotTakenAsTheNextProductId) {
  Converter late = At(0x05, "LATE ONE");
  late.misbehaviour = LateBy(400);
  Start({At(0x00, "FIRST"), late});
  Answering.erase(0x05);  // the scan is stopped right after the probe to 05 went out
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan([](int Address) { return Address == 0x05; }));
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);  // dismissed at once: the list asks 00
  EXPECT_TRUE(Form->State.Busy);                    // ... once the probe to 05 has ended
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "FIRST");
  EXPECT_EQ(Frames().mid(5), QStringList({Probe(0x05).c_str(), "$007"}));
  EXPECT_EQ(Form->State.ModuleCount, 1);

  Choose(1);
  Sim->clearFrames();
  CommitProductIdAndSave();
  EXPECT_EQ(Frames(), QStringList({"$006FIRST"}));
  EXPECT_EQ(Sim->converter(0).productId, "FIRST");
}

TEST_F(OneExchange, AStoppedProbeThatNeverAnswersHoldsTheLineOnlyUntilItsTimeOut) {
  Start({At(0x00, "FIRST")});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan([](int Address) { return Address == 0x30; }));
  QTest::keyClick(Form.get(), Qt::Key_S);  // stop
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text().startsWith("SCAN COMPLETE."); }));
  QTest::keyClick(Form.get(), Qt::Key_D);  // dismiss
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "FIRST");
  EXPECT_EQ(Frames().last(), "$007");
}

TEST_F(OneExchange, NoSecondPortDialogOpensWhileTheFirstIsOnScreen) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Sim->clearFrames();
  int open = 0;
  int deepest = 0;
  int shown = 0;
  TComSelectForm::SetModalHook([&](TComSelectForm& Dialog) {
    ++shown;
    deepest = std::max(deepest, ++open);
    QTest::qWait(900);  // the operator reads it; the window's timers go on meanwhile
    int result = QDialog::Rejected;
    if (shown > 1) {
      Dialog.PortsComboBox->setCurrentIndex(Dialog.PortsComboBox->findText("COM1"));
      result = QDialog::Accepted;
    }
    --open;
    return result;
  });
  Form->FWVERSION1->trigger();
  // Typed into the COM PORT box: no item, so the port asks which one.
  Form->ComPortBox1->setFocus();
  ASSERT_TRUE(WaitFor([this] { return Form->ComPortBox1->hasFocus(); }));
  Form->ComPortBox1->lineEdit()->selectAll();
  QTest::keyClicks(Form->ComPortBox1->lineEdit(), "X");
  ASSERT_TRUE(WaitFor([this] { return Boxes.size() >= 2; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(BoxTexts(), QStringList({"COM Port Not Exist\nno port chosen", "Firmware Version 2.07"}));
  EXPECT_EQ(Frames(), QStringList({"$0AV"}));
}

TEST_F(OneExchange, NoiseBehindAProductIdNeverBecomesAFrame) {
  Start({At(0x05, "AB", true)});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  Misbehaviour noisy;
  noisy.noiseAfter = "$05S1\r";
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = noisy; });
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  // The list shows what arrived between the address and the final CR.
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "AB\r$05S1");
  Sim->modify(0, [](Converter& c) { c.misbehaviour.reset(); });
  Choose(1);
  EXPECT_EQ(Form->ProductID->text(), "AB");

  Sim->clearFrames();
  CommitProductIdAndSave();
  EXPECT_EQ(Frames(), QStringList({"$056AB"}));
  EXPECT_FALSE(Sim->converter(0).checksumOn);
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
}

TEST_F(OneExchange, AProductIdTheFrameCannotCarryIsNotWrittenAndTheWriteFails) {
  Start({At(0x05, "KEEP", true)});
  ScanAndList();
  Choose(1);
  Sim->clearFrames();
  // Set by the program, so no field guard stands in the way: the frame's own does.
  for (const QString& id : {QStringLiteral("AB\r$05S1"), QString::fromUtf8("PUMP \u20AC1")}) {
    Boxes.clear();
    Form->ProductID->setText(id);
    CommitProductIdAndSave();
    EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?", "Write product ID fail"}));
    EXPECT_EQ(Boxes.back().Caption, "Message");
  }
  EXPECT_EQ(Sim->frameCount(), 0u);
  EXPECT_EQ(Sim->converter(0).productId, "KEEP");
}

TEST_F(OneExchange, CharactersWithoutALatinOneByteAreRefusedAsTheyAreTyped) {
  Start({At(0x0A, "OLD", true)});
  ScanAndList();
  Choose(1);
  Form->ProductID->setFocus();
  Form->ProductID->selectAll();
  Type(Form->ProductID, QString::fromUtf8("PUMP \u20AC1"));
  EXPECT_EQ(Form->ProductID->text(), "PUMP 1");
  Sim->clearFrames();
  CommitProductIdAndSave();
  EXPECT_EQ(Frames(), QStringList({"$0A6PUMP 1"}));
  EXPECT_EQ(Sim->converter(0).productId, "PUMP 1");

  Form->SINGLETEST1->trigger();
  Type(Form->TxBox, QString::fromUtf8("$0A\u20ACV"));
  EXPECT_EQ(Form->TxBox->text(), "$0AV");
  Sim->clearFrames();
  QTest::keyClick(Form->TxBox, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->text().startsWith("!0A1.00"); }));
  EXPECT_EQ(Frames(), QStringList({"$0AV"}));
}

TEST_F(OneExchange, PortChoicesKeepOneTimeOutTrigger) {
  Start({Configured()});
  ASSERT_EQ(setenv("KRM4610_COM2", Sim->path().c_str(), 1), 0);
  Form->ComPortBox1->SetItemIndex(0);
  emit Form->ComPortBox1->Change();
  ASSERT_TRUE(Form->ApdComPort1->Open());
  const std::uint16_t trigger = Form->State.TimeoutTrigger;
  ASSERT_NE(trigger, 0);
  for (int choice = 1; choice <= 20; ++choice) {  // COM2, COM1, ...: each one reopens
    Form->ComPortBox1->SetItemIndex(choice % 2);
    emit Form->ComPortBox1->Change();
    ASSERT_TRUE(Form->ApdComPort1->Open());
  }
  unsetenv("KRM4610_COM2");
  EXPECT_EQ(Form->State.TimeoutTrigger, trigger);
  EXPECT_EQ(Form->ApdComPort1->Dispatcher()->TimerTriggers.size(), 1u);
  EXPECT_TRUE(Boxes.empty());

  // Closed and opened again by a request: still the same one, and it works.
  Form->ApdComPort1->SetOpen(false);
  Form->SINGLETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AV");
  QTest::keyClick(Form->TxBox, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->text().startsWith("!0A2.07"); }));
  EXPECT_EQ(Form->State.TimeoutTrigger, trigger);
  EXPECT_EQ(Form->ApdComPort1->Dispatcher()->TimerTriggers.size(), 1u);
}

TEST_F(OneExchange, StartWhileAWriteIsOutWaitsAndTheWriteIsJudgedByItsOwnReply) {
  Converter c = Configured();
  c.misbehaviour = LateBy(300);
  Start({c});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 6);  // }
  Form->SAVE1->trigger();
  Sim->clearFrames();
  ASSERT_TRUE(FramesReach(1));  // the write is out...
  Form->SINGLETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0BV");  // nobody answers at 0B
  QTest::keyClick(Form->TxBox, Qt::Key_Return);
  EXPECT_EQ(Sim->frameCount(), 1u);  // the line waits for the write
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->text() == "Time out error, Test stop !!!"; }));
  EXPECT_EQ(Frames(), QStringList({"$0AC}", "$0BV"}));
  ASSERT_TRUE(WaitFor([this] { return SaveDone(); }));
  // The write's verdict came from the write's own reply, not the line's time-out.
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
  EXPECT_EQ(Form->State.DevDelimiter, 6);
}

TEST_F(OneExchange, AScanStartedWhileAWriteIsOutLeavesNoVerdictBehind) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 6);
  Misbehaviour dead;
  dead.silent = true;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  Sim->clearFrames();
  Form->SAVE1->trigger();
  ASSERT_TRUE(FramesReach(1));  // "$0AC}" is out and will not be answered
  Sim->modify(0, [](Converter& c) { c.misbehaviour.reset(); });
  Sim->clearFrames();
  Form->SCAN1->trigger();
  EXPECT_EQ(Sim->frameCount(), 0u);  // the first probe waits for the write's time-out
  ASSERT_TRUE(FramesReach(1));
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  Choose(1);
  // The read-back showed the converter as it is; the write's verdict is gone with the scan.
  int ticks = 0;
  const QObject counting;
  QObject::connect(Form->Timer2, &QTimer::timeout, &counting, [&ticks] { ++ticks; });
  ASSERT_TRUE(WaitFor([&ticks] { return ticks >= 3; }));
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   {");
  EXPECT_EQ(Form->State.WriteStep, 0);
}

// The window's thread is busy for longer than a notice may wait for it.
void Stall() { std::this_thread::sleep_for(3500ms); }

// A reply in two pieces: the first one's notice must not be taken late
// inside the next one, nor a time-out told before the bytes that came first.
Misbehaviour InTwoPieces(int FirstPiece, int PauseMs) {
  Misbehaviour m;
  m.chunkSize = FirstPiece;
  m.chunkPauseMs = PauseMs;
  return m;
}

TEST_F(OneExchange, AReplyArrivingWhileTheWindowStallsIsStillTheWritesReply) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 6);
  Sim->modify(0, [](Converter& c) { c.misbehaviour = InTwoPieces(3, 200); });  // "!0A", then CR
  Sim->clearFrames();
  Form->SAVE1->trigger();
  ASSERT_TRUE(FramesReach(1));
  Stall();  // the whole reply comes meanwhile, and its time-out runs out
  ASSERT_TRUE(WaitFor([this] { return SaveDone(); }));
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
  EXPECT_EQ(Form->State.DevDelimiter, 6);
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   }");
}

TEST_F(OneExchange, AConsoleReplySplitAcrossAStallIsShownWhole) {
  Start({Configured()});
  Form->BaudBox1->SetItemIndex(0);  // 300 bit/s: the line waits 82 ticks, 4.5 s
  emit Form->BaudBox1->Change();
  // "!0A2.0", then "7" CR once the first piece's notice has given up.
  Sim->modify(0, [](Converter& c) { c.misbehaviour = InTwoPieces(6, 3200); });
  Form->SINGLETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AV");
  Form->Button1->click();
  Stall();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_EQ(Form->RxBox->text(), "!0A2.07\r");
  EXPECT_TRUE(Boxes.empty()) << BoxTexts().join("|").toStdString();
  EXPECT_TRUE(Form->StatsLabel->text().startsWith("EXCHANGES 1  TIME-OUTS 0")) << Form->StatsLabel->text().toStdString();
}

TEST_F(OneExchange, AScanStoppedBeforeItsFirstProbeWentOutSendsNone) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 6);
  Sim->modify(0, [](Converter& c) { c.misbehaviour = LateBy(400); });
  Sim->clearFrames();
  Form->SAVE1->trigger();
  ASSERT_TRUE(FramesReach(1));  // the write is out, its reply 400 ms away
  Form->SCAN1->trigger();       // the first probe waits for it...
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);  // ... and is no longer wanted
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_TRUE(StaysAt(1));
  EXPECT_EQ(Frames(), QStringList({"$0AC}"}));
}

}  // namespace
