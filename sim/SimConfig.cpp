#include "SimConfig.h"

#include <charconv>
#include <cctype>

namespace krm::sim {

const char *const kConfigKeysHelp =
    "Converter settings (defaults in brackets):\n"
    "  init                 in initial step (every setting may be written) [normal]\n"
    "  id=TEXT              product ID, 0..30 printable characters [KRM4610]\n"
    "  version=TEXT         firmware version text [1.00]\n"
    "  protocol=485|422     line protocol [485]\n"
    "  addrmode=on|off      address mode [on]\n"
    "  baud232=B, baud485=B baud rate, in bit/s (300..115200) or as index 0..9 [9600]\n"
    "  format232=F, format485=F  data format N81 O81 O71 E81 E71 N82 N72 O72 E72 [N81]\n"
    "  tx=normal|fast       TX mode [normal]\n"
    "  stop=HH              stop character, two hex digits [0D]\n"
    "  append=yes|no        append the stop character [yes]\n"
    "  checksum=on|off      checksum mode [off]\n"
    "  delim=C              delimiter, one of : [ ] ^ { | } ~ [:]\n"
    "Misbehaviour (also for the whole bus with --bus):\n"
    "  latency=MS           wait before each reply\n"
    "  chunk=N,pause=MS     send replies in pieces of N bytes, MS apart\n"
    "  drop-every=N         lose every N-th reply (the request still acts)\n"
    "  drop-prob=P,seed=S   lose each reply with probability P (0..1), random seed S [1]\n"
    "  noise-before=TEXT    send TEXT in front of each reply\n"
    "  noise-after=TEXT     send TEXT behind each reply\n"
    "  nocr                 replies without their final CR\n"
    "  silent               the converter ignores every request\n"
    "  hangup               instead of replying, the line closes (for good)\n";

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Items without the blanks around them.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto pos = text.find(separator);
    parts.push_back(trim(text.substr(0, pos)));
    if (pos == std::string_view::npos) return parts;
    text.remove_prefix(pos + 1);
  }
}

[[noreturn]] void bad(std::string_view key, std::string_view value, std::string_view expected) {
  throw ConfigError("bad value \"" + std::string(value) + "\" for " + std::string(key) + ": expected " +
                    std::string(expected));
}

long number(std::string_view key, std::string_view value, long low, long high) {
  long v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (ec != std::errc() || end != value.data() + value.size() || v < low || v > high)
    bad(key, value, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  return v;
}

std::uint8_t hexByteValue(std::string_view key, std::string_view value) {
  unsigned v = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v, 16);
  if (value.empty() || value.size() > 2 || ec != std::errc() || end != value.data() + value.size())
    bad(key, value, "two hex digits");
  return static_cast<std::uint8_t>(v);
}

bool choice(std::string_view key, std::string_view value, std::string_view yes, std::string_view no) {
  if (value == yes) return true;
  if (value == no) return false;
  bad(key, value, std::string(yes) + " or " + std::string(no));
}

int baud(std::string_view key, std::string_view value) {
  const long v = number(key, value, 0, 115200);
  if (v <= 9) return static_cast<int>(v);
  if (const auto index = baudIndex(v)) return *index;
  bad(key, value, "300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or an index 0..9");
}

std::uint8_t format(std::string_view key, std::string_view value) {
  if (const auto code = formatCode(value)) return *code;
  bad(key, value, "N81, O81, O71, E81, E71, N82, N72, O72 or E72");
}

std::string text(std::string_view key, std::string_view value, std::size_t maxLength) {
  for (char c : value)
    if (c < 0x20 || c > 0x7E) bad(key, value, "printable characters");
  if (value.size() > maxLength) bad(key, value, "at most " + std::to_string(maxLength) + " characters");
  return std::string(value);
}

// Applies one misbehaviour key; false when the key is not one of them.
bool applyMisbehaviour(Misbehaviour &m, std::string_view key, std::string_view value, bool hasValue) {
  const auto flag = [&] {
    if (hasValue) bad(key, value, "no value");
    return true;
  };
  if (key == "latency") m.latencyMs = static_cast<int>(number(key, value, 0, 600000));
  else if (key == "chunk") m.chunkSize = static_cast<int>(number(key, value, 0, 4096));
  else if (key == "pause") m.chunkPauseMs = static_cast<int>(number(key, value, 0, 600000));
  else if (key == "drop-every") m.dropEvery = static_cast<int>(number(key, value, 0, 1000000));
  else if (key == "seed") m.dropSeed = static_cast<std::uint32_t>(number(key, value, 0, 4294967295L));
  else if (key == "noise-before") m.noiseBefore = text(key, value, 256);
  else if (key == "noise-after") m.noiseAfter = text(key, value, 256);
  else if (key == "nocr") m.omitCr = flag();
  else if (key == "silent") m.silent = flag();
  else if (key == "hangup") m.hangUp = flag();
  else if (key == "drop-prob") {
    double p = -1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), p);
    if (ec != std::errc() || end != value.data() + value.size() || !(p >= 0 && p <= 1))
      bad(key, value, "a probability from 0 to 1");
    m.dropProbability = p;
  } else {
    return false;
  }
  return true;
}

