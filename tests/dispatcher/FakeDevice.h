// A scripted device layer beneath the dispatcher: bytes waiting in the
// "driver", recorded line states, escapes and purges, error bits, modem
// lines, and a failure switch per slot.
#pragma once

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "AwErrorCodes.h"
#include "AwUser.h"

class TFakeDispatcher : public TApdBaseDispatcher {
 public:
  TFakeDispatcher() : TApdBaseDispatcher(nullptr) {}
  ~TFakeDispatcher() override { BeforeDestruction(); }

  // --- the script
  std::deque<uint8_t> Driver;   // received bytes not yet read
  TLineState Device;            // the device's line configuration
  uint32_t ErrorBits = 0;       // reported (and cleared) by the next error read
  uint8_t ModemLines = 0;
  uint32_t DrainPerPoll = 0;    // output bytes "sent" per error read
  uint32_t MaxReadPerCall = 0xFFFFFFFF;
  uint32_t MaxWritePerCall = 0xFFFFFFFF;
  // false: StartThreads and StopThreads only count; true: the real threads run.
  bool RealThreads = false;
  // Guards the script against the real threads.
  std::recursive_mutex ScriptLock;

  // Failure switches: 0 = succeed.
  intptr_t OpenResult = 7;      // handle, or the code to fail with
  int32_t SetupResult = 0;
  int32_t GetStateResult = 0;
  int32_t SetStateResult = 0;
  int32_t EscapeResult = 0;
  int32_t QueueResult = -1;     // -1: queue normally; otherwise returned as is
  int32_t ReadResult = 0;       // negative: ReadDevice fails with it
  int32_t CloseResult = 0;
  bool ThrowInEventWait = false;  // WaitDeviceEvent throws (a fault in TComThread)
  // Every wait returns input at once, as poll does for a tty with bytes unread.
  std::atomic<bool> StayReadable{false};

  // --- what happened
  std::vector<TLineState> Applied;
  std::vector<int32_t> Escapes;
  std::vector<bool> Purges;     // true = input side
  std::vector<uint32_t> ReadRequests;
  int ErrorReads = 0;
  int GetStateCalls = 0;
  int HandlesOpened = 0;
  int HandlesClosed = 0;
  int ThreadStarts = 0;
  int ThreadStops = 0;
  uint32_t PreparedMask = 0;
  std::vector<uint8_t> Written;        // what WriteDevice took
  std::vector<uint32_t> WriteSizes;

  // Ends the pending (or next) WaitDeviceEvent with these events.
  void SignalEvents(uint32_t mask) {
    {
      std::lock_guard<std::recursive_mutex> hold(ScriptLock);
      PendingEvents |= mask;
    }
    DeviceEvent.Set();
  }
  uint32_t OutUsedWhenApplied = 0xFFFFFFFF;
  // Bytes the "driver" still holds for sending; one leaves per query.
  uint32_t DriverOutput = 0;
  uint32_t DriverOutputWhenApplied = 0xFFFFFFFF;
  // Waits that return these masks at once, one per wait, before any signal.
  void QueueEvents(std::initializer_list<uint32_t> masks) {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    QueuedEvents.insert(QueuedEvents.end(), masks);
  }
  std::atomic<int> EventWaits{0};  // waits that returned

  void Receive(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    Driver.insert(Driver.end(), bytes.begin(), bytes.end());
  }
  void Receive(const std::string& text) {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    Driver.insert(Driver.end(), text.begin(), text.end());
  }

  int32_t Open(uint32_t outSize = 256, uint32_t inSize = 4096, uint32_t baud = 9600) {
    return OpenDevice("\\\\.\\COM1", baud, LineFlagDtr | LineFlagRts, outSize, inSize, 1, 8, 0);
  }

