// The port dispatcher: one per open port. It owns the input and output rings,
// the line state, the trigger table and the handler lists, runs the trigger
// checks and delivers trigger messages to the handlers. Everything that
// touches the operating system goes through the virtual device-layer slots,
// so that one device layer per platform (POSIX, Win32) can sit beneath it.
//
// No Qt and no platform headers here: this unit also builds for Windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AwEvent.h"
#include "AwLock.h"
#include "AwTickClock.h"
#include "AwTrace.h"

class TApdCustomComPort;  // the component that owns a dispatcher
class TApdBaseDispatcher;
class TApdDispatcherThread;
class TComThread;
class TDispThread;
class TOutThread;

// Trigger messages.
inline constexpr uint32_t TriggerAvailMsg = 0x7E01;
inline constexpr uint32_t TriggerDataMsg = 0x7E02;
inline constexpr uint32_t TriggerTimerMsg = 0x7E03;
inline constexpr uint32_t TriggerStatusMsg = 0x7E04;
// Not a trigger: the device went away (adapter pulled, far end closed). It
// reaches every registered handler once, whatever trigger events the owner
// has, and nothing more is read from or written to the device.
inline constexpr uint32_t DeviceGoneMsg = 0x7E05;

// Status trigger kinds (also the low three bits of a status trigger's handle).
inline constexpr uint32_t StatusModem = 1;
inline constexpr uint32_t StatusLineError = 2;
inline constexpr uint32_t StatusOutFree = 3;
inline constexpr uint32_t StatusOutUsed = 4;
inline constexpr uint32_t StatusOutSent = 5;

// Kind reported by FindTrigger.
inline constexpr int32_t TriggerKindTimer = 1;
inline constexpr int32_t TriggerKindData = 2;
inline constexpr int32_t TriggerKindStatus = 3;

// Line error bits of LineErrors.
inline constexpr uint32_t LineErrRxOverflow = 0x01;
inline constexpr uint32_t LineErrOverrun = 0x02;
inline constexpr uint32_t LineErrParity = 0x04;
inline constexpr uint32_t LineErrFraming = 0x08;
inline constexpr uint32_t LineErrBreak = 0x10;

// Modem lines as the device layer's modem-status query reports them.
inline constexpr uint8_t ModemCts = 0x10;
inline constexpr uint8_t ModemDsr = 0x20;
inline constexpr uint8_t ModemRi = 0x40;
inline constexpr uint8_t ModemDcd = 0x80;

// Line functions of EscapeFunction.
inline constexpr int32_t EscSetRts = 3;
inline constexpr int32_t EscClrRts = 4;
inline constexpr int32_t EscSetDtr = 5;
inline constexpr int32_t EscClrDtr = 6;

// OpenDevice line flags.
inline constexpr uint8_t LineFlagDtr = 0x01;
inline constexpr uint8_t LineFlagRts = 0x02;
inline constexpr uint8_t LineFlagDtrFlow = 0x10;
inline constexpr uint8_t LineFlagRtsFlow = 0x20;

// SetHardwareFlow / SetSoftwareFlow options.
inline constexpr uint32_t HwfUseDtr = 1;
inline constexpr uint32_t HwfUseRts = 2;
inline constexpr uint32_t HwfRequireDsr = 4;
inline constexpr uint32_t HwfRequireCts = 8;
inline constexpr uint32_t SwfTransmit = 1;
inline constexpr uint32_t SwfReceive = 2;

// SetLineParams values that keep the setting in force (baud 0 keeps too).
inline constexpr uint8_t KeepParity = 5;
inline constexpr uint8_t KeepStopBits = 3;
inline constexpr uint8_t KeepDataBits = 9;

inline constexpr uint32_t InRingSize = 8192;
inline constexpr uint32_t DeliveryTimeoutMs = 3000;

