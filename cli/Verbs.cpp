#include "Verbs.h"

#include "AdPortOpen.h"
#include "CliOutput.h"
#include "ConsoleStats.h"
#include "KrmSession.h"
#include "SerialPorts.h"
#include "SettingKeys.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::atomic<bool> StopRequested{false};

extern "C" void OnInterrupt(int) { StopRequested = true; }

// Ctrl-C ends a scan or a test run in order, with what it found so far.
void CatchInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// ---- The host port ----

TLinkSettings LinkSettingsOf(const TInvocation& I) {
  TLinkSettings settings;
  const std::string& port = I.Port;
  const bool com = port.size() > 3 && port.size() <= 6 && (port[0] == 'C' || port[0] == 'c') &&
                   (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm') &&
                   std::all_of(port.begin() + 3, port.end(), ::isdigit);
  if (com && std::stoi(port.substr(3)) >= 1) {
    const auto number = static_cast<uint16_t>(std::stoi(port.substr(3)));
    settings.DeviceName = PortDeviceName(number);
    settings.Label = PortLabelOf(number);
  } else if (port.find('/') != std::string::npos) {
    settings.DeviceName = settings.Label = port;
  } else {
    throw TUsageError("bad --port \"" + port + "\": expected COMn or a device path", I.Verb);
  }
  if (!BaudIndexOfRate(I.Baud))
    throw TUsageError("bad --baud " + std::to_string(I.Baud) +
                          ": expected 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200",
                      I.Verb);
  settings.Baud = I.Baud;
  std::string format = I.Format;
  for (char& c : format) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto* item = std::find(FormatCodeTable.begin(), FormatCodeTable.end(), format);
  if (item == FormatCodeTable.end())
    throw TUsageError("bad --format \"" + I.Format + "\": expected N81, O81, O71, E81, E71, N82, N72, O72 or E72",
                      I.Verb);
  settings.Format = HostFormatOfItem(static_cast<int>(item - FormatCodeTable.begin()));
  return settings;
}

// The port and the session on it, open; the window's warning when it cannot be.
struct TOpenPort {
  explicit TOpenPort(const TInvocation& I) : Settings(LinkSettingsOf(I)), Link(StopRequested),
                                             Session(Link, *BaudIndexOfRate(I.Baud)) {}
  void Open() {
    const std::string failure = Link.Open(Settings);
    if (!failure.empty()) throw TCommandFailure(ExitPortFailed, "COM Port Not Exist\n" + failure);
  }
  TLinkSettings Settings;
  TKrmLink Link;
  TKrmSession Session;
};

std::int32_t AddressArgument(const TInvocation& I) {
  const auto address = ParseAddress(I.Arguments.at(0));
  if (!address) throw TUsageError("bad address \"" + I.Arguments[0] + "\": expected two hex digits, 00 to FF", I.Verb);
  return *address;
}

std::string StateText(bool InitStep) { return InitStep ? "initial step" : "normal"; }

// The converter at Address answers the probe; whether it is in initial step.
bool Present(TKrmSession& Session, std::int32_t Address) {
  const ProbeAnswer answer = Session.Probe(Address);
  if (answer == ProbeAnswer::Nobody)
    throw TCommandFailure(ExitNoAnswer, "no converter answers at " + HexByte(Address));
  return answer == ProbeAnswer::InitStep;
}

// The ten queries, all answered, and the product ID.
std::string ReadSettings(TKrmSession& Session) {
  const std::vector<std::int32_t> unanswered = Session.ReadBack();
  if (!unanswered.empty())
    throw TCommandFailure(ExitNoAnswer, "converter " + HexByte(Session.State.TargetAddress) +
                                            " did not answer read-back query E" + HexByte(unanswered.front()));
  return Session.ReadText(ProductIdLetter).value_or(std::string());
}

// A value as show prints it: a format no item stands for is the window's "Unknow".
std::string Shown(TSetting Setting, const TSettingValue& Value) {
  if (const auto text = SettingValueText(Setting, Value)) return *text;
  return Setting == TSetting::Rs485Format || Setting == TSetting::Rs232Format ? std::string(UnknownFormatText) : "?";
}

std::string JsonOrNull(const std::optional<std::string>& Text) { return Text ? JsonText(*Text) : "null"; }

// ---- ports ----

int RunPorts(const TInvocation& I) {
  const std::vector<TSerialPort> ports = ListSerialPorts();
  const auto com = [](const TSerialPort& P) { return P.ComNumber ? "COM" + std::to_string(*P.ComNumber) : std::string(); };
  if (I.Json) {
    std::string json = "[";
    for (const TSerialPort& port : ports) {
      json += std::string(json.size() > 1 ? ",\n " : "") + "{\"device\": " + JsonText(port.Device) +
              ", \"kind\": " + JsonText(port.Kind) + ", \"com\": " + (port.ComNumber ? JsonText(com(port)) : "null") +
              ", \"by_id\": [";
      for (std::size_t i = 0; i < port.ById.size(); ++i) json += (i ? ", " : "") + JsonText(port.ById[i]);
      json += "]}";
    }
    std::cout << json << "]\n";
    return 0;
  }
  std::vector<std::vector<std::string>> rows = {{"PORT", "DEVICE", "KIND", "BY-ID"}};
  for (const TSerialPort& port : ports) {
    std::string byId;
    for (const std::string& name : port.ById) byId += (byId.empty() ? "" : " ") + name;
    rows.push_back({port.ComNumber ? com(port) : "-", port.Device, port.Kind, byId});
  }
  std::cout << TableText(rows);
  if (ports.empty()) std::cerr << "krm4610: no serial port found\n";
  return 0;
}

// ---- scan ----

std::int32_t ScanBound(const TInvocation& I, const std::optional<std::string>& Text, std::int32_t Default) {
  if (!Text) return Default;
  const auto address = ParseAddress(*Text);
  if (!address) throw TUsageError("bad address \"" + *Text + "\": expected two hex digits, 00 to FF", I.Verb);
  return *address;
}

int RunScan(const TInvocation& I) {
  const std::int32_t from = ScanBound(I, I.From, 0x00);
  const std::int32_t to = ScanBound(I, I.To, 0xFF);
  if (from > to) throw TUsageError("--from " + HexByte(from) + " lies beyond --to " + HexByte(to), I.Verb);
  TOpenPort port(I);
  port.Open();
  CatchInterrupt();
  TKrmSession& session = port.Session;
  UtilityState& state = session.State;

  TStatusLine status;
  const auto start = std::chrono::steady_clock::now();
  for (std::int32_t address = from; address <= to && !StopRequested; ++address) {
    if (status.On()) {
      constexpr int Width = 32;
      const int done = (address - from) * Width / (to - from + 1);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      char elapsed[32];
      std::snprintf(elapsed, sizeof elapsed, "%.1f s", seconds);
      status.Show("[" + std::string(static_cast<std::size_t>(done), '#') + std::string(Width - done, '.') + "] " +
                  ScanAddressCaption(address) + "  " + std::to_string(state.ModuleCount) + " found  " + elapsed);
    }
    session.Probe(address);
  }
  status.Clear();
  const bool interrupted = StopRequested;

  // Product IDs as the device list reads them; not after a stop.
  std::vector<std::string> ids;
  for (std::int32_t i = 0; i < state.ModuleCount && !StopRequested; ++i) {
    state.TargetAddress = state.ModuleAddress[static_cast<std::size_t>(i)];
    ids.push_back(session.ReadText(ProductIdLetter).value_or(std::string()));
  }
  ids.resize(static_cast<std::size_t>(state.ModuleCount));

  if (I.Json) {
    std::string json = "{\"port\": " + JsonText(port.Settings.Label) + ", \"from\": " + JsonText(HexByte(from)) +
                       ", \"to\": " + JsonText(HexByte(to)) + ", \"interrupted\": " + (interrupted ? "true" : "false") +
                       ",\n \"converters\": [";
    for (std::int32_t i = 0; i < state.ModuleCount; ++i) {
      const auto index = static_cast<std::size_t>(i);
      json += std::string(i ? ",\n  " : "\n  ") + "{\"address\": " + JsonText(HexByte(state.ModuleAddress[index])) +
              ", \"initial_step\": " + (state.ModuleInitStep[index] ? "true" : "false") +
              ", \"product_id\": " + JsonText(ids[index]) + "}";
    }
    std::cout << json << "]}\n";
  } else {
    std::vector<std::vector<std::string>> rows = {{"ADDRESS", "INIT", "PRODUCT ID"}};
    for (std::int32_t i = 0; i < state.ModuleCount; ++i) {
      const auto index = static_cast<std::size_t>(i);
      rows.push_back({HexByte(state.ModuleAddress[index]) + "H", state.ModuleInitStep[index] ? "*" : "", ids[index]});
    }
    std::cout << TableText(rows);
  }
  std::cerr << (interrupted ? "Stopped. " : "") << ScanCompleteCaption(state.ModuleCount) << "\n";
  if (interrupted) return ExitInterrupted;
  return state.ModuleCount > 0 ? 0 : ExitNoAnswer;
}

// ---- show ----

int RunShow(const TInvocation& I) {
  const std::int32_t address = AddressArgument(I);
  TOpenPort port(I);
  port.Open();
  TKrmSession& session = port.Session;
  const bool initStep = Present(session, address);
  const std::string productId = ReadSettings(session);
  const std::optional<std::string> version = session.ReadText(VersionLetter);
  const TSettingList settings = RecordedSettings(session.State, productId);

  if (I.Json) {
    std::string json = "{\"state\": " + JsonText(StateText(initStep)) + ", \"initial_step\": " +
                       (initStep ? "true" : "false") + ",\n \"settings\": {";
    for (std::size_t i = 0; i < settings.size(); ++i) {
      const auto& [setting, value] = settings[i];
      json += std::string(i ? ", " : "") + JsonText(KeyOf(setting)) + ": " +
              JsonOrNull(SettingValueText(setting, value));
    }
    json += "},\n \"version\": " + JsonOrNull(version) + ",\n \"readback\": [";
    for (std::size_t n = 0; n < session.State.ReadBack.size(); ++n)
      json += (n ? ", " : "") + std::to_string(session.State.ReadBack[n]);
    std::cout << json << "]}\n";
    return 0;
  }
  std::vector<std::vector<std::string>> rows = {{"state", StateText(initStep)}};
  for (const auto& [setting, value] : settings) rows.push_back({std::string(KeyOf(setting)), Shown(setting, value)});
  rows.push_back({"version", version.value_or("(no answer)")});
  std::cout << TableText(rows);
  return 0;
}

// ---- set and load ----

enum class TWriteResult { Unchanged, Written, Failed, NotTaken, LeftAlone };

std::string_view ResultText(TWriteResult Result) {
  switch (Result) {
    case TWriteResult::Unchanged: return "unchanged";
    case TWriteResult::Written: return "written";
    case TWriteResult::Failed: return "failed";
    case TWriteResult::NotTaken: return "not taken";
    case TWriteResult::LeftAlone: return "left alone";
  }
  return "";
}

struct TWriteReport {
  TSetting Setting;
  TSettingValue From, To;
  TWriteResult Result;
  std::string Message;
};

bool InitStepOnly(TSetting Setting) {
  return std::find_if(WriteOrder.begin(), WriteOrder.end(), [&](const TWriteRow& R) {
           return R.Setting == Setting;
         })->InitStepOnly;
}

// Writes Wanted onto the converter at Address: only what differs from its
// settings, in the write order, each with the window's failure message, and
// reads it all back after. Protected settings on a converter that is not in
// initial step: refused before anything is written, or (Skip) left alone.
int ApplySettings(const TInvocation& I, std::int32_t Address, const TSettingList& Wanted, bool SkipProtected) {
  TOpenPort port(I);
  port.Open();
  TKrmSession& session = port.Session;
  const bool initStep = Present(session, Address);
  if (!initStep && !SkipProtected) {
    for (const auto& [setting, value] : Wanted)
      if (InitStepOnly(setting))
        throw TCommandFailure(ExitNoAnswer, "converter " + HexByte(Address) + " is not in initial step: " +
                                                std::string(KeyOf(setting)) +
                                                " may not be changed (nothing was written)");
  }
  const TSettingList before = RecordedSettings(session.State, ReadSettings(session));
  const auto current = [](const TSettingList& List, TSetting Setting) {
    return std::find_if(List.begin(), List.end(), [&](const auto& E) { return E.first == Setting; })->second;
  };

  std::vector<TWriteReport> reports;
  for (const TWriteRow& row : WriteOrder) {
    const auto wanted = std::find_if(Wanted.begin(), Wanted.end(), [&](const auto& E) { return E.first == row.Setting; });
    if (wanted == Wanted.end()) continue;
    TWriteReport report{row.Setting, current(before, row.Setting), wanted->second, TWriteResult::Unchanged, {}};
    if (report.From == report.To) {
      reports.push_back(report);
      continue;
    }
    if (row.InitStepOnly && !initStep) {
      report.Result = TWriteResult::LeftAlone;
      report.Message = "the converter is not in initial step";
    } else if (session.Write(row.Setting, report.To)) {
      report.Result = TWriteResult::Written;
    } else {
      report.Result = TWriteResult::Failed;
      report.Message = std::string(row.Failure);
      std::cerr << "krm4610: " << row.Failure << "\n";
    }
    reports.push_back(report);
  }

  const bool wrote = std::any_of(reports.begin(), reports.end(), [](const TWriteReport& R) {
    return R.Result == TWriteResult::Written;
  });
  if (wrote) {
    const TSettingList after = RecordedSettings(session.State, ReadSettings(session));
    for (TWriteReport& report : reports) {
      if (report.Result != TWriteResult::Written) continue;
      const TSettingValue reads = current(after, report.Setting);
      if (reads == report.To) continue;
      report.Result = TWriteResult::NotTaken;
      report.Message = "reads " + Shown(report.Setting, reads);
      std::cerr << "krm4610: " << KeyOf(report.Setting) << " did not take: it " << report.Message << "\n";
    }
  }

  if (I.Json) {
    std::string json = "{\"address\": " + JsonText(HexByte(Address)) + ", \"initial_step\": " +
                       (initStep ? "true" : "false") + ",\n \"settings\": [";
    for (std::size_t i = 0; i < reports.size(); ++i) {
      const TWriteReport& r = reports[i];
      json += std::string(i ? ",\n  " : "\n  ") + "{\"key\": " + JsonText(KeyOf(r.Setting)) +
              ", \"from\": " + JsonOrNull(SettingValueText(r.Setting, r.From)) +
              ", \"to\": " + JsonOrNull(SettingValueText(r.Setting, r.To)) +
              ", \"result\": " + JsonText(ResultText(r.Result)) +
              (r.Message.empty() ? "" : ", \"message\": " + JsonText(r.Message)) + "}";
    }
    std::cout << json << "]}\n";
  } else {
    std::vector<std::vector<std::string>> rows = {{"KEY", "FROM", "TO", "RESULT"}};
    for (const TWriteReport& r : reports) {
      std::string result(ResultText(r.Result));
      if (!r.Message.empty()) result += ": " + r.Message;
      rows.push_back({std::string(KeyOf(r.Setting)), Shown(r.Setting, r.From), Shown(r.Setting, r.To), result});
    }
    std::cout << TableText(rows);
  }
  const bool failed = std::any_of(reports.begin(), reports.end(), [](const TWriteReport& R) {
    return R.Result == TWriteResult::Failed || R.Result == TWriteResult::NotTaken;
  });
  return failed ? ExitNoAnswer : 0;
}

int RunSet(const TInvocation& I) {
  const std::int32_t address = AddressArgument(I);
  TSettingList wanted;
  try {
    wanted = ParseAssignments({I.Arguments.begin() + 1, I.Arguments.end()});
  } catch (const TSettingSyntaxError& E) {
    throw TUsageError(E.what(), I.Verb);
  }
  return ApplySettings(I, address, wanted, false);
}

int RunLoad(const TInvocation& I) {
  const std::int32_t address = AddressArgument(I);
  const std::string& name = I.Arguments[1];
  std::ifstream file(name);
  if (!file) throw TUsageError("cannot read " + name + ": " + std::strerror(errno), I.Verb);
  TSettingList wanted;
  try {
    wanted = ParseSettingFile(file, name);
  } catch (const TSettingSyntaxError& E) {
    throw TUsageError(E.what(), I.Verb);
  }
  return ApplySettings(I, address, wanted, true);
}

// ---- save ----

int RunSave(const TInvocation& I) {
  const std::int32_t address = AddressArgument(I);
  const std::string& name = I.Arguments[1];
  TOpenPort port(I);
  port.Open();
  TKrmSession& session = port.Session;
  const bool initStep = Present(session, address);
  const TSettingList settings = RecordedSettings(session.State, ReadSettings(session));
  const std::string text = SettingFileText(
      settings, {"KRM4610 at " + HexByte(address) + " (" + StateText(initStep) + "), saved by krm4610",
                 "krm4610 load HH FILE writes it back"});
  std::ofstream file(name, std::ios::binary | std::ios::trunc);
  if (!(file << text) || !file.flush())
    throw TUsageError("cannot write " + name + ": " + std::strerror(errno), I.Verb);
  if (I.Json)
    std::cout << "{\"address\": " << JsonText(HexByte(address)) << ", \"file\": " << JsonText(name)
              << ", \"settings\": " << settings.size() << "}\n";
  else
    std::cout << "Saved the settings of " << HexByte(address) << " to " << name << "\n";
  return 0;
}

// ---- test ----

std::optional<double> PositiveNumber(const std::optional<std::string>& Text, const TInvocation& I,
                                     const char* Option, bool Whole) {
  if (!Text) return std::nullopt;
  std::istringstream in(*Text);
  double value = 0;
  const bool whole = Text->find_first_not_of("0123456789") == std::string::npos;
  if (!(in >> value) || !in.eof() || !(value > 0) || value > 1e9 || (Whole && !whole))
    throw TUsageError(std::string("bad ") + Option + " \"" + *Text + "\": expected a " +
                          (Whole ? "whole number" : "number") + " above 0",
                      I.Verb);
  return value;
}

int RunTest(const TInvocation& I) {
  const auto count = PositiveNumber(I.Count, I, "--count", true);
  const auto duration = PositiveNumber(I.Duration, I, "--duration", false);
  TOpenPort port(I);
  port.Open();
  CatchInterrupt();
  TKrmSession& session = port.Session;

  TExchangeStats stats;
  TStatusLine status;
  using Clock = TExchangeStats::Clock;
  const Clock::time_point start = Clock::now();
  const auto sends = count ? static_cast<std::uint64_t>(*count) : 0;
  const auto ended = [&] {
    return StopRequested || (count && stats.Completed() + stats.TimeOuts() >= sends) ||
           (duration && std::chrono::duration<double>(Clock::now() - start).count() >= *duration);
  };
  stats.Start(start);
  while (!ended()) {
    stats.Sent(Clock::now());
    const TExchangeEnd end = session.TestLine(I.Arguments[0]);
    if (end == TExchangeEnd::Reply) stats.Replied(Clock::now());
    else if (end == TExchangeEnd::TimedOut) stats.TimedOut();
    if (status.On() && status.Due(std::chrono::milliseconds(100))) status.Show(stats.Summary());
  }
  status.Clear();
  if (I.Json) {
    char json[320];
    std::snprintf(json, sizeof json,
                  "{\"exchanges\": %llu, \"time_outs\": %llu, \"per_second\": %.1f, "
                  "\"rtt_ms\": {\"min\": %.3f, \"mean\": %.3f, \"max\": %.3f, \"p99\": %.3f}}\n",
                  static_cast<unsigned long long>(stats.Completed()), static_cast<unsigned long long>(stats.TimeOuts()),
                  stats.PerSecond(), stats.MinMs(), stats.MeanMs(), stats.MaxMs(), stats.P99Ms());
    std::cout << json;
  } else {
    std::cout << stats.Summary() << "\n";
  }
  return stats.TimeOuts() > 0 ? ExitNoAnswer : 0;
}

}  // namespace

int RunVerb(const TInvocation& I) {
  if (I.Verb == "ports") return RunPorts(I);
  if (I.Verb == "scan") return RunScan(I);
  if (I.Verb == "show") return RunShow(I);
  if (I.Verb == "set") return RunSet(I);
  if (I.Verb == "save") return RunSave(I);
  if (I.Verb == "load") return RunLoad(I);
  return RunTest(I);
}
