// The dispatcher's life cycle, its two rings, and the trace and log it keeps.
#include "AwUser.h"

#include <algorithm>
#include <cstring>

#include "AwErrorCodes.h"
#include "AwThreads.h"

using Guard = std::lock_guard<TAwLock>;

// --- PortList

int32_t TPortList::Add(TApdBaseDispatcher* dispatcher) {
  Guard hold(lock_);
  auto empty = std::find(slots_.begin(), slots_.end(), nullptr);
  if (empty != slots_.end()) {
    *empty = dispatcher;
    return static_cast<int32_t>(empty - slots_.begin());
  }
  slots_.push_back(dispatcher);
  return static_cast<int32_t>(slots_.size() - 1);
}

void TPortList::Remove(int32_t index) {
  Guard hold(lock_);
  if (index < 0 || index >= static_cast<int32_t>(slots_.size())) return;
  slots_[index] = nullptr;
  while (!slots_.empty() && slots_.back() == nullptr) slots_.pop_back();
}

TApdBaseDispatcher* TPortList::At(int32_t index) {
  Guard hold(lock_);
  if (index < 0 || index >= static_cast<int32_t>(slots_.size())) return nullptr;
  return slots_[index];
}

int32_t TPortList::Count() {
  Guard hold(lock_);
  return static_cast<int32_t>(slots_.size());
}

TPortList& PortList() {
  static TPortList list;
  return list;
}

// --- life cycle

TApdBaseDispatcher::TApdBaseDispatcher(TApdCustomComPort* owner) : Owner(owner) {
  DispatcherHandle = PortList().Add(this);
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // A derived class that forgot BeforeDestruction leaves an open device
  // behind; its slots are gone by now, so only the list entry can go.
  AwaitThreadsGone();
  PortList().Remove(DispatcherHandle);
}

void TApdBaseDispatcher::BeforeDestruction() {
  if (destroyed_) return;
  destroyed_ = true;
  if (!ClosePending) CloseDevice();
  // A close that was deferred (or a delivery that never ended) still stops
  // the threads here: the destructor must not wait for them in vain.
  ReleaseBuffers();
  AwaitThreadsGone();
}

int32_t TApdBaseDispatcher::OpenDevice(const std::string& name, uint32_t baud,
                                       uint8_t lineFlags, uint32_t outSize,
                                       uint32_t inSize, uint8_t stopBits,
                                       uint8_t dataBits, uint8_t parity) {
  // One opening per dispatcher: a second would take the running one's
  // device and events from under its threads.
  if (DeviceHandle >= 0 || ThreadsRunning) return ecode::AlreadyOpen;
  // An output ring without room could never take a block: say so now rather
  // than open a port that answers "not open" to every write.
  if (outSize == 0) return ecode::OutputBufferTooSmall;
  RingSeen = false;
  deviceGone_ = false;
  goneTold_ = false;
  Delivering = false;
  HandlerRemovedInDelivery = false;

  intptr_t handle = OpenDeviceHandle(name, inSize, outSize);
  if (handle < 0) {
    CloseDevice();
    return static_cast<int32_t>(handle);  // -8, or the negated system error
  }
  DeviceHandle = handle;

  int32_t result = SetupDeviceQueues(inSize, outSize);
  if (result < 0) {
    CloseDevice();
    return result;
  }

  {
    Guard in(InputLock);
    InBuffer.assign(InRingSize, 0);
    InHead = InTail = 0;
    InFull = false;
    PeekCount = 0;
  }
  {
    Guard out(OutputLock);
    OutBuffer.assign(outSize, 0);
    OutHead = OutTail = 0;
    OutFull = false;
    writerHolds_ = false;
    OutBufferSize = outSize;
    ++outGeneration_;
  }
  InQueueSize = inSize;
  LineErrors = 0;
  OutputSent = false;
  ClosePending = false;
  RS485Mode = false;
  Rs485BaseAddress = 0;

  result = GetDeviceState(LineState);
  if (result < 0) {
    CloseDevice();
    return result;
  }

  DtrAuto = (lineFlags & LineFlagDtrFlow) != 0;
  if (!DtrAuto) DriveDtr(lineFlags & LineFlagDtr ? 1 : 0);
  RtsAuto = (lineFlags & LineFlagRtsFlow) != 0;
  if (!RtsAuto) DriveRts(lineFlags & LineFlagRts ? 1 : 0);

  ScanPos = 0;
  InArrived = InScanned = 0;
  ClearTriggers();
  AvailNotifiedAt = 0;
  AvailOwed = false;
  ClearStatusHits();
  InDelivery = false;
  ModemStatus = 0;
  ReadModemStatus(0xF0);
  LastBaud = 115200;

  result = SetLineParams(baud, parity, stopBits, dataBits);
  if (result < 0) {
    CloseDevice();
    return result;
  }
  RefreshLineErrors();
  {
    Guard hold(DispatchLock);
    Trace.Pause();
    Log.Pause();
    Log.SetTimeBase(TickClock());
  }
  result = StartThreads();
  if (result < 0) CloseDevice();
  return result;
}

