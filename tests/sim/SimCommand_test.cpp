// krm4610-sim run as a process, and the text form of converters it reads.

#include "SimConfig.h"
#include "SimPeer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using krm::sim::ConfigError;
using krm::sim::Converter;
using simtest::Ms;
using simtest::Peer;
using namespace std::chrono_literals;

namespace {

// The command with its stdout and stderr on pipes.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    args.insert(args.begin(), KRM_SIM_EXE);
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn");
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // The first line of stdout, without its newline ("" at the deadline).
  std::string firstLine(Ms deadline = 5000ms) {
    std::string text;
    while (text.find('\n') == std::string::npos && readSome(out_, text, deadline)) {
    }
    const auto nl = text.find('\n');
    return nl == std::string::npos ? "" : text.substr(0, nl);
  }
  // Everything on stdout up to its end.
  std::string allOutput(Ms deadline = 5000ms) {
    std::string text;
    while (readSome(out_, text, deadline)) {
    }
    return text;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  // Waits for the end (stderr closes at exit) and gives the exit status, -1 on deadline.
  int exitStatus(Ms deadline = 5000ms) {
    while (readSome(err_, stderr_, deadline)) {
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
      // stderr closed: the process is gone or going; allow it a moment to be reaped.
      pollfd none{-1, 0, 0};
      for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) != pid_; ++i) ::poll(&none, 0, 10);
    }
    if (!WIFEXITED(status)) return -1;
    pid_ = -1;
    return WEXITSTATUS(status);
  }
  const std::string &errors() const { return stderr_; }

 private:
  static bool readSome(int fd, std::string &into, Ms deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return false;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string stderr_;
};

std::string tempPath(const std::string &name) {
  return (testing::TempDir() + "/krm4610-sim-" + std::to_string(::getpid()) + "-" + name);
}

TEST(Command, ServesOnItsPathAndLinkUntilSigterm) {
  const std::string link = tempPath("link");
  SimProcess sim({"--module", "05", "--module", "1F,init,id=PUMP-7", "--link", link});
  const std::string path = sim.firstLine();
  ASSERT_FALSE(path.empty()) << sim.errors();
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), path);
  {
    Peer peer(link);
    EXPECT_EQ(peer.query("$05IFD\r"), "!0500\r");
    EXPECT_EQ(peer.query("$1FIFD\r"), "!1F11\r");
    EXPECT_EQ(peer.query("$1F7\r"), "!1FPUMP-7\r");
  }
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.exitStatus(), 0) << sim.errors();
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(Command, ReadsABusFileAndLogsWithVerbose) {
  const std::string file = tempPath("bus.txt");
  std::ofstream(file) << "# two converters\n\n0A,id=TANK,delim=~   # a comment\n 0B , init\n";
  SimProcess sim({"--file", file, "--verbose", "--instant"});
  const std::string path = sim.firstLine();
  ASSERT_FALSE(path.empty()) << sim.errors();
  {
    Peer peer(path);
    EXPECT_EQ(peer.query("$0A7\r"), "!0ATANK\r");
    EXPECT_EQ(peer.query("$0AE05\r"), "!0A7E\r");
    EXPECT_EQ(peer.query("$0BIFD\r"), "!0B11\r");
  }
  sim.signal(SIGINT);
  EXPECT_EQ(sim.exitStatus(), 0);
  EXPECT_NE(sim.errors().find("<- $0BIFD<CR>"), std::string::npos) << sim.errors();
  EXPECT_NE(sim.errors().find("-> !0B11<CR>"), std::string::npos) << sim.errors();
  std::remove(file.c_str());
}

TEST(Command, DemoBusHasOneConverterInInitialStep) {
  SimProcess sim({"--demo"});
  const std::string path = sim.firstLine();
  ASSERT_FALSE(path.empty()) << sim.errors();
  Peer peer(path);
  EXPECT_EQ(peer.query("$05IFD\r"), "!0500\r");
  EXPECT_EQ(peer.query("$1FIFD\r"), "!1F00\r");
  EXPECT_EQ(peer.query("$2AIFD\r"), "!2A11\r");
}

