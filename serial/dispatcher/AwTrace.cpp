#include "AwTrace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "AwErrorCodes.h"
#include "AwMessages.h"
#include "AwTickClock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

namespace {

// A C library error number as a negated file error. Numbers the runtime
// has its own code for take that code; numbers that would collide with an
// unrelated runtime text become "General failure"; the rest stay system
// numbers, so the message is the system's own.
int32_t FileError(int error) {
  switch (error) {
    case ENOENT: return ecode::FileNotFound;
    case ENOTDIR: return ecode::PathNotFound;
    case EMFILE:
    case ENFILE: return ecode::TooManyOpenFiles;
    case EACCES:
    case EPERM: return ecode::FileAccessDenied;
    case EBADF: return ecode::InvalidFileHandle;
    case ENOMEM: return ecode::OutOfMemory;
    case ENOSPC: return ecode::DiskFull;
    case EROFS: return ecode::WriteProtected;
    default: break;
  }
  if (error <= 0) return ecode::GeneralFailure;
  for (const TErrorMessage& entry : ErrorMessageTable())
    if (entry.Code == -error) return ecode::GeneralFailure;
  return -error;
}

// A text file written in one go; remembers the first failure. Opened in
// binary mode: the files end their lines with LF on every platform, so a
// trace dumped on Windows has the same bytes as one dumped on Linux.
class TTextFile {
 public:
  TTextFile(const std::string& name, bool append) {
    file_ = std::fopen(name.c_str(), append ? "ab" : "wb");
    if (!file_) error_ = FileError(errno);
  }
  ~TTextFile() {
    if (file_) std::fclose(file_);
  }
  TTextFile(const TTextFile&) = delete;
  TTextFile& operator=(const TTextFile&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  int32_t Error() const { return error_; }

  void Put(const std::string& text) {
    if (error_ == 0 && std::fwrite(text.data(), 1, text.size(), file_) != text.size())
      error_ = FileError(errno);
  }

  // 0, or the first error of a write or of the close.
  int32_t Close() {
    if (std::fclose(file_) != 0 && error_ == 0) error_ = FileError(errno);
    file_ = nullptr;
    return error_;
  }

 private:
  std::FILE* file_ = nullptr;
  int32_t error_ = 0;
};

// Writes bytes by the dump rules and breaks lines before column 79; a
// broken line restarts with `indent` blanks and the counter at `start`.
class TByteWriter {
 public:
  TByteWriter(TTextFile& file, bool hex, bool allHex, uint32_t start, uint32_t indent)
      : file_(file), hex_(hex), allHex_(allHex), start_(start), indent_(indent), column_(start) {}

  // A new group starts on a fresh line.
  void Restart() { column_ = start_; }

  void Put(uint8_t byte) {
    std::string text = Text(byte);
    column_ += static_cast<uint32_t>(text.size());
    if (column_ >= LineLimit) {
      file_.Put("\n" + std::string(indent_, ' '));
      column_ = start_ + static_cast<uint32_t>(text.size());
    }
    file_.Put(text);
  }

 private:
  static constexpr uint32_t LineLimit = 79;

  std::string Text(uint8_t byte) const {
    char text[8];
    if (allHex_) {
      std::snprintf(text, sizeof text, "[%02X]", byte);
    } else if (byte >= (hex_ ? 0x21 : 0x20) && byte <= 0x7E) {
      text[0] = static_cast<char>(byte);
      text[1] = '\0';
    } else {
      std::snprintf(text, sizeof text, hex_ ? "[%02X]" : "[%u]", byte);
    }
    return text;
  }

  TTextFile& file_;
  bool hex_;
  bool allHex_;
  uint32_t start_;
  uint32_t indent_;
  uint32_t column_;
};

std::string TraceHeading(uint8_t kind) {
  if (kind == TraceReceive) return "Receive: ";
  if (kind == TraceTransmit) return "Transmit: ";
  return std::string("Special-") + static_cast<char>(kind) + ": ";
}

void PutUint32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }
uint32_t GetUint32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::string TypeName(uint8_t type) {
  if (type > logword::LastType) return std::to_string(type);
  return ErrorMessageText(logword::TypeBase + type);
}

std::string SubtypeName(uint8_t subtype) {
  if (subtype == 0) return {};
  if (subtype > logword::LastSubtype) return std::to_string(subtype);
  return ErrorMessageText(logword::SubtypeBase + subtype);
}

// "(DCTS CTS)" for the set bits of a modem status value.
std::string ModemStatusNames(uint32_t value) {
  std::string names;
  for (int32_t bit = 0; bit < 8; ++bit) {
    if ((value & (1u << bit)) == 0) continue;
    std::string name = ErrorMessageText(logword::ModemBitBase + bit);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!names.empty()) names += ' ';
    names += name;
  }
  return "(" + names + ")";
}

