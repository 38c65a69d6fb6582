// The port component's life cycle: open and close, the deferred close, the
// operations the program uses, listener notices and the copy.
#include "AdPort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <exception>

#include "AdExcept.h"
#include "AdPortWindow.h"
#include "AdSelCom.h"
#include "AwErrorCodes.h"
#include "AdPlatform.h"
#include "AdPortOpen.h"
#include "AwMessages.h"


TApdCustomComPort::TApdCustomComPort(QObject* owner) : QObject(owner) {}

TApdCustomComPort::~TApdCustomComPort() {
  try {
    if (phase_ == phOpen) ClosePort();
  } catch (...) {
    // Nothing to report to once the component is going.
  }
  // A close still waiting for its notice ends here; the dispatcher's
  // destructor waits for its threads.
  if (dispatcher_) FinishClose();
}

// --- open and close

void TApdCustomComPort::SetOpen(bool value) {
  if (Designing() || Loading()) {
    open_ = value;
    if (value) openAfterLoad_ = true;
    return;
  }
  // While a close is on its way, True asks for a reopen once it is done
  // (and False withdraws that request).
  if (phase_ == phClosing) {
    reopenRequested_ = value;
    return;
  }
  if (value == open_) return;
  if (value)
    OpenPort();
  else
    ClosePort();
}

void TApdCustomComPort::Loaded() {
  if (openAfterLoad_) open_ = true;
  if (!open_) return;
  openAfterLoad_ = false;
  try {
    OpenPort();
  } catch (const std::exception& e) {
    open_ = false;
    ShowApplicationException(e);
  }
}

void TApdCustomComPort::EnsurePortNumber() {
  if (comNumber_ != 0) return;
  if (!promptForPort_) throw ENoPortSelected(ecode::NoPortSelected);
  TComSelectForm form;
  if (form.ShowModal() != QDialog::Accepted) throw ENoPortSelected(ecode::NoPortSelected);
  comNumber_ = static_cast<uint16_t>(form.SelectedPort());
}

TApdBaseDispatcher* TApdCustomComPort::CreateDispatcher() {
  if (dispatcherFactory_) return dispatcherFactory_(this);
  if (deviceLayer_ != dlWin32) throw ENullApi(ecode::NullApi);
  return new TPlatformDispatcher(this);
}

int32_t TApdCustomComPort::OpenDevice() {
  std::string name = tapiMode_ == tmOn ? "" : PortDeviceName(comNumber_);
  uint8_t flags = (dtr_ ? LineFlagDtr : 0) | (rts_ ? LineFlagRts : 0) |
                  (hwFlowOptions_ & hwfUseDTR ? LineFlagDtrFlow : 0) |
                  (hwFlowOptions_ & hwfUseRTS ? LineFlagRtsFlow : 0);
  return dispatcher_->OpenDevice(name, static_cast<uint32_t>(baud_), flags, outSize_, inSize_,
                                 static_cast<uint8_t>(stopBits_), static_cast<uint8_t>(dataBits_),
                                 parity_);
}

std::string TApdCustomComPort::PortLabel() const { return PortLabelOf(comNumber_); }

void TApdCustomComPort::OpenPort() {
  lastFailure_.clear();
  try {
    OpenDispatcher();
  } catch (const ENoPortSelected&) {
    lastFailure_ = "no port chosen";  // there is no port to name
    throw;
  } catch (const std::exception& e) {
    if (lastFailure_.empty()) lastFailure_ = PortLabel() + ": " + e.what();
    throw;
  }
}

void TApdCustomComPort::OpenDispatcher() {
  if (tapiMode_ != tmOn) EnsurePortNumber();
  dispatcher_.reset(CreateDispatcher());
  dispatcher_->DeviceName = "COM" + std::to_string(comNumber_);
  try {
    // No telephony line service here: a new dispatcher never has a
    // telephony device, so such an open always fails.
    if (tapiMode_ == tmOn) throw ENotOpenedByTapi(ecode::NotOpenedByTapi);
    int32_t result = OpenDevice();
    if (result != 0) {
      lastFailure_ = PortLabel() + ": " + OpenFailureReason(result);
      CheckPortResult(this, TranslateOpenResult(result));
    }

    phase_ = phOpen;
    RefreshHandlerState();
    {
      // Each setter pushes its stored value to the new dispatcher.
      TForceApply force(forceApply_);
      SetTracing(tracing_);
      SetLogging(logging_);
      SetHWFlowOptions(hwFlowOptions_);
      SetSWFlowOptions(swFlowOptions_);
      SetXOnChar(xOnChar_);
      SetXOffChar(xOffChar_);
      SetAvailThreshold(availThreshold_);
      SetDTR(dtr_);
      SetRTS(rts_);
      SetUseEventWord(useEventWord_);
      SetRS485Mode(rs485Mode_);
      SetThreadPriorityBoost(threadPriorityBoost_);
    }
    open_ = true;
    SetNotifyWindow(true);
    if (triggersSaved_) {
      triggersSaved_ = false;
      dispatcher_->RestoreTriggerSet(savedTriggers_);
    }
  } catch (...) {
    FinishClose();
    throw;
  }
  NotifyPortOpen();
}

