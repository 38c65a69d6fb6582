// The operator's journeys through the main window against a simulated bus
// on a pseudo-terminal: scan and device list, choosing a converter and its
// read-back, SAVE and the write sequencer, the firmware version, the test
// console and QUIT. Each asserts on the window and on what the bus received.
#include "OperationsFixture.h"

namespace {

using namespace journeys;

// ---- Scan and device list ----

TEST_F(Operations, ScanFindsConvertersAt00_0A_FFAndListsThemWithTheirProductIds) {
  Start({At(0x00, "FIRST"), At(0x0A, "INIT STEP", true), At(0xFF, "LAST")});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  EXPECT_TRUE(Form->Panel3->isVisible());
  EXPECT_FALSE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());
  EXPECT_FALSE(Form->ComPortBox1->isEnabled());
  EXPECT_FALSE(Form->Timer2->isActive());
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 3 MODULE FOUND"; }));

  const QStringList probes = Frames();
  ASSERT_EQ(probes.size(), 256);
  for (int address = 0; address < 256; ++address)
    EXPECT_EQ(probes[address].toStdString(), Probe(address)) << address;

  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  EXPECT_FALSE(Form->Panel3->isVisible());
  EXPECT_TRUE(Form->ShowDevice->isVisible());
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  QTableWidget* list = Form->ShowDevice;
  EXPECT_EQ(list->item(0, 0)->text(), "ADDRESS");
  EXPECT_EQ(list->item(0, 1)->text(), "              PRODUCT    ID");
  const QString rows[6][2] = {{"   00H", "FIRST"}, {"   0AH *", "INIT STEP"}, {"   FFH", "LAST"},
                              {"", ""},           {"", ""},                  {"", ""}};
  for (int row = 1; row <= 6; ++row) {
    EXPECT_EQ(list->item(row, 0)->text(), rows[row - 1][0]) << row;
    EXPECT_EQ(list->item(row, 1)->text(), rows[row - 1][1]) << row;
  }
  EXPECT_EQ(Frames().mid(256), QStringList({"$007", "$0A7", "$FF7"}));
  EXPECT_TRUE(list->hasFocus());
  EXPECT_EQ(list->currentRow(), 1);

  const QImage shot = Form->grab().toImage();
  EXPECT_TRUE(shot.save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-device-list.png")));

  // A double-click below the last module chooses nothing.
  DoubleClickRow(5);
  EXPECT_EQ(Form->State.LinkPhase, 4);
  EXPECT_TRUE(list->isVisible());
}

TEST_F(Operations, MoreThanSixConvertersShowSixRowsButEveryProductIdIsRead) {
  std::vector<Converter> bus;
  for (std::uint8_t address = 0x20; address < 0x28; ++address)
    bus.push_back(At(address, ("ID" + std::to_string(address)).c_str()));
  Start(bus);
  ScanAndList();
  EXPECT_EQ(Form->State.ModuleCount, 8);
  EXPECT_EQ(Frames().mid(256),
            QStringList({"$207", "$217", "$227", "$237", "$247", "$257", "$267", "$277"}));
  for (int row = 1; row <= 6; ++row) {
    EXPECT_EQ(Form->ShowDevice->item(row, 0)->text(), QString("   2%1H").arg(row - 1));
    EXPECT_EQ(Form->ShowDevice->item(row, 1)->text(), QString("ID%1").arg(0x20 + row - 1));
  }
  EXPECT_EQ(Form->ShowDevice->rowCount(), 7);
}

TEST_F(Operations, ScanStoppedPartWayByAKeyCountsWhatWasFoundAndASecondScanStartsAt00) {
  Start({At(0x05, "EARLY"), At(0x50, "LATE")});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan([](int Address) { return Address == 0x40; }));
  ASSERT_EQ(Form->State.TargetAddress, 0x40);
  EXPECT_EQ(Form->Panel3->text(), "SCAN ADDRESS   40");
  // Any character key that reaches the window stops the scan.
  QTest::keyClick(Form.get(), Qt::Key_X, Qt::NoModifier);
  EXPECT_FALSE(Form->State.Scanning);
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  // No probe follows the stop; its time-out was stopped too.
  EXPECT_TRUE(StaysAt(0x41));

