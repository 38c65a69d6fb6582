// The window's decoding of a read-back and the write sequencer's rules that
// need no converter: what a value outside the tables shows, verdicts that
// must not judge a stale outcome, and ticks while a sequencer box is open.
#include "Unit1.h"
#include "umEdit.h"

#include <QAction>
#include <QGroupBox>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<TForm1>(750);
    Form->Timer1->stop();
    Form->Timer2->stop();
    Form->BoxHook = [this](const QString& Text, const QString&, TBoxKind) {
      Shown.push_back(Text);
      if (OnBox) OnBox();
      return int(QMessageBox::Ok);
    };
  }

  // A read-back with the given entries; the rest as a plain converter at 05.
  void ReadBack(std::array<std::int32_t, 10> Values) {
    Form->State.ReadBack = Values;
    Form->ApplyReadBack();
  }

  std::unique_ptr<TForm1> Form;
  std::vector<QString> Shown;
  std::function<void()> OnBox;
};

constexpr std::array<std::int32_t, 10> Plain = {0x46, 5, 5, 0x00, 0x00, ':', '0', '5', 0x0D, 0x10};

TEST_F(Operations, ReadBackDecodesModeBitsFormatsAndAddress) {
  auto values = Plain;
  values[4] = 0x13;  // address mode off, RS-422, checksum on
  values[3] = 0xA5;  // RS-232 O,8,1; RS-485 E,7,1
  values[6] = 0x31;
  values[7] = 0x46;
  values[2] = 9;
  values[1] = 0;
  ReadBack(values);
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-422");
  EXPECT_EQ(Form->AddrBox1->currentText(), "OFF");
  EXPECT_TRUE(Form->AddrEdit1->isHidden());
  EXPECT_EQ(Form->TxmodeBox1->currentText(), "NORMAL MODE");
  EXPECT_EQ(Form->crBox1->currentText(), "YES  ");
  EXPECT_EQ(Form->CheckSumBox1->currentText(), "ON");
  EXPECT_EQ(Form->State.DevChecksum, 0);
  EXPECT_EQ(Form->Format485Box1->currentText(), "E,7,1");
  EXPECT_EQ(Form->Format232Box1->currentText(), "O,8,1");
  EXPECT_EQ(Form->State.DevAddress, 0x1F);
  EXPECT_EQ(Form->AddrEdit1->text(), "1F");
  EXPECT_EQ(Form->UpDown1->Position(), 0x1F);
  EXPECT_EQ(Form->RS485Box1->currentText(), "115200 bps");
  EXPECT_EQ(Form->RS232Box1->currentText(), "300 bps");
  EXPECT_EQ(Form->State.ParStopChar, "0D");
}

TEST_F(Operations, ValuesOutsideTheTablesSelectNoItemAndAnUnknownFormatShowsUnknow) {
  auto values = Plain;
  values[3] = 0x7E;  // neither 14 nor 7 is a format code
  values[2] = 12;    // no such baud
  values[5] = 'X';   // no such delimiter
  ReadBack(values);
  EXPECT_EQ(Form->Format485Box1->currentText(), "Unknow");
  EXPECT_EQ(Form->Format232Box1->currentText(), "Unknow");
  EXPECT_EQ(Form->State.DevRs485Format, -1);
  EXPECT_EQ(Form->State.DevRs232Format, -1);
  EXPECT_EQ(Form->RS485Box1->ItemIndex(), -1);
  EXPECT_EQ(Form->DelimiterBox1->ItemIndex(), -1);
  EXPECT_EQ(Form->State.DevDelimiter, -1);

  // Text typed over an unknown format goes back to "Unknow", not to a blank.
  Form->Format485Box1->setEditText("N");
  Form->Format485Box1Change();
  EXPECT_EQ(Form->Format485Box1->currentText(), "Unknow");
  EXPECT_FALSE(Form->State.PendRs485Format);

  // Pending writes of boxes on no item make no frame and no verdict.
  Form->State.PendRs485Baud = true;
  Form->State.PendDelimiter = true;
  Form->State.SaveRequested = true;
  for (int tick = 0; tick < 3; ++tick) Form->Timer2Timer();
  EXPECT_FALSE(Form->State.PendRs485Baud);
  EXPECT_FALSE(Form->State.PendDelimiter);
  EXPECT_FALSE(Form->State.SaveRequested);
  EXPECT_EQ(Form->State.WriteStep, 0);
  EXPECT_FALSE(Form->State.Busy);
  EXPECT_TRUE(Shown.empty());
}

