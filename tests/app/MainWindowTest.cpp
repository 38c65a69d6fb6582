#include "ComboPick.h"
#include "KrmProtocol.h"
#include "Unit1.h"
#include "umEdit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

QStringList ItemsOf(const QComboBox* Box) {
  QStringList items;
  for (int i = 0; i < Box->count(); ++i) items << Box->itemText(i);
  return items;
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { Open(750); }

  void Open(int MonitorWidth) {
    Form = std::make_unique<TForm1>(MonitorWidth);
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }

  // What a read-back leaves: the inputs shown, every box on an item.
  void ShowSettings() {
    for (QWidget* input : Form->ConfigurationInputs()) input->show();
  }

  std::unique_ptr<TForm1> Form;
};

TEST_F(MainWindow, WindowCaptionSizeAndEngineTimers) {
  EXPECT_EQ(Form->windowTitle(), "KRM4610 UTILITY VER 2.00");
  EXPECT_EQ(Form->size(), QSize(547, 478));
  EXPECT_TRUE(Form->Timer1->isActive());
  EXPECT_EQ(Form->Timer1->interval(), 20);
  EXPECT_TRUE(Form->Timer2->isActive());
  EXPECT_EQ(Form->Timer2->interval(), 300);
  EXPECT_EQ(Form->State.TimeoutTicks, 6);
  EXPECT_TRUE(Form->State.PortOk);
  EXPECT_EQ(Form->State.TimeoutTrigger, 0);
}

struct ControlRow {
  const char* Name;
  QRect Geometry;
  QStringList Items;
  QString Text;
  int ItemIndex;
};

TEST_F(MainWindow, EveryInputHasItsPlaceItemsAndInitialText) {
  const QStringList bauds = {"300 bps",   "600 bps",   "1200 bps",  "2400 bps",  "4800 bps",
                             "9600 bps",  "19200 bps", "38400 bps", "57600 bps", "115200 bps"};
  const QStringList formats = {"N,8,1", "O,8,1", "O,7,1", "E,8,1", "E,7,1", "N,8,2", "N,7,2", "O,7,2", "E,7,2"};
  const QStringList delimiters = {"   :", "   [", "   ]", "   ^", "   {", "   |", "   }", "   ~"};
  const ControlRow boxes[] = {
      {"ComPortBox1", {96, 56, 69, 21}, {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}, "COM1", 0},
      {"BaudBox1", {264, 56, 93, 21}, bauds, "9600 bps", 5},
      {"FormatBox1", {468, 56, 61, 21}, formats, "N,8,1", -1},
      {"ProtocolBox1", {164, 136, 81, 21}, {"RS-485", "RS-422"}, "RS-485", -1},
      {"AddrBox1", {164, 164, 73, 21}, {"ON", "OFF"}, "ON", -1},
      {"RS485Box1", {164, 193, 98, 21}, bauds, "9600 bps", -1},
      {"Format485Box1", {356, 193, 61, 21}, formats, "N,8,1", -1},
      {"RS232Box1", {164, 221, 98, 21}, bauds, "9600 bps", -1},
      {"Format232Box1", {356, 221, 61, 21}, formats, "N,8,1", -1},
      {"TxmodeBox1", {164, 250, 177, 21}, {"NORMAL MODE", "FAST RESPONSE MODE"}, "NORMAL MODE", -1},
      {"crBox1", {164, 307, 57, 21}, {"YES  ", "NO  "}, "YES", -1},
      {"CheckSumBox1", {164, 335, 57, 21}, {"ON", "OFF"}, "ON", -1},
      {"DelimiterBox1", {164, 364, 57, 21}, delimiters, "   :", -1},
  };
  for (const ControlRow& row : boxes) {
    SCOPED_TRACE(row.Name);
    auto* box = Form->findChild<TComboBox*>(row.Name);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->geometry(), row.Geometry);
    EXPECT_EQ(ItemsOf(box), row.Items);
    EXPECT_EQ(box->currentText(), row.Text);
    EXPECT_EQ(box->ItemIndex(), row.ItemIndex);
    EXPECT_TRUE(box->isEditable());
    EXPECT_TRUE(box->font().bold());
  }
  for (TComboBox* box : {Form->BaudBox1, Form->RS485Box1, Form->RS232Box1, Form->FormatBox1, Form->Format485Box1,
                         Form->Format232Box1})
    EXPECT_EQ(box->maxVisibleItems(), 10);

  EXPECT_EQ(Form->AddrEdit1->geometry(), QRect(356, 164, 33, 21));
  EXPECT_EQ(Form->AddrEdit1->text(), "00");
  EXPECT_TRUE(Form->AddrEdit1->isReadOnly());
  EXPECT_EQ(Form->ECEdit1->geometry(), QRect(164, 278, 25, 21));
  EXPECT_EQ(Form->ECEdit1->text(), "0D");
  EXPECT_EQ(Form->ECEdit1->Value(), 13);
  for (TumNumberEdit* edit : {Form->AddrEdit1, Form->ECEdit1}) {
    EXPECT_EQ(edit->Kind(), neHex);
    EXPECT_EQ(edit->MaxValue(), 255);
    EXPECT_EQ(edit->maxLength(), 2);
    EXPECT_EQ(edit->CharCase(), ecUpperCase);
    EXPECT_EQ(edit->ColorDisabled(), QColor(0, 0x80, 0));
    EXPECT_FALSE(edit->Loading());
  }
  EXPECT_EQ(Form->UpDown1->geometry(), QRect(388, 164, 18, 21));
  EXPECT_EQ(Form->UpDown1->Min(), 0);
  EXPECT_EQ(Form->UpDown1->Max(), 255);
  EXPECT_EQ(Form->UpDown1->Position(), 0);
  EXPECT_EQ(Form->ProductID->geometry(), QRect(164, 392, 249, 21));
  EXPECT_EQ(Form->ProductID->text(), "");
  EXPECT_EQ(Form->ProductID->maxLength(), 30);
}

