// Every setting of a converter on the wire: each one written both ways and
// read back through the window, each failed write putting its own control
// back with its own message, the address and its up-down, the version query
// behind the writes, and the modes a scan and the console leave behind.
#include "OperationsFixture.h"

#include <QToolButton>

namespace {

using namespace journeys;

class Settings : public Operations {
 protected:
  void Type(QLineEdit* Edit, const char* Text, bool Enter = false) {
    Edit->setFocus();
    Edit->selectAll();
    QTest::keyClicks(Edit, Text);
    if (Enter) QTest::keyClick(Edit, Qt::Key_Return);
  }

  // SAVE, confirmed, run to its end: the sequencer is stepped as soon as
  // the line is free rather than on its 300 ms ticks.
  void Save() {
    Sim->clearFrames();
    Form->SAVE1->trigger();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!SaveDone()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      if (Form->State.Busy)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      else
        Form->Timer2Timer();
    }
  }

  // A new scan and choice: what the window shows is the converter's read-back.
  void ReadAgain() {
    ScanAndList();
    Choose(1);
  }
};

TEST_F(Settings, EverySettingIsWrittenBothWaysAndReadBackAsWritten) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  UtilityState& s = Form->State;

  Pick(Form->ProtocolBox1, 0);   // RS-485
  Pick(Form->RS485Box1, 3);      // 2400
  Pick(Form->RS232Box1, 6);      // 19200
  QTest::mouseClick(Form->UpDown1->UpButton(), Qt::LeftButton);  // 0B
  Pick(Form->CheckSumBox1, 1);   // OFF: the address mode and TX mode come free
  Pick(Form->AddrBox1, 1);       // OFF
  Pick(Form->TxmodeBox1, 1);     // FAST RESPONSE
  Type(Form->ECEdit1, "3B");
  Pick(Form->crBox1, 0);         // YES
  Pick(Form->DelimiterBox1, 7);  // ~
  Type(Form->ProductID, "TANK 9", true);
  Pick(Form->Format485Box1, 8);  // E,7,2
  Pick(Form->Format232Box1, 6);  // N,7,2
  Save();
  EXPECT_EQ(Frames(), QStringList({"$0AA", "$0A13", "$0A06", "$0A80B", "$0A5", "$0AF", "$0A93B", "$0AL", "$0AS0",
                                   "$0AC~", "$0A6TANK 9", "$0A3E72", "$0A2N72"}));
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?"}));
  // Recorded as written.
  EXPECT_EQ(s.DevProtocol, 0);
  EXPECT_EQ(s.DevRs485Baud, 3);
  EXPECT_EQ(s.DevRs232Baud, 6);
  EXPECT_EQ(s.DevAddress, 0x0B);
  EXPECT_EQ(s.DevAddrMode, 1);
  EXPECT_EQ(s.DevTxMode, 1);
  EXPECT_EQ(s.DevStopChar, 0x3B);
  EXPECT_EQ(s.DevAppendStop, 0);
  EXPECT_EQ(s.DevChecksum, 1);
  EXPECT_EQ(s.DevDelimiter, 7);
  EXPECT_EQ(s.DevRs485Format, 8);
  EXPECT_EQ(s.DevRs232Format, 6);
  EXPECT_TRUE(Form->AddrEdit1->isHidden());

  // The converter reads back what was written (it still answers at 0A: a
  // new address takes effect at its next power-up).
  ReadAgain();
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-485");
  EXPECT_EQ(Form->RS485Box1->currentText(), "2400 bps");
  EXPECT_EQ(Form->RS232Box1->currentText(), "19200 bps");
  EXPECT_EQ(Form->AddrEdit1->text(), "0B");
  EXPECT_EQ(Form->AddrBox1->currentText(), "OFF");
  EXPECT_EQ(Form->TxmodeBox1->currentText(), "FAST RESPONSE MODE");
  EXPECT_EQ(Form->ECEdit1->text(), "3B");
  EXPECT_EQ(Form->crBox1->currentText(), "YES  ");
  EXPECT_EQ(Form->CheckSumBox1->currentText(), "OFF");
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   ~");
  EXPECT_EQ(Form->ProductID->text(), "TANK 9");
  EXPECT_EQ(Form->Format485Box1->currentText(), "E,7,2");
  EXPECT_EQ(Form->Format232Box1->currentText(), "N,7,2");

  // And back: every setting's other command.
  Pick(Form->ProtocolBox1, 1);   // RS-422
  Pick(Form->RS485Box1, 7);      // 38400
  Pick(Form->RS232Box1, 9);      // 115200
  Pick(Form->AddrBox1, 0);       // ON: the address shows again
  QTest::mouseClick(Form->UpDown1->DownButton(), Qt::LeftButton);  // 0A
  Pick(Form->TxmodeBox1, 0);     // NORMAL
  Type(Form->ECEdit1, "0A");
  Pick(Form->crBox1, 1);         // NO
  Pick(Form->CheckSumBox1, 0);   // ON
  Pick(Form->DelimiterBox1, 4);  // {
  Type(Form->ProductID, "PUMP STATION 7", true);
  Pick(Form->Format485Box1, 4);  // E,7,1
  Pick(Form->Format232Box1, 1);  // O,8,1
  Save();
  EXPECT_EQ(Frames(), QStringList({"$0AB", "$0A17", "$0A09", "$0A80A", "$0A4", "$0AN", "$0A90A", "$0AJ", "$0AS1",
                                   "$0AC{", "$0A6PUMP STATION 7", "$0A3E71", "$0A2O81"}));
  Converter expected = Configured();
  expected.misbehaviour = Sim->converter(0).misbehaviour;
  EXPECT_EQ(Sim->converter(0), expected);
  EXPECT_FALSE(Form->AddrEdit1->isHidden());
}

