// The serial port component: one host port's settings as properties, open
// and close, the operations the program uses, and the dispatcher's trigger
// messages turned into events on the GUI thread.
//
// Properties follow one pattern: `Baud()` reads, `SetBaud(v)` runs the
// setter rule. Events are std::function values with the same pattern
// (`SetOnTrigger(...)`).
#pragma once

#include <QObject>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AwUser.h"
#include "OoMisc.h"

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
// THWFlowOptionSet holds these as bits.
enum THWFlowOption : uint8_t {
  hwfUseDTR = 0x01,
  hwfUseRTS = 0x02,
  hwfRequireDSR = 0x04,
  hwfRequireCTS = 0x08,
};
using THWFlowOptionSet = uint8_t;
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortPhase : uint8_t { phClosed, phClosing, phOpen };
// The state an extended listener is told of.
enum TApdPortState : uint8_t { psOpen, psClosing, psClosed };

// Messages for listener windows and the deferred close.
inline constexpr uint32_t PortOpenMsg = 0x7E08;
inline constexpr uint32_t PortCloseMsg = 0x7E09;
inline constexpr uint32_t PortClosingMsg = 0x7E0A;

class TApdCustomComPort;

using TPortNotifyEvent = std::function<void(TApdCustomComPort* Sender)>;
using TTriggerEvent = std::function<void(TApdCustomComPort* CP, uint16_t Msg,
                                         uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TApdCustomComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TApdCustomComPort* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TApdCustomComPort* CP, char C)>;

// Creates the dispatcher instead of the platform's device layer.
using TDispatcherFactory = std::function<TApdBaseDispatcher*(TApdCustomComPort* owner)>;

// Someone told of the port's open, closing and close: a window (sent the
// port messages), or a callback.
struct TPortListener {
  TNotifyWindow* Window = nullptr;
  std::function<void(TApdCustomComPort* CP, bool Opening)> Callback;
  std::function<void(TApdCustomComPort* CP, TApdPortState State)> ExtendedCallback;
  bool Extended = false;
};

// The application's standard exception report: a message box with the
// exception's message, unless a test or the program installs its own.
using TExceptionReport = std::function<void(const std::exception& E)>;
void SetApplicationExceptionReport(TExceptionReport report);
void ShowApplicationException(const std::exception& E);

class TApdNotifyWindow;

class TApdCustomComPort : public QObject, public TApdBaseComponent {
  Q_OBJECT

 public:
  explicit TApdCustomComPort(QObject* owner = nullptr);
  ~TApdCustomComPort() override;