TEST_F(MainWindow, LabelsPanelsAndOverlays) {
  const std::pair<const char*, const char*> labels[] = {
      {"LabelPORT", "COM PORT"},       {"LabelSPEED", "BAUD RATE"},       {"LabelFORMAT", "DATA FORMAT"},
      {"ProtocolLabel1", "PROTOCOL"},  {"AddrLabel1", "ADDRESS MODE"},    {"AdrLabel1", "ADDRESS "},
      {"RS485Label1", "RS-485 SETTING"}, {"Label2", "FORMAT"},            {"RS232Label1", "RS-232 SETTING"},
      {"Label1", "FORMAT"},            {"TXLabel1", "TX MODE"},           {"ECLabel1", "STOP CHARACTER"},
      {"CrLabel1", "APPEND STOP CHAR."}, {"CheckSumLabel1", "CHECKSUM MODE"}, {"DelimiterLabel1", "DELIMITER"},
      {"IDLabel1", "PRODUCT ID"}};
  const QPoint places[] = {{24, 60},  {184, 60},  {376, 60},  {28, 136}, {28, 164}, {284, 164},
                           {28, 193}, {284, 193}, {28, 221},  {284, 221}, {28, 250}, {28, 278},
                           {28, 307}, {28, 335},  {28, 364},  {28, 392}};
  for (std::size_t i = 0; i < std::size(labels); ++i) {
    SCOPED_TRACE(labels[i].first);
    auto* label = Form->findChild<QLabel*>(labels[i].first);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), labels[i].second);
    EXPECT_EQ(label->pos(), places[i]);
    EXPECT_TRUE(label->isVisible());
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::white));
  }
  EXPECT_EQ(Form->Panel1->text(), "HOST COM Port Configuration");
  EXPECT_EQ(Form->Panel1->geometry(), QRect(148, 24, 249, 20));
  EXPECT_FALSE(Form->Panel1->isEnabled());
  EXPECT_EQ(Form->Panel2->text(), "KRM4610 Configuration");
  EXPECT_EQ(Form->Panel2->geometry(), QRect(148, 104, 249, 20));
  EXPECT_EQ(Form->Panel3->text(), "SCAN ADDRESS   00");
  EXPECT_EQ(Form->Panel3->geometry(), QRect(127, 192, 278, 53));
  EXPECT_TRUE(Form->Panel3->isHidden());

  EXPECT_EQ(Form->TestBox->title(), "SINGLE COMMAND TEST");
  EXPECT_EQ(Form->TestBox->geometry(), QRect(28, 128, 497, 257));
  EXPECT_TRUE(Form->TestBox->isHidden());
  EXPECT_EQ(Form->TxLabel->text(), "DATA TRANSMITE ......");
  EXPECT_EQ(Form->TxLabel->pos(), QPoint(54, 46));
  EXPECT_EQ(Form->RXLabel->text(), "DATA RECEIVED ......");
  EXPECT_EQ(Form->RXLabel->pos(), QPoint(54, 126));
  EXPECT_EQ(Form->TxBox->geometry(), QRect(64, 64, 345, 21));
  EXPECT_EQ(Form->RxBox->geometry(), QRect(64, 144, 345, 21));
  EXPECT_TRUE(Form->RxBox->isReadOnly());
  EXPECT_FALSE(Form->RxBox->focusPolicy() & Qt::TabFocus);
  EXPECT_EQ(Form->Button1->text(), "START TEST");
  EXPECT_TRUE(Form->Button1->isDefault());
  EXPECT_EQ(Form->Button1->geometry(), QRect(56, 200, 97, 25));
  EXPECT_EQ(Form->Button2->text(), "STOP TEST");
  EXPECT_EQ(Form->Button2->geometry(), QRect(192, 200, 97, 25));
  EXPECT_EQ(Form->Button3->text(), "END TEST");
  EXPECT_EQ(Form->Button3->geometry(), QRect(320, 200, 94, 25));

  QTableWidget* grid = Form->ShowDevice;
  EXPECT_EQ(grid->geometry(), QRect(92, 152, 354, 180));
  EXPECT_EQ(grid->rowCount(), 7);
  EXPECT_EQ(grid->columnCount(), 2);
  EXPECT_EQ(grid->item(0, 0)->text(), "ADDRESS");
  EXPECT_EQ(grid->item(0, 1)->text(), "              PRODUCT    ID");
  EXPECT_EQ(grid->columnWidth(0), 70);
  EXPECT_EQ(grid->columnWidth(1), 280);
  EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_FALSE(grid->item(0, 0)->flags() & Qt::ItemIsSelectable);
  EXPECT_TRUE(grid->isHidden());
}