// Device events as WaitDeviceEvent reports them.
inline constexpr uint32_t DevEvRxChar = 0x001;
inline constexpr uint32_t DevEvCts = 0x008;
inline constexpr uint32_t DevEvDsr = 0x010;
inline constexpr uint32_t DevEvRlsd = 0x020;
inline constexpr uint32_t DevEvBreak = 0x040;
inline constexpr uint32_t DevEvError = 0x080;
inline constexpr uint32_t DevEvRing = 0x100;
inline constexpr uint32_t DeviceEventMask = 0x1F9;

// WriteDevice: an output purge ended the write.
inline constexpr int32_t WriteInterrupted = 0;

// The GUI side's "process pending GUI events", run by every wait of the GUI
// thread for a dispatcher thread, so that a delivery blocked in a send to the
// GUI thread can finish. Installed once per process (the Qt component does it
// from its GUI thread); only that thread runs it, other threads just sleep.
void SetMessagePump(std::function<void()> pump);
// Where an exception that escaped a dispatcher thread is reported (default:
// standard error). The thread still ends in order.
void SetThreadExceptionReporter(std::function<void(const std::string& what)> report);

// The device's whole line configuration, read and applied at once.
enum class TDtrControl : uint8_t { Off = 0, On = 1, Handshake = 2 };
// Handshake and Toggle share bit 1, which GetFlowOptions reports.
enum class TRtsControl : uint8_t { Off = 0, On = 1, Handshake = 2, Toggle = 3 };

struct TLineState {
  uint32_t Baud = 0;
  bool Binary = true;
  bool ParityCheck = false;
  bool OutxCtsFlow = false;
  bool OutxDsrFlow = false;
  TDtrControl DtrControl = TDtrControl::Off;
  bool DsrSensitivity = false;
  bool TxContinueOnXoff = false;
  bool OutX = false;
  bool InX = false;
  bool NullStrip = false;
  TRtsControl RtsControl = TRtsControl::Off;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // code: 0 one, 1 one and a half, 2 two
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  bool operator==(const TLineState&) const = default;
};

// What a device layer tells with the error bits.
struct TDeviceStatus {
  uint32_t Status = 0;   // the device's own status bits, where it has them
  uint32_t InQueue = 0;  // bytes waiting in the driver
};

struct TTimerTrigger {
  int32_t Handle = 0;
  EventTimer Timer;
  int32_t Ticks = 0;
  uint8_t Active = 0;
};

inline constexpr uint32_t MaxDataTriggerLen = 22;

struct TDataTrigger {
  int32_t Handle = 0;
  uint32_t MatchLength = 0;  // 0 disables the trigger
  uint32_t Counters[MaxDataTriggerLen] = {};
  uint32_t Matched = 0;
  uint32_t IgnoreCase = 0;
  uint8_t MatchString[24] = {};
};

struct TStatusTrigger {
  int32_t Handle = 0;
  uint32_t Kind = 0;
  uint16_t Value = 0;
  uint8_t Armed = 0;
  uint8_t Hit = 0;
};

// Copies of the trigger table that outlive a dispatcher across a reopen.
struct TriggerSnapshot {
  uint32_t AvailThreshold = 0;
  std::vector<TTimerTrigger> TimerTriggers;
  std::vector<TDataTrigger> DataTriggers;
  std::vector<TStatusTrigger> StatusTriggers;
};

// A window that takes trigger messages. The GUI layer implements it as a
// blocking send to its thread that gives up after timeoutMs. False: the
// notice was dropped unseen when the time ran out (a notice the window had
// begun to handle is waited for), and the dispatcher delivers it again.
class TNotifyWindow {
 public:
  virtual ~TNotifyWindow() = default;
  virtual bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam,
                          uint32_t timeoutMs) = 0;
};

using TTriggerProc = void (*)(uint32_t msg, uint32_t wParam, uint32_t lParam);
using TTriggerMethod = std::function<void(uint32_t msg, uint32_t wParam, uint32_t lParam)>;
// Runs a call on the GUI thread and waits for it.
using TGuiRunner = std::function<void(const std::function<void()>&)>;

struct TWindowHandler {
  TNotifyWindow* Window = nullptr;
  bool Removed = false;
};
struct TProcHandler {
  TTriggerProc Proc = nullptr;
  bool Removed = false;
};
struct TMethodHandler {
  TTriggerMethod Method;
  bool Removed = false;
  bool RunOnGui = false;
};