void TApdBaseDispatcher::CloseDevice() {
  if (DeviceHandle >= 0) {
    FlushOutput();
    FlushInput();
    if (CloseDeviceHandle() == 0) DeviceHandle = -1;
  }
  if (Delivering)
    ClosePending = true;  // the delivering thread releases the rings
  else
    ReleaseBuffers();
}

void TApdBaseDispatcher::ReleaseBuffers() {
  // No lock is held here: StopThreads waits for threads that take them.
  ReleaseOnThreadExit = false;
  StopThreads();
  {
    Guard in(InputLock);
    InBuffer = {};
    InHead = InTail = 0;
    InFull = false;
    PeekCount = 0;
  }
  Guard out(OutputLock);
  OutBuffer = {};
  OutHead = OutTail = 0;
  OutFull = false;
  writerHolds_ = false;
  OutBufferSize = 0;
  ++outGeneration_;
}

// --- input ring

uint32_t TApdBaseDispatcher::InUnread() const {
  if (InHead == InTail) return InFull ? InRingSize : 0;
  if (InHead > InTail) return InHead - InTail;
  return InHead + InRingSize - InTail;
}

void TApdBaseDispatcher::RefreshLineErrors() {
  TDeviceStatus status;
  LineErrors.fetch_or(ReadDeviceErrors(status) & 0x1F);
}

// Reads up to count bytes at InHead; the count that came.
int32_t TApdBaseDispatcher::ReadIntoRing(uint32_t count) {
  // A failed read stores nothing; the next pass tries again.
  const int32_t got = std::clamp<int32_t>(ReadDevice(&InBuffer[InHead], count), 0,
                                          static_cast<int32_t>(count));
  LogEntry(logtype::Dispatch, logsub::ReadCom, static_cast<uint32_t>(got),
           &InBuffer[InHead], static_cast<uint32_t>(got));
  InHead += static_cast<uint32_t>(got);
  if (InHead == InRingSize) InHead = 0;
  if (got > 0) InFull = InHead == InTail;
  InArrived += static_cast<uint32_t>(got);
  return got;
}

void TApdBaseDispatcher::FillInput() {
  Guard in(InputLock);
  if (InBuffer.empty()) return;
  // Bytes the owner read before the matcher saw them still hold their place:
  // a fill over them would hide them from the data triggers.
  const uint32_t held = std::max(InUnread(), static_cast<uint32_t>(InArrived - InScanned));
  if (held == InRingSize) return;  // nothing is read while the ring is full
  TDeviceStatus status;
  LineErrors.fetch_or(ReadDeviceErrors(status) & 0x1F);
  uint32_t waiting = status.InQueue;
  if (waiting == 0) return;

  // The free space starts at InHead; the part up to the ring's end is read first.
  const uint32_t space = InRingSize - held;
  const uint32_t contiguous = std::min(space, InRingSize - InHead);
  uint32_t wanted = std::min(space, waiting);
  uint32_t second = wanted > contiguous ? wanted - contiguous : 0;
  uint32_t first = std::min(wanted, contiguous);

  if (first > 0 && ReadIntoRing(first) < static_cast<int32_t>(first)) second = 0;
  // The second read is always at 0, the start of the ring.
  if (second > 0) ReadIntoRing(second);
}