TEST_F(MainWindow, MainMenuEntries) {
  EXPECT_EQ(Form->MainMenu1->objectName(), "MainMenu1");
  QStringList titles;
  for (QAction* action : Form->MainMenu1->actions()) titles << action->text();
  EXPECT_EQ(titles, QStringList({"KRM4610", "TEST", "QUIT"}));
  auto names = [](QMenu* Menu) {
    QStringList list;
    for (QAction* action : Menu->actions()) list << action->objectName() + "=" + action->text();
    return list;
  };
  EXPECT_EQ(names(Form->KRM46101), QStringList({"FWVERSION1=F/W VERSION", "SAVE1=SAVE"}));
  EXPECT_EQ(names(Form->TEST1), QStringList({"SCAN1=SCAN", "SINGLETEST1=SINGLE TEST", "CONTINUETEST1=CONTINUE TEST"}));
  EXPECT_EQ(names(Form->QUIT1), QStringList({"YES1=YES", "NO1=NO"}));
}

TEST_F(MainWindow, SettingsModeAfterStartUp) {
  for (QWidget* input : Form->ConfigurationInputs()) {
    SCOPED_TRACE(input->objectName().toStdString());
    EXPECT_TRUE(input->isHidden());
    EXPECT_TRUE(input->isEnabled());
  }
  EXPECT_EQ(Form->ConfigurationInputs().size(), 14u);
  for (TComboBox* box : {Form->ComPortBox1, Form->BaudBox1, Form->FormatBox1}) {
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->isEnabled());
  }
  EXPECT_FALSE(Form->KRM46101->menuAction()->isEnabled());
  EXPECT_TRUE(Form->TEST1->menuAction()->isEnabled());
  EXPECT_TRUE(Form->QUIT1->menuAction()->isEnabled());
  // Loading the form's values is not an operator change.
  EXPECT_FALSE(Form->State.PendStopChar);
  EXPECT_FALSE(Form->State.PendAddress);
}

TEST_F(MainWindow, DisableSettingsDisablesEveryInput) {
  Form->DisableSettings();
  for (QWidget* input : Form->ConfigurationInputs()) EXPECT_FALSE(input->isEnabled());
  EXPECT_TRUE(Form->ComPortBox1->isEnabled());
}

TEST_F(MainWindow, TabOrderFollowsTheForm) {
  const QStringList expected = {"ComPortBox1", "BaudBox1",     "FormatBox1",    "ProtocolBox1", "AddrBox1",
                                "ShowDevice",  "RS485Box1",    "Format485Box1", "RS232Box1",    "Format232Box1",
                                "TxmodeBox1",  "Button1",      "Button2",       "Button3",      "TxBox",
                                "crBox1",      "CheckSumBox1", "DelimiterBox1", "ProductID",    "ECEdit1",
                                "UpDown1",     "AddrEdit1"};
  QStringList chain;
  QWidget* w = Form->ComPortBox1;
  do {
    if (expected.contains(w->objectName()) && !chain.contains(w->objectName())) chain << w->objectName();
    w = w->nextInFocusChain();
  } while (w != Form->ComPortBox1);
  EXPECT_EQ(chain, expected);
}

class ScaledWindow : public MainWindow {
 protected:
  void SetUp() override {}
};

