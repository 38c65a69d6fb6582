// Unit1, the operator's direct line and the keyboard: the command test
// console (single shot or endless loop), the menu and list bindings of the
// operations, and the keys the window handles itself.
#include "Latin1Text.h"
#include "Unit1.h"
#include "umEdit.h"

#include <QAction>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

namespace {
// About 25 frames a second: as smooth as a screen shows a changing text.
constexpr int ConsolePaintMs = 40;
}  // namespace

void TForm1::ConnectOperations() {
  connect(SCAN1, &QAction::triggered, this, &TForm1::SCAN1Click);
  connect(SINGLETEST1, &QAction::triggered, this, &TForm1::SINGLETEST1Click);
  connect(CONTINUETEST1, &QAction::triggered, this, &TForm1::CONTINUETEST1Click);
  connect(Panel3, &TPanel::Click, this, &TForm1::Panel3Click);
  connect(ShowDevice, &QTableWidget::cellDoubleClicked, this, &TForm1::ShowDeviceDblClick);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  // Enter on a focused console button presses that button, as on the form.
  Button2->setAutoDefault(true);
  Button3->setAutoDefault(true);
  for (QObject* watched : std::initializer_list<QObject*>{ShowDevice, TxBox, RxBox}) watched->installEventFilter(this);

  FConsolePaintTimer = new QTimer(this);
  FConsolePaintTimer->setObjectName(QStringLiteral("ConsolePaintTimer"));
  FConsolePaintTimer->setSingleShot(true);
  FConsolePaintTimer->setInterval(ConsolePaintMs);
  connect(FConsolePaintTimer, &QTimer::timeout, this, [this] {
    ShowConsoleStats();
    TestBox->setUpdatesEnabled(true);
    // Painted now: the loop's next exchange may hold updates back again
    // before a queued repaint would have run.
    TestBox->repaint();
  });
}

bool TForm1::OperationKeyFilter(QObject* Watched, QEvent* Event) {
  if (Event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(Event);
  const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
  if (Watched == ShowDevice) {
    if (enter) {
      ShowDeviceKeyPress(QChar(u'\r'));
      return true;
    }
    if (!key->text().isEmpty()) ShowDeviceKeyPress(key->text().at(0));
    return false;
  }
  if ((Watched == TxBox || Watched == RxBox) && enter) {
    Button1Click();  // the console's default button
    return true;
  }
  return false;
}

// ---- Keys of the window itself ----

void TForm1::keyPressEvent(QKeyEvent* Event) {
  if (!Event->text().isEmpty()) FormKeyPress(Event->text().at(0));
  QMainWindow::keyPressEvent(Event);
}

void TForm1::FormKeyPress(QChar) {
  // Any character while the scan panel is up acts as a click on it.
  if (State.LinkPhase == 1 || State.LinkPhase == 2) Panel3Click();
}

// ---- Test console ----

void TForm1::SINGLETEST1Click() { OpenConsole(true); }

void TForm1::CONTINUETEST1Click() { OpenConsole(false); }

void TForm1::OpenConsole(bool Single) {
  HideSettings();
  EnableMenu(KRM46101, false);
  EnableMenu(TEST1, false);
  for (QWidget* box : std::initializer_list<QWidget*>{ComPortBox1, BaudBox1, FormatBox1}) box->setEnabled(false);
  RxBox->clear();
  TxBox->clear();
  TestBox->setTitle(Single ? QStringLiteral("SINGLE COMMAND TEST") : QStringLiteral("COMMAND CONTINUE TEST"));
  TestBox->show();
  State.TestActive = true;
  State.TestSingle = Single;
  State.TestStopped = true;
  TxBox->setFocus();
}

void TForm1::Button1Click() {
  if (!State.TestActive) return;
  State.TestStopped = State.TestSingle;
  FConsoleStats.Start(TExchangeStats::Clock::now());
  ShowConsoleStats();
  // With a command still out, the line goes when that one has ended.
  Request(TExchangeOwner::Console);
}

void TForm1::Button2Click() { State.TestStopped = true; }

void TForm1::Button3Click() {
  if (!State.TestActive || !State.TestStopped) return;
  ResumeConsolePaint();
  TestBox->hide();
  State.TestActive = false;
  for (QWidget* input : ConfigurationInputs()) {
    if (input == AddrEdit1 || input == UpDown1)
      input->setVisible(State.DevAddrMode == 0);
    else
      input->show();
  }
  EnableMenu(KRM46101, State.InitStepMode);
  EnableMenu(TEST1, true);
  for (QWidget* box : std::initializer_list<QWidget*>{ComPortBox1, BaudBox1, FormatBox1}) box->setEnabled(true);
}

void TForm1::ThrottleConsolePaint() {
  // While held back, the timer's frame is already due.
  if (!TestBox->updatesEnabled()) return;
  TestBox->setUpdatesEnabled(false);
  FConsolePaintTimer->start();
}

void TForm1::ResumeConsolePaint() {
  FConsolePaintTimer->stop();
  ShowConsoleStats();
  // Enabling schedules one repaint of the current state.
  if (!TestBox->updatesEnabled()) TestBox->setUpdatesEnabled(true);
}

// Set only when painted: the loop itself never waits for the text.
void TForm1::ShowConsoleStats() { StatsLabel->setText(Latin1(FConsoleStats.Line())); }
