// Unit1, the chosen converter's settings: the ten-query read-back and its
// decoding into the inputs, and the write sequencer that turns pending
// changes into one command per exchange after SAVE, judges each on the
// following tick and fetches the firmware version.
#include "KrmProtocol.h"
#include "KrmSettings.h"
#include "Latin1Text.h"
#include "Unit1.h"
#include "umEdit.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QTimer>

namespace {

bool IsItemOf(const TComboBox* Box, int Index) { return Index >= 0 && Index < Box->count(); }

}  // namespace

void TForm1::EnableMenu(QMenu* Menu, bool Enabled) {
  Menu->setEnabled(Enabled);
  Menu->menuAction()->setEnabled(Enabled);
}

// ---- Read-back ----

void TForm1::StartReadBack(int Row) {
  FChosenRow = Row;
  State.LinkPhase = 5;
  State.QueryIndex = 0;
  Request(TExchangeOwner::Engine, ReadBackLetter);  // after a product ID read still out
}

void TForm1::ReadBackStep() {
  State.ReplyEvent = false;
  TakeReadBackReply(State);
  ++State.QueryIndex;
  if (State.QueryIndex < ReadBackQueries) return Request(TExchangeOwner::Engine, ReadBackLetter);
  FinishReadBack();
}

void TForm1::FinishReadBack() {
  ApplyReadBack();
  State.LinkPhase = 0;
  State.WriteStep = 0;
  for (const TSettingControl& control : FSettingControls) State.*control.Pending = false;
  Timer2->start();
  Timer1->stop();
}

// A format the converter reported that no item stands for shows "Unknow";
// its recorded value is then -1, never a format of an earlier converter.
void TForm1::ShowRecordedFormat(TComboBox* Box, int Recorded) {
  if (IsItemOf(Box, Recorded))
    Box->SetItemIndex(Recorded);
  else
    Box->SetText(Latin1(std::string(UnknownFormatText)));
}

void TForm1::ApplyReadBack() {
  EnableMenu(KRM46101, State.ModulesFound);
  EnableMenu(TEST1, true);

  RecordReadBack(State);
  ProtocolBox1->SetItemIndex(State.DevProtocol);
  AddrBox1->SetItemIndex(State.DevAddrMode);
  ShowAddress(State.DevAddrMode == 0);
  TxmodeBox1->SetItemIndex(State.DevTxMode);
  crBox1->SetItemIndex(State.DevAppendStop);
  CheckSumBox1->SetItemIndex(State.DevChecksum);
  ShowRecordedFormat(Format485Box1, State.DevRs485Format);
  ShowRecordedFormat(Format232Box1, State.DevRs232Format);
  UpDown1->SetPosition(State.DevAddress);
  AddrEdit1->SetValue(State.DevAddress);
  ECEdit1->SetValue(State.DevStopChar);
  State.ParStopChar = HexByte(State.DevStopChar);  // as read, even beyond what the edit holds
  RS485Box1->SetItemIndex(State.DevRs485Baud);
  RS232Box1->SetItemIndex(State.DevRs232Baud);
  DelimiterBox1->SetItemIndex(State.DevDelimiter);  // -1: none of the eight, no item

  // A product ID ends at a control character: what follows in its reply
  // (noise, a second reply) is no part of it and must never be written back.
  const QTableWidgetItem* listed = FChosenRow > 0 ? ShowDevice->item(FChosenRow, 1) : nullptr;
  const std::string listedId = listed ? Latin1Bytes(listed->text()).value_or(std::string()) : std::string();
  ProductID->setText(Latin1(FrameTextPrefix(listedId)));

  for (QWidget* box : std::initializer_list<QWidget*>{ComPortBox1, BaudBox1, FormatBox1}) box->setEnabled(true);
  for (QWidget* input : std::initializer_list<QWidget*>{ProtocolBox1, AddrBox1, RS485Box1, Format485Box1, RS232Box1,
                                                         Format232Box1, TxmodeBox1, crBox1, ECEdit1, CheckSumBox1,
                                                         DelimiterBox1, ProductID})
    input->show();

  if (State.InitStepMode) {
    for (QWidget* input : std::initializer_list<QWidget*>{ProtocolBox1, AddrBox1, RS485Box1, Format485Box1, RS232Box1,
                                                           Format232Box1, TxmodeBox1, crBox1, UpDown1, AddrEdit1,
                                                           ECEdit1, CheckSumBox1})
      input->setEnabled(true);
  }
  DelimiterBox1->setEnabled(true);
  ProductID->setEnabled(true);
}

// ---- Write sequencer ----