TEST(Command, BadOptionsAndFilesExitWithStatus2AndAMessage) {
  const std::string badFile = tempPath("bad.txt");
  std::ofstream(badFile) << "05\n06,baud232=1234\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--module"}, "needs a value"},
      {{"--module", "1G"}, "bad address"},
      {{"--module", "05,colour=red"}, "unknown key \"colour\""},
      {{"--module", "05,format232=X99"}, "format232"},
      {{"--module", "05,delim=#"}, "delim"},
      {{"--bus", "latency=-1"}, "latency"},
      {{"--file", badFile}, badFile + ":2: bad value \"1234\" for baud232"},
      {{"--file", tempPath("missing.txt")}, "cannot read"},
      {{"--demo=yes"}, "takes no value"},
  };
  for (const auto &[args, message] : cases) {
    SimProcess sim(args);
    EXPECT_EQ(sim.exitStatus(), 2) << args[0];
    EXPECT_NE(sim.errors().find(message), std::string::npos) << sim.errors();
  }
  std::remove(badFile.c_str());
}

TEST(Command, HelpNamesEveryOptionAndKey) {
  SimProcess sim({"--help"});
  const std::string help = sim.allOutput();
  EXPECT_EQ(sim.exitStatus(), 0);
  for (const char *word : {"Usage: krm4610-sim", "--module", "--file", "--demo", "--bus", "--port", "--link",
                           "--check-baud", "--instant", "--verbose", "init", "id=", "version=", "protocol=",
                           "addrmode=", "baud232=", "format485=", "tx=", "stop=", "append=", "checksum=", "delim=",
                           "latency=", "chunk=", "drop-every=", "drop-prob=", "noise-before=", "noise-after=", "nocr",
                           "silent", "hangup", "Exit status"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(ConverterText, EveryKeySetsItsSetting) {
  const Converter c = krm::sim::parseConverter(
      "3c,init,id=MIXER 2,version=9.9,protocol=422,addrmode=off,baud232=57600,baud485=2,format232=O81,"
      "format485=E72,tx=fast,stop=0a,append=no,checksum=on,delim=}");
  EXPECT_EQ(c.address, 0x3C);
  EXPECT_TRUE(c.initStep);
  EXPECT_EQ(c.productId, "MIXER 2");
  EXPECT_EQ(c.version, "9.9");
  EXPECT_TRUE(c.rs422);
  EXPECT_FALSE(c.addressModeOn);
  EXPECT_EQ(c.rs232Baud, 8);
  EXPECT_EQ(c.rs485Baud, 2);
  EXPECT_EQ(c.rs232Format, 10);
  EXPECT_EQ(c.rs485Format, 13);
  EXPECT_TRUE(c.txFast);
  EXPECT_EQ(c.stopChar, 0x0A);
  EXPECT_FALSE(c.appendStop);
  EXPECT_TRUE(c.checksumOn);
  EXPECT_EQ(c.delimiter, '}');
  EXPECT_FALSE(c.misbehaviour.has_value());

  const Converter m = krm::sim::parseConverter(
      "05,latency=20,chunk=3,pause=5,drop-every=4,drop-prob=0.25,seed=9,noise-before=ab,noise-after=cd,nocr,silent,"
      "hangup");
  ASSERT_TRUE(m.misbehaviour.has_value());
  EXPECT_EQ(m.misbehaviour->latencyMs, 20);
  EXPECT_EQ(m.misbehaviour->chunkSize, 3);
  EXPECT_EQ(m.misbehaviour->chunkPauseMs, 5);
  EXPECT_EQ(m.misbehaviour->dropEvery, 4);
  EXPECT_DOUBLE_EQ(m.misbehaviour->dropProbability, 0.25);
  EXPECT_EQ(m.misbehaviour->dropSeed, 9u);
  EXPECT_EQ(m.misbehaviour->noiseBefore, "ab");
  EXPECT_EQ(m.misbehaviour->noiseAfter, "cd");
  EXPECT_TRUE(m.misbehaviour->omitCr && m.misbehaviour->silent && m.misbehaviour->hangUp);
}

TEST(ConverterText, RejectsWhatAConverterCouldNotHold) {
  for (const char *text : {"", "5", "123", "05,id=" "0123456789012345678901234567890", "05,baud485=10",
                           "05,stop=100", "05,append=maybe", "05,drop-prob=1.5", "05,nocr=1", "05,id"})
    EXPECT_THROW(krm::sim::parseConverter(text), ConfigError) << text;
  std::istringstream file("05\n\n# only a comment\n07,init\n");
  EXPECT_EQ(krm::sim::parseBusFile(file, "f").size(), 2u);
}

}  // namespace
