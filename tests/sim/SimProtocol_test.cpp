// The converters' answers on the wire: probe, read-back, texts, writes, refusals, silence.

#include "SimBus.h"
#include "SimPeer.h"

#include <gtest/gtest.h>

#include <random>

using krm::sim::Bus;
using krm::sim::BusOptions;
using krm::sim::Converter;
using simtest::Peer;
using namespace std::chrono_literals;

namespace {

Converter converterAt(std::uint8_t address, bool initStep = false) {
  Converter c;
  c.address = address;
  c.initStep = initStep;
  return c;
}

class Protocol : public ::testing::Test {
 protected:
  void SetUp() override {
    normal_ = bus_.add(converterAt(0x05));
    init_ = bus_.add(converterAt(0x2A, true));
    bus_.start();
    peer_ = std::make_unique<Peer>(bus_.path());
  }
  // Silence for a frame shows as the next probe's reply coming first.
  void expectNoReplyTo(const std::string &frame) {
    peer_->send(frame);
    EXPECT_EQ(peer_->query("$05IFD\r"), "!0500\r") << "after " << frame;
  }
  Bus bus_;
  std::size_t normal_ = 0, init_ = 0;
  std::unique_ptr<Peer> peer_;
};

TEST_F(Protocol, ProbeTellsNormalFromInitialStep) {
  EXPECT_EQ(peer_->query("$05IFD\r"), "!0500\r");
  EXPECT_EQ(peer_->query("$2AIFD\r"), "!2A11\r");
}

TEST_F(Protocol, ReadBackEncodesEverySettingAsTheTablesSay) {
  Converter c = converterAt(0x3C);
  c.rs232Baud = 8;
  c.rs485Baud = 2;
  c.rs232Format = 10;  // O81
  c.rs485Format = 13;  // E72
  c.addressModeOn = false;
  c.rs422 = true;
  c.txFast = true;
  c.appendStop = false;
  c.checksumOn = true;
  c.delimiter = '}';
  c.stopChar = 0x0A;
  bus_.add(c);
  const char *expected[10] = {"46", "08", "02", "AD", "1F", "7D", "33", "43", "0A", "10"};
  for (int n = 0; n < 10; ++n)
    EXPECT_EQ(peer_->query("$3CE0" + std::to_string(n) + "\r"), std::string("!3C") + expected[n] + "\r") << n;

  // The two other codes above 9, and the mode bits one at a time.
  bus_.modify(bus_.converterCount() - 1, [](Converter &x) {
    x.rs232Format = 12;  // E81
    x.rs485Format = 11;  // O72
    x.addressModeOn = true;
    x.txFast = false;
    x.checksumOn = false;
  });
  EXPECT_EQ(peer_->query("$3CE03\r"), "!3CCB\r");
  EXPECT_EQ(peer_->query("$3CE04\r"), "!3C0A\r");
}

TEST_F(Protocol, ProductIdAndVersionTexts) {
  bus_.modify(normal_, [](Converter &c) {
    c.productId = "MIXER-2";
    c.version = "3.07b";
  });
  EXPECT_EQ(peer_->query("$057\r"), "!05MIXER-2\r");
  EXPECT_EQ(peer_->query("$05V\r"), "!053.07b\r");
  EXPECT_EQ(peer_->query("$056\r"), "!05\r");  // empty product ID
  EXPECT_EQ(peer_->query("$057\r"), "!05\r");
  const std::string longest(30, 'Z');
  EXPECT_EQ(peer_->query("$056" + longest + "\r"), "!05\r");
  EXPECT_EQ(peer_->query("$057\r"), "!05" + longest + "\r");
}

struct WriteCase {
  const char *write;
  const char *query;
  const char *readBack;
};

TEST_F(Protocol, EachWriteShowsInTheReadBack) {
  const WriteCase cases[] = {
      {"B", "E04", "02"},   {"A", "E04", "00"},   {"5", "E04", "01"},   {"4", "E04", "00"},
      {"F", "E04", "04"},   {"N", "E04", "00"},   {"J", "E04", "08"},   {"L", "E04", "00"},
      {"S1", "E04", "10"},  {"S0", "E04", "00"},  {"09", "E01", "09"},  {"10", "E02", "00"},
      {"2O81", "E03", "A0"}, {"3E72", "E03", "AD"}, {"2N72", "E03", "1D"}, {"3O71", "E03", "13"},
      {"90A", "E08", "0A"}, {"9FF", "E08", "FF"}, {"C^", "E05", "5E"},  {"C|", "E05", "7C"},
      {"6NEW-ID", "7", "NEW-ID"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(peer_->query(std::string("$2A") + c.write + "\r"), "!2A\r") << c.write;
    EXPECT_EQ(peer_->query(std::string("$2A") + c.query + "\r"), std::string("!2A") + c.readBack + "\r") << c.write;
  }
}

TEST_F(Protocol, NewAddressIsReadBackAtOnceButAnswersOnlyAfterPowerUp) {
  EXPECT_EQ(peer_->query("$2A81F\r"), "!2A\r");
  EXPECT_EQ(peer_->query("$2AE06\r"), "!2A31\r");
  EXPECT_EQ(peer_->query("$2AE07\r"), "!2A46\r");
  expectNoReplyTo("$1FIFD\r");
  bus_.powerUp();
  EXPECT_EQ(peer_->query("$1FIFD\r"), "!1F11\r");
  expectNoReplyTo("$2AIFD\r");
  EXPECT_EQ(bus_.converter(init_).address, 0x1F);
}

TEST_F(Protocol, NormalConverterRefusesProtectedWritesAndKeepsItsSettings) {
  const Converter before = bus_.converter(normal_);
  for (const char *write : {"A", "B", "05", "15", "2E71", "3E71", "4", "5", "81F", "90A", "F", "N", "J", "L", "S1",
                            "S0"})
    EXPECT_EQ(peer_->query(std::string("$05") + write + "\r"), "?05\r") << write;
  EXPECT_EQ(bus_.converter(normal_), before);

  // The delimiter and the product ID are open to every converter.
  EXPECT_EQ(peer_->query("$05C~\r"), "!05\r");
  EXPECT_EQ(peer_->query("$05E05\r"), "!057E\r");
  EXPECT_EQ(peer_->query("$056TANK 3\r"), "!05\r");
  EXPECT_EQ(peer_->query("$057\r"), "!05TANK 3\r");
}

TEST_F(Protocol, BadParametersAndUnknownCommandsAreRefusedWithoutEffect) {
  const Converter before = bus_.converter(init_);
  for (const char *frame : {"0A", "1", "112", "2X81", "3n81", "2N8", "81f", "8G1", "8123", "9", "9D", "Cx", "C", "C::",
                            "S2", "S", "A1", "F0", "E0A", "E5", "EFF", "IFE", "I", "7X", "VX", "Z", "6BELL\x07"})
    EXPECT_EQ(peer_->query(std::string("$2A") + frame + "\r"), "?2A\r") << frame;
  EXPECT_EQ(bus_.converter(init_), before);
}

TEST_F(Protocol, NoReplyForOtherAddressesOrMalformedFrames) {
  for (const char *frame : {"$06IFD\r", "$2BIFD\r", "$0aIFD\r", "$5IFD\r", "$05\r", "$\r", "\r", "05IFD\r",
                            "x$05IFD\r", "!0500\r"})
    expectNoReplyTo(frame);
  expectNoReplyTo("$056" + std::string(31, 'A') + "\r");  // parameter over 30 characters
  EXPECT_EQ(bus_.converter(normal_).productId, "KRM4610");
}

TEST_F(Protocol, FramesArriveInPiecesAndAfterLineFeeds) {
  peer_->send("$0");
  peer_->send("5I");
  peer_->send("FD");
  EXPECT_EQ(peer_->query("\r"), "!0500\r");
  EXPECT_EQ(peer_->query("\n$2AIFD\r"), "!2A11\r");
  EXPECT_EQ(peer_->query("$05IFD\r\n$2AIFD\r"), "!0500\r");
  EXPECT_EQ(peer_->readReply(), "!2A11\r");
}

TEST_F(Protocol, RecordsEveryRequestLineInOrder) {
  peer_->send("$05IFD\r$2AE03\rjunk\r");
  ASSERT_TRUE(bus_.waitForFrames(3, 3000ms));
  EXPECT_EQ(bus_.frames(), (std::vector<std::string>{"$05IFD", "$2AE03", "junk"}));
  EXPECT_FALSE(bus_.waitForFrames(4, 50ms));
  bus_.clearFrames();
  EXPECT_EQ(bus_.frameCount(), 0u);
}

TEST_F(Protocol, EndlessGarbageWithoutCrCostsBoundedMemoryAndIsDropped) {
  std::string garbage(1 << 20, 'x');
  std::mt19937 random(7);
  for (auto &c : garbage) c = static_cast<char>(random() % 255 + 1);
  for (auto &c : garbage)
    if (c == '\r') c = '#';
  peer_->send(garbage);
  EXPECT_EQ(peer_->query("\r$05IFD\r"), "!0500\r");
  EXPECT_EQ(bus_.frames(), std::vector<std::string>{"$05IFD"});

  // Random lines with CRs in between: the simulator keeps serving.
  std::string lines(1 << 16, ' ');
  for (auto &c : lines) c = static_cast<char>(random() % 256);
  peer_->send(lines);
  peer_->send("\r$05V\r");
  std::string seen;
  for (int i = 0; i < 1000 && seen.find("!051.00\r") == std::string::npos; ++i) {
    const std::string r = peer_->readReply();
    ASSERT_FALSE(r.empty());
    seen += r;
  }
  EXPECT_NE(seen.find("!051.00\r"), std::string::npos);
}

}  // namespace