void applySetting(Converter &c, std::string_view key, std::string_view value, bool hasValue) {
  if (key == "init") {
    c.initStep = hasValue ? choice(key, value, "yes", "no") : true;
    return;
  }
  Misbehaviour m = c.misbehaviour.value_or(Misbehaviour{});
  if (applyMisbehaviour(m, key, value, hasValue)) {
    c.misbehaviour = m;
    return;
  }
  if (!hasValue) throw ConfigError("unknown key \"" + std::string(key) + "\" (or it needs a value)");
  if (key == "id") c.productId = text(key, value, kMaxParameter);
  else if (key == "version") c.version = text(key, value, 64);
  else if (key == "protocol") c.rs422 = choice(key, value, "422", "485");
  else if (key == "addrmode") c.addressModeOn = choice(key, value, "on", "off");
  else if (key == "baud232") c.rs232Baud = baud(key, value);
  else if (key == "baud485") c.rs485Baud = baud(key, value);
  else if (key == "format232") c.rs232Format = format(key, value);
  else if (key == "format485") c.rs485Format = format(key, value);
  else if (key == "tx") c.txFast = choice(key, value, "fast", "normal");
  else if (key == "stop") c.stopChar = hexByteValue(key, value);
  else if (key == "append") c.appendStop = choice(key, value, "yes", "no");
  else if (key == "checksum") c.checksumOn = choice(key, value, "on", "off");
  else if (key == "delim") {
    if (value.size() != 1 || !isDelimiter(value[0])) bad(key, value, "one of : [ ] ^ { | } ~");
    c.delimiter = value[0];
  } else {
    throw ConfigError("unknown key \"" + std::string(key) + "\"");
  }
}

struct KeyValue {
  std::string_view key, value;
  bool hasValue;
};

KeyValue keyValue(std::string_view item) {
  const auto eq = item.find('=');
  if (eq == std::string_view::npos) return {item, {}, false};
  return {item.substr(0, eq), item.substr(eq + 1), true};
}

}  // namespace

Converter parseConverter(std::string_view text) {
  const auto items = split(text, ',');
  Converter c;
  const auto address = items.front();
  if (address.size() != 2 || !std::isxdigit(static_cast<unsigned char>(address[0])) ||
      !std::isxdigit(static_cast<unsigned char>(address[1])))
    throw ConfigError("bad address \"" + std::string(address) + "\": expected two hex digits (00..FF)");
  c.address = hexByteValue("address", address);
  for (std::size_t i = 1; i < items.size(); ++i) {
    const auto [key, value, hasValue] = keyValue(items[i]);
    applySetting(c, key, value, hasValue);
  }
  return c;
}

Misbehaviour parseMisbehaviour(std::string_view text) {
  Misbehaviour m;
  for (const auto item : split(text, ',')) {
    const auto [key, value, hasValue] = keyValue(item);
    if (!applyMisbehaviour(m, key, value, hasValue))
      throw ConfigError("unknown misbehaviour \"" + std::string(key) + "\"");
  }
  return m;
}

std::vector<Converter> parseBusFile(std::istream &in, const std::string &name) {
  std::vector<Converter> converters;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const auto content = trim(std::string_view(line).substr(0, line.find('#')));
    if (content.empty()) continue;
    try {
      converters.push_back(parseConverter(content));
    } catch (const ConfigError &e) {
      throw ConfigError(name + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  if (in.bad()) throw ConfigError(name + ": read error");
  return converters;
}

std::vector<Converter> demoConverters() {
  return {parseConverter("05,id=PUMP-7,version=2.10"),
          parseConverter("1F,id=VALVE-12,version=2.10,protocol=422,baud485=38400,format485=E81,delim=["),
          parseConverter("2A,init,version=2.10")};
}

}  // namespace krm::sim