void TForm1::CreateSettingControls() {
  auto box = [](TComboBox* Box) {
    return std::pair<std::function<std::int32_t()>, std::function<void(std::int32_t)>>{
        [Box] { return Box->ItemIndex(); }, [Box](std::int32_t Item) { Box->SetItemIndex(Item); }};
  };
  auto format = [this](TComboBox* Box) {
    return std::pair<std::function<std::int32_t()>, std::function<void(std::int32_t)>>{
        [Box] { return Box->ItemIndex(); }, [this, Box](std::int32_t Item) { ShowRecordedFormat(Box, Item); }};
  };
  struct Binding {
    TSetting Setting;
    std::pair<std::function<std::int32_t()>, std::function<void(std::int32_t)>> Control;
  };
  const Binding bindings[] = {
      {TSetting::Protocol, box(ProtocolBox1)},
      {TSetting::Rs485Baud, box(RS485Box1)},
      {TSetting::Rs232Baud, box(RS232Box1)},
      {TSetting::Address,
       {[this] { return AddrEdit1->Value(); },
        [this](std::int32_t Address) {
          AddrEdit1->SetValue(Address);
          UpDown1->SetPosition(Address);
        }}},
      {TSetting::AddrMode, box(AddrBox1)},
      {TSetting::TxMode, box(TxmodeBox1)},
      {TSetting::StopChar,
       {[this] { return ECEdit1->Value(); },
        [this](std::int32_t Code) {
          // Loading the edit marks a change of its own; only the operator's
          // new choice may stay pending, or the old value would be written back.
          const bool again = State.PendStopChar;
          ECEdit1->SetValue(Code);
          State.PendStopChar = again;
        }}},
      {TSetting::AppendStop, box(crBox1)},
      {TSetting::Checksum, box(CheckSumBox1)},
      {TSetting::Delimiter, box(DelimiterBox1)},
      {TSetting::ProductId, {[] { return 0; }, nullptr}},
      {TSetting::Rs485Format, format(Format485Box1)},
      {TSetting::Rs232Format, format(Format232Box1)},
  };
  for (const TWriteRow& row : WriteOrder) {
    const auto* binding = std::find_if(std::begin(bindings), std::end(bindings),
                                       [&row](const Binding& B) { return B.Setting == row.Setting; });
    TSettingControl control{&row, PendingFlag(row.Setting), RecordedField(row.Setting), binding->Control.first,
                            binding->Control.second, false, nullptr};
    // The checksum goes out only as a change of the recorded mode.
    control.OnlyWhenChanged = row.Setting == TSetting::Checksum;
    if (row.Setting == TSetting::AddrMode) control.Settled = [this] { ShowAddress(State.DevAddrMode == 0); };
    FSettingControls.push_back(std::move(control));
  }
}

void TForm1::Timer2Timer() {
  if (State.ModalLoops > 0) return;
  if (State.WriteStep != 0) {
    // The verdict waits for its own exchange only; its outcome was kept.
    if (State.Busy && State.ExchangeOwner == TExchangeOwner::Sequencer) return;
    const int step = State.WriteStep;
    State.WriteStep = 0;  // back to idle before any verdict box opens
    return JudgeWrite(step);
  }
  if (State.Busy) return;
  StartNextWrite();
}

void TForm1::StartNextWrite() {
  if (State.SaveRequested) {
    for (const TSettingControl& control : FSettingControls) {
      if (State.*control.Pending) return WriteSetting(control);
    }
  }
  if (State.VersionRequested) {
    State.VersionRequested = false;  // spent, also when it cannot go out
    Request(TExchangeOwner::Sequencer, VersionLetter);
    if (State.Busy) State.WriteStep = VersionStep;
    return;
  }
  State.SaveRequested = false;
}

void TForm1::WriteSetting(const TSettingControl& Control) {
  const TWriteRow& row = *Control.Row;
  State.*Control.Pending = false;
  const std::int32_t value = Control.Value();
  // The checksum as recorded: no frame, so no verdict either.
  if (Control.OnlyWhenChanged && value == State.*Control.Recorded) return;
  const std::optional<std::string> text =
      row.Setting == TSetting::ProductId ? Latin1Bytes(ProductID->text()) : std::string();
  if (text) {
    const char letter = PrepareWrite(row.Setting, value, *text, State);
    if (letter == 0) return;  // a box on no item: nothing to write
    Request(TExchangeOwner::Sequencer, letter);
    if (State.Busy) {
      State.WriteStep = row.Step;
      return;
    }
    if (!State.PortOk) {
      // The save ended with the port: this setting waits for the next SAVE.
      State.*Control.Pending = true;
      return;
    }
  }
  // Its text cannot go on the wire as it stands: nothing was sent, and the
  // verdict says the write failed.
  State.SequencerReplyOk = false;
  State.WriteStep = row.Step;
}

// The write out was lost with the port: its setting waits for the next SAVE.
void TForm1::RequeueWrite() {
  for (const TSettingControl& control : FSettingControls)
    if (control.Row->Step == State.WriteStep) State.*control.Pending = true;
  State.WriteStep = 0;
}

void TForm1::JudgeWrite(int Step) {
  const bool ok = State.SequencerReplyOk;
  if (Step == VersionStep) {
    if (ok)
      ShowBox(QStringLiteral("Firmware Version ") + Latin1(State.SequencerReplyText), QStringLiteral("KRM4610"),
              TBoxKind::Message);
    return;
  }
  const auto control = std::find_if(FSettingControls.begin(), FSettingControls.end(),
                                     [Step](const TSettingControl& C) { return C.Row->Step == Step; });
  if (control == FSettingControls.end()) return;
  // On success the recorded value follows the control, unless the operator
  // changed it again meanwhile; on failure the control goes back to it.
  if (control->Recorded) {
    if (!ok)
      control->Restore(State.*control->Recorded);
    else if (!(State.*control->Pending))
      State.*control->Recorded = control->Value();
  }
  if (control->Settled) control->Settled();
  if (!ok) ShowBox(Latin1(control->Row->Failure), QStringLiteral("Message"), TBoxKind::Message);
}
