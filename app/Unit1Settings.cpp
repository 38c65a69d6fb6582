// Unit1, the chosen converter's settings: the ten-query read-back and its
// decoding into the inputs, and the write sequencer that turns pending
// changes into one command per exchange after SAVE, judges each on the
// following tick and fetches the firmware version.
#include "KrmProtocol.h"
#include "Unit1.h"
#include "umEdit.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QTimer>

namespace {

constexpr int ReadBackQueries = 10;

QString Latin1(const std::string& Text) {
  return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

bool IsItemOf(const TComboBox* Box, int Index) { return Index >= 0 && Index < Box->count(); }

// The sequencer's steps and the flag whose write each one judges.
enum WriteSteps {
  wsProtocol = 1,
  wsRs485Baud,
  wsRs232Baud,
  wsAddress,
  wsAddrMode,
  wsTxMode,
  wsAppendStop,
  wsDelimiter,
  wsProductId,
  wsRs485Format,
  wsRs232Format,
  wsVersion,
  wsChecksum,
  wsStopChar,
};

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
  SendWhenFree('E');
}

void TForm1::ReadBackStep() {
  if (SendDeferred()) return;
  State.ReplyEvent = false;
  // A reply too short to carry a value counts as no answer: the entry keeps
  // what it held, as after a time-out.
  if (State.ReplyOk && State.QueryIndex >= 0 && State.QueryIndex < ReadBackQueries) {
    if (const auto value = ReplyHexPair(State.ReplyText))
      State.ReadBack[static_cast<std::size_t>(State.QueryIndex)] = *value;
  }
  ++State.QueryIndex;
  if (State.QueryIndex < ReadBackQueries) {
    SendCommand('E');
    if (State.PortOk) return;
    // The port is gone: show what was read rather than wait for ever.
  }
  FinishReadBack();
}

void TForm1::FinishReadBack() {
  ApplyReadBack();
  State.LinkPhase = 0;
  State.WriteStep = 0;
  for (bool* flag : PendingFlags()) *flag = false;
  Timer2->start();
  Timer1->stop();
}

std::array<bool*, 13> TForm1::PendingFlags() {
  return {&State.PendProtocol,   &State.PendRs485Baud,  &State.PendRs232Baud,   &State.PendAddress, &State.PendAddrMode,
          &State.PendTxMode,     &State.PendStopChar,   &State.PendAppendStop,  &State.PendChecksum,
          &State.PendDelimiter,  &State.PendProductId,  &State.PendRs485Format, &State.PendRs232Format};
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
  const auto& r = State.ReadBack;
  EnableMenu(KRM46101, State.ModulesFound);
  EnableMenu(TEST1, true);

  const ModeSettings mode = DecodeModeBits(r[4]);
  State.DevProtocol = mode.Protocol;
  ProtocolBox1->SetItemIndex(mode.Protocol);
  State.DevAddrMode = mode.AddrMode;
  AddrBox1->SetItemIndex(mode.AddrMode);
  ShowAddress(mode.AddrMode == 0);
  State.DevTxMode = mode.TxMode;
  TxmodeBox1->SetItemIndex(mode.TxMode);
  State.DevAppendStop = mode.AppendStop;
  crBox1->SetItemIndex(mode.AppendStop);
  State.DevChecksum = mode.Checksum;
  CheckSumBox1->SetItemIndex(mode.Checksum);

  const FormatItems formats = DecodeFormats(r[3]);
  State.DevRs485Format = formats.Rs485;
  ShowRecordedFormat(Format485Box1, formats.Rs485);
  State.DevRs232Format = formats.Rs232;
  ShowRecordedFormat(Format232Box1, formats.Rs232);

  State.DevAddress = AddressOfReadBack(r[6], r[7]);
  UpDown1->SetPosition(State.DevAddress);
  AddrEdit1->SetValue(State.DevAddress);

  ECEdit1->SetValue(r[8]);
  State.DevStopChar = r[8];
  State.ParStopChar = HexByte(r[8]);

  State.DevRs485Baud = r[2];
  RS485Box1->SetItemIndex(r[2]);
  State.DevRs232Baud = r[1];
  RS232Box1->SetItemIndex(r[1]);

  // A delimiter that is none of the eight selects no item (recorded as -1).
  State.DevDelimiter = DelimiterIndexOfCode(r[5]);
  DelimiterBox1->SetItemIndex(State.DevDelimiter);

  const QTableWidgetItem* listed = FChosenRow > 0 ? ShowDevice->item(FChosenRow, 1) : nullptr;
  ProductID->setText(listed ? listed->text() : QString());

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

void TForm1::Timer2Timer() {
  // A box the sequencer opened is still on screen: its ticks wait for it.
  if (FSequencerInBox) return;
  // The console owns the line while it is open; writes wait until it ends.
  if (State.TestActive) return;
  if (State.Busy) return;
  if (State.WriteStep == 0) return StartNextWrite();
  // Back to idle before any verdict box opens.
  const int step = State.WriteStep;
  State.WriteStep = 0;
  JudgeWrite(step);
}

bool TForm1::SendWrite(char Letter) {
  // Busy is clear on entry, so it tells whether the frame really went out.
  FSequencerInBox = true;  // a failed open shows its warning inside the send
  SendCommand(Letter);
  FSequencerInBox = false;
  return State.Busy;
}

void TForm1::StartNextWrite() {
  // Each row: its condition flag, whether a frame can be made from the
  // control, how to fill the frame, its letter and its verdict step.
  struct Row {
    bool* Flag;
    bool Sendable;
    char Letter;
    int Step;
  };
  const int rs485Baud = RS485Box1->ItemIndex();
  const int rs232Baud = RS232Box1->ItemIndex();
  const int delimiter = DelimiterBox1->ItemIndex();
  const int rs485Format = Format485Box1->ItemIndex();
  const int rs232Format = Format232Box1->ItemIndex();
  const bool saving = State.SaveRequested;
  const Row rows[] = {
      {&State.PendProtocol, true, ProtocolBox1->ItemIndex() == 0 ? 'A' : 'B', wsProtocol},
      {&State.PendRs485Baud, IsItemOf(RS485Box1, rs485Baud), '1', wsRs485Baud},
      {&State.PendRs232Baud, IsItemOf(RS232Box1, rs232Baud), '0', wsRs232Baud},
      {&State.PendAddress, true, '8', wsAddress},
      {&State.PendAddrMode, true, AddrBox1->ItemIndex() == 0 ? '4' : '5', wsAddrMode},
      {&State.PendTxMode, true, TxmodeBox1->ItemIndex() == 0 ? 'N' : 'F', wsTxMode},
      {&State.PendStopChar, true, '9', wsStopChar},
      {&State.PendAppendStop, true, crBox1->ItemIndex() == 0 ? 'L' : 'J', wsAppendStop},
      {&State.PendChecksum, CheckSumBox1->ItemIndex() != State.DevChecksum, 'S', wsChecksum},
      {&State.PendDelimiter, IsItemOf(DelimiterBox1, delimiter), 'C', wsDelimiter},
      {&State.PendProductId, true, '6', wsProductId},
      {&State.PendRs485Format, IsItemOf(Format485Box1, rs485Format), '3', wsRs485Format},
      {&State.PendRs232Format, IsItemOf(Format232Box1, rs232Format), '2', wsRs232Format},
      {&State.VersionRequested, true, 'V', wsVersion},
  };
  for (const Row& row : rows) {
    if (!*row.Flag) continue;
    if (row.Step != wsVersion && !saving) continue;
    *row.Flag = false;
    // Nothing to send (the checksum already as recorded, a box on no item):
    // no frame, so no verdict either.
    if (!row.Sendable) return;
    switch (row.Step) {
      case wsRs485Baud: State.ParRs485Baud = static_cast<char>('0' + rs485Baud); break;
      case wsRs232Baud: State.ParRs232Baud = static_cast<char>('0' + rs232Baud); break;
      case wsAddress: State.ParAddress = HexByte(AddrEdit1->Value()); break;
      case wsDelimiter: State.ParDelimiter = DelimiterTable[static_cast<std::size_t>(delimiter)]; break;
      case wsProductId: State.ParProductId = ProductID->text().toLatin1().toStdString(); break;
      case wsRs485Format: State.ParRs485Format = FormatCodeTable[static_cast<std::size_t>(rs485Format)]; break;
      case wsRs232Format: State.ParRs232Format = FormatCodeTable[static_cast<std::size_t>(rs232Format)]; break;
      default: break;  // the others carry no parameter, or ParStopChar is kept by its edit
    }
    if (SendWrite(row.Letter)) {
      State.WriteStep = row.Step;
    } else if (row.Step != wsVersion) {
      // The host port would not open: the setting stays pending for the
      // next SAVE and this save ends, rather than a warning per setting.
      *row.Flag = true;
      State.SaveRequested = false;
    }
    return;
  }
  State.SaveRequested = false;
}

void TForm1::RequeueWrite(int Step) {
  bool* const flags[] = {nullptr,
                         &State.PendProtocol,
                         &State.PendRs485Baud,
                         &State.PendRs232Baud,
                         &State.PendAddress,
                         &State.PendAddrMode,
                         &State.PendTxMode,
                         &State.PendAppendStop,
                         &State.PendDelimiter,
                         &State.PendProductId,
                         &State.PendRs485Format,
                         &State.PendRs232Format,
                         &State.VersionRequested,
                         &State.PendChecksum,
                         &State.PendStopChar};
  if (Step > 0 && Step < static_cast<int>(std::size(flags))) *flags[Step] = true;
}

void TForm1::JudgeWrite(int Step) {
  const bool ok = State.ReplyOk;
  // On success the recorded value follows the control, unless the operator
  // changed it again meanwhile; on failure the control goes back to it.
  auto settle = [ok](TComboBox* Box, bool Again, std::int32_t& Recorded) {
    if (ok) {
      if (!Again) Recorded = Box->ItemIndex();
    } else {
      Box->SetItemIndex(Recorded);
    }
  };
  const char* failure = nullptr;
  switch (Step) {
    case wsProtocol:
      settle(ProtocolBox1, State.PendProtocol, State.DevProtocol);
      failure = "Setting RS-485/422 protocol fail";
      break;
    case wsRs485Baud:
      settle(RS485Box1, State.PendRs485Baud, State.DevRs485Baud);
      failure = "Write RS-485 baudrate fail";
      break;
    case wsRs232Baud:
      settle(RS232Box1, State.PendRs232Baud, State.DevRs232Baud);
      failure = "Setting RS-232 baudrate fail";
      break;
    case wsAddress:
      if (ok) {
        if (!State.PendAddress) State.DevAddress = AddrEdit1->Value();
      } else {
        AddrEdit1->SetValue(State.DevAddress);
        UpDown1->SetPosition(State.DevAddress);
      }
      failure = "Write IP address fail";
      break;
    case wsAddrMode:
      settle(AddrBox1, State.PendAddrMode, State.DevAddrMode);
      ShowAddress(State.DevAddrMode == 0);
      failure = "Setting address mode fail";
      break;
    case wsTxMode:
      settle(TxmodeBox1, State.PendTxMode, State.DevTxMode);
      failure = "Setting transfer mode fail";
      break;
    case wsAppendStop:
      settle(crBox1, State.PendAppendStop, State.DevAppendStop);
      failure = "Setting send cr fail";
      break;
    case wsDelimiter:
      settle(DelimiterBox1, State.PendDelimiter, State.DevDelimiter);
      failure = "Write delimiter fail";
      break;
    case wsProductId:
      failure = "Write product ID fail";
      break;
    case wsRs485Format:
      if (ok && !State.PendRs485Format) State.DevRs485Format = Format485Box1->ItemIndex();
      if (!ok) ShowRecordedFormat(Format485Box1, State.DevRs485Format);
      failure = "Write RS-485/422 data format fail";
      break;
    case wsRs232Format:
      if (ok && !State.PendRs232Format) State.DevRs232Format = Format232Box1->ItemIndex();
      if (!ok) ShowRecordedFormat(Format232Box1, State.DevRs232Format);
      failure = "Write RS-232 data format fail";
      break;
    case wsVersion:
      if (ok)
        ShowSequencerBox(QStringLiteral("Firmware Version ") + Latin1(ReplyTextCut(State.ReplyText, State.ReplyLength)),
                         QStringLiteral("KRM4610"));
      return;
    case wsChecksum:
      settle(CheckSumBox1, State.PendChecksum, State.DevChecksum);
      failure = "Checksum mode changed fail";
      break;
    case wsStopChar:
      if (ok) {
        if (!State.PendStopChar) State.DevStopChar = ECEdit1->Value();
      } else {
        // Loading the edit marks a change of its own; only the operator's
        // new choice may stay pending, or the old value would be written back.
        const bool again = State.PendStopChar;
        ECEdit1->SetValue(State.DevStopChar);
        State.PendStopChar = again;
      }
      failure = "Write Stop character fail";
      break;
    default:
      return;
  }
  if (!ok) ShowSequencerBox(QString::fromLatin1(failure), QStringLiteral("Message"));
}

void TForm1::ShowSequencerBox(const QString& Text, const QString& Caption) {
  FSequencerInBox = true;
  ShowBox(Text, Caption, TBoxKind::Message);
  FSequencerInBox = false;
}