// Milliseconds as seconds with three decimals: 1234 -> "0001.234".
std::string LogTime(uint32_t milliseconds) {
  char digits[16];
  // "%07.7d" of the log's layout; the precision alone pads with zeros.
  std::snprintf(digits, sizeof digits, "%.7u", milliseconds);
  std::string text = digits;
  text.insert(text.size() - 3, ".");
  return text;
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

}  // namespace

// ---- trace ----

int32_t TTraceRecorder::Start(uint32_t size) {
  if (size > MaxEntries) return ecode::BadArgument;
  if (!buffer_.empty()) {
    Clear();
  } else {
    buffer_.assign(2 * static_cast<size_t>(size), 0);
    capacity_ = size;
    Clear();
  }
  on_ = true;
  return 0;
}

void TTraceRecorder::Clear() {
  position_ = 0;
  wrapped_ = false;
}

void TTraceRecorder::Pause() { on_ = false; }

void TTraceRecorder::Resume() { on_ = HasBuffer(); }

void TTraceRecorder::Abort() {
  on_ = false;
  buffer_.clear();
  buffer_.shrink_to_fit();
  capacity_ = 0;
  Clear();
}

void TTraceRecorder::Record(uint8_t kind, uint8_t byte) {
  if (buffer_.empty()) return;
  buffer_[2 * static_cast<size_t>(position_)] = kind;
  buffer_[2 * static_cast<size_t>(position_) + 1] = byte;
  if (++position_ == capacity_) {
    position_ = 0;
    wrapped_ = true;
  }
}

int32_t TTraceRecorder::DumpTo(const std::string& name, bool append, bool hex, bool allHex) {
  on_ = false;
  if (buffer_.empty()) return 0;
  if (!wrapped_ && position_ == 0) {
    Abort();
    return 0;
  }
  TTextFile file(name, append);
  if (!file.IsOpen()) {
    Abort();
    return file.Error();
  }

  uint32_t count = wrapped_ ? capacity_ : position_;
  uint32_t index = wrapped_ ? position_ : 0;
  bool firstGroup = true;
  uint8_t groupKind = 0;
  TByteWriter writer(file, hex, allHex, 0, 0);
  for (uint32_t n = 0; n < count; ++n) {
    uint8_t kind = buffer_[2 * static_cast<size_t>(index)];
    uint8_t byte = buffer_[2 * static_cast<size_t>(index) + 1];
    if (firstGroup || kind != groupKind) {
      if (!firstGroup) file.Put("\n\n");
      file.Put(TraceHeading(kind) + "\n");
      writer.Restart();
      groupKind = kind;
      firstGroup = false;
    }
    writer.Put(byte);
    if (++index == capacity_) index = 0;
  }
  file.Put("\n");
  int32_t result = file.Close();
  Abort();
  return result;
}

// ---- dispatch log ----

TDispatchLog::TDispatchLog() : tickSource_(TickClock), wallClock_(LocalNow) {}

void TDispatchLog::SetTickSource(std::function<uint32_t()> milliseconds) {
  tickSource_ = std::move(milliseconds);
}

void TDispatchLog::SetWallClock(std::function<std::tm()> now) { wallClock_ = std::move(now); }

void TDispatchLog::Start(uint32_t size, uint32_t scratchSize) {
  if (!ring_.empty()) {
    Clear();
    return;
  }
  ring_.assign(size, 0);
  scratch_.assign(scratchSize, 0);
  Clear();
  on_ = true;
}

void TDispatchLog::Clear() {
  head_ = 0;
  tail_ = 0;
  free_ = Size();
}

void TDispatchLog::Pause() { on_ = false; }

void TDispatchLog::Resume() { on_ = HasBuffer(); }

void TDispatchLog::Abort() {
  on_ = false;
  ring_.clear();
  ring_.shrink_to_fit();
  scratch_.clear();
  scratch_.shrink_to_fit();
  Clear();
}

void TDispatchLog::Write(const uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    ring_[head_] = bytes[i];
    if (++head_ == Size()) head_ = 0;
  }
  free_ -= length;
}

void TDispatchLog::Read(uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    bytes[i] = ring_[tail_];
    if (++tail_ == Size()) tail_ = 0;
  }
  free_ += length;
}

void TDispatchLog::DiscardOldest() {
  uint8_t header[HeaderSize];
  Read(header, HeaderSize);
  uint32_t length = GetUint32(header + 12);
  tail_ = static_cast<uint32_t>((static_cast<uint64_t>(tail_) + length) % Size());
  free_ += length;
}

