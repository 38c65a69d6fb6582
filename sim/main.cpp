// krm4610-sim: a bus of simulated KRM4610 converters on a pseudo-terminal.

#include "SimBus.h"
#include "SimConfig.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using namespace krm::sim;

constexpr int kUsageError = 2;

const char *const kUsage =
    "Usage: krm4610-sim [OPTION]...\n"
    "Simulates a bus of KRM4610 converters on a new pseudo-terminal (or a given tty).\n"
    "Prints the device path on its first line, then serves requests until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --module CONV   add a converter: ADDRESS[,KEY[=VALUE]]... (repeatable)\n"
    "                  e.g. --module 05   --module 1F,init,id=PUMP-7,baud232=19200\n"
    "  --file PATH     add the converters of a file, one CONV per line, # comments\n"
    "  --demo          add three converters: 05 (PUMP-7), 1F (VALVE-12, RS-422),\n"
    "                  2A (in initial step)\n"
    "  --bus KEYS      misbehaviour of every converter without its own, e.g. latency=20\n"
    "  --port PATH     serve this tty instead of a new pseudo-terminal\n"
    "  --link PATH     make PATH a symbolic link to the device (removed at exit)\n"
    "  --check-baud    a converter answers only while the host's line speed equals its\n"
    "                  RS-232 baud rate\n"
    "  --instant       reply at once (no emulated line time)\n"
    "  --verbose       log each request and reply to stderr\n"
    "  --help          show this help and exit\n"
    "\n"
    "KEYs of a CONV (a converter):\n";

const char *const kNotes =
    "\n"
    "A normal converter accepts only the delimiter (C) and product ID (6) writes and answers\n"
    "\"?AA\" + CR to the others; one in initial step accepts every write. Bad parameters and\n"
    "unknown commands also get \"?AA\" + CR; malformed frames get no reply. A written address\n"
    "or line setting is read back at once but acts on the wire from the next start.\n"
    "Exit status: 0 after SIGINT/SIGTERM, 1 when the line or link cannot be made, 2 for a\n"
    "bad option or file.\n";

struct Options {
  std::vector<Converter> converters;
  Misbehaviour busMisbehaviour;
  BusOptions bus;
  std::string link;
  bool verbose = false;
  bool help = false;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<Converter> readBusFile(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
  return parseBusFile(in, path);
}

Options parseArguments(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg.resize(eq);
    }
    const auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
      return argv[++i];
    };
    const auto flag = [&] {
      if (inlineValue) throw UsageError("option " + arg + " takes no value");
      return true;
    };
    if (arg == "--module") o.converters.push_back(parseConverter(value()));
    else if (arg == "--file") {
      for (const auto &c : readBusFile(value())) o.converters.push_back(c);
    } else if (arg == "--demo") {
      flag();
      for (const auto &c : demoConverters()) o.converters.push_back(c);
    } else if (arg == "--bus") o.busMisbehaviour = parseMisbehaviour(value());
    else if (arg == "--port") o.bus.port = value();
    else if (arg == "--link") o.link = value();
    else if (arg == "--check-baud") o.bus.checkBaud = flag();
    else if (arg == "--instant") o.bus.instant = flag();
    else if (arg == "--verbose") o.verbose = flag();
    else if (arg == "--help" || arg == "-h") o.help = flag();
    else throw UsageError("unknown option " + arg);
  }
  return o;
}

// Replaces an old symbolic link, never anything else.
void makeLink(const std::string &link, const std::string &target) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) throw std::runtime_error(link + " exists and is not a symbolic link");
    ::unlink(link.c_str());
  }
  if (::symlink(target.c_str(), link.c_str()) != 0)
    throw std::system_error(errno, std::generic_category(), "symlink " + link);
}

void removeLink(const std::string &link, const std::string &target) {
  char buf[4096];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  try {
    options = parseArguments(argc, argv);
  } catch (const std::exception &e) {  // UsageError and ConfigError
    std::cerr << "krm4610-sim: " << e.what() << "\nTry 'krm4610-sim --help'.\n";
    return kUsageError;
  }
  if (options.help) {
    std::cout << kUsage << kConfigKeysHelp << kNotes;
    return 0;
  }
  if (options.verbose) options.bus.log = [](const std::string &line) { std::cerr << line << '\n'; };

  // Block the stop signals before the serving thread exists, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Bus bus(options.bus);
  for (const auto &c : options.converters) bus.add(c);
  bus.setBusMisbehaviour(options.busMisbehaviour);
  try {
    bus.start();
    if (!options.link.empty()) makeLink(options.link, bus.path());
  } catch (const std::exception &e) {
    std::cerr << "krm4610-sim: " << e.what() << '\n';
    return 1;
  }
  std::cout << bus.path() << std::endl;
  if (options.verbose)
    std::cerr << "krm4610-sim: " << options.converters.size() << " converter(s) on " << bus.path() << '\n';

  int signal = 0;
  sigwait(&stopSignals, &signal);
  bus.stop();
  if (!options.link.empty()) removeLink(options.link, bus.path());
  return 0;
}