  QTest::keyClick(Form.get(), Qt::Key_Space, Qt::NoModifier);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  EXPECT_EQ(Form->ShowDevice->item(1, 0)->text(), "   05H");
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "EARLY");
  EXPECT_EQ(Form->ShowDevice->item(2, 0)->text(), "");

  // Enter on the list chooses the current row.
  Sim->clearFrames();
  QTest::keyClick(Form->ShowDevice, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 0 && !Form->Timer1->isActive(); }));
  EXPECT_EQ(Frames().first(), "$05E00");

  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(Sim->waitForFrames(1, 5s));
  EXPECT_EQ(Frames().first().toStdString(), Probe(0));
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 2 MODULE FOUND"; }));
}

TEST_F(Operations, SilentBusFindsNothingAndItsResultIsDismissedBackToIdle) {
  Start({});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 0 MODULE FOUND"; }));
  EXPECT_EQ(Sim->frameCount(), 256u);
  EXPECT_EQ(Frames().last().toStdString(), Probe(0xFF));

  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  EXPECT_FALSE(Form->Panel3->isVisible());
  EXPECT_FALSE(Form->ShowDevice->isVisible());
  EXPECT_EQ(Form->State.LinkPhase, 0);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_TRUE(Form->ComPortBox1->isEnabled());
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());
  for (QWidget* input : Form->ConfigurationInputs()) {
    EXPECT_TRUE(input->isHidden()) << input->objectName().toStdString();
    EXPECT_FALSE(input->isEnabled()) << input->objectName().toStdString();
  }
  // Nothing is listed and nothing more goes out; a key now does nothing.
  QTest::keyClick(Form.get(), Qt::Key_A);
  EXPECT_EQ(Form->State.LinkPhase, 0);
  EXPECT_EQ(Sim->frameCount(), 256u);
  EXPECT_TRUE(Boxes.empty());
  Form->YES1->trigger();
  EXPECT_FALSE(Form->isVisible());
}

// ---- Choosing a converter ----

