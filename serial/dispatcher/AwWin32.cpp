// The Win32 device layer.
#include "AwWin32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "AwErrorCodes.h"
#include "AwLock.h"
#include "AwThreads.h"

namespace {

// The older driver's ring-edge event; some drivers refuse it.
constexpr DWORD EvRingEdge = 0x2000;

int32_t Negated(DWORD error) {
  if (error == 0 || error > static_cast<DWORD>(INT32_MAX)) error = ERROR_GEN_FAILURE;
  return -static_cast<int32_t>(error);
}

int32_t LastError() { return Negated(GetLastError()); }

// The answers of a device that went away: a pulled USB adapter (access
// denied, bad command, not connected, removed) or, under Wine, a pty whose
// master was closed (not ready, general failure).
bool IsHangUp(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// A read returns at once with what is waiting; writes have no time limit.
void SetReadAtOnce(HANDLE device) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  SetCommTimeouts(device, &timeouts);
}

uint32_t DeviceEventsFrom(DWORD events) {
  uint32_t mask = events & DeviceEventMask;
  if (events & EvRingEdge) mask |= DevEvRing;
  return mask;
}

// The DCB's flow and option bits share their numbering with TLineState's
// enums (DTR_CONTROL_*, RTS_CONTROL_*, parity and stop-bit codes).
TLineState LineStateFrom(const DCB& dcb) {
  TLineState s;
  s.Baud = dcb.BaudRate;
  s.Binary = dcb.fBinary != 0;
  s.ParityCheck = dcb.fParity != 0;
  s.OutxCtsFlow = dcb.fOutxCtsFlow != 0;
  s.OutxDsrFlow = dcb.fOutxDsrFlow != 0;
  s.DtrControl = static_cast<TDtrControl>(dcb.fDtrControl);
  s.DsrSensitivity = dcb.fDsrSensitivity != 0;
  s.TxContinueOnXoff = dcb.fTXContinueOnXoff != 0;
  s.OutX = dcb.fOutX != 0;
  s.InX = dcb.fInX != 0;
  s.NullStrip = dcb.fNull != 0;
  s.RtsControl = static_cast<TRtsControl>(dcb.fRtsControl);
  s.XonLim = dcb.XonLim;
  s.XoffLim = dcb.XoffLim;
  s.ByteSize = dcb.ByteSize;
  s.Parity = dcb.Parity;
  s.StopBits = dcb.StopBits;
  s.XonChar = static_cast<uint8_t>(dcb.XonChar);
  s.XoffChar = static_cast<uint8_t>(dcb.XoffChar);
  return s;
}

// Members TLineState does not carry keep the device's values, except
// abort-on-error: it would fail every read and write after a line error
// until the errors are fetched, and the output thread would drop blocks.
void ApplyTo(const TLineState& s, DCB& dcb) {
  dcb.BaudRate = s.Baud;
  dcb.fBinary = s.Binary;
  dcb.fParity = s.ParityCheck;
  dcb.fOutxCtsFlow = s.OutxCtsFlow;
  dcb.fOutxDsrFlow = s.OutxDsrFlow;
  dcb.fDtrControl = static_cast<DWORD>(s.DtrControl) & 3u;
  dcb.fDsrSensitivity = s.DsrSensitivity;
  dcb.fTXContinueOnXoff = s.TxContinueOnXoff;
  dcb.fOutX = s.OutX;
  dcb.fInX = s.InX;
  dcb.fNull = s.NullStrip;
  dcb.fRtsControl = static_cast<DWORD>(s.RtsControl) & 3u;
  dcb.fAbortOnError = FALSE;
  dcb.XonLim = s.XonLim;
  dcb.XoffLim = s.XoffLim;
  dcb.ByteSize = s.ByteSize;
  dcb.Parity = s.Parity;
  dcb.StopBits = s.StopBits;
  dcb.XonChar = static_cast<char>(s.XonChar);
  dcb.XoffChar = static_cast<char>(s.XoffChar);
}

void ResetOverlapped(OVERLAPPED& ov) {
  HANDLE event = ov.hEvent;
  ov = OVERLAPPED{};
  ov.hEvent = event;
}

}  // namespace

