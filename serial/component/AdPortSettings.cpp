// The port component's property setters: line settings, flow control, trace
// and log control. Each stores its value and pushes it to an open port.
#include <algorithm>

#include "AdExcept.h"
#include "AdPort.h"

namespace {

constexpr uint32_t MaxTraceSize = 4000000;
constexpr uint32_t MaxLogSize = 16000000;
// UseEventWord's bit in the dispatcher's option bits.
constexpr uint32_t OptionEventWord = 0x10;

uint16_t Fraction(uint32_t value, double share) { return static_cast<uint16_t>(value * share); }

}  // namespace

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer value) {
  // dlWin32 is the only layer this class supports (on POSIX it stands for
  // the platform's own serial API).
  if (phase_ != phClosed || value != dlWin32) return;
  deviceLayer_ = value;
  DeviceLayerChanged();
}

void TApdCustomComPort::SetComNumber(uint16_t value) {
  if (value == comNumber_) return;
  bool wasOpen = phase_ == phOpen;
  TTraceLogState tracing = tracing_;
  TTraceLogState logging = logging_;
  if (wasOpen) {
    dispatcher_->SaveTriggerSet(savedTriggers_);
    SetOpen(false);
  }
  comNumber_ = value;
  if (!wasOpen) return;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
  // A close that had to wait for a delivery reopens later and restores the
  // triggers then (they stay saved).
  if (phase_ == phOpen) dispatcher_->RestoreTriggerSet(savedTriggers_);
}

// --- line settings

void TApdCustomComPort::ApplyLineSettings() {
  if (phase_ != phOpen) return;
  CheckPortResult(this, dispatcher_->SetLineParams(static_cast<uint32_t>(baud_), parity_,
                                                   static_cast<uint8_t>(stopBits_),
                                                   static_cast<uint8_t>(dataBits_)));
}

void TApdCustomComPort::SetBaud(int32_t value) {
  if (value == baud_) return;
  baud_ = value;
  ApplyLineSettings();
}

void TApdCustomComPort::SetParity(TParity value) {
  if (value == parity_) return;
  parity_ = value;
  ApplyLineSettings();
}

void TApdCustomComPort::SetDataBits(uint16_t value) {
  if (value == dataBits_) return;
  dataBits_ = value;
  ApplyLineSettings();
}

void TApdCustomComPort::SetStopBits(uint16_t value) {
  if (value == stopBits_) return;
  stopBits_ = value;
  ApplyLineSettings();
}

void TApdCustomComPort::SetInSize(uint16_t value) {
  inSize_ = value;
  if (phase_ == phOpen) dispatcher_->SetupDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetOutSize(uint16_t value) {
  outSize_ = value;
  if (phase_ == phOpen) dispatcher_->SetupDeviceQueues(inSize_, outSize_);
}

void TApdCustomComPort::SetUseEventWord(bool value) {
  useEventWord_ = value;
  if (phase_ != phOpen) return;
  if (value)
    dispatcher_->Options |= OptionEventWord;
  else
    dispatcher_->Options &= ~OptionEventWord;
}

void TApdCustomComPort::SetAvailThreshold(uint16_t value) {
  if (value == availThreshold_ && !forceApply_) return;
  availThreshold_ = value;
  if (phase_ == phOpen) dispatcher_->SetAvailThreshold(value);
}

void TApdCustomComPort::SetThreadPriorityBoost(uint8_t value) {
  if (value == threadPriorityBoost_ && !forceApply_) return;
  threadPriorityBoost_ = value;
  if (phase_ == phOpen) dispatcher_->SetThreadBoost(value);
}

// --- flow control
//
// A value pushed to an open port stays stored even when the dispatcher
// rejects it; the rejection is raised after the store.

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet value) {
  if (value == hwFlowOptions_ && !forceApply_) return;
  uint32_t options = value & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
  if (options != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Fraction(inSize_, 0.9);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Fraction(inSize_, 0.1);
  }
  int32_t result = phase_ == phOpen
                       ? dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, options)
                       : 0;
  hwFlowOptions_ = value;
  // RTS cannot both follow the receive buffer and switch the RS-485 driver.
  if (value & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
  CheckPortResult(this, result);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
  if (value == swFlowOptions_ && !forceApply_) return;
  uint32_t option = value == swfBoth       ? SwfTransmit | SwfReceive
                    : value == swfTransmit ? SwfTransmit
                    : value == swfReceive  ? SwfReceive
                                           : 0;
  if (option != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Fraction(inSize_, 0.75);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Fraction(inSize_, 0.25);
  }
  int32_t result = 0;
  if (phase_ == phOpen)
    result = option != 0 ? dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, option)
                         : dispatcher_->ClearSoftwareFlow();
  swFlowOptions_ = value;
  CheckPortResult(this, result);
}

