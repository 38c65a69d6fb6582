#pragma once
// The text form of a converter, shared by the command line and bus files:
//
//   ADDRESS[,KEY[=VALUE]]...        e.g.  1F,init,id=PUMP-7,baud232=19200,latency=50
//
// ADDRESS is two hex digits. The keys (see kConfigKeysHelp) set the converter's
// settings or its misbehaviour. A bus file holds one converter per line; blank
// lines and everything after "#" are ignored.

#include "SimConverter.h"

#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace krm::sim {

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throw ConfigError with a message that names the offending key or value.
Converter parseConverter(std::string_view text);
// Misbehaviour keys only, comma-separated (the whole bus's misbehaviour).
Misbehaviour parseMisbehaviour(std::string_view text);
// A bus file; messages start with "NAME:LINE: ".
std::vector<Converter> parseBusFile(std::istream &in, const std::string &name);

// Three converters ready for a demonstration; the last one is in initial step.
std::vector<Converter> demoConverters();

extern const char *const kConfigKeysHelp;

}  // namespace krm::sim