int32_t TApdBaseDispatcher::PeekByte(uint32_t n, uint8_t& byte) {
  Guard in(InputLock);
  if (n == 0 || InBuffer.empty() || InUnread() < n) return ecode::BufferIsEmpty;
  byte = InBuffer[(InTail + n - 1) % InRingSize];
  return ecode::OK;
}

int32_t TApdBaseDispatcher::GetByte(uint8_t& byte) {
  Guard in(InputLock);
  int32_t result;
  if (InDelivery) {
    ++PeekCount;
    result = PeekByte(PeekCount, byte);
    if (result < 0) --PeekCount;
  } else {
    result = PeekByte(1, byte);
    if (result == ecode::OK) {
      InTail = (InTail + 1) % InRingSize;
      InFull = false;
    }
  }
  if (result == ecode::OK && Trace.On()) {
    Guard hold(DispatchLock);
    Trace.Record(TraceReceive, byte);
  }
  return result;
}

uint32_t TApdBaseDispatcher::InUsed() {
  Guard in(InputLock);
  uint32_t unread = InUnread();
  return InDelivery ? unread - std::min(unread, PeekCount) : unread;
}

bool TApdBaseDispatcher::InputRingFull() {
  Guard in(InputLock);
  return InFull;
}

int32_t TApdBaseDispatcher::FlushInput() {
  int32_t result = PurgeQueue(true);
  Guard in(InputLock);
  if (InDelivery) {
    MaxPeekCount = InUnread();
  } else {
    InTail = InHead;
    PeekCount = 0;
  }
  InFull = false;
  Guard hold(DispatchLock);
  for (TDataTrigger& t : DataTriggers) std::fill(std::begin(t.Counters), std::end(t.Counters), 0u);
  return result;
}

// --- output ring

uint32_t TApdBaseDispatcher::OutRingCount() const {
  if (OutFull) return OutBufferSize;
  if (OutTail < OutHead) return OutHead - OutTail;
  if (OutHead < OutTail) return OutBufferSize + OutHead - OutTail;
  return 0;
}

int32_t TApdBaseDispatcher::PutBytes(const uint8_t* data, uint32_t length) {
  if (length == 0) return ecode::OK;
  int32_t result = ecode::OK;
  {
    Guard out(OutputLock);
    if (OutBuffer.empty()) return ecode::CommNotOpen;
    TDeviceStatus status;
    LineErrors = ReadDeviceErrors(status);
    uint32_t free = OutBufferSize - OutRingCount();
    if (length > free) return ecode::OutputBufferTooSmall;
    // Bytes for a device that hung up would wait in the ring for nobody.
    if (DeviceGone() || QueueOutput(data, length) <= 0) {
      RefreshLineErrors();
      result = ecode::PutBlockFail;
    }
    OutputSent = true;
  }
  Guard hold(DispatchLock);
  LogEntry(logtype::Dispatch, logsub::WriteCom, length, data, length);
  if (Trace.On())
    for (uint32_t i = 0; i < length; ++i) Trace.Record(TraceTransmit, data[i]);
  return result;
}

void TApdBaseDispatcher::CopyToOutputRing(const uint8_t* data, uint32_t count) {
  Guard out(OutputLock);
  if (count == 0) return;
  uint32_t toEnd = OutBufferSize - OutHead;
  if (count > toEnd) {
    std::memcpy(&OutBuffer[OutHead], data, toEnd);
    std::memcpy(&OutBuffer[0], data + toEnd, count - toEnd);
    OutHead = count - toEnd;
  } else {
    std::memcpy(&OutBuffer[OutHead], data, count);
    OutHead += count;
    if (OutHead == OutBufferSize) OutHead = 0;
  }
  // Only a ring that was filled to the last byte ends with head on tail.
  OutFull = OutHead == OutTail;
}

void TApdBaseDispatcher::EmptyOutputRing() {
  Guard out(OutputLock);
  OutHead = OutTail = 0;
  OutFull = false;
  writerHolds_ = false;  // the writer let go of its block, or never had one
  ++outGeneration_;
}

