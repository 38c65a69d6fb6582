// Unit1, the link to the converters: the host port ApdComPort1, the two
// writers SendCommand and SendTestLine, reply reception and time-outs, the
// host boxes, and the port's part in closing the window.
#include "AdPort.h"
#include "KrmProtocol.h"
#include "Unit1.h"

#include <QCloseEvent>
#include <QLineEdit>

#include <limits>

namespace {

const QString ProgramTitle = QStringLiteral("KRM4610W");

// A peer that never stops talking must not grow the reply without bound.
// Every reply the utility reads is far shorter; ReplyLength still counts all.
constexpr std::size_t MaxReplyText = 4096;

QString Latin1(const std::string& Text) {
  return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

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
  ApdComPort1->EndLoading();

  connect(ComPortBox1, &TComboBox::Change, this, &TForm1::ComPortBox1Change);
  connect(BaudBox1, &TComboBox::Change, this, &TForm1::BaudBox1Change);
  connect(FormatBox1, &TComboBox::Change, this, &TForm1::FormatBox1Change);
}

void TForm1::ReportException(const std::exception& E) {
  ShowBox(QString::fromLocal8Bit(E.what()), ProgramTitle, TBoxKind::Error);
}

// ---- Sending ----

void TForm1::SendCommand(char Letter) {
  if (!EnsurePortOpen()) return;
  try {
    ApdComPort1->ArmTimerTrigger(State.TimeoutTrigger, CommandTimeoutTicks(Letter, State.TimeoutTicks), true);
    State.ReplyText.clear();
    State.ReplyLength = 0;
    ApdComPort1->SendText(CommandFrame(Letter, State, CheckSumBox1->ItemIndex()));
  } catch (const std::exception& E) {
    // The request is not out: Busy stays as it was, the armed time-out runs out.
    ReportException(E);
    return;
  }
  State.Busy = true;
}

void TForm1::SendTestLine() {
  if (!EnsurePortOpen()) return;
  RxBox->clear();
  TxBox->setReadOnly(true);
  try {
    ApdComPort1->ArmTimerTrigger(State.TimeoutTrigger, State.TimeoutTicks + TestLineExtraTicks, true);
    ApdComPort1->ClearOutput();
    ApdComPort1->ClearInput();
    State.ReplyText.clear();
    State.ReplyLength = 0;
    ApdComPort1->SendText(TestLineFrame(TxBox->text().toLatin1().toStdString()));
  } catch (const std::exception& E) {
    ReportException(E);
    return;
  }
  State.Busy = true;
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
  char last = 0;
  for (std::uint16_t i = 0; i < Count; ++i) {
    last = ApdComPort1->ReadChar();
    if (State.ReplyText.size() < MaxReplyText) State.ReplyText += last;
  }
  // Counting stops at the top instead of wrapping on an endless stream.
  State.ReplyLength = Count > std::numeric_limits<std::int32_t>::max() - State.ReplyLength
                          ? std::numeric_limits<std::int32_t>::max()
                          : State.ReplyLength + Count;
  if (State.TestActive) RxBox->setText(Latin1(State.ReplyText));
  if (last == CR) ReplyComplete();
}

void TForm1::ReplyComplete() {
  if (State.QuitRequested) close();
  DisarmTimeout();
  TxBox->setReadOnly(false);
  State.Busy = false;
  State.ReplyEvent = true;
  State.ReplyOk = true;
  if (State.TestActive && !State.TestStopped) {
    ThrottleConsolePaint();
    SendTestLine();
  } else {
    ResumeConsolePaint();
  }
}

void TForm1::ReplyTimedOut() {
  if (State.QuitRequested) close();
  State.ReplyEvent = true;
  State.ReplyOk = false;
  State.Busy = false;
  TxBox->setReadOnly(false);
  ResumeConsolePaint();
  if (State.TestActive) {
    RxBox->setText(QStringLiteral("Time out error, Test stop !!!"));
    State.TestStopped = true;
  }
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

bool TForm1::EnsurePortOpen() {
  State.PortOk = true;
  if (ApdComPort1->Open()) return true;
  // While the operator still reads the warning of this failure, the ticks
  // that keep coming neither retry nor stack a second warning.
  if (FPortWarningOpen) {
    State.PortOk = false;
    return false;
  }
  try {
    ApdComPort1->SetComNumber(static_cast<std::uint16_t>(ComPortBox1->ItemIndex() + 1));
    const int baud = BaudBox1->ItemIndex();
    if (const auto rate = BaudRateOfIndex(baud)) ApdComPort1->SetBaud(*rate);
    State.TimeoutTicks = TimeoutTicksForBaudIndex(baud);
    ApplyHostFormat(FormatBox1->ItemIndex());
    ApdComPort1->SetOpen(true);
    State.TimeoutTrigger = ApdComPort1->NewTimerTrigger();
    return true;
  } catch (const std::exception&) {
    PortMissing();
    return false;
  }
}

void TForm1::PortMissing() {
  try {
    ApdComPort1->SetOpen(false);
  } catch (const std::exception&) {
    // It is being given up anyway.
  }
  State.PortOk = false;
  // A request still out on the lost port can get neither reply nor time-out.
  if (State.Busy) ReplyTimedOut();
  if (FPortWarningOpen) return;
  FPortWarningOpen = true;
  ShowBox(QStringLiteral("COM Port Not Exist"), QStringLiteral("Warning"), TBoxKind::Warning);
  FPortWarningOpen = false;
}

void TForm1::ComPortBox1Change() {
  State.PortOk = true;
  try {
    // An open port reopens on the new number inside the component.
    ApdComPort1->SetComNumber(static_cast<std::uint16_t>(ComPortBox1->ItemIndex() + 1));
    if (!ApdComPort1->Open()) ApdComPort1->SetOpen(true);
    State.TimeoutTrigger = ApdComPort1->NewTimerTrigger();
    // The outstanding request's time-out ran on the old trigger, which is
    // no longer watched: the new one takes over so the exchange still ends.
    if (State.Busy) ApdComPort1->ArmTimerTrigger(State.TimeoutTrigger, State.TimeoutTicks, true);
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