void TApdCustomComPort::ClosePort() {
  if (phase_ != phOpen) return;
  // Only a close asked for from this port's own notice can wait for the
  // delivery to end; any other lets the notice on its way run first, while
  // the port is still open, and then closes at once.
  const bool fromNotice = noticeDepth_ > 0;
  if (!fromNotice) {
    AwaitDelivery();
    if (phase_ != phOpen) return;  // that notice's handler closed the port
  }
  // A trace or log that cannot be written must not keep the port open: the
  // close completes and the first such error is raised at its end.
  std::exception_ptr dumpError;
  for (bool log : {false, true}) {
    try {
      log ? SetLogging(tlDump) : SetTracing(tlDump);
    } catch (...) {
      if (!dumpError) dumpError = std::current_exception();
    }
  }
  phase_ = phClosing;
  NotifyPortClosing();
  dispatcher_->SaveTriggerSet(savedTriggers_);
  triggersSaved_ = true;
  dispatcher_->CloseDevice();
  if (fromNotice && dispatcher_->ClosePending) {
    // The dispatcher is inside the delivery that called us: it can only be
    // freed after its threads have left. Nothing else runs meanwhile.
    if (notifyWindow_)
      notifyWindow_->PostNotify(PortClosingMsg, 0,
                                static_cast<uint32_t>(dispatcher_->DispatcherHandle) << 16);
  } else {
    FinishClose();  // a delivery that began meanwhile is dropped with the window
  }
  NotifyPortClose();
  if (dumpError) std::rethrow_exception(dumpError);
}

void TApdCustomComPort::AwaitDelivery() {
  const QDeadlineTimer deadline(DeliveryTimeoutMs);
  while (dispatcher_ && dispatcher_->Delivering && !deadline.hasExpired()) {
    TApdNotifyWindow::RunSentNotices();
    QThread::msleep(1);
  }
}

void TApdCustomComPort::FinishClose() {
  SetNotifyWindow(false);
  dispatcher_.reset();
  phase_ = phClosed;
  open_ = false;
}

void TApdCustomComPort::CompleteDeferredClose() {
  if (dispatcher_->ThreadsRunning) {
    notifyWindow_->PostNotify(PortClosingMsg, 0,
                              static_cast<uint32_t>(dispatcher_->DispatcherHandle) << 16, 2);
    return;
  }
  FinishClose();
  ReportLost();
  if (reopenRequested_) {
    reopenRequested_ = false;
    if (phase_ == phClosed) OpenPort();
  }
}

// The device is gone: the port closes as if asked to, and its owner hears
// of it once the close is complete.
void TApdCustomComPort::DeviceLost() {
  if (phase_ != phOpen) return;
  lostPending_ = true;
  lastFailure_ = PortLabel() + ": device disconnected";
  ClosePort();
  if (phase_ == phClosed) ReportLost();
}

void TApdCustomComPort::ReportLost() {
  if (!lostPending_) return;
  lostPending_ = false;
  if (onPortLost_) onPortLost_(this);
}

void TApdCustomComPort::SetNotifyWindow(bool Active) {
  if (Active) {
    notifyWindow_ = std::make_unique<TApdNotifyWindow>();
    dispatcher_->AddWindowHandler(notifyWindow_.get());
  } else if (notifyWindow_) {
    if (dispatcher_) dispatcher_->RemoveWindowHandler(notifyWindow_.get());
    notifyWindow_.reset();
  }
}

TApdBaseDispatcher* TApdCustomComPort::ActiveDispatcher() {
  if (!dispatcher_ && !Designing() && !Loading() && phase_ != phOpen && autoOpen_) SetOpen(true);
  if (!dispatcher_) throw ECommNotOpen(ecode::CommNotOpen);
  return dispatcher_.get();
}