TEST_F(ScaledWindow, WideMonitorScalesWindowAndContents) {
  Open(1024);
  EXPECT_EQ(Form->size(), QSize(700, 611));
  EXPECT_EQ(Form->ProtocolBox1->geometry(), QRect(164 * 1024 / 800, 136 * 1024 / 800, 81 * 1024 / 800, 21 * 1024 / 800));
  EXPECT_EQ(Form->ShowDevice->columnWidth(1), 280 * 1024 / 800);
  EXPECT_EQ(Form->TxBox->geometry(), QRect(64 * 1024 / 800, 64 * 1024 / 800, 345 * 1024 / 800, 21 * 1024 / 800));
  EXPECT_DOUBLE_EQ(Form->ProtocolBox1->font().pointSizeF(), 8.0 * 1024 / 800);
  // Scaled too, and no larger than its caption leaves room for.
  EXPECT_GT(Form->Panel2->font().pointSizeF(), 12.0);
  EXPECT_LE(Form->Panel2->font().pointSizeF(), 12.0 * 1024 / 800);
}

TEST_F(ScaledWindow, MonitorOf750KeepsTheDesignedSize) {
  Open(750);
  EXPECT_EQ(Form->size(), QSize(547, 478));
  EXPECT_EQ(Form->ProtocolBox1->geometry(), QRect(164, 136, 81, 21));
  EXPECT_DOUBLE_EQ(Form->ProtocolBox1->font().pointSizeF(), 8.0);
}

// Whether Text, in W's font as shown, fits W's room for it; what does not
// is told in Misfits.
void ExpectFits(const QWidget* W, const QString& Text, QStringList& Misfits) {
  const QFontMetrics metrics(W->font());
  const int width = metrics.horizontalAdvance(Text);
  int room = W->width();
  if (const auto* label = qobject_cast<const QLabel*>(W)) {
    room = label->contentsRect().width();
  } else if (const auto* button = qobject_cast<const QPushButton*>(W)) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = Text;
    const QSize needed = button->style()->sizeFromContents(QStyle::CT_PushButton, &option,
                                                           QSize(width, metrics.height()), button);
    if (needed.width() > button->width())
      Misfits << QString("%1 \"%2\" needs %3 of %4").arg(W->objectName(), Text).arg(needed.width()).arg(button->width());
    return;
  }
  if (width > room || metrics.height() > W->height())
    Misfits << QString("%1 \"%2\" needs %3x%4 of %5x%6")
                   .arg(W->objectName(), Text)
                   .arg(width)
                   .arg(metrics.height())
                   .arg(room)
                   .arg(W->height());
}

