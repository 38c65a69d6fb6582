#include "CliOptions.h"

#include <algorithm>
#include <array>

namespace {

struct TVerbRow {
  std::string_view Name;
  std::string_view Words;    // what follows the verb in the usage line
  std::size_t MinWords, MaxWords;
  bool TakesPort;            // it talks to converters: --port, --baud, --format
  std::vector<std::string_view> Options;  // its own options
  std::string_view Help;
};

constexpr std::size_t Many = 1000000;

const std::array<TVerbRow, 7> Verbs = {{
    {"ports", "", 0, 0, false, {}, "The serial ports of this machine (ttyS with a UART, ttyUSB, ttyACM), their\n"
                                   "/dev/serial/by-id names and the COM number the window opens them as.\n"},
    {"scan", "[--from HH] [--to HH]", 0, 0, true, {"--from", "--to"},
     "Probes the addresses HH (default 00 to FF) one by one and lists the converters\n"
     "that answered: address, \"*\" for a converter in initial step, product ID.\n"
     "Progress on stderr when it is a terminal; Ctrl-C stops and lists what was found.\n"
     "Exit status 1 when no converter answered, 130 when stopped by Ctrl-C.\n"},
    {"show", "HH", 1, 1, true, {}, "The settings of the converter at address HH as it reads them back, its\n"
                                   "product ID and its firmware version.\n"},
    {"set", "HH KEY=VALUE...", 2, Many, true, {},
     "Writes the given settings that differ from the converter's, one exchange each in\n"
     "the fixed write order, then reads them back and reports any that did not take.\n"
     "A converter that is not in initial step takes only delimiter and productid;\n"
     "asking it for any other setting writes nothing.\n"},
    {"save", "HH FILE", 2, 2, true, {}, "Saves the settings of the converter at HH to FILE, one KEY=VALUE a line.\n"},
    {"load", "HH FILE", 2, 2, true, {},
     "Writes the settings of FILE (as save writes it; # starts a comment line) to the\n"
     "converter at HH as set does; on a converter that is not in initial step only\n"
     "delimiter and productid, the others are left alone.\n"},
    {"test", "LINE [--count N] [--duration S]", 1, 1, true, {"--count", "--duration"},
     "Sends LINE and a CR again and again, each time as soon as the reply before came\n"
     "(both buffers flushed first), like the window's continuous test, and gives its\n"
     "statistics at the end: exchanges, time-outs, rate, round trip min/mean/max/p99.\n"
     "Runs N exchanges, S seconds, or until Ctrl-C; live on stderr when a terminal.\n"
     "Exit status 1 when any exchange timed out.\n"},
}};

const std::string_view CommonHelp =
    "Options:\n"
    "  --port COMn|PATH  host port (default COM1; COMn is KRM4610_COM<n>, else /dev/ttyS<n-1>)\n"
    "  --baud B          host speed, 300 to 115200 (default 9600); sets the reply time-outs\n"
    "  --format F        host data format: N81, O81, O71, E81, E71, N82, N72, O72, E72\n"
    "  --json            output as JSON\n"
    "  --help            this help\n";

const TVerbRow* Find(std::string_view Name) {
  const auto* row = std::find_if(Verbs.begin(), Verbs.end(), [&](const TVerbRow& R) { return R.Name == Name; });
  return row == Verbs.end() ? nullptr : row;
}

std::int32_t BaudOf(const std::string& Text, const std::string& Verb) {
  if (Text.empty() || Text.size() > 6 || !std::all_of(Text.begin(), Text.end(), ::isdigit))
    throw TUsageError("bad --baud \"" + Text + "\"", Verb);
  return static_cast<std::int32_t>(std::stol(Text));
}

}  // namespace

