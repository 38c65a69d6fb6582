// Line settings, DTR and RTS, flow control, modem status and line errors.
#include <chrono>
#include <functional>
#include <thread>

#include "AwErrorCodes.h"
#include "AwUser.h"

using Guard = std::lock_guard<TAwLock>;

namespace {
constexpr int DrainPolls = 5000;
constexpr auto DrainPollInterval = std::chrono::milliseconds(2);
}  // namespace

uint32_t BaudFromCode(uint32_t baud) {
  static constexpr uint32_t Codes[24] = {110,   300,   600,   1200,   2400, 4800, 9600, 14400,
                                         19200, 0,     0,     38400,  0,    0,    0,    56000,
                                         0,     0,     0,     128000, 0,    0,    0,    256000};
  if (baud == 0xFEFF) return 115200;
  if (baud >= 0xFF10 && baud < 0xFF10 + 24 && Codes[baud - 0xFF10] != 0) return Codes[baud - 0xFF10];
  return baud;
}

// The time 18 characters take on the line, in 100 ns units, rounded up to
// whole milliseconds; short pauses are doubled to stay clear of the
// sleep's own granularity.
uint32_t EighteenCharPauseMs(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopCode) {
  uint32_t bps = BaudFromCode(baud);
  if (bps == 0) return 0;  // no line speed known: nothing to wait for
  uint32_t bits = dataBits + 2u + (parity != 0 ? 1u : 0u) + (stopCode != 0 ? 1u : 0u);
  uint64_t d = static_cast<uint64_t>(10000000u / bps) * bits * 18u;
  if (d < 10000) d *= 2;
  return static_cast<uint32_t>((d + 9999) / 10000);
}

void TApdBaseDispatcher::ForceLineOptions() {
  LineState.Binary = true;
  LineState.ParityCheck = false;
  LineState.DsrSensitivity = false;
  LineState.TxContinueOnXoff = true;
  LineState.NullStrip = false;
}

// Writes LineState to the device with DTR and RTS as last asked for.
int32_t TApdBaseDispatcher::ApplyLineState() {
  if (!DtrAuto) LineState.DtrControl = DtrState ? TDtrControl::On : TDtrControl::Off;
  if (!RtsAuto) LineState.RtsControl = RtsState ? TRtsControl::On : TRtsControl::Off;
  int32_t result = SetDeviceState(LineState);
  if (result >= 0) LastBaud = LineState.Baud;
  DriveDtr(DtrState ? 1 : 0);
  if (!RS485Mode) DriveRts(RtsState ? 1 : 0);
  return result;
}

// The ring, then the driver's own queue: the end of a frame still in the
// driver would otherwise leave at the new settings.
void TApdBaseDispatcher::WaitOutputDrained() {
  for (int i = 0; i < DrainPolls && (OutUsed() > 0 || DeviceOutputQueued() > 0); ++i)
    std::this_thread::sleep_for(DrainPollInterval);
}

int32_t TApdBaseDispatcher::SetLineParams(uint32_t baud, uint8_t parity, uint8_t stopBits,
                                          uint8_t dataBits) {
  uint8_t stopCode;
  {
    Guard hold(DispatchLock);
    int32_t result = GetDeviceState(LineState);
    if (result < 0) return result;
    ForceLineOptions();
    if (stopBits == 0) stopBits = 1;
    if (stopBits > 2 && stopBits != KeepStopBits) stopBits = 2;
    if (baud == 0) baud = LineState.Baud;
    if (parity == KeepParity) parity = LineState.Parity;
    if (dataBits == KeepDataBits) dataBits = LineState.ByteSize;
    stopCode = stopBits == KeepStopBits ? LineState.StopBits : (stopBits == 1 ? 0 : 2);
    if (dataBits == 5) stopCode = 1;  // five data bits only go with 1.5 stop bits
    if (baud == LineState.Baud && parity == LineState.Parity && dataBits == LineState.ByteSize &&
        stopCode == LineState.StopBits)
      return ecode::OK;
  }

  // Without the lock, so that the output keeps flowing meanwhile.
  WaitOutputDrained();
  TLineState inForce;
  if (GetDeviceState(inForce) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(
        EighteenCharPauseMs(inForce.Baud, inForce.ByteSize, inForce.Parity, inForce.StopBits)));

  Guard hold(DispatchLock);
  int32_t result = GetDeviceState(LineState);
  if (result < 0) return result;
  ForceLineOptions();
  LineState.Baud = baud;
  LineState.Parity = parity;
  LineState.ByteSize = dataBits;
  LineState.StopBits = stopCode;
  return ApplyLineState();
}

int32_t TApdBaseDispatcher::GetLineParams(uint32_t& baud, uint8_t& parity, uint8_t& stopBits,
                                          uint8_t& dataBits) {
  Guard hold(DispatchLock);
  int32_t result = GetDeviceState(LineState);
  if (result < 0) return result;
  baud = BaudFromCode(LineState.Baud);
  parity = LineState.Parity;
  stopBits = LineState.StopBits != 0 ? 2 : 1;
  dataBits = LineState.ByteSize;
  return ecode::OK;
}

int32_t TApdBaseDispatcher::DriveDtr(int32_t level) {
  if (DtrAuto) return 1;  // the driver owns DTR for flow control
  int32_t result = EscapeFunction(level == 1 ? EscSetDtr : EscClrDtr);
  DtrState = level == 1;
  return result < 0 ? ecode::BadArgument : result;
}