TEST_F(Settings, EveryFailedWritePutsItsOwnControlBackWithItsOwnMessage) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->ProtocolBox1, 0);
  Pick(Form->RS485Box1, 3);
  Pick(Form->RS232Box1, 6);
  QTest::mouseClick(Form->UpDown1->UpButton(), Qt::LeftButton);
  Pick(Form->CheckSumBox1, 1);
  Pick(Form->AddrBox1, 1);
  Pick(Form->TxmodeBox1, 1);
  Type(Form->ECEdit1, "3B");
  Pick(Form->crBox1, 0);
  Pick(Form->DelimiterBox1, 7);
  Type(Form->ProductID, "TANK 9", true);
  Pick(Form->Format485Box1, 8);
  Pick(Form->Format232Box1, 6);
  Misbehaviour dead;
  dead.silent = true;
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  Form->BaudBox1->SetItemIndex(9);  // the shortest time-out, 330 ms
  emit Form->BaudBox1->Change();
  Save();
  EXPECT_EQ(Sim->frameCount(), 13u);
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?", "Setting RS-485/422 protocol fail",
                                     "Write RS-485 baudrate fail", "Setting RS-232 baudrate fail",
                                     "Write IP address fail", "Setting address mode fail", "Setting transfer mode fail",
                                     "Write Stop character fail", "Setting send cr fail", "Checksum mode changed fail",
                                     "Write delimiter fail", "Write product ID fail",
                                     "Write RS-485/422 data format fail", "Write RS-232 data format fail"}));
  for (std::size_t i = 1; i < Boxes.size(); ++i) EXPECT_EQ(Boxes[i].Caption, "Message") << i;
  // Every control shows the converter's value again; the product ID keeps its text.
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-422");
  EXPECT_EQ(Form->RS485Box1->currentText(), "38400 bps");
  EXPECT_EQ(Form->RS232Box1->currentText(), "115200 bps");
  EXPECT_EQ(Form->AddrEdit1->text(), "0A");
  EXPECT_EQ(Form->UpDown1->Position(), 0x0A);
  EXPECT_EQ(Form->AddrBox1->currentText(), "ON");
  EXPECT_FALSE(Form->AddrEdit1->isHidden());
  EXPECT_EQ(Form->TxmodeBox1->currentText(), "NORMAL MODE");
  EXPECT_EQ(Form->ECEdit1->text(), "0A");
  EXPECT_EQ(Form->crBox1->currentText(), "NO  ");
  EXPECT_EQ(Form->CheckSumBox1->currentText(), "ON");
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   {");
  EXPECT_EQ(Form->ProductID->text(), "TANK 9");
  EXPECT_EQ(Form->Format485Box1->currentText(), "E,7,1");
  EXPECT_EQ(Form->Format232Box1->currentText(), "O,8,1");
  // Restoring wrote nothing back and left nothing pending.
  for (QWidget* input : Form->ConfigurationInputs()) EXPECT_TRUE(input->isEnabled()) << input->objectName().toStdString();
  EXPECT_FALSE(Form->State.PendStopChar);
  EXPECT_FALSE(Form->State.PendAddress);
  EXPECT_EQ(Sim->converter(0).productId, "PUMP STATION 7");
}

