// The command line under test: krm4610 run as a child process with its
// stdout and stderr on pipes, against a simulated bus on a pseudo-terminal.
#pragma once

#include "SimBus.h"
#include "SimConfig.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace clitest {

using namespace std::chrono_literals;

struct TRun {
  int Status = -1;  // the exit status; -1 when it did not end by itself in time
  std::string Out, Err;
};

// Runs krm4610 with Args; Env entries ("NAME=VALUE") are added to the
// environment. While it runs, Meanwhile is called now and then with the
// child's pid until it answers true. With ErrOnTerminal its stderr is a
// pseudo-terminal (Err then holds what that terminal showed).
TRun RunCli(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {},
            const std::function<bool(pid_t)>& Meanwhile = nullptr, bool ErrOnTerminal = false,
            std::chrono::milliseconds Deadline = 60s);

// A started bus of the converters given in the simulator's text form
// ("0A,init,id=PUMP-7"), replying at once.
struct TBus {
  explicit TBus(const std::vector<std::string>& Converters, const std::string& BusMisbehaviour = "");
  krm::sim::Bus Bus{Options()};
  std::string Path() const { return Bus.path(); }
  // krm4610 with --port on this bus at 115200 bit/s, the shortest time-outs.
  TRun Cli(std::vector<std::string> Args, const std::function<bool(pid_t)>& Meanwhile = nullptr,
           bool ErrOnTerminal = false);
  // The frames received, each without its CR.
  std::vector<std::string> Frames() const { return Bus.frames(); }

 private:
  static krm::sim::BusOptions Options();
};

// Only the frames whose command letter (after "$HH") is one of Letters.
std::vector<std::string> FramesOf(const std::vector<std::string>& Frames, const std::string& Letters);

}  // namespace clitest
