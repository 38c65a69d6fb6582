// Unit1, finding the converters: the address scan 00..FF on the scan panel,
// the device list with the product IDs, and the choice of a module, which
// starts the read-back of its settings.
#include "AdPort.h"
#include "KrmProtocol.h"
#include "Latin1Text.h"
#include "Unit1.h"

#include <QMenu>
#include <QTableWidget>
#include <QTimer>

namespace {

constexpr int DeviceListRows = 6;

}  // namespace

// ---- Scan ----

void TForm1::SCAN1Click() {
  HideSettings();
  if (!EnsurePortOpen()) return;
  State.TargetAddress = 0;
  Request(TExchangeOwner::Engine, ProbeLetter);  // after a write still out, if one is
  State.LinkPhase = 1;
  Timer1->start();
  Timer2->stop();
  EnableMenu(KRM46101, false);
  EnableMenu(TEST1, false);
  ShowDevice->hide();
  Panel3->setText(Latin1(ScanAddressCaption(0)));
  Panel3->show();
  for (QWidget* box : std::initializer_list<QWidget*>{ComPortBox1, BaudBox1, FormatBox1}) box->setEnabled(false);
  DisableSettings();
  State.Scanning = true;
  State.ReplyEvent = false;
  State.ModuleCount = 0;
  State.ModulesFound = false;
  State.InitStepMode = false;
}

void TForm1::ScanStep() {
  State.ReplyEvent = false;
  RecordProbeReply(State);
  if (State.TargetAddress >= 255) return EndScan();
  ++State.TargetAddress;
  Panel3->setText(Latin1(ScanAddressCaption(State.TargetAddress)));
  Request(TExchangeOwner::Engine, ProbeLetter);
}

void TForm1::EndScan() {
  State.Scanning = false;
  State.LinkPhase = 2;
}

void TForm1::Panel3Click() {
  if (State.LinkPhase == 1) {
    EndScan();
    // The probe's reply, should it still come, is not evaluated. Its time-out
    // keeps running: until the one or the other, the line is not free.
    GiveUpEngineRequest();
    return;
  }
  if (State.LinkPhase != 2) return;
  Panel3->hide();
  if (!State.ModulesFound) {
    State.LinkPhase = 0;
    for (QWidget* box : std::initializer_list<QWidget*>{ComPortBox1, BaudBox1, FormatBox1}) box->setEnabled(true);
    EnableMenu(TEST1, true);
    return;
  }
  ShowDeviceList();
  State.LinkPhase = 3;
  State.ListRow = 0;
  State.TargetAddress = State.ModuleAddress[0];
  Request(TExchangeOwner::Engine, ProductIdLetter);
}

// ---- Device list ----

void TForm1::ShowDeviceList() {
  ShowDevice->item(0, 0)->setText(Latin1(std::string(DeviceListAddressHeader)));
  ShowDevice->item(0, 1)->setText(Latin1(std::string(DeviceListProductHeader)));
  for (int row = 1; row <= DeviceListRows; ++row) {
    const int module = row - 1;
    if (module < State.ModuleCount) {
      const auto index = static_cast<std::size_t>(module);
      ShowDevice->item(row, 0)->setText(
          Latin1(DeviceRowAddressText(State.ModuleAddress[index], State.ModuleInitStep[index])));
    } else {
      ShowDevice->item(row, 0)->setText(QString());
      ShowDevice->item(row, 1)->setText(QString());
    }
  }
  ShowDevice->setCurrentCell(1, 0);
  ShowDevice->show();
}

void TForm1::DeviceListStep() {
  State.ReplyEvent = false;
  const int row = State.ListRow + 1;
  if (row <= DeviceListRows)
    ShowDevice->item(row, 1)->setText(Latin1(ReplyTextCut(State.ReplyText, State.ReplyLength)));
  ++State.ListRow;
  if (State.ListRow < State.ModuleCount) {
    State.TargetAddress = State.ModuleAddress[static_cast<std::size_t>(State.ListRow)];
    return Request(TExchangeOwner::Engine, ProductIdLetter);
  }
  State.LinkPhase = 4;
  ShowDevice->setFocus();
}

void TForm1::ShowDeviceDblClick() { ChooseModule(ShowDevice->currentRow()); }

void TForm1::ShowDeviceKeyPress(QChar Key) {
  if (Key == QChar(u'\r')) ChooseModule(ShowDevice->currentRow());
}

void TForm1::ChooseModule(int Row) {
  if (State.LinkPhase != 3 && State.LinkPhase != 4) return;
  if (Row < 1 || Row > DeviceListRows || Row > State.ModuleCount) return;
  const auto index = static_cast<std::size_t>(Row - 1);
  State.TargetAddress = State.ModuleAddress[index];
  State.InitStepMode = State.ModuleInitStep[index];
  State.ModulesFound = true;
  ShowDevice->hide();
  StartReadBack(Row);  // after a product ID read still out, which nobody reads on
}