int32_t TApdBaseDispatcher::DriveRts(int32_t level) {
  if (RtsAuto) return 1;
  int32_t result = EscapeFunction(level == 1 ? EscSetRts : EscClrRts);
  RtsState = level == 1;
  return result < 0 ? ecode::BadArgument : result;
}

int32_t TApdBaseDispatcher::ChangeLineState(const std::function<void()>& change) {
  Guard hold(DispatchLock);
  int32_t result = GetDeviceState(LineState);
  if (result < 0) return result;
  change();
  return ApplyLineState();
}

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
  if (resume > full || full > InQueueSize) return ecode::BadArgument;
  Guard hold(DispatchLock);
  const bool dtrAuto = DtrAuto, rtsAuto = RtsAuto;
  int32_t result = ChangeLineState([&] {
    LineState.OutxCtsFlow = false;
    LineState.OutxDsrFlow = false;
    LineState.DtrControl = TDtrControl::Off;
    LineState.RtsControl = TRtsControl::Off;
    DtrAuto = RtsAuto = false;
    if (options & HwfUseDtr) {
      LineState.DtrControl = TDtrControl::Handshake;
      DtrAuto = true;
    } else if (DtrState) {
      LineState.DtrControl = TDtrControl::On;
    }
    if (options & HwfUseRts) {
      LineState.RtsControl = TRtsControl::Handshake;
      RtsAuto = true;
    } else if (RtsState) {
      LineState.RtsControl = TRtsControl::On;
    }
    if (RS485Mode) {  // the driver turns the bus round itself
      LineState.RtsControl = TRtsControl::Toggle;
      RtsAuto = true;
    }
    LineState.XoffLim = static_cast<uint16_t>(InQueueSize - full);
    LineState.XonLim = static_cast<uint16_t>(resume);
    if (options & HwfRequireDsr) LineState.OutxDsrFlow = true;
    if (options & HwfRequireCts) LineState.OutxCtsFlow = true;
  });
  // A mode the device refused leaves the lines to the levels asked for.
  if (result < 0) {
    DtrAuto = dtrAuto;
    RtsAuto = rtsAuto;
  }
  return result;
}

int32_t TApdBaseDispatcher::SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
  if (resume > full || full > InQueueSize) return ecode::BadArgument;
  return ChangeLineState([&] {
    if (options & SwfReceive) {
      LineState.InX = true;
      LineState.XoffLim = static_cast<uint16_t>(InQueueSize - full);
      LineState.XonLim = static_cast<uint16_t>(resume);
    }
    if (options & SwfTransmit) LineState.OutX = true;
    if (options & (SwfReceive | SwfTransmit)) {
      LineState.XonChar = 0x11;
      LineState.XoffChar = 0x13;
    }
  });
}

int32_t TApdBaseDispatcher::ClearSoftwareFlow() {
  return ChangeLineState([&] {
    LineState.InX = false;
    LineState.OutX = false;
  });
}

int32_t TApdBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
  return ChangeLineState([&] {
    LineState.XonChar = xon;
    LineState.XoffChar = xoff;
  });
}

TFlowOptions TApdBaseDispatcher::GetFlowOptions() {
  Guard hold(DispatchLock);
  TFlowOptions flow;
  flow.Result = GetDeviceState(LineState);
  if (LineState.DtrControl == TDtrControl::Handshake) flow.Hardware |= HwfUseDtr;
  if (static_cast<uint8_t>(LineState.RtsControl) & 2) flow.Hardware |= HwfUseRts;
  if (LineState.OutxDsrFlow) flow.Hardware |= HwfRequireDsr;
  if (LineState.OutxCtsFlow) flow.Hardware |= HwfRequireCts;
  if (LineState.InX) flow.Software |= SwfReceive;
  if (LineState.OutX) flow.Software |= SwfTransmit;
  flow.XoffChar = LineState.XoffChar;
  flow.XonChar = LineState.XonChar;
  return flow;
}

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t keep) {
  Guard hold(DispatchLock);
  ModemStatus = (ReadModemLines() & 0xF0u) | (ModemStatus & 0x0Fu);
  if (RingSeen.exchange(false)) ModemStatus |= 0x04;
  uint8_t status = static_cast<uint8_t>(ModemStatus);
  ModemStatus &= keep;
  return status;
}

void TApdBaseDispatcher::RefreshModemStatus() {
  Guard hold(DispatchLock);
  uint32_t old = ModemStatus;
  ReadModemStatus(0xFF);
  ModemStatus |= ((old ^ ModemStatus) >> 4) & 0x0F;
}

int32_t TApdBaseDispatcher::TakeLineError() {
  Guard hold(DispatchLock);
  static constexpr struct {
    uint32_t Bit;
    int32_t Code;
  } Order[] = {{LineErrRxOverflow, 1}, {LineErrOverrun, 2}, {LineErrParity, 3},
               {LineErrFraming, 4},    {LineErrBreak, 9}};
  uint32_t errors = LineErrors;
  for (const auto& e : Order) {
    if (errors & e.Bit) {
      LineErrors.fetch_and(~0x0Fu);  // a break stays for TakeBreak
      return e.Code;
    }
  }
  return 0;
}

bool TApdBaseDispatcher::TakeBreak() {
  Guard hold(DispatchLock);
  return (LineErrors.fetch_and(~LineErrBreak) & LineErrBreak) != 0;
}
