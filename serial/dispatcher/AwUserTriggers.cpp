// The trigger table: handles, the three kinds of trigger and their checks.
#include <algorithm>

#include "AwErrorCodes.h"
#include "AwUser.h"

using Guard = std::lock_guard<TAwLock>;

namespace {
constexpr uint32_t MaxHandleCounter = 4096;
constexpr int32_t HighestReusedHandle = 4096;
constexpr uint8_t Deactivated[] = {'D', 'e', 'a', 'c', 't', 'i', 'v', 'a', 't', 'e', 'd'};
}  // namespace

// Windows-1252 upper case, as the system's ANSI conversion does it.
uint8_t AnsiUpper(uint8_t byte) {
  if (byte >= 'a' && byte <= 'z') return byte - 0x20;
  if (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7) return byte - 0x20;
  switch (byte) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return byte;
  }
}

// Each counter slot follows one candidate match; a new candidate starts in
// the first idle slot, so overlapping matches are all found.
bool MatchDataByte(TDataTrigger& trigger, uint8_t byte) {
  if (trigger.IgnoreCase) byte = AnsiUpper(byte);
  const uint32_t length = std::min(trigger.MatchLength, MaxDataTriggerLen);
  const uint8_t* text = trigger.MatchString;
  uint32_t* counter = trigger.Counters;
  bool full = false;
  bool started = false;
  bool examine = true;
  for (uint32_t i = 0; i < length; ++i) {
    if (examine) {
      uint32_t k = counter[i];
      if (text[k] == byte) {
        if (k == length - 1) {
          full = true;
          std::fill(counter, counter + MaxDataTriggerLen, 0u);
        } else {
          counter[i] = k + 1;
        }
      } else if (text[0] == byte) {
        counter[i] = 1;
        started = true;
      } else {
        counter[i] = 0;
      }
    }
    if (counter[i] == 1) started = true;
    examine = i != length - 1 && (counter[i + 1] != 0 || (!started && text[0] == byte));
  }
  return full;
}

// --- handles

bool TApdBaseDispatcher::HandleInUse(int32_t handle) const {
  for (const TTimerTrigger& t : TimerTriggers)
    if (t.Handle == handle) return true;
  for (const TDataTrigger& t : DataTriggers)
    if (t.Handle == handle) return true;
  for (const TStatusTrigger& t : StatusTriggers)
    if ((t.Handle & ~7) == handle) return true;
  return false;
}

int32_t TApdBaseDispatcher::NewTriggerHandle() {
  Guard hold(DispatchLock);
  if (HandleCounter < MaxHandleCounter) return static_cast<int32_t>(HandleCounter++ * 8);
  int32_t handle = 8;
  while (HandleInUse(handle)) handle += 8;
  return handle > HighestReusedHandle ? 0 : handle;
}

int32_t TApdBaseDispatcher::FindTrigger(int32_t handle, bool remove) {
  if (handle < 2) return ecode::BadTriggerHandle;
  Guard hold(DispatchLock);
  auto timer = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                            [&](const TTimerTrigger& t) { return t.Handle == handle; });
  if (timer != TimerTriggers.end()) {
    if (remove) {
      TimerTriggers.erase(timer);
      LogEntry(logtype::TrigDisp, logsub::Timer, static_cast<uint32_t>(handle));
    }
    return TriggerKindTimer;
  }
  auto status = std::find_if(StatusTriggers.begin(), StatusTriggers.end(),
                             [&](const TStatusTrigger& t) { return t.Handle == handle; });
  if (status != StatusTriggers.end()) {
    if (remove) {
      uint8_t kind = static_cast<uint8_t>(status->Kind);
      StatusTriggers.erase(status);
      LogEntry(logtype::TrigDisp, logsub::StatusAlloc, static_cast<uint32_t>(handle), &kind, 1);
    }
    return TriggerKindStatus;
  }
  auto data = std::find_if(DataTriggers.begin(), DataTriggers.end(),
                           [&](const TDataTrigger& t) { return (t.Handle & ~7) == handle; });
  if (data != DataTriggers.end()) {
    if (remove) {
      DataTriggers.erase(data);
      LogEntry(logtype::TrigDisp, logsub::Data, static_cast<uint32_t>(handle));
    }
    return TriggerKindData;
  }
  return ecode::BadTriggerHandle;
}

// --- timer triggers