  // --- slots
  int32_t EscapeFunction(int32_t code) override {
    Escapes.push_back(code);
    return EscapeResult;
  }
  // ScriptLock is a leaf: no ring lock is taken while it is held.
  int32_t PurgeQueue(bool input) override {
    {
      std::lock_guard<std::recursive_mutex> hold(ScriptLock);
      Purges.push_back(input);
      if (input) Driver.clear();
    }
    if (!input) EmptyOutputRing();
    return 0;
  }
  uint32_t ReadDeviceErrors(TDeviceStatus& status) override {
    if (DrainPerPoll > 0) Drain(DrainPerPoll);
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    ++ErrorReads;
    status.InQueue = static_cast<uint32_t>(Driver.size());
    uint32_t bits = ErrorBits;
    ErrorBits = 0;
    return bits;
  }
  int32_t GetDeviceState(TLineState& state) override {
    ++GetStateCalls;
    if (GetStateResult < 0) return GetStateResult;
    state = Device;
    return 0;
  }
  int32_t ReadDevice(uint8_t* buffer, uint32_t count) override {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    ReadRequests.push_back(count);
    if (ReadResult < 0) return ReadResult;
    uint32_t n = std::min({count, static_cast<uint32_t>(Driver.size()), MaxReadPerCall});
    std::copy_n(Driver.begin(), n, buffer);
    Driver.erase(Driver.begin(), Driver.begin() + n);
    return static_cast<int32_t>(n);
  }
  int32_t SetDeviceState(const TLineState& state) override {
    if (SetStateResult < 0) return SetStateResult;
    std::lock_guard<TAwLock> out(OutputLock);
    OutUsedWhenApplied = OutRingBytes();
    DriverOutputWhenApplied = DriverOutput;
    Device = state;
    Applied.push_back(state);
    return 0;
  }
  int32_t QueueOutput(const uint8_t* data, uint32_t count) override {
    if (QueueResult != -1) return QueueResult;
    CopyToOutputRing(data, count);
    return static_cast<int32_t>(count);
  }
  bool WaitDeviceEvent(uint32_t& mask) override {
    mask = 0;
    if (!RealThreads) return false;
    if (ThrowInEventWait) throw std::runtime_error("event wait exploded");
    if (StayReadable) {
      mask = DevEvRxChar;
      ++EventWaits;
      return true;
    }
    {
      std::lock_guard<std::recursive_mutex> hold(ScriptLock);
      if (!QueuedEvents.empty()) {
        mask = QueuedEvents.front();
        QueuedEvents.pop_front();
        ++EventWaits;
        return true;
      }
    }
    DeviceEvent.Wait();
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    mask = std::exchange(PendingEvents, 0u);
    ++EventWaits;
    return true;
  }
  void PrepareDeviceEvents(uint32_t mask) override { PreparedMask = mask; }
  void CancelDeviceEventWait() override { DeviceEvent.Set(); }
  int32_t WriteDevice(const uint8_t* data, uint32_t count) override {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    uint32_t n = std::min(count, MaxWritePerCall);
    Written.insert(Written.end(), data, data + n);
    WriteSizes.push_back(count);
    return static_cast<int32_t>(n);
  }
  uint32_t DeviceOutputQueued() override {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    return DriverOutput > 0 ? DriverOutput-- : 0;
  }
  int32_t SetupDeviceQueues(uint32_t, uint32_t) override { return SetupResult; }
  int32_t StartThreads() override {
    ++ThreadStarts;
    if (RealThreads) return TApdBaseDispatcher::StartThreads();
    ThreadsRunning = true;
    return 0;
  }
  void StopThreads() override {
    if (!ThreadsRunning) return;
    ++ThreadStops;
    if (RealThreads)
      TApdBaseDispatcher::StopThreads();
    else
      ThreadsRunning = false;
  }
  intptr_t OpenDeviceHandle(const std::string&, uint32_t, uint32_t) override {
    if (OpenResult >= 0) ++HandlesOpened;
    return OpenResult;
  }
  int32_t CloseDeviceHandle() override {
    if (CloseResult < 0) return CloseResult;
    ++HandlesClosed;
    return 0;
  }
  int32_t YieldSlice() override { return 0; }
  uint8_t ReadModemLines() override {
    std::lock_guard<std::recursive_mutex> hold(ScriptLock);
    return ModemLines;
  }

  // Takes up to n bytes out of the output ring, as the writer thread would.
  std::vector<uint8_t> Drain(uint32_t n) {
    std::lock_guard<TAwLock> out(OutputLock);
    std::vector<uint8_t> sent;
    while (n-- > 0 && (OutFull || OutHead != OutTail)) {
      sent.push_back(OutBuffer[OutTail]);
      OutTail = (OutTail + 1) % OutBufferSize;
      OutFull = false;
    }
    return sent;
  }

 private:
  TAwEvent DeviceEvent{TAwEvent::Kind::AutoReset};
  uint32_t PendingEvents = 0;
  std::deque<uint32_t> QueuedEvents;

  uint32_t OutRingBytes() const {
    if (OutFull) return OutBufferSize;
    return (OutHead + OutBufferSize - OutTail) % std::max(OutBufferSize, 1u);
  }
};

// Reads every byte outside a delivery.
inline std::string ReadAll(TApdBaseDispatcher& d) {
  std::string text;
  uint8_t byte;
  while (d.GetByte(byte) == 0) text.push_back(static_cast<char>(byte));
  return text;
}

inline TDataTrigger MakeDataTrigger(int32_t handle, const std::string& text, bool ignoreCase = false) {
  TDataTrigger t;
  t.Handle = handle;
  t.MatchLength = static_cast<uint32_t>(text.size());
  t.IgnoreCase = ignoreCase;
  std::copy(text.begin(), text.end(), t.MatchString);
  return t;
}