struct TApdWin32Dispatcher::TWin32Io {
  // Shared while a slot uses the device, exclusive while it is opened or
  // closed. Blocking slots hold it shared; the closer wakes them first.
  TAwSharedLock handleLock;
  HANDLE device = INVALID_HANDLE_VALUE;
  std::atomic<bool> closing{false};

  // One overlapped record per thread that does overlapped I/O, and the
  // event that interrupts a write when the output is purged.
  OVERLAPPED readOv{};   // TDispThread
  OVERLAPPED waitOv{};   // TComThread
  OVERLAPPED writeOv{};  // TOutThread
  HANDLE purgeWake = nullptr;

  // The event mask and its clearing are one step each, so a mask being set
  // cannot undo a clear that ends the event wait.
  TAwLock maskLock;
  DWORD eventMask = 0;
  std::atomic<bool> maskCleared{false};
  // Counts purges, so an event wait a purge aborted can tell and restart.
  std::atomic<uint32_t> purges{0};

  // A slot's hold on the device: Handle() is null once closing has begun.
  class Use {
   public:
    explicit Use(TWin32Io& io) : hold_(io.handleLock) {
      if (!io.closing && io.device != INVALID_HANDLE_VALUE) handle_ = io.device;
    }
    HANDLE Handle() const { return handle_; }

   private:
    std::shared_lock<TAwSharedLock> hold_;
    HANDLE handle_ = nullptr;
  };

  bool CreateEvents() {
    for (HANDLE* e : Events()) {
      *e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (*e == nullptr) return false;
    }
    return true;
  }

  void CloseEvents() {
    for (HANDLE* e : Events()) {
      if (*e != nullptr) CloseHandle(*e);
      *e = nullptr;
    }
  }

  ~TWin32Io() {
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    CloseEvents();
  }

 private:
  std::array<HANDLE*, 4> Events() {
    return {&readOv.hEvent, &waitOv.hEvent, &writeOv.hEvent, &purgeWake};
  }
};

TApdWin32Dispatcher::TApdWin32Dispatcher(TApdCustomComPort* owner)
    : TApdBaseDispatcher(owner), io_(std::make_unique<TWin32Io>()) {}

TApdWin32Dispatcher::~TApdWin32Dispatcher() { BeforeDestruction(); }

bool TApdWin32Dispatcher::IsHeldByAnotherProgram(int32_t code) {
  return code == Negated(ERROR_ACCESS_DENIED) || code == Negated(ERROR_SHARING_VIOLATION);
}

bool TApdWin32Dispatcher::IsMissingPort(int32_t code) {
  return code == Negated(ERROR_FILE_NOT_FOUND) || code == Negated(ERROR_PATH_NOT_FOUND);
}

// --- opening and closing

intptr_t TApdWin32Dispatcher::OpenDeviceHandle(const std::string& name, uint32_t,
                                               uint32_t) {
  TWin32Io& io = *io_;
  std::unique_lock<TAwSharedLock> hold(io.handleLock);
  if (io.device != INVALID_HANDLE_VALUE) return ecode::AlreadyOpen;

  HANDLE device = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                              nullptr);
  if (device == INVALID_HANDLE_VALUE) return LastError();
  if (!io.CreateEvents()) {
    io.CloseEvents();
    CloseHandle(device);
    return ecode::OutOfMemory;
  }
  // The reads must not wait even before TComThread sets the time-outs.
  SetReadAtOnce(device);
  io.device = device;
  io.closing = false;
  io.maskCleared = false;
  io.eventMask = 0;
  return reinterpret_cast<intptr_t>(device);
}