// The process-wide list of dispatchers. The component's notification code
// holds Lock() for a whole notice while it looks a dispatcher up by index.
class TPortList {
 public:
  TAwLock& Lock() { return lock_; }
  // Stores in the first empty slot (or appends); returns the index.
  int32_t Add(TApdBaseDispatcher* dispatcher);
  // Empties the slot, then drops empty slots from the end.
  void Remove(int32_t index);
  // The dispatcher at index, or null.
  TApdBaseDispatcher* At(int32_t index);
  int32_t Count();

 private:
  TAwLock lock_;
  std::vector<TApdBaseDispatcher*> slots_;
};
TPortList& PortList();

// Maps the driver's baud codes to bits per second.
uint32_t BaudFromCode(uint32_t baud);
// Milliseconds that 18 characters take with these settings.
uint32_t EighteenCharPauseMs(uint32_t baud, uint8_t dataBits, uint8_t parity,
                             uint8_t stopCode);
// Upper case of an ANSI (Windows-1252) byte.
uint8_t AnsiUpper(uint8_t byte);
// Feeds one byte to a data trigger's matcher; true on a full match.
bool MatchDataByte(TDataTrigger& trigger, uint8_t byte);

struct TFlowOptions {
  uint32_t Hardware = 0;
  uint32_t Software = 0;
  uint8_t XoffChar = 0;
  uint8_t XonChar = 0;
  int32_t Result = 0;
};

class TApdBaseDispatcher {
 public:
  explicit TApdBaseDispatcher(TApdCustomComPort* owner);
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

  // --- opening and closing
  int32_t OpenDevice(const std::string& name, uint32_t baud, uint8_t lineFlags,
                     uint32_t outSize, uint32_t inSize, uint8_t stopBits,
                     uint8_t dataBits, uint8_t parity);
  void CloseDevice();

  // --- rings
  int32_t GetByte(uint8_t& byte);
  int32_t PeekByte(uint32_t n, uint8_t& byte);
  uint32_t InUsed();
  int32_t PutBytes(const uint8_t* data, uint32_t length);
  uint32_t OutUsed();
  uint32_t OutFree();
  int32_t FlushInput();
  int32_t FlushOutput();
  // Moves waiting driver bytes into the input ring (dispatcher thread).
  void FillInput();

  // --- triggers
  void SetAvailThreshold(uint32_t count);
  int32_t NewTriggerHandle();
  // TriggerKindTimer/Data/Status, or -5003.
  int32_t FindTrigger(int32_t handle, bool remove);
  int32_t NewTimerTrigger();
  int32_t ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
  void ClearTriggers();
  void SaveTriggerSet(TriggerSnapshot& snapshot);
  void RestoreTriggerSet(const TriggerSnapshot& snapshot);
  // The checks return true when something was delivered and the round may go on.
  bool CheckTimerTriggers();
  bool CheckDataTriggers();
  bool CheckStatusTriggers();
  void ClearStatusHits();

  // --- delivery
  bool DeliverEvent(uint32_t message, uint32_t wParam, uint32_t data);
  // A handler's exception cut a delivery short: nothing is committed.
  void AbortDelivery();
  void AddWindowHandler(TNotifyWindow* window);
  void RemoveWindowHandler(TNotifyWindow* window);