int32_t TApdBaseDispatcher::NewTimerTrigger() {
  Guard hold(DispatchLock);
  int32_t handle = NewTriggerHandle();
  if (handle == 0) return ecode::NoMoreTriggers;
  TTimerTrigger trigger;
  trigger.Handle = handle;
  TimerTriggers.push_back(trigger);
  LogEntry(logtype::TrigAllc, logsub::TimerAlloc, static_cast<uint32_t>(handle));
  return handle;
}

int32_t TApdBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  Guard hold(DispatchLock);
  auto timer = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                            [&](const TTimerTrigger& t) { return t.Handle == handle; });
  if (timer == TimerTriggers.end()) return ecode::BadTriggerHandle;
  if (activate) {
    if (ticks != 0) timer->Ticks = ticks;
    NewTimer(timer->Timer, timer->Ticks);
    const uint32_t duration = static_cast<uint32_t>(timer->Ticks);
    const uint8_t bytes[4] = {static_cast<uint8_t>(duration), static_cast<uint8_t>(duration >> 8),
                              static_cast<uint8_t>(duration >> 16),
                              static_cast<uint8_t>(duration >> 24)};
    LogEntry(logtype::TrDatChg, logsub::TimerAlloc, static_cast<uint32_t>(handle), bytes, 4);
    timer->Active = 1;
  } else {
    LogEntry(logtype::TrDatChg, logsub::TimerAlloc, static_cast<uint32_t>(handle), Deactivated,
             sizeof Deactivated);
    timer->Active = 0;
  }
  return ecode::OK;
}

bool TApdBaseDispatcher::CheckTimerTriggers() {
  int32_t handle;
  {
    Guard hold(DispatchLock);
    auto timer = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                              [](const TTimerTrigger& t) { return t.Active && TimerExpired(t.Timer); });
    if (timer == TimerTriggers.end()) return false;
    timer->Active = 0;
    handle = timer->Handle;
    LogEntry(logtype::Trigger, logsub::Timer, static_cast<uint32_t>(handle));
  }
  const bool result = DeliverEvent(TriggerTimerMsg, static_cast<uint32_t>(handle), 0);
  if (!NoticeDropped) return result;
  // Nobody saw it: it fires again at the next pass, unless armed anew meanwhile.
  Guard hold(DispatchLock);
  auto timer = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                            [handle](const TTimerTrigger& t) { return t.Handle == handle; });
  if (timer != TimerTriggers.end() && !timer->Active) timer->Active = 1;
  return false;
}

// --- avail notifications and data triggers

bool TApdBaseDispatcher::CheckDataTriggers() {
  if (InBuffer.empty()) return false;
  uint32_t threshold;
  size_t dataTriggers;
  {
    Guard hold(DispatchLock);  // the GUI thread may change both meanwhile
    threshold = AvailThreshold;
    dataTriggers = DataTriggers.size();
  }
  uint32_t p = ScanPos;
  for (; InScanned != InArrived; p = (p + 1) % InRingSize, ++InScanned) {
    const uint8_t byte = InBuffer[p];
    uint32_t longest = 0;
    bool anyMatched = false;
    {
      Guard hold(DispatchLock);
      for (TDataTrigger& t : DataTriggers) {
        if (t.MatchLength == 0) continue;
        if (!t.Matched && MatchDataByte(t, byte)) t.Matched = 1;
        if (t.Matched) {
          anyMatched = true;
          longest = std::max(longest, t.MatchLength);
        }
      }
    }
    if (!anyMatched) continue;

    // The handlers of this match find it ending at ScanPos.
    ScanPos = p;
    bool result = true;
    if (threshold != 0 && (AvailNotifiedAt != InScanned || AvailOwed)) {
      // Unread bytes up to and including p; none when the owner already
      // read past p outside a delivery.
      uint32_t count;
      {
        Guard in(InputLock);
        uint32_t unread = InUnread();
        if (InDelivery) unread -= std::min(unread, PeekCount);
        uint32_t offset = (p + InRingSize - InTail) % InRingSize;
        count = offset < unread ? offset + 1 : 0;
      }
      if (count >= longest && count - longest >= threshold) {
        LogEntry(logtype::Trigger, logsub::Avail, count - longest);
        result = DeliverEvent(TriggerAvailMsg, count - longest, 0);
        AvailOwed = NoticeDropped;
        AvailNotifiedAt = InScanned;
      }
    }
    for (size_t i = dataTriggers; i-- > 0;) {
      int32_t handle;
      uint32_t length;
      {
        Guard hold(DispatchLock);
        if (i >= DataTriggers.size() || !DataTriggers[i].Matched) continue;
        DataTriggers[i].Matched = 0;
        handle = DataTriggers[i].Handle;
        length = DataTriggers[i].MatchLength;
        LogEntry(logtype::Trigger, logsub::Data, static_cast<uint32_t>(handle));
      }
      result = DeliverEvent(TriggerDataMsg, static_cast<uint32_t>(handle), length);
    }
    ScanPos = (p + 1) % InRingSize;
    ++InScanned;
    return result;
  }
  ScanPos = p;

  const uint32_t used = InUsed();
  if (used < threshold) AvailOwed = false;  // nothing left to announce
  if (threshold == 0 || (AvailNotifiedAt == InArrived && !AvailOwed) || used < threshold)
    return false;
  LogEntry(logtype::Trigger, logsub::Avail, used);
  bool result = DeliverEvent(TriggerAvailMsg, used, 0);
  AvailOwed = NoticeDropped;
  AvailNotifiedAt = InArrived;
  return result;
}