int32_t TApdWin32Dispatcher::CloseDeviceHandle() {
  TWin32Io& io = *io_;
  if (ThreadsRunning) StopRequested = true;
  {
    std::shared_lock<TAwSharedLock> hold(io.handleLock);
    if (io.device == INVALID_HANDLE_VALUE) return ecode::OK;
    // Wake every slot that may block on the device: the event wait, a
    // pending write, and a read should the time-outs not have taken.
    io.closing = true;
    {
      std::lock_guard<TAwLock> mask(io.maskLock);
      io.maskCleared = true;
      SetCommMask(io.device, 0);
    }
    SetEvent(io.purgeWake);
    PurgeComm(io.device, PURGE_RXABORT | PURGE_TXABORT);
  }
  if (ThreadsRunning) {
    ReadyEvent.Set();
    GeneralEvent.Reset();
  }
  std::unique_lock<TAwSharedLock> hold(io.handleLock);
  if (!CloseHandle(io.device)) return -1;
  io.device = INVALID_HANDLE_VALUE;
  io.CloseEvents();
  return ecode::OK;
}

int32_t TApdWin32Dispatcher::SetupDeviceQueues(uint32_t inSize, uint32_t outSize) {
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return Negated(ERROR_INVALID_HANDLE);
  return SetupComm(use.Handle(), inSize, outSize) ? ecode::OK : LastError();
}

// --- line state and modem lines

int32_t TApdWin32Dispatcher::GetDeviceState(TLineState& state) {
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return Negated(ERROR_INVALID_HANDLE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(use.Handle(), &dcb)) return LastError();
  state = LineStateFrom(dcb);
  return ecode::OK;
}

int32_t TApdWin32Dispatcher::SetDeviceState(const TLineState& state) {
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return Negated(ERROR_INVALID_HANDLE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(use.Handle(), &dcb)) return LastError();
  ApplyTo(state, dcb);
  return SetCommState(use.Handle(), &dcb) ? ecode::OK : LastError();
}

int32_t TApdWin32Dispatcher::EscapeFunction(int32_t code) {
  DWORD function;
  switch (code) {
    case EscSetRts: function = SETRTS; break;
    case EscClrRts: function = CLRRTS; break;
    case EscSetDtr: function = SETDTR; break;
    case EscClrDtr: function = CLRDTR; break;
    default: return ecode::BadArgument;
  }
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return Negated(ERROR_INVALID_HANDLE);
  if (EscapeCommFunction(use.Handle(), function)) return ecode::OK;
  // A port without modem lines (Wine on a pseudo-terminal) has nothing to drive.
  DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED ? ecode::OK : Negated(error);
}

uint8_t TApdWin32Dispatcher::ReadModemLines() {
  TWin32Io::Use use(*io_);
  DWORD lines = 0;
  if (!use.Handle() || !GetCommModemStatus(use.Handle(), &lines)) return 0;
  // MS_CTS_ON 0x10, MS_DSR_ON 0x20, MS_RING_ON 0x40, MS_RLSD_ON 0x80.
  return static_cast<uint8_t>(lines & (ModemCts | ModemDsr | ModemRi | ModemDcd));
}

uint32_t TApdWin32Dispatcher::ReadDeviceErrors(TDeviceStatus& status) {
  TWin32Io::Use use(*io_);
  DWORD errors = 0;
  COMSTAT comstat{};
  status.InQueue = 0;
  if (!use.Handle() || DeviceGone()) return 0;
  if (!ClearCommError(use.Handle(), &errors, &comstat)) {
    NoteFailure(GetLastError());
    return 0;
  }
  status.Status = (comstat.fCtsHold ? 0x01u : 0u) | (comstat.fDsrHold ? 0x02u : 0u) |
                  (comstat.fRlsdHold ? 0x04u : 0u) | (comstat.fXoffHold ? 0x08u : 0u) |
                  (comstat.fXoffSent ? 0x10u : 0u) | (comstat.fEof ? 0x20u : 0u) |
                  (comstat.fTxim ? 0x40u : 0u);
  status.InQueue = comstat.cbInQue;
  // CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME and CE_BREAK are our five bits.
  return errors & (LineErrRxOverflow | LineErrOverrun | LineErrParity | LineErrFraming |
                   LineErrBreak);
}

// --- input