void TApdCustomComPort::YieldTime() {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->YieldSlice());
}

// --- operations

void TApdCustomComPort::SendText(const std::string& S) {
  if (Closing()) return;
  TApdBaseDispatcher* dispatcher = ActiveDispatcher();
  if (S.empty()) return;
  CheckDeviceResult(dispatcher->PutBytes(reinterpret_cast<const uint8_t*>(S.data()),
                                         static_cast<uint32_t>(S.size())));
}

char TApdCustomComPort::ReadChar() {
  if (Closing()) return 0;
  uint8_t byte = 0;
  if (CheckPortResult(this, ActiveDispatcher()->GetByte(byte)) < 0) return 0;
  return static_cast<char>(byte);
}

void TApdCustomComPort::ClearInput() {
  if (Closing()) return;
  CheckDeviceResult(ActiveDispatcher()->FlushInput());
}

void TApdCustomComPort::ClearOutput() {
  if (Closing()) return;
  CheckDeviceResult(ActiveDispatcher()->FlushOutput());
}

// A device that went away fails whatever is asked of it: that is the loss,
// told once through OnPortLost, not an error of this call.
void TApdCustomComPort::CheckDeviceResult(int32_t Result) {
  if (Result < 0 && dispatcher_ && dispatcher_->DeviceGone()) return DeviceLost();
  CheckPortResult(this, Result);
}

uint16_t TApdCustomComPort::NewTimerTrigger() {
  if (Closing()) return 0;
  int32_t handle = CheckPortResult(this, ActiveDispatcher()->NewTimerTrigger());
  return static_cast<uint16_t>(std::max(handle, 0));  // while loading, a refusal is 0
}

void TApdCustomComPort::ArmTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate) {
  if (Closing()) return;
  CheckPortResult(this, ActiveDispatcher()->ArmTimerTrigger(Handle, Ticks, Activate));
}

int32_t TApdCustomComPort::LineErrorCode() {
  if (phase_ != phOpen) return 0;
  return CheckPortResult(this, dispatcher_->TakeLineError());
}

bool TApdCustomComPort::LineBreakSeen() {
  return phase_ == phOpen && dispatcher_->TakeBreak();
}

// --- events

bool TApdCustomComPort::AnyTriggerEventAssigned() const {
  return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
         onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
         onTriggerOutbuffUsed_ || onTriggerOutSent_;
}

void TApdCustomComPort::RefreshHandlerState() {
  if (phase_ != phOpen) return;
  dispatcher_->UpdateHandlerFlags(AnyTriggerEventAssigned() ? 1 : 2);
}

