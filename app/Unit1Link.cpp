// Unit1, the link to the converters: the host port ApdComPort1, the two
// writers SendCommand and SendTestLine, reply reception and time-outs, the
// host boxes, and the port's part in closing the window.
#include "AdPort.h"
#include "KrmProtocol.h"
#include "Latin1Text.h"
#include "Unit1.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QTableWidget>


namespace {

const QString ProgramTitle = QStringLiteral("KRM4610W");

}  // namespace

void TForm1::CreatePort() {
  ApdComPort1 = new TApdComPort(this);
  ApdComPort1->setObjectName(QStringLiteral("ApdComPort1"));
  // The form's settings, applied as the form description would while loading.
  ApdComPort1->BeginLoading();
  ApdComPort1->SetComNumber(1);
  ApdComPort1->SetBaud(9600);
  ApdComPort1->SetAutoOpen(false);
  ApdComPort1->SetTraceName("QELT.TRC");
  ApdComPort1->SetLogName("QELT.LOG");
  ApdComPort1->SetOnTrigger([this](TApdCustomComPort* CP, std::uint16_t Msg, std::uint16_t TriggerHandle,
                                   std::uint16_t Data) { ApdComPort1Trigger(CP, Msg, TriggerHandle, Data); });
  // The device went away (adapter pulled): the component has closed the port.
  ApdComPort1->SetOnPortLost([this](TApdCustomComPort*) { LineLost(); });
  ApdComPort1->EndLoading();

  connect(ComPortBox1, &TComboBox::Change, this, &TForm1::ComPortBox1Change);
  connect(BaudBox1, &TComboBox::Change, this, &TForm1::BaudBox1Change);
  connect(FormatBox1, &TComboBox::Change, this, &TForm1::FormatBox1Change);
}

void TForm1::ReportException(const std::exception& E) {
  ShowBox(QString::fromLocal8Bit(E.what()), ProgramTitle, TBoxKind::Error);
}

// ---- One exchange at a time ----

void TForm1::Request(TExchangeOwner Owner, char Letter) {
  if (State.Busy) {
    // Sent when the exchange out ends; a later request takes the place.
    State.WaitingOwner = Owner;
    State.WaitingLetter = Letter;
    return;
  }
  StartExchange(Owner, Letter);
}

void TForm1::StartExchange(TExchangeOwner Owner, char Letter) {
  State.ExchangeOwner = Owner;
  State.ReplyEvent = false;  // an earlier end is not this exchange's
  if (Owner == TExchangeOwner::Console)
    SendTestLine();
  else
    SendCommand(Letter);
}

void TForm1::SendWaiting() {
  if (State.WaitingOwner == TExchangeOwner::Nobody || State.Busy) return;
  const TExchangeOwner owner = State.WaitingOwner;
  State.WaitingOwner = TExchangeOwner::Nobody;
  StartExchange(owner, State.WaitingLetter);
}

// The engine's request out, or waiting, is no longer wanted: its end is
// dropped when it comes. A sequencer's exchange keeps its verdict.
void TForm1::GiveUpEngineRequest() {
  if (State.Busy && State.ExchangeOwner == TExchangeOwner::Engine) State.ExchangeOwner = TExchangeOwner::Nobody;
  if (State.WaitingOwner == TExchangeOwner::Engine) State.WaitingOwner = TExchangeOwner::Nobody;
}

// ---- Sending ----

bool TForm1::ArmReplyTimeout(std::int32_t Ticks) {
  try {
    ApdComPort1->ArmTimerTrigger(State.TimeoutTrigger, Ticks, true);
    return true;
  } catch (const std::exception& E) {
    ReportException(E);
    return false;
  }
}

void TForm1::Write(const std::string& Bytes) {
  try {
    ApdComPort1->SendText(Bytes);
  } catch (const std::exception& E) {
    // The exchange stays out: the time-out armed before ends it.
    ReportException(E);
  }
}

void TForm1::SendCommand(char Letter) {
  if (!EnsurePortOpen()) return;
  const std::optional<std::string> frame = CommandFrame(Letter, State, CheckSumBox1->ItemIndex());
  if (!frame) return;  // its parameter would break the frame: nothing goes out
  if (!ArmReplyTimeout(CommandTimeoutTicks(Letter, State.TimeoutTicks))) return;
  State.ReplyText.clear();
  State.ReplyLength = 0;
  State.Busy = true;
  Write(*frame);
}