TEST_F(ScaledWindow, EveryTextFitsItsControlAtEveryStartUpScale) {
  for (int monitor : {750, 1024, 1280, 1366, 1600, 1920, 2560, 3840}) {
    SCOPED_TRACE(monitor);
    Open(monitor);
    QStringList misfits;
    for (const QLabel* label : Form->findChildren<QLabel*>()) {
      if (label->objectName().isEmpty() || label == Form->Panel3 || label == Form->StatsLabel) continue;
      ExpectFits(label, label->text(), misfits);
      // Nor does a label run into the input beside it.
      for (const QWidget* input : Form->ConfigurationInputs())
        if (input->parentWidget() == label->parentWidget() && label->geometry().intersects(input->geometry()))
          misfits << label->objectName() + " runs into " + input->objectName();
    }
    // The scan panel's longest texts, and the busiest statistics of a run.
    for (const char* text : {"SCAN COMPLETE. 256 MODULE FOUND", "SCAN ADDRESS   FF"})
      ExpectFits(Form->Panel3, text, misfits);
    ExpectFits(Form->StatsLabel,
               "EXCHANGES 999999999  TIME-OUTS 1  99999.9/S  RTT 4510.0 (MIN 4510.0 MEAN 4510.0 MAX 4510.0) MS",
               misfits);
    for (const QPushButton* button : {Form->Button1, Form->Button2, Form->Button3})
      ExpectFits(button, button->text(), misfits);
    for (const char* title : {"SINGLE COMMAND TEST", "COMMAND CONTINUE TEST"}) {
      // The group box's title runs from its left inset to its right edge.
      if (QFontMetrics(Form->TestBox->font()).horizontalAdvance(title) > Form->TestBox->width() - 16)
        misfits << QString("TestBox \"%1\"").arg(title);
    }
    EXPECT_TRUE(misfits.isEmpty()) << misfits.join("; ").toStdString();
    if (monitor == 750) {
      Form->Panel3->setText("SCAN COMPLETE. 256 MODULE FOUND");
      Form->Panel3->show();
      EXPECT_TRUE(Form->grab().save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-scan-result.png")));
    }
  }
}

// ---- The accept rule ----

TEST_F(MainWindow, TypingIntoASettingBoxPutsBackTheRecordedItem) {
  ShowSettings();
  QTest::keyClicks(Form->ProtocolBox1, "RS-422");
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-485");
  EXPECT_EQ(Form->ProtocolBox1->ItemIndex(), 0);
  EXPECT_FALSE(Form->State.PendProtocol);
  EXPECT_FALSE(Form->State.PickArmed);

  // Even with the list opened before, typed text is no item: it never sticks.
  Form->State.DevProtocol = 1;
  Form->State.PickArmed = true;
  QTest::keyClicks(Form->ProtocolBox1, "X");
  EXPECT_EQ(Form->ProtocolBox1->currentText(), "RS-422");
  EXPECT_FALSE(Form->State.PendProtocol);
  EXPECT_TRUE(Form->State.PickArmed);
}

TEST_F(MainWindow, PickThroughTheListMarksTheFlag) {
  ShowSettings();
  Pick(Form->RS485Box1, 6);
  EXPECT_EQ(Form->RS485Box1->ItemIndex(), 6);
  EXPECT_EQ(Form->RS485Box1->currentText(), "19200 bps");
  EXPECT_TRUE(Form->State.PendRs485Baud);
  EXPECT_FALSE(Form->State.PickArmed);
  EXPECT_FALSE(Form->State.Busy);  // an edit only raises its flag
}

TEST_F(MainWindow, ListOpenedWithoutAChoiceArmsTheNextChangeOfAnyBox) {
  ShowSettings();
  Form->RS232Box1->showPopup();
  Form->RS232Box1->hidePopup();
  EXPECT_TRUE(Form->State.PickArmed);
  EXPECT_FALSE(Form->State.PendRs232Baud);
  Form->DelimiterBox1->setCurrentIndex(5);  // a change of another box counts as the pick
  EXPECT_TRUE(Form->State.PendDelimiter);
  EXPECT_FALSE(Form->State.PickArmed);
  EXPECT_EQ(Form->DelimiterBox1->currentText(), "   |");
}

TEST_F(MainWindow, EveryBoxMarksItsOwnFlag) {
  ShowSettings();
  const std::pair<TComboBox*, bool UtilityState::*> boxes[] = {
      {Form->ProtocolBox1, &UtilityState::PendProtocol},      {Form->AddrBox1, &UtilityState::PendAddrMode},
      {Form->RS485Box1, &UtilityState::PendRs485Baud},        {Form->Format485Box1, &UtilityState::PendRs485Format},
      {Form->RS232Box1, &UtilityState::PendRs232Baud},        {Form->Format232Box1, &UtilityState::PendRs232Format},
      {Form->TxmodeBox1, &UtilityState::PendTxMode},          {Form->crBox1, &UtilityState::PendAppendStop},
      {Form->CheckSumBox1, &UtilityState::PendChecksum},      {Form->DelimiterBox1, &UtilityState::PendDelimiter}};
  for (const auto& [box, flag] : boxes) {
    SCOPED_TRACE(box->objectName().toStdString());
    Form->State = UtilityState{};
    Form->State.PickArmed = true;
    box->setCurrentIndex(1);
    EXPECT_TRUE(Form->State.*flag);
    EXPECT_FALSE(Form->State.PickArmed);
    int marked = 0;
    for (const auto& [other, otherFlag] : boxes) marked += (Form->State.*otherFlag) ? 1 : 0;
    EXPECT_EQ(marked, 1);
  }
}

TEST_F(MainWindow, ArrowKeysFirstPressUndoneNextAccepted) {
  ShowSettings();
  Form->State.DevRs485Baud = 5;
  Form->RS485Box1->SetItemIndex(5);
  Form->activateWindow();
  Form->RS485Box1->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->RS485Box1->hasFocus(); }));

  QTest::keyPress(QApplication::focusWidget(), Qt::Key_Down);
  EXPECT_EQ(Form->RS485Box1->ItemIndex(), 5);  // moved by the key, put back
  EXPECT_FALSE(Form->State.PendRs485Baud);
  EXPECT_FALSE(Form->State.PickArmed);
  QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Down);
  EXPECT_TRUE(Form->State.PickArmed);

  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
  EXPECT_EQ(Form->RS485Box1->ItemIndex(), 6);
  EXPECT_TRUE(Form->State.PendRs485Baud);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
  EXPECT_EQ(Form->RS485Box1->ItemIndex(), 5);
  // Other keys do not arm the pick.
  Form->State.PickArmed = false;
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
  EXPECT_FALSE(Form->State.PickArmed);
}