int32_t TApdWin32Dispatcher::ReadDevice(uint8_t* buffer, uint32_t count) {
  TWin32Io& io = *io_;
  TWin32Io::Use use(io);
  HANDLE device = use.Handle();
  if (!device || count == 0 || DeviceGone()) return 0;
  DWORD wanted = std::min<DWORD>(count, INT32_MAX);
  ResetOverlapped(io.readOv);
  if (!ReadFile(device, buffer, wanted, nullptr, &io.readOv) &&
      GetLastError() != ERROR_IO_PENDING) {
    NoteFailure(GetLastError());
    return 0;
  }
  // With the read time-outs set, a pending read completes at once.
  DWORD got = 0;
  if (!GetOverlappedResult(device, &io.readOv, &got, TRUE)) {
    NoteFailure(GetLastError());
    return 0;
  }
  ResetEvent(io.readOv.hEvent);
  return static_cast<int32_t>(got);
}

int32_t TApdWin32Dispatcher::PurgeDriver(uint32_t flags) {
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return Negated(ERROR_INVALID_HANDLE);
  if (DeviceGone()) return ecode::OK;  // nothing is left to discard
  // Before the purge, so that an event wait it aborts sees the count moved.
  ++io_->purges;
  return PurgeComm(use.Handle(), flags) ? ecode::OK : LastError();
}

void TApdWin32Dispatcher::SetPurgeWake(bool on) {
  TWin32Io::Use use(*io_);
  if (!use.Handle()) return;
  if (on)
    SetEvent(io_->purgeWake);
  else
    ResetEvent(io_->purgeWake);
}

int32_t TApdWin32Dispatcher::PurgeQueue(bool input) {
  if (input) return PurgeDriver(PURGE_RXABORT | PURGE_RXCLEAR);
  // An output purge with TOutThread running waits for its acknowledgement.
  // The flush event goes first (FlushWriter sets it before the wake):
  // TOutThread takes an interrupted write for a flush only when it finds
  // that event set.
  const bool writerRuns = OutThread.load() != nullptr;
  if (writerRuns) FlushWriter([this] { SetPurgeWake(true); });
  EmptyOutputRing();
  int32_t result = PurgeDriver(PURGE_TXABORT | PURGE_TXCLEAR);
  // Writes may start again only now that the ring is empty.
  if (writerRuns) SetPurgeWake(false);
  return result;
}

// --- event wait

void TApdWin32Dispatcher::PrepareDeviceEvents(uint32_t mask) {
  TWin32Io& io = *io_;
  TWin32Io::Use use(io);
  if (!use.Handle()) return;
  SetReadAtOnce(use.Handle());
  std::lock_guard<TAwLock> hold(io.maskLock);
  if (io.maskCleared) return;  // a stop came first
  io.eventMask = mask;
  SetCommMask(use.Handle(), mask);
}

void TApdWin32Dispatcher::CancelDeviceEventWait() {
  TWin32Io& io = *io_;
  TWin32Io::Use use(io);
  if (!use.Handle()) return;
  std::lock_guard<TAwLock> hold(io.maskLock);
  io.maskCleared = true;
  // A pending WaitCommEvent completes with an empty mask.
  SetCommMask(use.Handle(), 0);
}

bool TApdWin32Dispatcher::DropRingEdgeEvent(void* device) {
  TWin32Io& io = *io_;
  std::lock_guard<TAwLock> hold(io.maskLock);
  if (io.maskCleared || !(io.eventMask & EvRingEdge)) return false;
  io.eventMask = DeviceEventMask;
  return SetCommMask(device, io.eventMask) != 0;
}