TEST_F(Operations, ChoosingTheInitialStepConverterReadsAndShowsEverySettingWithAllInputsEnabled) {
  Start({At(0x05, "NORMAL ONE"), Configured()});
  ScanAndList();
  Choose(2);
  EXPECT_EQ(Frames(), QStringList({"$0AE00", "$0AE01", "$0AE02", "$0AE03", "$0AE04", "$0AE05", "$0AE06", "$0AE07",
                                   "$0AE08", "$0AE09"}));
  EXPECT_EQ(Form->State.TargetAddress, 0x0A);
  EXPECT_TRUE(Form->State.InitStepMode);
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-422");
  EXPECT_EQ(Form->AddrBox1->currentText(), "ON");
  EXPECT_EQ(Form->AddrEdit1->text(), "0A");
  EXPECT_EQ(Form->RS485Box1->currentText(), "38400 bps");
  EXPECT_EQ(Form->Format485Box1->currentText(), "E,7,1");
  EXPECT_EQ(Form->RS232Box1->currentText(), "115200 bps");
  EXPECT_EQ(Form->Format232Box1->currentText(), "O,8,1");
  EXPECT_EQ(Form->TxmodeBox1->currentText(), "NORMAL MODE");
  EXPECT_EQ(Form->ECEdit1->text(), "0A");
  EXPECT_EQ(Form->crBox1->currentText(), "NO  ");
  EXPECT_EQ(Form->CheckSumBox1->currentText(), "ON");
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   {");
  EXPECT_EQ(Form->ProductID->text(), "PUMP STATION 7");
  for (QWidget* input : Form->ConfigurationInputs()) {
    EXPECT_TRUE(input->isVisible()) << input->objectName().toStdString();
    EXPECT_TRUE(input->isEnabled()) << input->objectName().toStdString();
  }
  EXPECT_TRUE(Form->KRM46101->menuAction()->isEnabled());
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_TRUE(Form->BaudBox1->isEnabled());
  EXPECT_TRUE(Form->Timer2->isActive());
  // Loading the inputs left no change pending.
  EXPECT_FALSE(Form->State.PendStopChar);

  const QImage shot = Form->grab().toImage();
  EXPECT_TRUE(shot.save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-chosen-converter.png")));
}

TEST_F(Operations, ChoosingANormalConverterEnablesOnlyTheDelimiterAndTheProductId) {
  Converter normal = At(0x05, "NORMAL ONE");
  normal.addressModeOn = false;
  Start({normal, Configured()});
  ScanAndList();
  Sim->clearFrames();
  QTest::keyClick(Form->ShowDevice, Qt::Key_Return);  // row 1 is current
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 0 && !Form->Timer1->isActive(); }));
  EXPECT_EQ(Frames().size(), 10);
  EXPECT_EQ(Frames().first(), "$05E00");
  EXPECT_FALSE(Form->State.InitStepMode);
  EXPECT_EQ(Form->AddrBox1->currentText(), "OFF");
  EXPECT_TRUE(Form->AddrEdit1->isHidden());
  EXPECT_TRUE(Form->UpDown1->isHidden());
  EXPECT_EQ(Form->ProductID->text(), "NORMAL ONE");
  for (QWidget* input : Form->ConfigurationInputs()) {
    const bool open = input == Form->DelimiterBox1 || input == Form->ProductID;
    EXPECT_EQ(input->isEnabled(), open) << input->objectName().toStdString();
  }
}

TEST_F(Operations, ChoosingWhileAProductIdReadIsOutReadsBackTheChosenConverterUnshifted) {
  Converter slow = At(0x00, "SLOW");
  Misbehaviour late;
  late.latencyMs = 250;
  slow.misbehaviour = late;
  // The chosen one answers a little later too, so that the two replies
  // cannot arrive in one batch.
  Converter chosen = Configured();
  Misbehaviour prompt;
  prompt.latencyMs = 40;
  chosen.misbehaviour = prompt;
  Start({slow, chosen});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 2 MODULE FOUND"; }));
  Sim->clearFrames();
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(Sim->waitForFrames(1, 5s));
  ASSERT_TRUE(Form->State.Busy);  // "$007" is still out
  DoubleClickRow(2);
  ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 0 && !Form->Timer1->isActive(); }));
  const QStringList frames = Frames();
  ASSERT_EQ(frames.size(), 11);
  EXPECT_EQ(frames.first(), "$007");
  EXPECT_EQ(frames.mid(1).first(), "$0AE00");
  // Every value is the chosen converter's, none shifted by the late reply.
  EXPECT_EQ(Form->RS485Box1->currentText(), "38400 bps");
  EXPECT_EQ(Form->RS232Box1->currentText(), "115200 bps");
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   {");
  EXPECT_EQ(Form->AddrEdit1->text(), "0A");
  EXPECT_EQ(Form->ECEdit1->text(), "0A");
}

// ---- SAVE and the write sequencer ----