void TApdCustomComPort::SetBufferFull(uint16_t value) {
  if (value == bufferFull_ && !forceApply_) return;
  bufferFull_ = value > inSize_ ? Fraction(value, 0.9) : value;
  TForceApply force(forceApply_);
  SetHWFlowOptions(hwFlowOptions_);
  SetSWFlowOptions(swFlowOptions_);
}

void TApdCustomComPort::SetBufferResume(uint16_t value) {
  if (value == bufferResume_ && !forceApply_) return;
  bufferResume_ = value > bufferFull_ ? Fraction(bufferFull_, 0.1) : value;
  TForceApply force(forceApply_);
  SetHWFlowOptions(hwFlowOptions_);
  SetSWFlowOptions(swFlowOptions_);
}

void TApdCustomComPort::SetXOnChar(char value) {
  if (value == xOnChar_ && !forceApply_) return;
  xOnChar_ = value;
  if (phase_ == phOpen)
    CheckPortResult(this, dispatcher_->SetFlowChars(static_cast<uint8_t>(xOnChar_),
                                                    static_cast<uint8_t>(xOffChar_)));
}

void TApdCustomComPort::SetXOffChar(char value) {
  if (value == xOffChar_ && !forceApply_) return;
  xOffChar_ = value;
  if (phase_ == phOpen)
    CheckPortResult(this, dispatcher_->SetFlowChars(static_cast<uint8_t>(xOnChar_),
                                                    static_cast<uint8_t>(xOffChar_)));
}

void TApdCustomComPort::SetRS485Mode(bool value) {
  if (value == rs485Mode_ && !forceApply_) return;
  rs485Mode_ = value;
  if (phase_ == phOpen) dispatcher_->SetRS485Mode(value);
  if (value) {
    SetHWFlowOptions(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS));
    SetRTS(false);
  }
}

void TApdCustomComPort::SetDTR(bool value) {
  if (value == dtr_ && !forceApply_) return;
  if (phase_ != phOpen) {
    dtr_ = value;
    return;
  }
  // 1: the line belongs to hardware flow control and keeps its level.
  if (CheckPortResult(this, dispatcher_->DriveDtr(value ? 1 : 0)) == 0) dtr_ = value;
}

void TApdCustomComPort::SetRTS(bool value) {
  if (value == rts_ && !forceApply_) return;
  if (phase_ != phOpen) {
    rts_ = value;
    return;
  }
  if (CheckPortResult(this, dispatcher_->DriveRts(value ? 1 : 0)) == 0) rts_ = value;
}

// --- trace and log control

void TApdCustomComPort::SetTracing(TTraceLogState value) {
  if (value == tracing_ && !forceApply_) return;
  ApplyTraceLogState(false, value);
}

void TApdCustomComPort::SetLogging(TTraceLogState value) {
  if (value == logging_ && !forceApply_) return;
  ApplyTraceLogState(true, value);
}

