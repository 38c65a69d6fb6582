// The dispatcher's two diagnostic records of an open port: the trace (every
// byte the owner read or queued, in order) and the dispatch log (time-stamped
// entries for device reads and writes, trigger firings and trigger changes),
// each kept in memory and written to a text file on request.
//
// Neither class locks: the dispatcher calls them under its DispatchLock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// Trace entry kinds.
inline constexpr uint8_t TraceReceive = 'R';
inline constexpr uint8_t TraceTransmit = 'T';

class TTraceRecorder {
 public:
  static constexpr uint32_t MaxEntries = 4000000;

  // Size above MaxEntries: -1002. An existing buffer is only emptied,
  // otherwise a zero-filled one of `size` entries is made. Tracing on.
  int32_t Start(uint32_t size);
  void Clear();   // position 0, not wrapped
  void Pause();   // tracing off, buffer kept
  void Resume();  // tracing on if a buffer exists
  void Abort();   // tracing off, buffer freed
  bool On() const { return on_; }
  bool HasBuffer() const { return !buffer_.empty(); }

  // Stores the pair if a buffer exists (callers check On()).
  void Record(uint8_t kind, uint8_t byte);

  // Writes the trace file (overwrite, or append when asked and the file
  // exists), then frees the trace. 0, or the negated file error.
  int32_t DumpTo(const std::string& name, bool append, bool hex, bool allHex);

  uint32_t Position() const { return position_; }
  uint32_t Capacity() const { return capacity_; }
  bool Wrapped() const { return wrapped_; }

 private:
  std::vector<uint8_t> buffer_;  // 2 bytes per entry: kind, byte
  uint32_t position_ = 0;
  uint32_t capacity_ = 0;
  bool wrapped_ = false;
  bool on_ = false;
};

// Dispatch-log entry types and subtypes this system records.
namespace logtype {
inline constexpr uint8_t Dispatch = 1;
inline constexpr uint8_t Trigger = 2;
inline constexpr uint8_t TrigAllc = 5;
inline constexpr uint8_t TrigDisp = 6;
inline constexpr uint8_t TrgHdAlc = 7;
inline constexpr uint8_t TrgHdDsp = 8;
inline constexpr uint8_t TrDatChg = 9;
inline constexpr uint8_t User = 19;
}  // namespace logtype
namespace logsub {
inline constexpr uint8_t ReadCom = 1;
inline constexpr uint8_t WriteCom = 2;
inline constexpr uint8_t ModemStatus = 4;
inline constexpr uint8_t Avail = 5;
inline constexpr uint8_t Timer = 6;
inline constexpr uint8_t Data = 7;
inline constexpr uint8_t Status = 8;
inline constexpr uint8_t TimerAlloc = 14;   // "Timer" of the allocation group
inline constexpr uint8_t StatusAlloc = 15;  // "Status" of the allocation group
inline constexpr uint8_t AvailChange = 16;  // "Avail" of the allocation group
inline constexpr uint8_t Window = 17;
}  // namespace logsub

class TDispatchLog {
 public:
  static constexpr uint32_t HeaderSize = 16;

  TDispatchLog();

  // An existing ring is only emptied (logging is not switched on by this
  // path); otherwise a ring of `size` bytes and a scratch buffer of
  // `scratchSize` bytes are made and logging is on.
  void Start(uint32_t size, uint32_t scratchSize);
  void Clear();   // head 0, tail 0, all free
  void Pause();
  void Resume();
  void Abort();
  bool On() const { return on_; }
  bool HasBuffer() const { return !ring_.empty(); }

  // Milliseconds of TickClock at which the device was opened.
  void SetTimeBase(uint32_t ms) { timeBase_ = ms; }

  // Adds an entry while logging is on, stamped with TickClock now minus the
  // time base. Evicts the oldest entries to make room; an entry that cannot
  // fit in the whole ring is dropped.
  void Add(uint8_t type, uint8_t subtype, uint32_t data,
           const uint8_t* bytes = nullptr, uint32_t length = 0);

  // Writes the log file with its header (deviceName is "COM" + number),
  // then frees the log. 0, or the negated file error.
  int32_t DumpTo(const std::string& name, bool append, bool hex, bool allHex,
                 const std::string& deviceName);

  uint32_t Size() const { return static_cast<uint32_t>(ring_.size()); }
  uint32_t FreeBytes() const { return free_; }

  // Where entry times and the header's date come from: TickClock and the
  // local time unless replaced (tests make both fixed).
  void SetTickSource(std::function<uint32_t()> milliseconds);
  void SetWallClock(std::function<std::tm()> now);

 private:
  void Write(const uint8_t* bytes, uint32_t length);
  void Read(uint8_t* bytes, uint32_t length);
  void DiscardOldest();

  std::function<uint32_t()> tickSource_;
  std::function<std::tm()> wallClock_;
  std::vector<uint8_t> ring_;
  std::vector<uint8_t> scratch_;
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
  uint32_t free_ = 0;
  uint32_t timeBase_ = 0;
  bool on_ = false;
};

// The operating system as the log header names it.
std::string OperatingSystemDescription();