TEST_F(Operations, SaveWritesTheChangedSettingsInTheFixedOrderOnePerExchange) {
  Start({Configured()});
  ScanAndList();
  Choose(1);

  Pick(Form->Format485Box1, 3);  // E,8,1
  Pick(Form->DelimiterBox1, 7);  // ~
  Pick(Form->RS232Box1, 5);      // 9600 bps
  Pick(Form->ProtocolBox1, 0);   // RS-485
  Form->ProductID->setFocus();
  Form->ProductID->selectAll();
  QTest::keyClicks(Form->ProductID, "TANK 3");
  QTest::keyClick(Form->ProductID, Qt::Key_Return);
  EXPECT_TRUE(Form->State.PendRs485Format && Form->State.PendDelimiter && Form->State.PendRs232Baud &&
              Form->State.PendProtocol && Form->State.PendProductId);

  // Cancel writes nothing and keeps every flag.
  Sim->clearFrames();
  Answer = QMessageBox::Cancel;
  Form->SAVE1->trigger();
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0].Text, "CHANGE KRM4610 SETTING?");
  EXPECT_EQ(Boxes[0].Caption, "Confirm");
  EXPECT_EQ(Boxes[0].Kind, TBoxKind::Confirm);
  int ticks = 0;
  const QObject counting;
  QObject::connect(Form->Timer2, &QTimer::timeout, &counting, [&ticks] { ++ticks; });
  ASSERT_TRUE(WaitFor([&ticks] { return ticks >= 3; }));
  EXPECT_EQ(Sim->frameCount(), 0u);
  EXPECT_FALSE(Form->State.SaveRequested);
  EXPECT_TRUE(Form->State.PendRs485Format && Form->State.PendDelimiter && Form->State.PendRs232Baud &&
              Form->State.PendProtocol && Form->State.PendProductId);

  // OK: one frame per exchange, never two in one tick of the sequencer.
  Answer = QMessageBox::Ok;
  std::vector<std::size_t> framesAtTick;
  QObject::connect(Form->Timer2, &QTimer::timeout, &counting,
                   [&] { framesAtTick.push_back(Sim->frameCount()); });
  Form->SAVE1->trigger();
  EXPECT_TRUE(Form->State.SaveRequested);
  ASSERT_TRUE(WaitFor([this] { return Sim->frameCount() == 5 && SaveDone(); }));
  EXPECT_EQ(Frames(), QStringList({"$0AA", "$0A05", "$0AC~", "$0A6TANK 3", "$0A3E81"}));
  for (std::size_t i = 1; i < framesAtTick.size(); ++i) EXPECT_LE(framesAtTick[i] - framesAtTick[i - 1], 1u);
  EXPECT_EQ(Boxes.size(), 2u);  // the confirmation only: every write answered

  const Converter now = Sim->converter(0);
  EXPECT_EQ(krm::sim::readBack(now, 4) & 2, 0);        // RS-485
  EXPECT_EQ(krm::sim::readBack(now, 1), 5);            // RS-232 9600
  EXPECT_EQ(krm::sim::readBack(now, 3) & 15, 12);      // RS-485 side E,8,1
  EXPECT_EQ(krm::sim::readBack(now, 3) >> 4, 10);      // RS-232 side unchanged
  EXPECT_EQ(krm::sim::readBack(now, 5), '~');
  EXPECT_EQ(now.productId, "TANK 3");
  EXPECT_EQ(Form->State.DevProtocol, 0);
  EXPECT_EQ(Form->State.DevRs232Baud, 5);
  EXPECT_EQ(Form->State.DevRs485Format, 3);
  EXPECT_EQ(Form->State.DevDelimiter, 7);
}

