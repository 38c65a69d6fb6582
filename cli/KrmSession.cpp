#include "KrmSession.h"

#include <cctype>

TKrmSession::TKrmSession(TKrmLink& Link, int BaudIndex) : FLink(Link) {
  State.TimeoutTicks = TimeoutTicksForBaudIndex(BaudIndex);
}

TExchangeEnd TKrmSession::Take(const TExchangeResult& Result) {
  if (Result.End == TExchangeEnd::PortLost)
    throw TCommandFailure(ExitPortFailed, "COM Port Not Exist\n" + FLink.Label() + ": device disconnected");
  State.ReplyOk = Result.End == TExchangeEnd::Reply;
  State.ReplyText = Result.Text;
  State.ReplyLength = Result.Length;
  return Result.End;
}

TExchangeEnd TKrmSession::Command(char Letter, int ChecksumItem) {
  const std::optional<std::string> frame = CommandFrame(Letter, State, ChecksumItem);
  // Parameters are checked where they are typed; one that would break the
  // frame never goes out.
  if (!frame) throw TCommandFailure(ExitUsage, "a parameter holds a control character");
  return Take(FLink.Exchange(*frame, CommandTimeoutTicks(Letter, State.TimeoutTicks)));
}

TExchangeEnd TKrmSession::TestLine(std::string_view Line) {
  return Take(FLink.Exchange(TestLineFrame(Line), State.TimeoutTicks + TestLineExtraTicks, true));
}

ProbeAnswer TKrmSession::Probe(std::int32_t Address) {
  State.TargetAddress = Address;
  if (Command(ProbeLetter) == TExchangeEnd::Interrupted) return ProbeAnswer::Nobody;
  return RecordProbeReply(State);
}

std::vector<std::int32_t> TKrmSession::ReadBack() {
  std::vector<std::int32_t> unanswered;
  State.ReadBack = {};
  for (State.QueryIndex = 0; State.QueryIndex < ReadBackQueries; ++State.QueryIndex) {
    Command(ReadBackLetter);
    if (!TakeReadBackReply(State)) unanswered.push_back(State.QueryIndex);
  }
  RecordReadBack(State);
  return unanswered;
}

std::optional<std::string> TKrmSession::ReadText(char Letter) {
  if (Command(Letter) != TExchangeEnd::Reply) return std::nullopt;
  return std::string(FrameTextPrefix(ReplyTextCut(State.ReplyText, State.ReplyLength)));
}

bool TKrmSession::Write(TSetting Setting, const TSettingValue& Value) {
  const char letter = PrepareWrite(Setting, Value.Number, Value.Text, State);
  if (letter == 0) return false;
  return Command(letter, Value.Number) == TExchangeEnd::Reply;
}

std::optional<std::int32_t> ParseAddress(std::string_view Text) {
  if (Text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(Text[0])) ||
      !std::isxdigit(static_cast<unsigned char>(Text[1])))
    return std::nullopt;
  return static_cast<std::int32_t>(std::stoi(std::string(Text), nullptr, 16));
}