bool TApdWin32Dispatcher::WaitDeviceEvent(uint32_t& mask) {
  TWin32Io& io = *io_;
  for (;;) {
    TWin32Io::Use use(io);
    HANDLE device = use.Handle();
    // A cleared mask is final: no event can come any more.
    if (!device || io.maskCleared) return false;
    const uint32_t purgesBefore = io.purges;
    DWORD events = 0;
    ResetOverlapped(io.waitOv);
    if (!WaitCommEvent(device, &events, &io.waitOv)) {
      DWORD error = GetLastError();
      if (error == ERROR_INVALID_PARAMETER) {
        // Drivers that refuse the ring-edge event get the mask without it.
        if (DropRingEdgeEvent(device)) continue;
        return false;
      }
      // ERROR_NOT_SUPPORTED (Wine on a pseudo-terminal) ends here too:
      // asking again would fail at once, for ever.
      if (error != ERROR_IO_PENDING) {
        NoteFailure(error);
        return false;
      }
      DWORD unused = 0;
      // The wait ends within this call, on the thread that started it:
      // Windows aborts a pending WaitCommEvent when that thread exits.
      if (!GetOverlappedResult(device, &io.waitOv, &unused, TRUE)) {
        // Some drivers abort the wait on a purge: start it again.
        const DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED && !io.maskCleared && io.purges != purgesBefore)
          continue;
        NoteFailure(error);
        return false;
      }
      ResetEvent(io.waitOv.hEvent);
      if (events == 0 && !io.maskCleared && io.purges != purgesBefore) continue;
    }
    mask = DeviceEventsFrom(events);
    return true;
  }
}

// --- output

int32_t TApdWin32Dispatcher::QueueOutput(const uint8_t* data, uint32_t count) {
  CopyToOutputRing(data, count);
  OutputReadyEvent.Set();
  return static_cast<int32_t>(count);
}

int32_t TApdWin32Dispatcher::WriteDevice(const uint8_t* data, uint32_t count) {
  TWin32Io& io = *io_;
  TWin32Io::Use use(io);
  HANDLE device = use.Handle();
  if (!device) return Negated(ERROR_INVALID_HANDLE);
  auto purging = [&io] { return WaitForSingleObject(io.purgeWake, 0) == WAIT_OBJECT_0; };
  // Only a purge interrupts a write; any other failure drops the block, so
  // that a device that aborts every write cannot make the writer spin.
  auto failed = [&](DWORD error) {
    if (error == ERROR_OPERATION_ABORTED && purging()) return WriteInterrupted;
    NoteFailure(error);
    return Negated(error);
  };
  // A lost device takes nothing: the writer drops what is queued.
  if (DeviceGone()) return Negated(ERROR_NOT_READY);
  // A purge in progress: nothing may go out until it has emptied the ring.
  if (purging()) return WriteInterrupted;
  DWORD length = std::min<DWORD>(count, INT32_MAX);
  ResetOverlapped(io.writeOv);
  if (!WriteFile(device, data, length, nullptr, &io.writeOv)) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return failed(error);
    HANDLE wake[2] = {io.writeOv.hEvent, io.purgeWake};
    DWORD woken = WaitForMultipleObjects(2, wake, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) {
      error = woken == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : GetLastError();
      // Only this thread's writes are cancelled; the write must have ended
      // before its record can be used again.
      CancelIo(device);
      DWORD ignored = 0;
      GetOverlappedResult(device, &io.writeOv, &ignored, TRUE);
      ResetEvent(io.writeOv.hEvent);
      return failed(error);
    }
  }
  DWORD written = 0;
  BOOL ok = GetOverlappedResult(device, &io.writeOv, &written, FALSE);
  DWORD error = ok ? 0 : GetLastError();
  ResetEvent(io.writeOv.hEvent);
  if (!ok) return failed(error);
  // Writes have no time-out, so nothing written means the device failed.
  if (written == 0) return Negated(ERROR_WRITE_FAULT);
  return static_cast<int32_t>(written);
}

void TApdWin32Dispatcher::NoteFailure(uint32_t error) {
  if (IsHangUp(error) && !io_->closing) MarkDeviceGone();
}

int32_t TApdWin32Dispatcher::YieldSlice() {
  Sleep(0);
  return ecode::OK;
}

// --- thread priorities

long CurrentSystemThreadId() { return static_cast<long>(GetCurrentThreadId()); }

void ApplyThreadPriority(long systemId, int level) {
  static constexpr int Levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                   THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                   THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                   THREAD_PRIORITY_TIME_CRITICAL};
  HANDLE thread = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(systemId));
  if (thread == nullptr) return;
  SetThreadPriority(thread, Levels[level]);
  CloseHandle(thread);
}