void TApdCustomComPort::SetOnTrigger(TTriggerEvent handler) {
  onTrigger_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
  onTriggerAvail_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent handler) {
  onTriggerData_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler) {
  onTriggerStatus_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler) {
  onTriggerTimer_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
  onTriggerLineError_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerModemStatus(TPortNotifyEvent handler) {
  onTriggerModemStatus_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerOutbuffFree(TPortNotifyEvent handler) {
  onTriggerOutbuffFree_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerOutbuffUsed(TPortNotifyEvent handler) {
  onTriggerOutbuffUsed_ = std::move(handler);
  RefreshHandlerState();
}
void TApdCustomComPort::SetOnTriggerOutSent(TPortNotifyEvent handler) {
  onTriggerOutSent_ = std::move(handler);
  RefreshHandlerState();
}

void TApdCustomComPort::DoTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  if (onTrigger_) onTrigger_(this, Msg, TriggerHandle, Data);
}
void TApdCustomComPort::DoTriggerAvail(uint16_t Count) {
  if (onTriggerAvail_) onTriggerAvail_(this, Count);
}
void TApdCustomComPort::DoTriggerData(uint16_t TriggerHandle) {
  if (onTriggerData_) onTriggerData_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerStatus(uint16_t TriggerHandle) {
  if (onTriggerStatus_) onTriggerStatus_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerTimer(uint16_t TriggerHandle) {
  if (onTriggerTimer_) onTriggerTimer_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerLineError(uint16_t Error, bool LineBreak) {
  if (onTriggerLineError_) onTriggerLineError_(this, Error, LineBreak);
}
void TApdCustomComPort::DoTriggerModemStatus() {
  if (onTriggerModemStatus_) onTriggerModemStatus_(this);
}
void TApdCustomComPort::DoTriggerOutbuffFree() {
  if (onTriggerOutbuffFree_) onTriggerOutbuffFree_(this);
}
void TApdCustomComPort::DoTriggerOutbuffUsed() {
  if (onTriggerOutbuffUsed_) onTriggerOutbuffUsed_(this);
}
void TApdCustomComPort::DoTriggerOutSent() {
  if (onTriggerOutSent_) onTriggerOutSent_(this);
}
void TApdCustomComPort::DoWaitChar(char C) {
  if (onWaitChar_) onWaitChar_(this, C);
}

// --- listeners

int32_t TApdCustomComPort::AddPortListener(TPortListener listener) {
  portListeners_.emplace_back(nextListenerId_, std::move(listener));
  return nextListenerId_++;
}

void TApdCustomComPort::RemovePortListener(int32_t id) {
  std::erase_if(portListeners_, [id](const auto& entry) { return entry.first == id; });
}

void TApdCustomComPort::NotifyListeners(uint32_t windowMsg, TApdPortState state,
                                        bool extendedOnly) {
  // From the last entry to the first; a copy, as a callback may change the list.
  auto listeners = portListeners_;
  for (auto entry = listeners.rbegin(); entry != listeners.rend(); ++entry) {
    const TPortListener& listener = entry->second;
    if (extendedOnly && !listener.Extended) continue;
    if (listener.Window)
      listener.Window->SendNotify(windowMsg, 0, 0, DeliveryTimeoutMs);
    else if (listener.Extended && listener.ExtendedCallback)
      listener.ExtendedCallback(this, state);
    else if (!listener.Extended && listener.Callback)
      listener.Callback(this, state == psOpen);
  }
}

void TApdCustomComPort::NotifyPortOpen() {
  NotifyListeners(PortOpenMsg, psOpen, false);
  if (onPortOpen_) onPortOpen_(this);
}

void TApdCustomComPort::NotifyPortClose() {
  NotifyListeners(PortCloseMsg, psClosed, false);
  if (onPortClose_) onPortClose_(this);
}

void TApdCustomComPort::NotifyPortClosing() { NotifyListeners(PortClosingMsg, psClosing, true); }

// --- copy

void TApdCustomComPort::Assign(const TApdCustomComPort& source) {
  if (&source == this) return;
  portListeners_ = source.portListeners_;
  if (source.phase_ == phOpen) {
    source.dispatcher_->SaveTriggerSet(savedTriggers_);
    triggersSaved_ = true;
  }
  forceApply_ = source.forceApply_;
  deviceLayer_ = source.deviceLayer_;
  comNumber_ = source.comNumber_;
  baud_ = source.baud_;
  parity_ = source.parity_;
  dataBits_ = source.dataBits_;
  stopBits_ = source.stopBits_;
  inSize_ = source.inSize_;
  outSize_ = source.outSize_;
  autoOpen_ = source.autoOpen_;
  promptForPort_ = source.promptForPort_;
  rs485Mode_ = source.rs485Mode_;
  threadPriorityBoost_ = source.threadPriorityBoost_;
  dtr_ = source.dtr_;
  rts_ = source.rts_;
  bufferFull_ = source.bufferFull_;
  bufferResume_ = source.bufferResume_;
  hwFlowOptions_ = source.hwFlowOptions_;
  swFlowOptions_ = source.swFlowOptions_;
  xOnChar_ = source.xOnChar_;
  xOffChar_ = source.xOffChar_;
  tracing_ = source.tracing_;
  traceSize_ = source.traceSize_;
  traceName_ = source.traceName_;
  traceHex_ = source.traceHex_;
  traceAllHex_ = source.traceAllHex_;
  logging_ = source.logging_;
  logSize_ = source.logSize_;
  logName_ = source.logName_;
  logHex_ = source.logHex_;
  logAllHex_ = source.logAllHex_;
  availThreshold_ = source.availThreshold_;
  SetOnTrigger(source.onTrigger_);
  SetOnTriggerAvail(source.onTriggerAvail_);
  SetOnTriggerData(source.onTriggerData_);
  SetOnTriggerStatus(source.onTriggerStatus_);
  SetOnTriggerTimer(source.onTriggerTimer_);
  onPortOpen_ = source.onPortOpen_;
  onPortClose_ = source.onPortClose_;
  tapiMode_ = source.tapiMode_;
  open_ = false;
}