TEST_F(MainWindow, HostBoxesTakeOneTypedCharacterButShowWholeItems) {
  Form->activateWindow();
  Form->FormatBox1->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->FormatBox1->hasFocus(); }));
  Form->FormatBox1->lineEdit()->selectAll();
  QTest::keyClicks(QApplication::focusWidget(), "E72");
  EXPECT_EQ(Form->FormatBox1->currentText(), "E");
  Form->FormatBox1->setCurrentIndex(8);
  EXPECT_EQ(Form->FormatBox1->currentText(), "E,7,2");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
  EXPECT_EQ(Form->FormatBox1->currentText(), "E,7,");  // deleting is always allowed
}

TEST_F(MainWindow, ChecksumInterlockBothWays) {
  ShowSettings();
  // Recorded: address mode OFF (edit hidden), fast response, checksum OFF.
  Form->State.DevAddrMode = 1;
  Form->State.DevTxMode = 1;
  Form->State.DevChecksum = 1;
  Form->AddrBox1->SetItemIndex(1);
  Form->TxmodeBox1->SetItemIndex(1);
  Form->CheckSumBox1->SetItemIndex(1);
  Form->AddrEdit1->hide();
  Form->UpDown1->hide();

  Pick(Form->CheckSumBox1, 0);
  EXPECT_TRUE(Form->State.PendChecksum);
  EXPECT_EQ(Form->AddrBox1->currentText(), "ON");
  EXPECT_TRUE(Form->State.PendAddrMode);
  EXPECT_EQ(Form->TxmodeBox1->currentText(), "NORMAL MODE");
  EXPECT_TRUE(Form->State.PendTxMode);
  EXPECT_FALSE(Form->AddrBox1->isEnabled());
  EXPECT_FALSE(Form->TxmodeBox1->isEnabled());
  EXPECT_TRUE(Form->AddrEdit1->isVisible());
  EXPECT_TRUE(Form->UpDown1->isVisible());

  Pick(Form->CheckSumBox1, 1);
  EXPECT_TRUE(Form->AddrBox1->isEnabled());
  EXPECT_TRUE(Form->TxmodeBox1->isEnabled());
  EXPECT_EQ(Form->AddrBox1->currentText(), "ON");  // unlocked, not changed back
}

TEST_F(MainWindow, ChecksumOnWithAddressAndTxAlreadyRightMarksOnlyItself) {
  ShowSettings();
  Form->AddrBox1->SetItemIndex(0);
  Form->TxmodeBox1->SetItemIndex(0);
  Pick(Form->CheckSumBox1, 0);
  EXPECT_TRUE(Form->State.PendChecksum);
  EXPECT_FALSE(Form->State.PendAddrMode);
  EXPECT_FALSE(Form->State.PendTxMode);
  EXPECT_FALSE(Form->AddrBox1->isEnabled());
}

TEST_F(MainWindow, AddressModeShowsTheAddressOnlyForOn) {
  ShowSettings();
  Pick(Form->AddrBox1, 1);
  EXPECT_TRUE(Form->State.PendAddrMode);
  EXPECT_FALSE(Form->AddrEdit1->isVisible());
  EXPECT_FALSE(Form->UpDown1->isVisible());
  Pick(Form->AddrBox1, 0);
  EXPECT_TRUE(Form->AddrEdit1->isVisible());
  EXPECT_TRUE(Form->UpDown1->isVisible());
}

TEST_F(MainWindow, UpDownWrapsAtBothEnds) {
  ShowSettings();
  Form->UpDown1->SetPosition(254);
  QTest::mouseClick(Form->UpDown1->UpButton(), Qt::LeftButton);
  EXPECT_EQ(Form->AddrEdit1->text(), "FF");
  EXPECT_TRUE(Form->State.PendAddress);
  QTest::mouseClick(Form->UpDown1->UpButton(), Qt::LeftButton);
  EXPECT_EQ(Form->AddrEdit1->text(), "00");
  EXPECT_EQ(Form->UpDown1->Position(), 0);
  QTest::mouseClick(Form->UpDown1->DownButton(), Qt::LeftButton);
  EXPECT_EQ(Form->AddrEdit1->text(), "FF");
  EXPECT_EQ(Form->AddrEdit1->Value(), 255);
  EXPECT_EQ(Form->UpDown1->Position(), 255);
}

TEST_F(MainWindow, StopCharacterEditKeepsItsParameter) {
  ShowSettings();
  Form->ECEdit1->selectAll();
  QTest::keyClicks(Form->ECEdit1, "2a");
  EXPECT_EQ(Form->ECEdit1->text(), "2A");
  EXPECT_TRUE(Form->State.PendStopChar);
  EXPECT_EQ(Form->State.ParStopChar, "2A");
  Form->ECEdit1->clear();
  EXPECT_EQ(Form->State.ParStopChar, "00");  // an empty edit is 0
  Form->State.PendStopChar = false;
  Form->ECEdit1->SetValue(0x0D);  // the program's own changes count too
  EXPECT_TRUE(Form->State.PendStopChar);
  EXPECT_EQ(Form->State.ParStopChar, "0D");
}