void TForm1::SendTestLine() {
  if (!EnsurePortOpen()) return;
  RxBox->clear();
  TxBox->setReadOnly(true);
  if (!ArmReplyTimeout(State.TimeoutTicks + TestLineExtraTicks)) {
    TxBox->setReadOnly(false);
    return;
  }
  State.Busy = true;
  try {
    ApdComPort1->ClearOutput();
    ApdComPort1->ClearInput();
  } catch (const std::exception& E) {
    ReportException(E);
    return;
  }
  State.ReplyText.clear();
  State.ReplyLength = 0;
  // The line edit takes only Latin-1 characters.
  const std::string line = TestLineFrame(Latin1Bytes(TxBox->text()).value_or(std::string()));
  FConsoleStats.Sent(TExchangeStats::Clock::now());
  Write(line);
}

// ---- Reception ----

void TForm1::ApdComPort1Trigger(TApdCustomComPort*, std::uint16_t Msg, std::uint16_t TriggerHandle,
                                std::uint16_t Data) {
  if (Msg == TriggerAvailMsg)
    ReplyArrived(Data);
  else if (Msg == TriggerTimerMsg && TriggerHandle == State.TimeoutTrigger)
    ReplyTimedOut();
}

void TForm1::ReplyArrived(std::uint16_t Count) {
  std::string batch;
  for (std::uint16_t i = 0; i < Count; ++i) batch += ApdComPort1->ReadChar();
  const bool complete = AppendReplyBatch(State.ReplyText, State.ReplyLength, batch);
  if (ConsoleExchange()) RxBox->setText(Latin1(State.ReplyText));
  if (complete) ReplyComplete();
}

bool TForm1::ConsoleExchange() const {
  return State.TestActive && State.ExchangeOwner == TExchangeOwner::Console;
}

void TForm1::ReplyComplete() {
  if (ConsoleExchange()) FConsoleStats.Replied(TExchangeStats::Clock::now());
  if (State.QuitRequested) close();
  DisarmTimeout();
  TxBox->setReadOnly(false);
  EndExchange(true);
}

void TForm1::ReplyTimedOut() {
  if (State.QuitRequested) close();
  TxBox->setReadOnly(false);
  if (ConsoleExchange()) {
    RxBox->setText(QStringLiteral("Time out error, Test stop !!!"));
    State.TestStopped = true;
    FConsoleStats.TimedOut();
  }
  EndExchange(false);
}

void TForm1::EndExchange(bool Ok) {
  State.Busy = false;
  State.ReplyOk = Ok;
  switch (State.ExchangeOwner) {
    case TExchangeOwner::Nobody:
      return SendWaiting();  // given up: nobody takes its end
    case TExchangeOwner::Sequencer:
      State.SequencerReplyOk = Ok;
      State.SequencerReplyText = ReplyTextCut(State.ReplyText, State.ReplyLength);
      break;
    case TExchangeOwner::Engine:
    case TExchangeOwner::Console:
      break;
  }
  State.ReplyEvent = true;
  if (ConsoleExchange() && !State.TestStopped) {
    ThrottleConsolePaint();
    // The loop sends the line again; a START pressed meanwhile is the same line.
    if (State.WaitingOwner == TExchangeOwner::Console) State.WaitingOwner = TExchangeOwner::Nobody;
    return StartExchange(TExchangeOwner::Console, 0);
  }
  ResumeConsolePaint();
  SendWaiting();
}

void TForm1::DisarmTimeout() {
  // Nothing runs on a closed port; a closing one ignores the call itself.
  if (!ApdComPort1->Open()) return;
  try {
    ApdComPort1->ArmTimerTrigger(State.TimeoutTrigger, State.TimeoutTicks, false);
  } catch (const std::exception& E) {
    ReportException(E);
  }
}

// ---- Host port ----

void TForm1::ApplyHostFormat(int Item) {
  const HostLineFormat format = HostFormatOfItem(Item);
  ApdComPort1->SetStopBits(static_cast<std::uint16_t>(format.StopBits));
  ApdComPort1->SetDataBits(static_cast<std::uint16_t>(format.DataBits));
  ApdComPort1->SetParity(static_cast<TParity>(format.Parity));
}

