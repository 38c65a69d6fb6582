// Deliberate faults, the baud check, the line going away and the shutdown.

#include "SimBus.h"
#include "SimPeer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using krm::sim::Bus;
using krm::sim::BusOptions;
using krm::sim::Converter;
using krm::sim::Misbehaviour;
using simtest::Ms;
using simtest::Peer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

Converter converterAt(std::uint8_t address) {
  Converter c;
  c.address = address;
  return c;
}

// Converter 05 misbehaves, 06 is the well-behaved witness whose reply shows what came before.
class Misbehaving : public ::testing::Test {
 protected:
  void start(const Misbehaviour &m, BusOptions options = {}) {
    bus_ = std::make_unique<Bus>(std::move(options));
    Converter faulty = converterAt(0x05);
    faulty.misbehaviour = m;
    bus_->add(faulty);
    witness_ = bus_->add(converterAt(0x06));
    bus_->start();
    peer_ = std::make_unique<Peer>(bus_->path());
  }
  // What arrives for a frame to 05 followed by a probe to 06, up to the witness's reply.
  std::string answerThenWitness(const std::string &frame) {
    peer_->send(frame);
    peer_->send("$06IFD\r");
    std::string seen;
    while (seen.find("!0600\r") == std::string::npos) {
      const std::string r = peer_->readReply();
      if (r.empty()) break;
      seen += r;
    }
    return seen;
  }
  std::unique_ptr<Bus> bus_;
  std::size_t witness_ = 0;
  std::unique_ptr<Peer> peer_;
};

TEST_F(Misbehaving, LatencyDelaysTheReply) {
  Misbehaviour m;
  m.latencyMs = 150;
  start(m);
  const auto begin = Clock::now();
  EXPECT_EQ(peer_->query("$05IFD\r"), "!0500\r");
  EXPECT_GE(Clock::now() - begin, 150ms);
}

TEST_F(Misbehaving, ChunksArriveSeparatelyWithPauses) {
  Misbehaviour m;
  m.chunkSize = 2;
  m.chunkPauseMs = 250;
  start(m);
  const auto begin = Clock::now();
  peer_->send("$05IFD\r");
  EXPECT_EQ(peer_->readOnce(), "!0");
  EXPECT_EQ(peer_->readOnce(), "50");
  EXPECT_EQ(peer_->readOnce(), "0\r");
  EXPECT_GE(Clock::now() - begin, 500ms);
}

TEST_F(Misbehaving, EveryNthReplyIsLostButTheRequestActs) {
  Misbehaviour m;
  m.dropEvery = 2;
  start(m);
  bus_->modify(0, [](Converter &c) { c.initStep = false; });
  EXPECT_EQ(peer_->query("$05E01\r"), "!0505\r");
  EXPECT_EQ(answerThenWitness("$05C]\r"), "!0600\r");  // second reply lost
  EXPECT_EQ(peer_->query("$05E05\r"), "!055D\r");    // the write did act
  EXPECT_EQ(answerThenWitness("$05IFD\r"), "!0600\r");  // fourth lost
  bus_->powerUp();                                      // counting starts again
  EXPECT_EQ(peer_->query("$05IFD\r"), "!0500\r");
}

// Which of 30 probes got answered, as a string of 'a' (answered) and 'd' (dropped).
std::string dropPattern(double probability, std::uint32_t seed) {
  Bus bus(BusOptions{.port = {}, .checkBaud = false, .instant = true, .log = {}});
  Converter faulty = converterAt(0x05);
  faulty.misbehaviour = Misbehaviour{};
  faulty.misbehaviour->dropProbability = probability;
  faulty.misbehaviour->dropSeed = seed;
  bus.add(faulty);
  bus.add(converterAt(0x06));
  bus.start();
  Peer peer(bus.path());
  std::string pattern;
  for (int i = 0; i < 30; ++i) {
    peer.send("$05IFD\r$06IFD\r");
    const std::string first = peer.readReply();
    pattern += first == "!0500\r" ? 'a' : 'd';
    if (first == "!0500\r") EXPECT_EQ(peer.readReply(), "!0600\r");
    else EXPECT_EQ(first, "!0600\r");
  }
  return pattern;
}

TEST(DropProbability, FollowsTheSeed) {
  EXPECT_EQ(dropPattern(1.0, 1), std::string(30, 'd'));
  EXPECT_EQ(dropPattern(0.0, 1), std::string(30, 'a'));
  const std::string a = dropPattern(0.5, 42);
  EXPECT_EQ(dropPattern(0.5, 42), a);
  EXPECT_NE(a.find('a'), std::string::npos);
  EXPECT_NE(a.find('d'), std::string::npos);
  EXPECT_NE(dropPattern(0.5, 43), a);
}

TEST_F(Misbehaving, NoiseAroundTheReply) {
  Misbehaviour m;
  m.noiseBefore = "~*";
  m.noiseAfter = "zz";
  start(m);
  peer_->send("$05IFD\r");
  EXPECT_EQ(peer_->readBytes(10), "~*!0500\rzz");
}

TEST_F(Misbehaving, RepliesWithoutFinalCr) {
  Misbehaviour m;
  m.omitCr = true;
  start(m);
  EXPECT_EQ(answerThenWitness("$05IFD\r"), "!0500!0600\r");
}

TEST_F(Misbehaving, SilentConverterIgnoresRequestsUntilRevived) {
  Misbehaviour m;
  m.silent = true;
  start(m);
  bus_->modify(0, [](Converter &c) { c.initStep = true; });
  EXPECT_EQ(answerThenWitness("$05IFD\r"), "!0600\r");
  EXPECT_EQ(answerThenWitness("$05C~\r"), "!0600\r");
  bus_->modify(0, [](Converter &c) { c.misbehaviour.reset(); });
  EXPECT_EQ(peer_->query("$05E05\r"), "!053A\r");  // the ignored write did not act
}