// ---- Product ID commit ----

class ProductIdCommit : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    ShowSettings();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    Form->ProductID->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Form->ProductID->hasFocus(); }));
  }
  static void OpenAndCloseMenu(QMenu* Menu) {
    Menu->menuAction()->setEnabled(true);
    Menu->popup(QPoint(0, 0));
    ASSERT_TRUE(QTest::qWaitFor([Menu] { return Menu->isVisible(); }));
    Menu->close();
  }
};

TEST_F(ProductIdCommit, EnterAlwaysCommits) {
  QTest::keyClick(Form->ProductID, Qt::Key_Return);
  EXPECT_TRUE(Form->State.PendProductId);
  EXPECT_FALSE(Form->State.ProductIdEdited);
}

TEST_F(ProductIdCommit, TypingAloneCommitsNothingNorDoesTheKrm4610Menu) {
  QTest::keyClicks(Form->ProductID, "A");
  EXPECT_EQ(Form->ProductID->text(), "A");
  EXPECT_TRUE(Form->State.ProductIdEdited);
  OpenAndCloseMenu(Form->KRM46101);
  Form->BoxHook = [](const QString&, const QString&, TBoxKind) { return int(QMessageBox::Ok); };
  Form->SAVE1->trigger();
  EXPECT_TRUE(Form->State.SaveRequested);
  EXPECT_FALSE(Form->State.PendProductId);
  EXPECT_TRUE(Form->State.ProductIdEdited);
  EXPECT_TRUE(Form->ProductID->hasFocus());
}

TEST_F(ProductIdCommit, TestOrQuitTitleCommitsATypedId) {
  for (QMenu* menu : {Form->TEST1, Form->QUIT1}) {
    SCOPED_TRACE(menu->title().toStdString());
    Form->State.PendProductId = false;
    QTest::keyClick(Form->ProductID, Qt::Key_B);
    OpenAndCloseMenu(menu);
    EXPECT_TRUE(Form->State.PendProductId);
    EXPECT_FALSE(Form->State.ProductIdEdited);
  }
  // Nothing typed since: the title commits nothing.
  Form->State.PendProductId = false;
  OpenAndCloseMenu(Form->TEST1);
  EXPECT_FALSE(Form->State.PendProductId);
}

TEST_F(ProductIdCommit, LeavingTheFieldCommitsOnlyAfterTyping) {
  QTest::keyClick(Form->ProductID, Qt::Key_Tab);  // the Tab that leaves is not typing
  ASSERT_TRUE(QTest::qWaitFor([this] { return !Form->ProductID->hasFocus(); }));
  EXPECT_FALSE(Form->State.PendProductId);
  EXPECT_FALSE(Form->State.ProductIdEdited);

  Form->ProductID->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->ProductID->hasFocus(); }));
  QTest::keyClick(Form->ProductID, Qt::Key_Backspace);  // Backspace counts as typed
  EXPECT_TRUE(Form->State.ProductIdEdited);
  Form->DelimiterBox1->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(QTest::qWaitFor([this] { return !Form->ProductID->hasFocus(); }));
  EXPECT_TRUE(Form->State.PendProductId);
  EXPECT_FALSE(Form->State.ProductIdEdited);
}

TEST_F(ProductIdCommit, PastedLineBreaksCannotEnterTheId) {
  // A control character would end the write frame early and send the rest
  // as a frame of its own: such a paste is refused, the text stays.
  QTest::keyClicks(Form->ProductID, "PUMP");
  QApplication::clipboard()->setText(QStringLiteral("-7\rCD"));
  Form->ProductID->paste();
  EXPECT_EQ(Form->ProductID->text(), "PUMP");
  QApplication::clipboard()->setText(QStringLiteral(" NO. 7"));
  Form->ProductID->paste();
  EXPECT_EQ(Form->ProductID->text(), "PUMP NO. 7");
}

// ---- Boxes and menu actions ----