TEST_F(Operations, ASuccessRecordsTheControlUnlessItWasChangedAgainMeanwhile) {
  using S = UtilityState;
  struct Row {
    const char* Name;
    int Step;
    std::function<void()> Change;  // the operator's new choice
    std::int32_t S::*Recorded;
    bool S::*Pending;
    std::int32_t Changed;
  };
  TForm1& f = *Form;
  const Row rows[] = {
      {"protocol", 1, [&] { f.ProtocolBox1->SetItemIndex(1); }, &S::DevProtocol, &S::PendProtocol, 1},
      {"RS-485 baud", 2, [&] { f.RS485Box1->SetItemIndex(2); }, &S::DevRs485Baud, &S::PendRs485Baud, 2},
      {"RS-232 baud", 3, [&] { f.RS232Box1->SetItemIndex(3); }, &S::DevRs232Baud, &S::PendRs232Baud, 3},
      {"address", 4, [&] { f.AddrEdit1->SetValue(0x33); }, &S::DevAddress, &S::PendAddress, 0x33},
      {"address mode", 5, [&] { f.AddrBox1->SetItemIndex(1); }, &S::DevAddrMode, &S::PendAddrMode, 1},
      {"TX mode", 6, [&] { f.TxmodeBox1->SetItemIndex(1); }, &S::DevTxMode, &S::PendTxMode, 1},
      {"append stop", 7, [&] { f.crBox1->SetItemIndex(1); }, &S::DevAppendStop, &S::PendAppendStop, 1},
      {"delimiter", 8, [&] { f.DelimiterBox1->SetItemIndex(5); }, &S::DevDelimiter, &S::PendDelimiter, 5},
      {"RS-485 format", 10, [&] { f.Format485Box1->SetItemIndex(6); }, &S::DevRs485Format, &S::PendRs485Format, 6},
      {"RS-232 format", 11, [&] { f.Format232Box1->SetItemIndex(7); }, &S::DevRs232Format, &S::PendRs232Format, 7},
      {"checksum", 13, [&] { f.CheckSumBox1->SetItemIndex(0); }, &S::DevChecksum, &S::PendChecksum, 0},
      {"stop character", 14, [&] { f.ECEdit1->SetValue(0x3B); }, &S::DevStopChar, &S::PendStopChar, 0x3B},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    ReadBack(Plain);
    const std::int32_t before = f.State.*row.Recorded;
    ASSERT_NE(before, row.Changed);
    row.Change();
    // Changed again while its write was out: the record waits for that write.
    f.State.*row.Pending = true;
    f.State.SequencerReplyOk = true;
    f.State.WriteStep = row.Step;
    f.Timer2Timer();
    EXPECT_EQ(f.State.*row.Recorded, before);
    EXPECT_TRUE(f.State.*row.Pending);
    // Not changed again: the record follows the control.
    f.State.*row.Pending = false;
    f.State.WriteStep = row.Step;
    f.Timer2Timer();
    EXPECT_EQ(f.State.*row.Recorded, row.Changed);
  }
  EXPECT_TRUE(Shown.empty());

  // The address-mode verdict shows the address exactly for mode ON, either way.
  ReadBack(Plain);
  Form->State.DevAddrMode = 1;
  Form->State.SequencerReplyOk = false;
  Form->State.WriteStep = 5;
  Form->Timer2Timer();
  EXPECT_EQ(Form->AddrBox1->currentText(), "OFF");
  EXPECT_TRUE(Form->AddrEdit1->isHidden());
  EXPECT_TRUE(Form->UpDown1->isHidden());
  EXPECT_EQ(Shown, std::vector<QString>({"Setting address mode fail"}));
  Form->AddrBox1->SetItemIndex(0);
  Form->State.SequencerReplyOk = true;
  Form->State.WriteStep = 5;
  Form->Timer2Timer();
  EXPECT_FALSE(Form->AddrEdit1->isHidden());
  EXPECT_FALSE(Form->UpDown1->isHidden());
}

TEST_F(Operations, NoSequencerTickRunsWhileItsBoxIsOpen) {
  ReadBack(Plain);
  Form->State.SequencerReplyOk = false;
  Form->State.WriteStep = 8;
  int nestedSteps = 0;
  OnBox = [&] {
    // The GUI keeps ticking under a modal box; another failed verdict due.
    Form->State.WriteStep = 2;
    Form->Timer2Timer();
    nestedSteps = Form->State.WriteStep;
  };
  Form->Timer2Timer();
  EXPECT_EQ(Shown, std::vector<QString>({"Write delimiter fail"}));
  EXPECT_EQ(nestedSteps, 2);  // left for the tick after the box
  OnBox = nullptr;
  Form->Timer2Timer();
  EXPECT_EQ(Shown.back(), "Write RS-485 baudrate fail");
}

TEST_F(Operations, ConsoleEndFollowsTheModeAndTheChosenModule) {
  ReadBack(Plain);
  Form->State.DevAddrMode = 1;
  Form->State.InitStepMode = true;
  Form->CONTINUETEST1Click();
  EXPECT_TRUE(Form->State.TestStopped);
  Form->State.TestStopped = false;  // looping
  Form->Button3Click();
  EXPECT_FALSE(Form->TestBox->isHidden());
  Form->Button2Click();
  Form->Button3Click();
  EXPECT_TRUE(Form->TestBox->isHidden());
  EXPECT_TRUE(Form->AddrEdit1->isHidden());
  EXPECT_FALSE(Form->ProtocolBox1->isHidden());
  EXPECT_TRUE(Form->KRM46101->menuAction()->isEnabled());
}

}  // namespace
