// CliOptions: the command line of krm4610, verb by verb: what each verb
// takes, its usage line and help, and the common options.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct TInvocation {
  std::string Verb;                    // empty: the program's own --help
  std::vector<std::string> Arguments;  // the verb's words, in order
  std::string Port = "COM1";
  std::int32_t Baud = 9600;
  std::string Format = "N81";
  bool Json = false;
  bool Help = false;
  std::optional<std::string> From, To;          // scan
  std::optional<std::string> Count, Duration;   // test
};

// Bad usage; Verb names the verb whose usage line goes with the message.
struct TUsageError : std::runtime_error {
  TUsageError(const std::string& Message, std::string Verb) : std::runtime_error(Message), Verb(std::move(Verb)) {}
  std::string Verb;
};

// Throws TUsageError. A verb's words are checked by the verb.
TInvocation ParseCommandLine(const std::vector<std::string>& Words);

std::string ProgramHelp();
std::string VerbHelp(std::string_view Verb);
// "Usage: krm4610 show HH [OPTION]..."
std::string UsageLine(std::string_view Verb);