TEST_F(MainWindow, SaveAsksThroughTheOneBoxFunction) {
  QString text, caption;
  TBoxKind kind = TBoxKind::Message;
  int answer = QMessageBox::Cancel;
  Form->BoxHook = [&](const QString& Text, const QString& Caption, TBoxKind Kind) {
    text = Text;
    caption = Caption;
    kind = Kind;
    return answer;
  };
  Form->State.PendRs485Baud = true;
  Form->SAVE1Click();
  EXPECT_EQ(text, "CHANGE KRM4610 SETTING?");
  EXPECT_EQ(caption, "Confirm");
  EXPECT_EQ(kind, TBoxKind::Confirm);
  EXPECT_FALSE(Form->State.SaveRequested);
  EXPECT_TRUE(Form->State.PendRs485Baud);
  answer = QMessageBox::Ok;
  Form->SAVE1Click();
  EXPECT_TRUE(Form->State.SaveRequested);
}

TEST_F(MainWindow, FirmwareVersionOnlyRaisesTheRequest) {
  Form->FWVERSION1Click();
  Form->FWVERSION1Click();
  EXPECT_TRUE(Form->State.VersionRequested);
  EXPECT_FALSE(Form->State.Busy);
}

TEST_F(MainWindow, QuitYesWaitsForTheOutstandingRequest) {
  Form->State.Busy = true;
  Form->YES1->trigger();
  EXPECT_TRUE(Form->State.QuitRequested);
  EXPECT_TRUE(Form->isVisible());
  Form->State.Busy = false;
  Form->State.QuitRequested = false;
  Form->NO1->trigger();
  EXPECT_FALSE(Form->State.QuitRequested);
  EXPECT_TRUE(Form->isVisible());
  Form->YES1->trigger();
  EXPECT_FALSE(Form->isVisible());
}

TEST_F(MainWindow, EndedScanShowsTheCountOnEveryTick) {
  Form->State.LinkPhase = 2;
  Form->State.ModuleCount = 3;
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 3 MODULE FOUND"; }));
  Form->State.ModuleCount = 12;
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->Panel3->text() == "SCAN COMPLETE. 12 MODULE FOUND"; }));
}

bool Near(const QColor& Seen, const QColor& Wanted) {
  return std::abs(Seen.red() - Wanted.red()) < 12 && std::abs(Seen.green() - Wanted.green()) < 12 &&
         std::abs(Seen.blue() - Wanted.blue()) < 12;
}

QColor PixelOf(const QImage& Shot, const TForm1& Form, const QWidget* W, QPoint At) {
  return Shot.pixelColor(W->mapTo(&Form, At) * Shot.devicePixelRatio());
}

TEST_F(MainWindow, WriteSequencerWaitsWhileBusyAndGoesIdleBeforeAVerdict) {
  int stepWhenShown = -1;
  QString shown;
  Form->BoxHook = [&](const QString& Text, const QString&, TBoxKind) {
    stepWhenShown = Form->State.WriteStep;
    shown = Text;
    return int(QMessageBox::Ok);
  };
  Form->Timer2->stop();
  Form->State.WriteStep = 3;
  Form->State.Busy = true;
  Form->State.ExchangeOwner = TExchangeOwner::Sequencer;
  Form->Timer2Timer();
  EXPECT_EQ(Form->State.WriteStep, 3);
  Form->State.Busy = false;
  Form->State.SequencerReplyOk = false;
  Form->Timer2Timer();
  EXPECT_EQ(Form->State.WriteStep, 0);
  EXPECT_EQ(shown, "Setting RS-232 baudrate fail");
  EXPECT_EQ(stepWhenShown, 0);
}

TEST_F(MainWindow, ScreenshotAfterStartUp) {
  const QImage shot = Form->grab().toImage();
  EXPECT_TRUE(shot.save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-start.png")));
  EXPECT_EQ(PixelOf(shot, *Form, Form->Client, {300, 300}), QColor(0, 0, 0xFF));  // blue window
  EXPECT_EQ(PixelOf(shot, *Form, Form->Panel2, {3, 3}), QColor(0, 0x80, 0x80));   // teal panel
  EXPECT_TRUE(Near(PixelOf(shot, *Form, Form->BaudBox1, {4, 10}), QColor(0, 0x80, 0)));  // green input

  // The same window with its inputs shown, as after a read-back.
  ShowSettings();
  Form->ProductID->setText(QStringLiteral("KRM-4610 RS485 CONVERTER"));
  const QImage settings = Form->grab().toImage();
  EXPECT_TRUE(settings.save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-settings.png")));
  EXPECT_TRUE(Near(PixelOf(settings, *Form, Form->ProductID, {240, 10}), QColor(0, 0x80, 0)));
  Form->ECEdit1->setEnabled(false);  // a disabled numeric edit stays green
  const QImage disabled = Form->grab().toImage();
  EXPECT_TRUE(Near(PixelOf(disabled, *Form, Form->ECEdit1, {20, 10}), QColor(0, 0x80, 0)));
}

}  // namespace
