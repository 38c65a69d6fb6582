#pragma once
// One simulated KRM4610 converter: its settings, the request frame it reads and the
// reply it gives. Pure logic, no I/O: the bus (SimBus.h) puts it on the wire.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace krm::sim {

// Deliberate faults of the replies, for tests. Applied to a converter's replies
// (or, set on the bus, to the replies of every converter without its own).
struct Misbehaviour {
  int latencyMs = 0;            // wait before the first byte of a reply
  int chunkSize = 0;            // > 0: the reply goes out in pieces of this many bytes...
  int chunkPauseMs = 0;         // ...with this pause between them
  int dropEvery = 0;            // > 0: every n-th reply is lost (the request still acts)
  double dropProbability = 0;   // 0..1: each reply is lost with this chance...
  std::uint32_t dropSeed = 1;   // ...drawn from a generator with this seed
  std::string noiseBefore;      // bytes sent in front of a reply
  std::string noiseAfter;       // bytes sent behind a reply
  bool omitCr = false;          // replies lack their final CR
  bool silent = false;          // the converter ignores every request (as if dead)
  bool hangUp = false;          // instead of replying, the whole line closes

  bool operator==(const Misbehaviour &) const = default;
};

// Settings exactly as a converter holds them. Baud rates are indices 0..9
// (300..115200 bit/s), formats are the 4-bit codes of the read-back (N81 = 0 ...).
struct Converter {
  std::uint8_t address = 0;
  bool initStep = false;
  std::string productId = "KRM4610";
  std::string version = "1.00";
  bool rs422 = false;
  bool addressModeOn = true;
  int rs485Baud = 5;
  std::uint8_t rs485Format = 0;
  int rs232Baud = 5;
  std::uint8_t rs232Format = 0;
  bool txFast = false;
  std::uint8_t stopChar = 0x0D;
  bool appendStop = true;
  bool checksumOn = false;
  char delimiter = ':';
  std::optional<Misbehaviour> misbehaviour;  // empty: the bus's applies

  bool operator==(const Converter &) const = default;
};

inline constexpr std::size_t kMaxParameter = 30;
// Fixed values of the two read-back entries that carry no setting: "4610".
inline constexpr std::uint8_t kReadBack0 = 0x46;
inline constexpr std::uint8_t kReadBack9 = 0x10;

// A request that is well framed: "$", two upper-case hex digits, a command letter,
// 0..30 parameter characters (the CR already stripped).
struct Request {
  std::uint8_t address = 0;
  char command = 0;
  std::string parameter;
};

// Splits one received line (without its CR); empty when the line is not a request.
std::optional<Request> parseRequest(std::string_view line);

// Carries out the request on the converter that answers at wireAddress and returns its
// reply, CR included. Writes a converter may not take, unknown commands and bad
// parameters leave it unchanged and answer "?" + address + CR.
std::string answer(Converter &converter, std::uint8_t wireAddress, const Request &request);

// Value of read-back entry n (0..9) as the converter reports it.
std::uint8_t readBack(const Converter &converter, int n);

// Tables of the wire: "N81" <-> format code, baud index <-> bit/s, delimiters.
std::optional<std::uint8_t> formatCode(std::string_view text);
std::string_view formatText(std::uint8_t code);  // empty for a code not in the table
long baudRate(int index);                        // 0 for an index outside 0..9
std::optional<int> baudIndex(long bitsPerSecond);
bool isDelimiter(char c);

}  // namespace krm::sim