  // --- line settings and modem control
  int32_t SetLineParams(uint32_t baud, uint8_t parity, uint8_t stopBits, uint8_t dataBits);
  int32_t GetLineParams(uint32_t& baud, uint8_t& parity, uint8_t& stopBits, uint8_t& dataBits);
  int32_t DriveDtr(int32_t level);
  int32_t DriveRts(int32_t level);
  int32_t SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options);
  int32_t SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options);
  int32_t ClearSoftwareFlow();
  int32_t SetFlowChars(uint8_t xon, uint8_t xoff);
  TFlowOptions GetFlowOptions();
  uint8_t ReadModemStatus(uint8_t keep);
  // After a modem-line event: ReadModemStatus plus the change bits.
  void RefreshModemStatus();
  void RefreshLineErrors();
  int32_t TakeLineError();
  bool TakeBreak();
  void SetRS485Mode(bool on);

  // --- trace and dispatch log
  int32_t StartTrace(uint32_t size);
  void ClearTrace();
  void PauseTrace();
  void ResumeTrace();
  void AbortTrace();
  int32_t DumpTraceTo(const std::string& name, bool hex, bool allHex);
  int32_t AppendTraceTo(const std::string& name, bool hex, bool allHex);
  void StartLog(uint32_t size);
  void ClearLog();
  void PauseLog();
  void ResumeLog();
  void AbortLog();
  int32_t DumpLogTo(const std::string& name, bool hex, bool allHex);
  int32_t AppendLogTo(const std::string& name, bool hex, bool allHex);

  // --- device-layer slots, in slot order
  virtual int32_t EscapeFunction(int32_t code) = 0;
  virtual int32_t PurgeQueue(bool input) = 0;
  // Returns and clears the device's error bits; fills InQueue of status.
  virtual uint32_t ReadDeviceErrors(TDeviceStatus& status) = 0;
  virtual int32_t GetDeviceState(TLineState& state) = 0;
  // Returns at once with up to count bytes; the count read, or negative.
  virtual int32_t ReadDevice(uint8_t* buffer, uint32_t count) = 0;
  virtual int32_t SetDeviceState(const TLineState& state) = 0;
  // Copies into the output ring (CopyToOutputRing) and wakes the writer.
  virtual int32_t QueueOutput(const uint8_t* data, uint32_t count) = 0;
  // TComThread: blocks until the device reports events (mask receives them, using the
  // bits 0x001 received char, 0x008 CTS, 0x010 DSR, 0x020 carrier, 0x040 break,
  // 0x080 line error, 0x100 ring) or until CancelDeviceEventWait (true, with
  // the mask as the caller set it: 0).
  // false when the wait failed (the device is gone, hung up, or does not support
  // event waits): TComThread then ends; it must never be called again in a loop that spins.
  virtual bool WaitDeviceEvent(uint32_t& mask) = 0;
  // 0, or the negated system error.
  virtual int32_t SetupDeviceQueues(uint32_t inSize, uint32_t outSize) = 0;
  virtual void ReleaseBuffers();
  // Starts the three threads; throws std::logic_error("Dispatcher already
  // started") when they run. Called with DispatchLock NOT held by the caller.
  // A thread the system refuses stops the ones started: -2009, nothing runs.
  virtual int32_t StartThreads();
  // Stops the threads, waiting (and pumping GUI messages) without holding
  // DispatchLock, so that a thread waiting for that lock can still end.
  virtual void StopThreads();
  // The device handle (0 or more), -8 when the layer's own resources
  // failed, else the negated system error.
  virtual intptr_t OpenDeviceHandle(const std::string& name, uint32_t inSize,
                                    uint32_t outSize) = 0;
  // 0, or negative with the device left open.
  virtual int32_t CloseDeviceHandle() = 0;
  virtual int32_t YieldSlice() = 0;
  virtual void SetThreadBoost(uint8_t boost);
  virtual void UpdateHandlerFlags(int32_t kind);
  // CTS, DSR, RI and DCD as 0x10, 0x20, 0x40, 0x80.
  virtual uint8_t ReadModemLines() = 0;
  // TComThread, before its loop: set the device's event mask (received character,
  // CTS, DSR, carrier, break, line error, ring) and read time-outs so that a read
  // returns at once with what is waiting.
  virtual void PrepareDeviceEvents(uint32_t mask) = 0;
  // Ends a WaitDeviceEvent in progress at once ("clearing the device's event mask");
  // that wait then returns true with mask 0. Safe from any thread.
  virtual void CancelDeviceEventWait() = 0;
  // Bytes the driver still holds for sending (after the output ring is
  // empty); a layer that cannot tell answers 0.
  virtual uint32_t DeviceOutputQueued() { return 0; }
  // TOutThread: writes one block. Blocks until the device took some or all of it
  // (returns the count written, > 0), or until an output purge interrupts it
  // (returns WriteInterrupted), or fails (returns a negative code: the block is dropped).
  virtual int32_t WriteDevice(const uint8_t* data, uint32_t count) = 0;

  // The device hung up: final for this opening, whose threads stop using it.
  bool DeviceGone() const { return deviceGone_; }

  // --- threads
  // Each thread runs this as it ends (also after an exception escaped it);
  // a start the system refused runs it for each thread that never ran.
  void ThreadEnded(TApdDispatcherThread* thread);
  // True on one of this dispatcher's own threads.
  bool OnOwnThread() const;

  // The writer's view of the output ring: one contiguous block at OutTail
  // (a wrapped ring is rotated first), and the bytes the device took.
  struct TOutputBlock {
    const uint8_t* Data = nullptr;
    uint32_t Length = 0;
    uint64_t Generation = 0;  // a purge in between voids the block
  };
  TOutputBlock TakeOutputBlock();
  void ConsumeOutput(const TOutputBlock& block, uint32_t written);
  // Nothing queued and no block in the writer's hands: a purge of the output
  // then needs no answer from the writer.
  bool OutputIdle();

  // --- fields
  TApdCustomComPort* Owner;
  int32_t DispatcherHandle = -1;
  intptr_t DeviceHandle = -1;
  std::atomic<uint32_t> LineErrors{0};
  uint32_t InQueueSize = 0;
  uint32_t OutBufferSize = 0;
  uint32_t ModemStatus = 0;
  TLineState LineState;
  uint32_t LastBaud = 115200;
  uint32_t Options = 0;  // set by the component, not read here
  bool DtrState = false;
  bool DtrAuto = false;
  bool RtsState = false;
  bool RtsAuto = false;
  bool RS485Mode = false;
  uint16_t Rs485BaseAddress = 0;
  bool OwnerHandlerInstalled = false;
  std::atomic<bool> DeliveryNeeded{false};
  std::vector<TWindowHandler> WindowHandlers;
  std::vector<TProcHandler> ProcHandlers;
  std::vector<TMethodHandler> MethodHandlers;
  TGuiRunner GuiRunner;  // none: method handlers are called directly
  std::vector<TTimerTrigger> TimerTriggers;
  std::vector<TDataTrigger> DataTriggers;
  std::vector<TStatusTrigger> StatusTriggers;
  uint32_t ScanPos = 0;
  // Bytes the ring took and how many of them the matcher examined (TDispThread
  // only). Counts, not positions: a fill that brings InHead round onto an old
  // position must not look like no fill at all.
  uint64_t InArrived = 0;
  uint64_t InScanned = 0;
  uint32_t AvailThreshold = 0;
  bool StatusHit = false;
  bool InDelivery = false;
  uint32_t PeekCount = 0;
  uint32_t MaxPeekCount = 0;
  bool InFull = false;
  // The position the last avail notice was raised at, as the number of bytes
  // the ring had taken before it (counted like InArrived).
  uint64_t AvailNotifiedAt = 0;
  // A window dropped the last delivery's notice unseen (TDispThread only).
  bool NoticeDropped = false;
  // An avail notice was dropped: its bytes are announced again, and no
  // time-out is told before them.
  bool AvailOwed = false;
  std::atomic<bool> StopRequested{false};
  uint8_t ThreadBoost = 0;
  TAwLock DispatchLock;
  TAwLock OutputLock;
  TAwLock InputLock;
  // Event bits of the device waits since TDispThread last took them.
  std::atomic<uint32_t> EventMask{0};
  std::atomic<bool> RingSeen{false};
  std::vector<uint8_t> OutBuffer;
  uint32_t OutHead = 0;
  uint32_t OutTail = 0;
  bool OutFull = false;
  std::vector<uint8_t> InBuffer;
  uint32_t InHead = 0;
  uint32_t InTail = 0;
  std::atomic<bool> Delivering{false};
  bool HandlerRemovedInDelivery = false;
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> OutputSent{false};
  TTraceRecorder Trace;
  TDispatchLog Log;
  uint32_t HandleCounter = 1;
  std::atomic<bool> ThreadsRunning{false};
  std::atomic<bool> ReleaseOnThreadExit{false};
  // The thread events. They live as long as the dispatcher (no handle can
  // dangle); StartThreads clears them and StopThreads clears them again.
  TAwEvent ComEvent{TAwEvent::Kind::AutoReset};
  TAwEvent ReadyEvent{TAwEvent::Kind::AutoReset};
  TAwEvent GeneralEvent{TAwEvent::Kind::AutoReset};
  TAwEvent OutputReadyEvent{TAwEvent::Kind::AutoReset};
  TAwEvent OutputFlushEvent{TAwEvent::Kind::AutoReset};
  // The running threads; each is cleared by that thread's ThreadEnded.
  std::atomic<TComThread*> ComThread{nullptr};
  std::atomic<TDispThread*> DispThread{nullptr};
  std::atomic<TOutThread*> OutThread{nullptr};
  std::atomic<int32_t> ThreadCount{0};
  std::string DeviceName;  // "COM" + number, for the log header

 protected:
  // Device layers copy queued bytes with this (the caller checked the room).
  void CopyToOutputRing(const uint8_t* data, uint32_t count);
  // Device layers empty the ring with this when output is purged.
  void EmptyOutputRing();
  // Whether the input ring holds 8192 unread bytes (nothing more is read).
  bool InputRingFull();
  // The destruction sequence that needs the device layer: every derived
  // destructor calls it first, while its slots still exist.
  void BeforeDestruction();
  // Runs (under ThreadEndLock) as the last running thread ends: a device
  // layer closes here what its threads were still using.
  virtual void AllThreadsEnded() {}
  TAwLock& ThreadEndLock() { return threadEndLock_; }
  // A device layer that saw the hang-up; TDispThread tells the handlers.
  void MarkDeviceGone() { deviceGone_ = true; }
  // An output purge's hand-shake with a running TOutThread: asks it to let
  // go of the ring (`interrupt` wakes a write in progress) and waits up to
  // 5000 ms for its answer to this very request. A GeneralEvent that a
  // thread left as it ended is no answer. The purge goes on either way.
  // With the output idle there is nothing to ask.
  void FlushWriter(const std::function<void()>& interrupt);

 private:
  uint32_t InUnread() const;  // InputLock held
  uint32_t OutRingCount() const;  // OutputLock held
  void LogEntry(uint8_t type, uint8_t subtype, uint32_t data,
                const uint8_t* bytes = nullptr, uint32_t length = 0);
  int32_t ReadIntoRing(uint32_t count);
  void CommitDelivery(uint32_t message, uint32_t wParam, bool& result);
  void DropRemovedHandlers();
  bool OtherHandlersExist() const;
  void ForceLineOptions();
  int32_t ApplyLineState();
  // Reads the line state, lets `change` edit it and applies it, under DispatchLock.
  int32_t ChangeLineState(const std::function<void()>& change);
  void WaitOutputDrained();
  bool HandleInUse(int32_t handle) const;

  void ApplyThreadPriorities();
  // Waits (pumping) until every thread has ended, then frees them.
  void AwaitThreadsGone();

  friend class TDispThread;  // tells of the hang-up once
  friend class TOutThread;   // answers flushes
  // TOutThread: it has let go of the ring for every flush asked so far.
  void AcknowledgeFlush();
  std::atomic<uint64_t> flushesAsked_{0};
  std::atomic<uint64_t> flushesAnswered_{0};
  bool destroyed_ = false;
  std::atomic<bool> deviceGone_{false};
  bool goneTold_ = false;  // TDispThread
  uint64_t outGeneration_ = 0;  // OutputLock; counts purges and releases
  bool writerHolds_ = false;     // OutputLock; a taken block not yet consumed
  TAwLock threadEndLock_;
  std::vector<std::unique_ptr<TApdDispatcherThread>> ThreadObjects;  // DispatchLock
};