TInvocation ParseCommandLine(const std::vector<std::string>& Words) {
  TInvocation invocation;
  const TVerbRow* verb = nullptr;
  bool wordsOnly = false;  // after "--" everything is a word
  for (std::size_t i = 0; i < Words.size(); ++i) {
    std::string word = Words[i];
    if (wordsOnly || word.size() < 2 || word.rfind("-", 0) != 0) {
      if (!verb) {
        verb = Find(word);
        if (!verb) throw TUsageError("unknown command \"" + word + "\"", "");
        invocation.Verb = word;
      } else {
        invocation.Arguments.push_back(word);
      }
      continue;
    }
    if (word == "--") {
      wordsOnly = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    if (const auto eq = word.find('='); eq != std::string::npos) {
      inlineValue = word.substr(eq + 1);
      word.resize(eq);
    }
    const std::string verbName = invocation.Verb;
    const auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= Words.size()) throw TUsageError("option " + word + " needs a value", verbName);
      return Words[++i];
    };
    const auto flag = [&] {
      if (inlineValue) throw TUsageError("option " + word + " takes no value", verbName);
      return true;
    };
    const bool own = verb && std::find(verb->Options.begin(), verb->Options.end(), word) != verb->Options.end();
    const bool portOption = word == "--port" || word == "--baud" || word == "--format";
    if (word == "--help" || word == "-h") invocation.Help = flag();
    else if (word == "--json") invocation.Json = flag();
    else if (portOption && (!verb || verb->TakesPort)) {
      const std::string text = value();
      if (word == "--port") invocation.Port = text;
      else if (word == "--baud") invocation.Baud = BaudOf(text, verbName);
      else invocation.Format = text;
    } else if (own && word == "--from") invocation.From = value();
    else if (own && word == "--to") invocation.To = value();
    else if (own && word == "--count") invocation.Count = value();
    else if (own && word == "--duration") invocation.Duration = value();
    else throw TUsageError("unknown option " + word, verbName);
  }
  if (invocation.Help) return invocation;
  if (!verb) throw TUsageError("no command given", "");
  if (invocation.Arguments.size() < verb->MinWords) throw TUsageError("too few arguments", invocation.Verb);
  if (invocation.Arguments.size() > verb->MaxWords)
    throw TUsageError("unexpected argument \"" + invocation.Arguments[verb->MaxWords] + "\"", invocation.Verb);
  return invocation;
}

std::string UsageLine(std::string_view Verb) {
  const TVerbRow* verb = Find(Verb);
  if (!verb) return "Usage: krm4610 COMMAND [ARGUMENT]... [OPTION]...";
  std::string line = "Usage: krm4610 " + std::string(verb->Name);
  if (!verb->Words.empty()) line += " " + std::string(verb->Words);
  return line + (verb->TakesPort ? " [OPTION]..." : " [--json]");
}

std::string ProgramHelp() {
  std::string help = UsageLine("") +
                     "\nConfigures and checks KRM4610 converters on a bus from the shell.\n\nCommands:\n";
  for (const TVerbRow& verb : Verbs) help += "  krm4610 " + std::string(verb.Name) + " " + std::string(verb.Words) + "\n";
  help += "\n" + std::string(CommonHelp) +
          "\nExit status: 0 success, 1 a converter did not answer or refused, 2 bad usage,\n"
          "3 the port could not be opened. 'krm4610 COMMAND --help' tells more.\n";
  return help;
}

std::string VerbHelp(std::string_view Verb) {
  const TVerbRow* verb = Find(Verb);
  if (!verb) return ProgramHelp();
  std::string help = UsageLine(Verb) + "\n" + std::string(verb->Help);
  if (Verb == "set" || Verb == "load")
    help += "Keys: protocol=RS-485|RS-422 baud485=B baud232=B address=HH addrmode=ON|OFF\n"
            "  txmode=NORMAL|FAST stopchar=HH appendstop=YES|NO checksum=ON|OFF\n"
            "  delimiter=:|[|]|^|{|||}|~ productid=TEXT format485=F format232=F\n";
  help += "\n";
  help += verb->TakesPort ? std::string(CommonHelp) : "Options:\n  --json            output as JSON\n";
  return help;
}