TEST_F(Misbehaving, BusMisbehaviourAppliesToConvertersWithoutTheirOwn) {
  start(Misbehaviour{});
  Misbehaviour m;
  m.noiseBefore = "%%";
  bus_->setBusMisbehaviour(m);
  EXPECT_EQ(peer_->query("$06IFD\r"), "%%!0600\r");
  EXPECT_EQ(peer_->query("$05IFD\r"), "!0500\r");
  m.silent = true;
  bus_->setBusMisbehaviour(m);
  EXPECT_EQ(peer_->query("$06IFD\r$05IFD\r"), "!0500\r");
}

TEST_F(Misbehaving, HangUpClosesTheLineInsteadOfReplying) {
  Misbehaviour m;
  m.hangUp = true;
  start(m);
  EXPECT_EQ(peer_->query("$06IFD\r"), "!0600\r");
  peer_->send("$05IFD\r");
  EXPECT_TRUE(peer_->waitHangUp());
  EXPECT_FALSE(bus_->lineOpen());
}

TEST(Line, CloseLineHangsUpThePeerAndStopStaysPrompt) {
  Bus bus;
  bus.add(converterAt(0x05));
  bus.start();
  Peer peer(bus.path());
  EXPECT_EQ(peer.query("$05IFD\r"), "!0500\r");
  bus.closeLine();
  EXPECT_TRUE(peer.waitHangUp());
  EXPECT_FALSE(bus.lineOpen());
  const auto begin = Clock::now();
  bus.stop();
  EXPECT_LT(Clock::now() - begin, 1s);
}

TEST(Line, StopWithAReplyPendingIsPromptAndHangsUp) {
  Bus bus;
  Converter slow = converterAt(0x05);
  slow.misbehaviour = Misbehaviour{};
  slow.misbehaviour->latencyMs = 60000;
  bus.add(slow);
  bus.start();
  Peer peer(bus.path());
  peer.send("$05IFD\r");
  ASSERT_TRUE(bus.waitForFrames(1, 3000ms));
  const auto begin = Clock::now();
  bus.stop();
  EXPECT_LT(Clock::now() - begin, 1s);
  EXPECT_TRUE(peer.waitHangUp());
  bus.stop();  // a second stop does nothing
  EXPECT_FALSE(bus.lineOpen());
}

double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(Line, PeerMayCloseAndReopenWithoutTheSimulatorSpinning) {
  Bus bus;
  bus.add(converterAt(0x05));
  bus.start();
  {
    Peer peer(bus.path());
    EXPECT_EQ(peer.query("$05IFD\r"), "!0500\r");
  }
  // Nobody has the device open now: the serving thread must sleep, not spin.
  const double before = processCpuSeconds();
  EXPECT_FALSE(bus.waitForFrames(2, 300ms));
  EXPECT_LT(processCpuSeconds() - before, 0.1);
  Peer again(bus.path());
  EXPECT_EQ(again.query("$05IFD\r"), "!0500\r");
}

// Waits for a condition of the bus, polling it every few milliseconds up to a deadline.
template <class Condition>
bool eventually(Condition condition, simtest::Ms deadline = 3000ms) {
  const auto end = Clock::now() + deadline;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(Port, ServesAGivenTtyAndGivesItUpWhenItHangsUp) {
  // A pseudo-terminal of the test's own stands in for a real port: the bus gets the
  // slave path, the test plays the host on the master.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  Bus bus(BusOptions{.port = ::ptsname(master), .checkBaud = false, .instant = true, .log = {}});
  bus.add(converterAt(0x05));
  bus.start();
  EXPECT_EQ(bus.path(), ::ptsname(master));
  Peer host(::dup(master));
  EXPECT_EQ(host.query("$05IFD\r"), "!0500\r");

  ::close(master);
  host.close();
  EXPECT_TRUE(eventually([&] { return !bus.lineOpen(); }));
  const double before = processCpuSeconds();
  EXPECT_FALSE(bus.waitForFrames(2, 300ms));
  EXPECT_LT(processCpuSeconds() - before, 0.1);
}

TEST(CheckBaud, ConverterAnswersOnlyAtItsRs232SpeedWhichChangesAtPowerUp) {
  Bus bus(BusOptions{.port = {}, .checkBaud = true, .instant = false, .log = {}});
  Converter at9600 = converterAt(0x05);
  Converter at19200 = converterAt(0x06);
  at19200.rs232Baud = 6;
  at19200.initStep = true;
  Converter witness = converterAt(0x07);
  witness.rs232Baud = 6;
  bus.add(at9600);
  bus.add(at19200);
  bus.add(witness);
  bus.start();
  Peer peer(bus.path());
  peer.setSpeed(B9600);
  EXPECT_EQ(peer.query("$06IFD\r$05IFD\r"), "!0500\r");
  peer.setSpeed(B19200);
  EXPECT_EQ(peer.query("$05IFD\r$06IFD\r"), "!0611\r");

  EXPECT_EQ(peer.query("$0605\r"), "!06\r");  // RS-232 to 9600 from the next power-up
  EXPECT_EQ(peer.query("$06E01\r"), "!0605\r");
  bus.powerUp();
  EXPECT_EQ(peer.query("$06IFD\r$07IFD\r"), "!0700\r");
  peer.setSpeed(B9600);
  EXPECT_EQ(peer.query("$06IFD\r"), "!0611\r");
}

}  // namespace