TEST_F(Settings, TheVersionQueryFollowsEveryPendingWrite) {
  Start({Configured()});
  ScanAndList();
  Choose(1);
  Pick(Form->DelimiterBox1, 0);
  Pick(Form->Format232Box1, 0);
  Form->FWVERSION1->trigger();
  Save();
  EXPECT_EQ(Frames(), QStringList({"$0AC:", "$0A2N81", "$0AV"}));
  EXPECT_EQ(BoxTexts(), QStringList({"CHANGE KRM4610 SETTING?", "Firmware Version 2.07"}));
  EXPECT_EQ(Boxes.back().Caption, "KRM4610");
}

TEST_F(Settings, ASecondScanWithFewerConvertersClearsTheRowsOfTheFirst) {
  Start({At(0x01, "ONE"), At(0x02, "TWO"), At(0x03, "THREE")});
  ScanAndList();
  EXPECT_EQ(Form->ShowDevice->item(3, 1)->text(), "THREE");
  Choose(1);
  Misbehaviour dead;
  dead.silent = true;
  for (std::size_t i : {1u, 2u}) Sim->modify(i, [&](Converter& c) { c.misbehaviour = dead; });
  Answering = {0x01};
  ScanAndList();
  EXPECT_EQ(Form->State.ModuleCount, 1);
  EXPECT_EQ(Form->ShowDevice->item(1, 0)->text(), "   01H");
  EXPECT_EQ(Form->ShowDevice->item(1, 1)->text(), "ONE");
  for (int row = 2; row <= 6; ++row) {
    EXPECT_EQ(Form->ShowDevice->item(row, 0)->text(), "") << row;
    EXPECT_EQ(Form->ShowDevice->item(row, 1)->text(), "") << row;
  }

  // And a scan that finds none lists nothing, the earlier finds forgotten.
  Choose(1);
  Sim->modify(0, [&](Converter& c) { c.misbehaviour = dead; });
  Answering.clear();
  Sim->clearFrames();
  Form->SCAN1->trigger();
  ASSERT_TRUE(DriveScan());
  ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 0 MODULE FOUND"; }));
  QTest::mouseClick(Form->Panel3, Qt::LeftButton);
  EXPECT_EQ(Form->State.LinkPhase, 0);
  EXPECT_FALSE(Form->ShowDevice->isVisible());
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_TRUE(StaysAt(256));
}

TEST_F(Settings, TheConsoleLeavesTheModesOfTheChosenConverter) {
  Converter normal = At(0x05, "NORMAL");
  normal.addressModeOn = false;
  Start({normal, Configured()});
  ScanAndList();
  Choose(1);  // not in initial step
  Form->CONTINUETEST1->trigger();
  for (QWidget* box : {static_cast<QWidget*>(Form->ComPortBox1), static_cast<QWidget*>(Form->BaudBox1),
                       static_cast<QWidget*>(Form->FormatBox1)})
    EXPECT_FALSE(box->isEnabled());
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());
  for (QWidget* input : Form->ConfigurationInputs()) EXPECT_TRUE(input->isHidden());
  Form->Button3->click();  // stopped: END TEST works
  EXPECT_FALSE(Form->TestBox->isVisible());
  for (QWidget* box : {static_cast<QWidget*>(Form->ComPortBox1), static_cast<QWidget*>(Form->BaudBox1),
                       static_cast<QWidget*>(Form->FormatBox1)})
    EXPECT_TRUE(box->isEnabled());
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());  // only for a converter in initial step
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  for (QWidget* input : Form->ConfigurationInputs()) {
    const bool address = input == Form->AddrEdit1 || input == Form->UpDown1;
    EXPECT_EQ(input->isHidden(), address) << input->objectName().toStdString();
    const bool open = input == Form->DelimiterBox1 || input == Form->ProductID;
    EXPECT_EQ(input->isEnabled(), open) << input->objectName().toStdString();
  }

  ScanAndList();
  Choose(2);  // in initial step
  Form->SINGLETEST1->trigger();
  Form->Button3->click();
  EXPECT_TRUE(Form->KRM46101->menuAction()->isEnabled());
  for (QWidget* input : Form->ConfigurationInputs()) {
    EXPECT_TRUE(input->isVisible()) << input->objectName().toStdString();
    EXPECT_TRUE(input->isEnabled()) << input->objectName().toStdString();
  }
}

}  // namespace
