#include "CliRun.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace clitest {

TRun RunCli(const std::vector<std::string>& Args, const std::vector<std::string>& Env,
            const std::function<bool(pid_t)>& Meanwhile, bool ErrOnTerminal, std::chrono::milliseconds Deadline) {
  std::vector<std::string> args = Args;
  args.insert(args.begin(), KRM_CLI_EXE);
  std::vector<std::string> env = Env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  int out[2], err[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  if (ErrOnTerminal) {
    // The master is read as the pipe would be; the slave is the child's stderr.
    err[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err[0] < 0 || ::grantpt(err[0]) != 0 || ::unlockpt(err[0]) != 0) throw std::runtime_error("pty");
    err[1] = ::open(::ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err[1] < 0) throw std::runtime_error("pty slave");
  } else if (::pipe(err) != 0) {
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) throw std::runtime_error("spawn");

  TRun run;
  bool waiting = static_cast<bool>(Meanwhile);
  const auto end = std::chrono::steady_clock::now() + Deadline;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&run.Out, &run.Err};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < end) {
    if (waiting) waiting = !Meanwhile(pid);
    if (::poll(fds, 2, 10) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  if (open > 0) ::kill(pid, SIGKILL);  // over its time: a hang is a failure
  ::waitpid(pid, &status, 0);
  for (const pollfd& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  run.Status = open == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

krm::sim::BusOptions TBus::Options() {
  krm::sim::BusOptions options;
  options.instant = true;
  return options;
}

TBus::TBus(const std::vector<std::string>& Converters, const std::string& BusMisbehaviour) {
  for (const std::string& converter : Converters) Bus.add(krm::sim::parseConverter(converter));
  if (!BusMisbehaviour.empty()) Bus.setBusMisbehaviour(krm::sim::parseMisbehaviour(BusMisbehaviour));
  Bus.start();
}

TRun TBus::Cli(std::vector<std::string> Args, const std::function<bool(pid_t)>& Meanwhile, bool ErrOnTerminal) {
  Args.insert(Args.end(), {"--port", Path(), "--baud", "115200"});
  return RunCli(Args, {}, Meanwhile, ErrOnTerminal);
}

std::vector<std::string> FramesOf(const std::vector<std::string>& Frames, const std::string& Letters) {
  std::vector<std::string> picked;
  for (const std::string& frame : Frames)
    if (frame.size() >= 4 && Letters.find(frame[3]) != std::string::npos) picked.push_back(frame);
  return picked;
}

}  // namespace clitest