  // --- properties
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer value);
  uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(uint16_t value);
  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t value);
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool value) { promptForPort_ = value; }
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(uint16_t value);
  uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(uint16_t value);
  uint16_t InSize() const { return inSize_; }
  void SetInSize(uint16_t value);
  uint16_t OutSize() const { return outSize_; }
  void SetOutSize(uint16_t value);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool value) { autoOpen_ = value; }
  bool Open() const { return open_; }
  void SetOpen(bool value);
  bool DTR() const { return dtr_; }
  void SetDTR(bool value);
  bool RTS() const { return rts_; }
  void SetRTS(bool value);
  THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet value);
  TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions value);
  char XOnChar() const { return xOnChar_; }
  void SetXOnChar(char value);
  char XOffChar() const { return xOffChar_; }
  void SetXOffChar(char value);
  uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t value);
  uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t value);
  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState value);
  uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t value);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(const std::string& value) { traceName_ = value.substr(0, 255); }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool value) { traceHex_ = value; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool value) { traceAllHex_ = value; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState value);
  uint32_t LogSize() const { return logSize_; }
  void SetLogSize(uint32_t value);
  const std::string& LogName() const { return logName_; }
  void SetLogName(const std::string& value) { logName_ = value.substr(0, 255); }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool value) { logHex_ = value; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool value) { logAllHex_ = value; }
  bool UseMSRShadow() const { return useMSRShadow_; }
  void SetUseMSRShadow(bool value) { ApplyUseMSRShadow(value); }
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool value);
  uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t value) { commNotificationLevel_ = value; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
  bool RS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool value);
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t value) { tag_ = value; }

  // --- events
  const TPortNotifyEvent& OnPortOpen() const { return onPortOpen_; }
  void SetOnPortOpen(TPortNotifyEvent handler) { onPortOpen_ = std::move(handler); }
  const TPortNotifyEvent& OnPortClose() const { return onPortClose_; }
  void SetOnPortClose(TPortNotifyEvent handler) { onPortClose_ = std::move(handler); }
  const TTriggerEvent& OnTrigger() const { return onTrigger_; }
  void SetOnTrigger(TTriggerEvent handler);
  const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
  void SetOnTriggerAvail(TTriggerAvailEvent handler);
  const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
  void SetOnTriggerData(TTriggerDataEvent handler);
  const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
  void SetOnTriggerStatus(TTriggerStatusEvent handler);
  const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
  void SetOnTriggerTimer(TTriggerTimerEvent handler);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
  const TPortNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
  void SetOnTriggerModemStatus(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
  void SetOnTriggerOutbuffFree(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
  void SetOnTriggerOutbuffUsed(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
  void SetOnTriggerOutSent(TPortNotifyEvent handler);
  void SetOnWaitChar(TWaitCharEvent handler) { onWaitChar_ = std::move(handler); }
  // The port's device went away while it was open (adapter pulled, far end
  // closed). Runs on the GUI thread once the port is closed: Open() reads
  // False, no descriptor of the device is held, LastFailure() says what
  // happened, and the next Open := True tries the device afresh.
  const TPortNotifyEvent& OnPortLost() const { return onPortLost_; }
  void SetOnPortLost(TPortNotifyEvent handler) { onPortLost_ = std::move(handler); }

  // --- state that is not persistent
  // Why the last open failed, or why the open port was lost, as the port
  // and the cause in the user's words, e.g. "COM1 (/dev/ttyUSB0): in use by
  // another program"; empty after a successful open.
  const std::string& LastFailure() const { return lastFailure_; }
  TPortPhase PortPhase() const { return phase_; }
  bool ForceApply() const { return forceApply_; }
  bool ReopenRequested() const { return reopenRequested_; }
  bool OpenAfterLoad() const { return openAfterLoad_; }
  TApdBaseDispatcher* Dispatcher() const { return dispatcher_.get(); }
  uint16_t AvailThreshold() const { return availThreshold_; }
  void SetAvailThreshold(uint16_t value);
  uint8_t ThreadPriorityBoost() const { return threadPriorityBoost_; }
  void SetThreadPriorityBoost(uint8_t value);
  void SetDispatcherFactory(TDispatcherFactory factory) { dispatcherFactory_ = std::move(factory); }
  // Listeners are told of open, closing and close; the id removes one.
  int32_t AddPortListener(TPortListener listener);
  void RemovePortListener(int32_t id);

  // --- operations
  void SendText(const std::string& S);
  char ReadChar();
  void ClearInput();
  void ClearOutput();
  uint16_t NewTimerTrigger();
  void ArmTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate);
  int32_t LineErrorCode();
  bool LineBreakSeen();
  // The dispatcher, opening the port first when AutoOpen allows; raises
  // ECommNotOpen when there is none.
  TApdBaseDispatcher* ActiveDispatcher();

  // --- trace and dispatch log
  void StartTrace(uint32_t Size = 0);
  void DumpTraceTo(const std::string& Name, bool InHex);
  void AppendTraceTo(const std::string& Name, bool InHex);
  void ClearTrace();
  void AbortTrace();
  void ResumeTrace();
  void PauseTrace();
  void StartLog(uint32_t Size = 0);
  void DumpLogTo(const std::string& Name, bool InHex);
  void AppendLogTo(const std::string& Name, bool InHex);
  void ClearLog();
  void AbortLog();
  void ResumeLog();
  void PauseLog();

  // The framework's copy: settings, events and listeners of another port.
  void Assign(const TApdCustomComPort& source);

  // The hidden window's procedure for one trigger or deferred-close
  // message; runs on the GUI thread.
  static void HandleNotice(uint32_t msg, uint32_t wParam, uint32_t lParam);

  // --- overridable operations
  virtual TApdBaseDispatcher* CreateDispatcher();
  virtual void DeviceLayerChanged() {}
  virtual int32_t OpenDevice();
  virtual void SetNotifyWindow(bool Active);
  virtual void EnsurePortNumber();
  virtual void ApplyUseMSRShadow(bool) {}
  virtual void DoTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void DoTriggerAvail(uint16_t Count);
  virtual void DoTriggerData(uint16_t TriggerHandle);
  virtual void DoTriggerStatus(uint16_t TriggerHandle);
  virtual void DoTriggerTimer(uint16_t TriggerHandle);
  virtual void RefreshHandlerState();
  virtual void DoTriggerLineError(uint16_t Error, bool LineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void DoWaitChar(char C);
  virtual void ClosePort();
  virtual void YieldTime();
  virtual void NotifyPortOpen();
  virtual void NotifyPortClose();
  virtual void NotifyPortClosing();
  virtual void OpenPort();

 protected:
  void Loaded() override;

 private:
  // Raises ForceApply for one scope, restoring it afterwards.
  class TForceApply {
   public:
    explicit TForceApply(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
    ~TForceApply() { flag_ = saved_; }
    TForceApply(const TForceApply&) = delete;
    TForceApply& operator=(const TForceApply&) = delete;

   private:
    bool& flag_;
    bool saved_;
  };

  bool Closing() const { return phase_ == phClosing; }
  bool AnyTriggerEventAssigned() const;
  void ApplyLineSettings();
  // OpenPort's steps; OpenPort notes why they failed.
  void OpenDispatcher();
  // Drops the window and the dispatcher: the end of a close, or of an open
  // that failed on the way.
  void FinishClose();
  void CompleteDeferredClose();
  // Runs the notice the dispatcher is delivering to this thread, so that
  // it is handled before a close that does not come from a notice.
  void AwaitDelivery();
  void DeviceLost();
  void CheckDeviceResult(int32_t Result);
  void ReportLost();
  // "COM1 (/dev/ttyUSB0)": the port and the device it names.
  std::string PortLabel() const;
  void NotifyListeners(uint32_t windowMsg, TApdPortState state, bool extendedOnly);
  // The Tracing / Logging table; `log` picks the dispatch log.
  void ApplyTraceLogState(bool log, TTraceLogState value);
  void ResizeTraceLog(bool log);

  TDeviceLayer deviceLayer_ = dlWin32;
  uint16_t comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = swfNone;
  char xOnChar_ = 17;
  char xOffChar_ = 19;
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  uint32_t traceSize_ = 10000;
  std::string traceName_ = "QELT.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = tlOff;
  uint32_t logSize_ = 10000;
  std::string logName_ = "QELT.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useMSRShadow_ = true;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  bool rs485Mode_ = false;
  int32_t tag_ = 0;

  TPortNotifyEvent onPortOpen_;
  TPortNotifyEvent onPortClose_;
  TTriggerEvent onTrigger_;
  TTriggerAvailEvent onTriggerAvail_;
  TTriggerDataEvent onTriggerData_;
  TTriggerStatusEvent onTriggerStatus_;
  TTriggerTimerEvent onTriggerTimer_;
  TTriggerLineErrorEvent onTriggerLineError_;
  TPortNotifyEvent onTriggerModemStatus_;
  TPortNotifyEvent onTriggerOutbuffFree_;
  TPortNotifyEvent onTriggerOutbuffUsed_;
  TPortNotifyEvent onTriggerOutSent_;
  TWaitCharEvent onWaitChar_;
  TPortNotifyEvent onPortLost_;

  TPortPhase phase_ = phClosed;
  bool forceApply_ = false;
  bool reopenRequested_ = false;
  bool openAfterLoad_ = false;
  int noticeDepth_ = 0;      // HandleNotice is running this port's handlers
  bool lostPending_ = false; // OnPortLost runs when the close completes
  std::string lastFailure_;
  std::unique_ptr<TApdBaseDispatcher> dispatcher_;
  std::unique_ptr<TApdNotifyWindow> notifyWindow_;
  TriggerSnapshot savedTriggers_;
  bool triggersSaved_ = false;
  uint16_t availThreshold_ = 1;
  uint8_t threadPriorityBoost_ = 0;
  TDispatcherFactory dispatcherFactory_;
  std::vector<std::pair<int32_t, TPortListener>> portListeners_;
  int32_t nextListenerId_ = 1;
};

// The published component; it adds no behaviour.
class TApdComPort : public TApdCustomComPort {
  Q_OBJECT

 public:
  using TApdCustomComPort::TApdCustomComPort;
};