// The entry goes in whole or not at all: a header whose data could not be
// stored would make every later read of the ring misaligned.
void TDispatchLog::Add(uint8_t type, uint8_t subtype, uint32_t data, const uint8_t* bytes,
                       uint32_t length) {
  if (!on_) return;
  if (bytes == nullptr) length = 0;
  if (static_cast<uint64_t>(HeaderSize) + length > Size()) return;
  while (free_ < HeaderSize + length) DiscardOldest();

  uint8_t header[HeaderSize] = {type, subtype, 0, 0};
  PutUint32(header + 4, tickSource_() - timeBase_);
  PutUint32(header + 8, data);
  PutUint32(header + 12, length);
  Write(header, HeaderSize);
  Write(bytes, length);
}

int32_t TDispatchLog::DumpTo(const std::string& name, bool append, bool hex, bool allHex,
                             const std::string& deviceName) {
  if (ring_.empty() || free_ == Size()) {
    Abort();
    return 0;
  }
  on_ = false;
  TTextFile file(name, append);
  if (!file.IsOpen()) return file.Error();

  char date[32];
  std::tm now = wallClock_();
  std::strftime(date, sizeof date, "%d/%m/%y, %H:%M:%S", &now);
  file.Put(std::string("QELT ") + QeltVersion + "\n");
  file.Put("Compiler : Unknown\n");
  file.Put("Operating System : " + OperatingSystemDescription() + "\n");
  file.Put("Device: " + deviceName + "\n");
  file.Put(std::string("Date/time: ") + date + "\n");
  file.Put(ErrorMessageText(logword::ColumnHeading) + "\n");
  file.Put("--------  --------  ------------  --------  ---------\n");

  while (free_ < Size()) {
    uint8_t header[HeaderSize];
    Read(header, HeaderSize);
    uint8_t type = header[0];
    uint8_t subtype = header[1];
    uint32_t data = GetUint32(header + 8);
    uint32_t length = GetUint32(header + 12);
    // ReadCom entries can exceed the scratch size the owner chose.
    if (scratch_.size() < length) scratch_.resize(length);
    Read(scratch_.data(), length);

    char line[96];
    // "%8s  %-8s  %-12s  %08.8x  ", written without the redundant 0 flag.
    std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %.8x  ",
                  LogTime(GetUint32(header + 4)).c_str(), TypeName(type).c_str(),
                  SubtypeName(subtype).c_str(), data);
    file.Put(line);
    bool statusKind = (type == logtype::TrigAllc || type == logtype::TrigDisp) &&
                      subtype == logsub::StatusAlloc && length >= 1 &&
                      scratch_[0] <= logword::LastStatusKind;
    if (statusKind) {
      file.Put(ErrorMessageText(logword::StatusKindBase + scratch_[0]));
    } else {
      TByteWriter writer(file, hex, allHex && type != logtype::User, 45, 44);
      for (uint32_t i = 0; i < length; ++i) writer.Put(scratch_[i]);
    }
    if (subtype == logsub::ModemStatus) file.Put(ModemStatusNames(data));
    file.Put("\n");
  }
  int32_t result = file.Close();
  Abort();
  return result;
}

// ---- system description ----

#ifdef _WIN32
std::string OperatingSystemDescription() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return "Unknown";
  DWORD major = info.dwMajorVersion;
  DWORD minor = info.dwMinorVersion;
  std::string name;
  switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
      if (major == 3) name = "Windows NT 3.5 ";
      else if (major == 4) name = "Windows NT 4 ";
      else if (major == 5 && minor == 0) name = "Windows 2000 ";
      else if (major == 5 && minor == 1) name = "Windows XP ";
      else name = "WinNT ";
      break;
    case VER_PLATFORM_WIN32_WINDOWS: {
      // The service-release letter: 95 B/C and 98 A (Second Edition) are
      // the second releases.
      char letter = info.szCSDVersion[1];
      if (minor == 0) name = (letter == 'B' || letter == 'C') ? "Win32 on Windows 95 OSR 2 " : "Win32 on Windows 95 OSR 1 ";
      else if (minor == 10) name = letter == 'A' ? "Win32 on Windows 98 OSR 2 " : "Win32 on Windows 98 OSR 1 ";
      else if (minor == 90) name = "Win32 on Windows ME ";
      else name = "Win32 on Windows 9x";
      break;
    }
    case VER_PLATFORM_WIN32s: name = "Win32s on Windows "; break;
    default: name = "Unknown"; break;
  }
  return name + std::to_string(major) + "." + std::to_string(minor) + " " + info.szCSDVersion;
}
#else
// System name, release and version, as `uname -srv` prints them.
std::string OperatingSystemDescription() {
  utsname system{};
  if (uname(&system) != 0) return "Unknown";
  return std::string(system.sysname) + " " + system.release + " " + system.version;
}
#endif