void TApdBaseDispatcher::SetAvailThreshold(uint32_t count) {
  Guard hold(DispatchLock);
  AvailThreshold = count;
  LogEntry(logtype::TrDatChg, logsub::AvailChange, count);
}

// --- status triggers

bool TApdBaseDispatcher::CheckStatusTriggers() {
  int32_t handle = 0;
  uint32_t data = 0;
  {
    Guard hold(DispatchLock);
    auto fires = [&](TStatusTrigger& t) {
      switch (t.Kind) {
        case StatusModem:
          return (((t.Value & 0xFF) ^ (ModemStatus & 0xFF)) & (t.Value >> 8)) != 0;
        case StatusLineError:
          if ((t.Value & LineErrors) == 0) return false;
          t.Value = static_cast<uint16_t>(LineErrors);
          return true;
        case StatusOutFree: {
          uint32_t free = OutFree();
          data = free;
          return free >= t.Value;
        }
        case StatusOutUsed: {
          uint32_t used = OutUsed();
          data = used;
          return used <= t.Value;
        }
        case StatusOutSent:
          return OutputSent.exchange(false);
        default:
          return false;
      }
    };
    auto hit = std::find_if(StatusTriggers.begin(), StatusTriggers.end(), [&](TStatusTrigger& t) {
      data = 0;
      return t.Armed && !t.Hit && fires(t);
    });
    if (hit == StatusTriggers.end()) return false;
    hit->Armed = 0;
    hit->Hit = 1;
    StatusHit = true;
    handle = hit->Handle;
    LogEntry(logtype::Trigger, logsub::Status, static_cast<uint32_t>(handle));
  }
  return DeliverEvent(TriggerStatusMsg, static_cast<uint32_t>(handle), data);
}

void TApdBaseDispatcher::ClearStatusHits() {
  Guard hold(DispatchLock);
  if (!StatusHit) return;
  for (TStatusTrigger& t : StatusTriggers) t.Hit = 0;
  StatusHit = false;
}

// --- the whole table

void TApdBaseDispatcher::ClearTriggers() {
  Guard hold(DispatchLock);
  AvailThreshold = 0;
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  HandleCounter = 1;
}

void TApdBaseDispatcher::SaveTriggerSet(TriggerSnapshot& snapshot) {
  Guard hold(DispatchLock);
  snapshot.AvailThreshold = AvailThreshold;
  snapshot.TimerTriggers = TimerTriggers;
  snapshot.DataTriggers = DataTriggers;
  snapshot.StatusTriggers = StatusTriggers;
}

void TApdBaseDispatcher::RestoreTriggerSet(const TriggerSnapshot& snapshot) {
  Guard hold(DispatchLock);
  AvailThreshold = snapshot.AvailThreshold;
  TimerTriggers = snapshot.TimerTriggers;
  DataTriggers = snapshot.DataTriggers;
  StatusTriggers = snapshot.StatusTriggers;
  // Handles given out from here on must not repeat a restored one.
  uint32_t highest = 0;
  for (const TTimerTrigger& t : TimerTriggers) highest = std::max(highest, uint32_t(t.Handle) / 8);
  for (const TDataTrigger& t : DataTriggers) highest = std::max(highest, uint32_t(t.Handle) / 8);
  for (const TStatusTrigger& t : StatusTriggers) highest = std::max(highest, uint32_t(t.Handle) / 8);
  HandleCounter = std::max(HandleCounter, std::min(highest + 1, MaxHandleCounter));
}