void TApdCustomComPort::ApplyTraceLogState(bool log, TTraceLogState value) {
  TTraceLogState& state = log ? logging_ : tracing_;
  if (phase_ != phOpen) {
    // Only "off" and "on" mean anything without a dispatcher.
    state = value == tlOn ? tlOn : tlOff;
    return;
  }
  bool wasOn = state == tlOn;
  bool paused = state == tlPause;
  switch (value) {
    case tlOff:
      if (wasOn || paused) log ? AbortLog() : AbortTrace();
      break;
    case tlOn:
      if (paused)
        log ? ResumeLog() : ResumeTrace();
      else
        log ? StartLog(logSize_) : StartTrace(traceSize_);
      break;
    case tlDump:
    case tlAppend:
      if (!wasOn && !paused) break;
      if (log) {
        ResumeLog();
        value == tlDump ? DumpLogTo(logName_, logHex_) : AppendLogTo(logName_, logHex_);
      } else {
        ResumeTrace();
        value == tlDump ? DumpTraceTo(traceName_, traceHex_) : AppendTraceTo(traceName_, traceHex_);
      }
      break;
    case tlClear:
      if (wasOn || paused) log ? ClearLog() : ClearTrace();
      break;
    case tlPause:
      if (wasOn) log ? PauseLog() : PauseTrace();
      break;
  }
}

void TApdCustomComPort::SetTraceSize(uint32_t value) {
  traceSize_ = std::min(value, MaxTraceSize);
  ResizeTraceLog(false);
}

void TApdCustomComPort::SetLogSize(uint32_t value) {
  logSize_ = std::min(value, MaxLogSize);
  ResizeTraceLog(true);
}

// A running or paused buffer is dropped and made again at the new size.
void TApdCustomComPort::ResizeTraceLog(bool log) {
  TTraceLogState state = log ? logging_ : tracing_;
  if (phase_ != phOpen || (state != tlOn && state != tlPause)) return;
  if (log) {
    AbortLog();
    SetLogging(state);
  } else {
    AbortTrace();
    SetTracing(state);
  }
}

void TApdCustomComPort::StartTrace(uint32_t Size) {
  if (Closing()) return;
  if (Size != 0) traceSize_ = std::min(Size, MaxTraceSize);
  CheckPortResult(this, ActiveDispatcher()->StartTrace(traceSize_));
  tracing_ = tlOn;
}

void TApdCustomComPort::DumpTraceTo(const std::string& Name, bool InHex) {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->DumpTraceTo(Name, InHex, traceAllHex_));
  tracing_ = tlOff;
}

void TApdCustomComPort::AppendTraceTo(const std::string& Name, bool InHex) {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->AppendTraceTo(Name, InHex, traceAllHex_));
  tracing_ = tlOff;
}

void TApdCustomComPort::ClearTrace() {
  if (Closing()) return;
  ActiveDispatcher()->ClearTrace();
}

void TApdCustomComPort::AbortTrace() {
  if (Closing()) return;
  ActiveDispatcher()->AbortTrace();
  tracing_ = tlOff;
}

void TApdCustomComPort::ResumeTrace() {
  if (Closing()) return;
  ActiveDispatcher()->ResumeTrace();
  tracing_ = tlOn;
}

void TApdCustomComPort::PauseTrace() {
  if (Closing()) return;
  ActiveDispatcher()->PauseTrace();
  tracing_ = tlPause;
}

void TApdCustomComPort::StartLog(uint32_t Size) {
  if (Closing()) return;
  if (Size != 0) logSize_ = std::min(Size, MaxLogSize);
  ActiveDispatcher()->StartLog(logSize_);
  logging_ = tlOn;
}

void TApdCustomComPort::DumpLogTo(const std::string& Name, bool InHex) {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->DumpLogTo(Name, InHex, logAllHex_));
  logging_ = tlOff;
}

void TApdCustomComPort::AppendLogTo(const std::string& Name, bool InHex) {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->AppendLogTo(Name, InHex, logAllHex_));
  logging_ = tlOff;
}

void TApdCustomComPort::ClearLog() {
  if (Closing()) return;
  ActiveDispatcher()->ClearLog();
}

void TApdCustomComPort::AbortLog() {
  if (Closing()) return;
  ActiveDispatcher()->AbortLog();
  logging_ = tlOff;
}

void TApdCustomComPort::ResumeLog() {
  if (Closing()) return;
  ActiveDispatcher()->ResumeLog();
  logging_ = tlOn;
}

void TApdCustomComPort::PauseLog() {
  if (Closing()) return;
  ActiveDispatcher()->PauseLog();
  logging_ = tlPause;
}