TEST_F(Operations, AWriteThatTimesOutPutsTheControlBackShowsItsMessageAndTheSaveGoesOn) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->RS485Box1, 2);      // 1200 bps, not answered
  Pick(Form->DelimiterBox1, 1);  // [
  Sim->clearFrames();
  Misbehaviour dead;
  dead.silent = true;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  Form->SAVE1->trigger();
  ASSERT_TRUE(FramesReach(1));
  Sim->modify(0, [](Converter& c) { c.misbehaviour.reset(); });

  ASSERT_TRUE(WaitFor([this] { return Sim->frameCount() == 2 && SaveDone(); }));
  EXPECT_EQ(Frames(), QStringList({"$0A12", "$0AC["}));
  ASSERT_EQ(Boxes.size(), 2u);
  EXPECT_EQ(Boxes[1].Text, "Write RS-485 baudrate fail");
  EXPECT_EQ(Boxes[1].Caption, "Message");
  EXPECT_EQ(Boxes[1].Kind, TBoxKind::Message);
  EXPECT_EQ(Form->RS485Box1->currentText(), "38400 bps");
  EXPECT_EQ(Form->State.DevRs485Baud, 7);
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   [");
  EXPECT_EQ(Form->State.DevDelimiter, 1);
  EXPECT_EQ(Sim->converter(0).rs485Baud, 7);
  EXPECT_EQ(Sim->converter(0).delimiter, '[');

  // A checksum pick that ends where it started sends nothing, and the failed
  // exchange before it is not reported again as this setting's outcome.
  Form->State.ReplyOk = false;
  Form->State.PendChecksum = true;
  Form->State.SaveRequested = true;
  ASSERT_TRUE(WaitFor([this] { return SaveDone() && !Form->State.PendChecksum; }));
  EXPECT_EQ(Sim->frameCount(), 2u);
  EXPECT_EQ(Boxes.size(), 2u);
}

TEST_F(Operations, AStopCharacterWriteThatFailsIsNotWrittenBackByItsOwnRestore) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Form->ECEdit1->setFocus();
  Form->ECEdit1->selectAll();
  QTest::keyClicks(Form->ECEdit1, "3B");
  EXPECT_TRUE(Form->State.PendStopChar);
  Sim->clearFrames();
  Misbehaviour dead;
  dead.silent = true;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  Form->SAVE1->trigger();
  ASSERT_TRUE(WaitFor([this] { return Boxes.size() == 2u; }));
  EXPECT_EQ(Boxes[1].Text, "Write Stop character fail");
  EXPECT_EQ(Form->ECEdit1->text(), "0A");
  ASSERT_TRUE(WaitFor([this] { return SaveDone(); }));
  EXPECT_FALSE(Form->State.PendStopChar);
  EXPECT_EQ(Frames(), QStringList({"$0A93B"}));
}

TEST_F(Operations, SaveWhenTheHostPortCannotOpenWarnsOnceAndKeepsTheChangesPending) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 2);
  Pick(Form->TxmodeBox1, 1);
  Form->ApdComPort1->SetOpen(false);
  ASSERT_EQ(setenv("KRM4610_COM1", "/nonexistent/krm-port", 1), 0);
  Sim->clearFrames();
  Form->SAVE1->trigger();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.SaveRequested; }));
  ASSERT_EQ(Boxes.size(), 2u);
  EXPECT_EQ(Boxes[1].Text, "COM Port Not Exist\nCOM1 (/nonexistent/krm-port): no such device");
  EXPECT_EQ(Boxes[1].Caption, "Warning");
  EXPECT_TRUE(Form->State.PendTxMode);
  EXPECT_TRUE(Form->State.PendDelimiter);
  EXPECT_EQ(Form->State.WriteStep, 0);
  EXPECT_EQ(Sim->frameCount(), 0u);

  // The port is back: the next SAVE writes both.
  ASSERT_EQ(setenv("KRM4610_COM1", Sim->path().c_str(), 1), 0);
  Form->SAVE1->trigger();
  ASSERT_TRUE(WaitFor([this] { return Sim->frameCount() == 2 && SaveDone(); }));
  EXPECT_EQ(Frames(), QStringList({"$0AF", "$0AC]"}));
  EXPECT_EQ(Boxes.size(), 3u);
}