TApdBaseDispatcher::TOutputBlock TApdBaseDispatcher::TakeOutputBlock() {
  Guard out(OutputLock);
  if (OutBuffer.empty() || (!OutFull && OutHead == OutTail)) return {};
  if (OutHead != 0 && OutHead <= OutTail) {
    // Wrapped: rotate the queued bytes into one block starting at 0, so that
    // one device write takes them all.
    std::rotate(OutBuffer.begin(), OutBuffer.begin() + OutTail, OutBuffer.end());
    OutHead += OutBufferSize - OutTail;
    OutTail = 0;
    if (OutHead == OutBufferSize) OutHead = 0;  // a full ring: head on tail
  }
  uint32_t end = OutTail < OutHead ? OutHead : OutBufferSize;
  writerHolds_ = true;
  return {&OutBuffer[OutTail], end - OutTail, outGeneration_};
}

void TApdBaseDispatcher::ConsumeOutput(const TOutputBlock& block, uint32_t written) {
  Guard out(OutputLock);
  writerHolds_ = false;
  if (block.Generation != outGeneration_ || written == 0) return;
  OutTail += std::min(written, block.Length);
  if (OutTail == OutBufferSize) OutTail = 0;
  OutFull = false;
  if (OutTail == OutHead) OutHead = OutTail = 0;
}

bool TApdBaseDispatcher::OutputIdle() {
  Guard out(OutputLock);
  return !writerHolds_ && !OutFull && OutHead == OutTail;
}

uint32_t TApdBaseDispatcher::OutUsed() {
  Guard out(OutputLock);
  RefreshLineErrors();
  return OutRingCount();
}

uint32_t TApdBaseDispatcher::OutFree() {
  Guard out(OutputLock);
  RefreshLineErrors();
  return OutBufferSize - OutRingCount();
}

int32_t TApdBaseDispatcher::FlushOutput() { return PurgeQueue(false); }

// --- trace and dispatch log

void TApdBaseDispatcher::LogEntry(uint8_t type, uint8_t subtype, uint32_t data,
                                  const uint8_t* bytes, uint32_t length) {
  Guard hold(DispatchLock);
  if (Log.On()) Log.Add(type, subtype, data, bytes, length);
}

int32_t TApdBaseDispatcher::StartTrace(uint32_t size) {
  Guard hold(DispatchLock);
  return Trace.Start(size);
}
void TApdBaseDispatcher::ClearTrace() {
  Guard hold(DispatchLock);
  Trace.Clear();
}
void TApdBaseDispatcher::PauseTrace() {
  Guard hold(DispatchLock);
  Trace.Pause();
}
void TApdBaseDispatcher::ResumeTrace() {
  Guard hold(DispatchLock);
  Trace.Resume();
}
void TApdBaseDispatcher::AbortTrace() {
  Guard hold(DispatchLock);
  Trace.Abort();
}
int32_t TApdBaseDispatcher::DumpTraceTo(const std::string& name, bool hex, bool allHex) {
  Guard hold(DispatchLock);
  return Trace.DumpTo(name, false, hex, allHex);
}
int32_t TApdBaseDispatcher::AppendTraceTo(const std::string& name, bool hex, bool allHex) {
  Guard hold(DispatchLock);
  return Trace.DumpTo(name, true, hex, allHex);
}

void TApdBaseDispatcher::StartLog(uint32_t size) {
  Guard hold(DispatchLock);
  Log.Start(size, std::max(InQueueSize, OutBufferSize));
}
void TApdBaseDispatcher::ClearLog() {
  Guard hold(DispatchLock);
  Log.Clear();
}
void TApdBaseDispatcher::PauseLog() {
  Guard hold(DispatchLock);
  Log.Pause();
}
void TApdBaseDispatcher::ResumeLog() {
  Guard hold(DispatchLock);
  Log.Resume();
}
void TApdBaseDispatcher::AbortLog() {
  Guard hold(DispatchLock);
  Log.Abort();
}
int32_t TApdBaseDispatcher::DumpLogTo(const std::string& name, bool hex, bool allHex) {
  Guard hold(DispatchLock);
  return Log.DumpTo(name, false, hex, allHex, DeviceName);
}
int32_t TApdBaseDispatcher::AppendLogTo(const std::string& name, bool hex, bool allHex) {
  Guard hold(DispatchLock);
  return Log.DumpTo(name, true, hex, allHex, DeviceName);
}