// One reply time-out trigger for the window's life: the port keeps its
// triggers over every close and reopen, so only the first open makes it.
void TForm1::TakeTimeoutTrigger() {
  if (State.TimeoutTrigger == 0) State.TimeoutTrigger = ApdComPort1->NewTimerTrigger();
}

bool TForm1::EnsurePortOpen() {
  State.PortOk = true;
  if (ApdComPort1->Open()) return true;
  try {
    // The port selection dialog may open in here.
    const TModalLoop opening(State);
    ApdComPort1->SetComNumber(static_cast<std::uint16_t>(ComPortBox1->ItemIndex() + 1));
    const int baud = BaudBox1->ItemIndex();
    if (const auto rate = BaudRateOfIndex(baud)) ApdComPort1->SetBaud(*rate);
    State.TimeoutTicks = TimeoutTicksForBaudIndex(baud);
    ApplyHostFormat(FormatBox1->ItemIndex());
    ApdComPort1->SetOpen(true);
    TakeTimeoutTrigger();
    return true;
  } catch (const std::exception&) {
    PortMissing();
    return false;
  }
}

void TForm1::PortMissing() {
  try {
    const TModalLoop closing(State);
    ApdComPort1->SetOpen(false);
  } catch (const std::exception&) {
    // It is being given up anyway.
  }
  LineLost();
}

// The port is gone: the same as an open that failed. The request that
// needed it is not sent, nor one waiting for the line; the exchange out can
// get neither reply nor time-out any more and ends without a verdict; a
// write it carried is written at the next SAVE. The next request opens the
// port afresh.
void TForm1::LineLost() {
  State.PortOk = false;
  State.WaitingOwner = TExchangeOwner::Nobody;
  if (State.Busy) {
    if (State.ExchangeOwner == TExchangeOwner::Sequencer) RequeueWrite();
    State.ExchangeOwner = TExchangeOwner::Nobody;
    TxBox->setReadOnly(false);
    EndExchange(false);
  }
  EndPhasesWithoutPort();
  // The second line says which device and why, in the user's words.
  QString text = QStringLiteral("COM Port Not Exist");
  if (!ApdComPort1->LastFailure().empty()) text += QChar(u'\n') + QString::fromStdString(ApdComPort1->LastFailure());
  ShowBox(text, QStringLiteral("Warning"), TBoxKind::Warning);
}

// Without the port the running scan, list, read-back and save end with what
// they have; the console's loop simply sends nothing more.
void TForm1::EndPhasesWithoutPort() {
  switch (State.LinkPhase) {
    case 1:
      EndScan();
      break;
    case 3:
      State.LinkPhase = 4;
      ShowDevice->setFocus();
      break;
    case 5:
      FinishReadBack();
      break;
    default:
      break;
  }
  State.SaveRequested = false;
}

void TForm1::ComPortBox1Change() {
  State.PortOk = true;
  try {
    // An open port reopens on the new number inside the component, its
    // time-out trigger (and a time-out running on it) with it.
    const TModalLoop opening(State);
    ApdComPort1->SetComNumber(static_cast<std::uint16_t>(ComPortBox1->ItemIndex() + 1));
    if (!ApdComPort1->Open()) ApdComPort1->SetOpen(true);
    TakeTimeoutTrigger();
  } catch (const std::exception&) {
    PortMissing();
  }
  State.PickArmed = false;
}

void TForm1::BaudBox1Change() {
  State.PickArmed = false;
  const int baud = BaudBox1->ItemIndex();
  try {
    if (const auto rate = BaudRateOfIndex(baud)) ApdComPort1->SetBaud(*rate);
  } catch (const std::exception& E) {
    ReportException(E);
  }
  State.TimeoutTicks = TimeoutTicksForBaudIndex(baud);
}

void TForm1::FormatBox1Change() {
  State.PickArmed = false;
  try {
    ApplyHostFormat(FormatBox1->ItemIndex());
  } catch (const std::exception& E) {
    ReportException(E);
  }
}

// ---- Closing ----

void TForm1::FormClose() {
  try {
    const TModalLoop closing(State);
    ApdComPort1->SetOpen(false);
  } catch (const std::exception& E) {
    ReportException(E);
  }
}

void TForm1::closeEvent(QCloseEvent* Event) {
  ResumeConsolePaint();
  FormClose();
  QMainWindow::closeEvent(Event);
}