TEST_F(Operations, FirmwareVersionAskedTwiceBeforeTheTickSendsOneQuery) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Sim->clearFrames();
  Form->FWVERSION1->trigger();
  Form->FWVERSION1->trigger();
  ASSERT_TRUE(WaitFor([this] { return !Boxes.empty(); }));
  EXPECT_EQ(Boxes[0].Text, "Firmware Version 2.07");
  EXPECT_EQ(Boxes[0].Caption, "KRM4610");
  EXPECT_EQ(Boxes[0].Kind, TBoxKind::Message);
  int ticks = 0;
  const QObject counting;
  QObject::connect(Form->Timer2, &QTimer::timeout, &counting, [&ticks] { ++ticks; });
  ASSERT_TRUE(WaitFor([&ticks] { return ticks >= 3; }));
  EXPECT_EQ(Frames(), QStringList({"$0AV"}));
  EXPECT_EQ(Boxes.size(), 1u);
}

// ---- Test console ----

TEST_F(Operations, SingleTestSendsTheLineOnceAndShowsTheReply) {
  Start({Configured()});
  Form->SINGLETEST1->trigger();
  EXPECT_TRUE(Form->TestBox->isVisible());
  EXPECT_EQ(Form->TestBox->title(), "SINGLE COMMAND TEST");
  EXPECT_FALSE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_FALSE(Form->BaudBox1->isEnabled());
  EXPECT_TRUE(Form->TxBox->hasFocus());
  QTest::keyClicks(Form->TxBox, "$0AV");
  QTest::keyClick(Form->TxBox, Qt::Key_Return);  // START TEST
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->text().startsWith("!0A2.07"); }));
  EXPECT_FALSE(Form->TxBox->isReadOnly());
  EXPECT_TRUE(StaysAt(1));
  EXPECT_EQ(Frames(), QStringList({"$0AV"}));

  const QImage shot = Form->grab().toImage();
  EXPECT_TRUE(shot.save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-console.png")));

  // In single mode END TEST works at once, also with a command out.
  Misbehaviour late;
  late.latencyMs = 300;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = late; });
  Form->Button1->click();
  EXPECT_TRUE(Form->TxBox->isReadOnly());
  Form->Button3->click();
  EXPECT_FALSE(Form->TestBox->isVisible());
  EXPECT_FALSE(Form->State.TestActive);
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());  // no module chosen
  for (QWidget* input : Form->ConfigurationInputs())
    EXPECT_TRUE(input->isVisible()) << input->objectName().toStdString();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
}

TEST_F(Operations, ContinuousTestRepeatsUntilStoppedAndEndsOnlyWhenStopped) {
  Start({Configured()});
  Form->CONTINUETEST1->trigger();
  EXPECT_EQ(Form->TestBox->title(), "COMMAND CONTINUE TEST");
  QTest::keyClicks(Form->TxBox, "$0AE04");
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(20));
  Form->Button3->click();  // END TEST while looping: nothing
  EXPECT_TRUE(Form->TestBox->isVisible());
  Form->Button2->click();  // STOP TEST: the command out still completes
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_TRUE(StaysAt(Sim->frameCount()));
  for (const QString& frame : Frames()) EXPECT_EQ(frame, "$0AE04");
  EXPECT_TRUE(Form->RxBox->text().startsWith("!0A1A")) << Form->RxBox->text().toStdString();
  Form->Button3->click();
  EXPECT_FALSE(Form->TestBox->isVisible());
}

// Counts the paint events of a line edit and remembers the text each showed.
class PaintWatch : public QObject {
 public:
  explicit PaintWatch(QLineEdit* Edit) : FEdit(Edit) { Edit->installEventFilter(this); }
  int Paints = 0;
  QString Painted;

 protected:
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint) {
      ++Paints;
      Painted = FEdit->text();
    }
    return false;
  }

 private:
  QLineEdit* FEdit;
};

