// KrmSession: what the command line asks of the converters on one host
// port, exchange by exchange, with the window's rules and state record:
// the probe, the ten-query read-back, the text reads and the writes.
#pragma once

#include "KrmLink.h"
#include "KrmProtocol.h"
#include "KrmSettings.h"
#include "SettingKeys.h"
#include "UtilityState.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A command that could not be completed: the program ends with Code.
struct TCommandFailure : std::runtime_error {
  TCommandFailure(int Code, const std::string& Message) : std::runtime_error(Message), Code(Code) {}
  int Code;
};

inline constexpr int ExitNoAnswer = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitPortFailed = 3;
// Stopped by Ctrl-C, as a shell counts a death by SIGINT.
inline constexpr int ExitInterrupted = 130;

class TKrmSession {
 public:
  // BaudIndex: the host speed's baud item, which sets the reply time-outs.
  TKrmSession(TKrmLink& Link, int BaudIndex);

  // The record the window keeps too: the target address, frame fields,
  // found modules, read-back and recorded values.
  UtilityState State;

  // Command Letter to State.TargetAddress; the end also goes into State
  // (ReplyOk, ReplyText, ReplyLength). Throws TCommandFailure when the
  // port went away; Interrupted comes back to the caller.
  TExchangeEnd Command(char Letter, int ChecksumItem = 1);
  // The console's line, with a CR behind it, after both buffers are flushed.
  TExchangeEnd TestLine(std::string_view Line);

  ProbeAnswer Probe(std::int32_t Address);
  // The ten queries to State.TargetAddress and the recorded values decoded
  // from them; the numbers of the queries that got no value.
  std::vector<std::int32_t> ReadBack();
  // A text reply ("7" product ID, "V" firmware version): between the
  // address and the final CR, up to a control character. None on time-out.
  std::optional<std::string> ReadText(char Letter);
  // One setting written in one exchange; true when the converter took it.
  bool Write(TSetting Setting, const TSettingValue& Value);

 private:
  TExchangeEnd Take(const TExchangeResult& Result);

  TKrmLink& FLink;
};

// Address argument: two hex digits.
std::optional<std::int32_t> ParseAddress(std::string_view Text);