TEST_F(Operations, ContinuousTestStopsOnADroppedReplyWithTheTimeOutText) {
  Start({Configured()});
  Form->CONTINUETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AE01");
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->isVisible(); }));
  PaintWatch watch(Form->RxBox);
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(10));
  Misbehaviour dead;
  dead.silent = true;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->text() == "Time out error, Test stop !!!"; }));
  EXPECT_TRUE(WaitFor([&] { return watch.Painted == "Time out error, Test stop !!!"; }, 2s))
      << watch.Painted.toStdString();
  EXPECT_TRUE(Form->State.TestStopped);
  EXPECT_FALSE(Form->TxBox->isReadOnly());
  EXPECT_TRUE(StaysAt(Sim->frameCount()));
  Form->Button3->click();  // stopped by the time-out: END TEST works
  EXPECT_FALSE(Form->TestBox->isVisible());
}

TEST_F(Operations, ContinuousTestKeepsTheConsoleExactButPaintsItOnlyNowAndThen) {
  Start({Configured()});
  Form->CONTINUETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AE04");
  // Every change of RxBox while looping is the reply received so far, or
  // the emptying before a send; TxBox is read-only exactly while one is out.
  int replies = 0;
  QStringList wrong;
  QObject::connect(Form->RxBox, &QLineEdit::textChanged, [&](const QString& Text) {
    const UtilityState& s = Form->State;
    if (!Text.isEmpty() && Text != QString::fromLatin1(s.ReplyText.data(), static_cast<qsizetype>(s.ReplyText.size())))
      wrong << Text;
    if (Form->TxBox->isReadOnly() != s.Busy) wrong << QStringLiteral("read-only flag at: ") + Text;
    if (Text.endsWith(QChar(u'\r'))) ++replies;
  });
  ASSERT_TRUE(WaitFor([this] { return Form->RxBox->isVisible(); }));
  PaintWatch watch(Form->RxBox);
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(300));
  const int paintsWhileLooping = watch.Paints;
  const int repliesWhileLooping = replies;
  Form->Button2->click();  // STOP TEST
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_TRUE(wrong.isEmpty()) << wrong.join(QStringLiteral(" | ")).toStdString();
  EXPECT_EQ(static_cast<std::size_t>(replies), Sim->frameCount());
  EXPECT_GE(repliesWhileLooping, 250);
  // Hundreds of replies shown, a handful of frames painted.
  EXPECT_LT(paintsWhileLooping * 10, repliesWhileLooping) << paintsWhileLooping << " paints";

  // Stopped: the console paints again, the final reply at once.
  EXPECT_TRUE(Form->TestBox->updatesEnabled());
  EXPECT_TRUE(Form->RxBox->updatesEnabled());
  const QString final = Form->RxBox->text();
  EXPECT_TRUE(final.startsWith("!0A1A")) << final.toStdString();
  EXPECT_TRUE(WaitFor([&] { return watch.Painted == final; }, 2s)) << watch.Painted.toStdString();
  const QImage shown = Form->RxBox->grab().toImage();
  Form->RxBox->clear();
  EXPECT_NE(Form->RxBox->grab().toImage(), shown);
  Form->RxBox->setText(final);
  EXPECT_EQ(Form->RxBox->grab().toImage(), shown);
}

// ---- QUIT ----

TEST_F(Operations, QuitDuringAProductIdReadClosesWhenItsReplyArrives) {
  Converter slow = At(0x30, "SLOW");
  Misbehaviour late;
  late.latencyMs = 300;
  slow.misbehaviour = late;
  Start({slow});
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 1 MODULE FOUND"; }));
  Sim->clearFrames();
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  ASSERT_TRUE(Sim->waitForFrames(1, 5s));
  Form->NO1->trigger();
  EXPECT_TRUE(Form->isVisible());
  Form->YES1->trigger();
  EXPECT_TRUE(Form->State.QuitRequested);
  EXPECT_TRUE(Form->isVisible());
  ASSERT_TRUE(WaitFor([this] { return !Form->isVisible(); }));
  EXPECT_EQ(Frames(), QStringList({"$307"}));
}

}  // namespace
