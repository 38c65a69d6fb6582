// Trigger handles, data matching, avail announcements, timers, status
// triggers and the trigger snapshot.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "FakeDevice.h"

namespace {

struct Message {
  uint32_t Msg, WParam, LParam;
  bool operator==(const Message&) const = default;
};

// A window that records what it is sent and may read bytes meanwhile.
class TRecordingWindow : public TNotifyWindow {
 public:
  std::vector<Message> Got;
  std::function<void(const Message&)> OnNotify;
  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t) override {
    Got.push_back({msg, wParam, lParam});
    if (OnNotify) OnNotify(Got.back());
    return true;
  }
};

class TriggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(d.Open(), 0);
    d.UpdateHandlerFlags(1);
    d.AddWindowHandler(&window);
  }
  // One pass of the dispatcher thread over the data checks.
  void Pass() {
    d.FillInput();
    while (d.CheckDataTriggers()) {
    }
  }
  std::vector<Message> Of(uint32_t msg) const {
    std::vector<Message> out;
    for (const Message& m : window.Got)
      if (m.Msg == msg) out.push_back(m);
    return out;
  }
  TFakeDispatcher d;
  TRecordingWindow window;
};

// Feeds text byte by byte; returns the 1-based positions of full matches.
std::vector<int> MatchPositions(TDataTrigger t, const std::string& text) {
  std::vector<int> at;
  for (size_t i = 0; i < text.size(); ++i)
    if (MatchDataByte(t, static_cast<uint8_t>(text[i]))) at.push_back(static_cast<int>(i) + 1);
  return at;
}

TEST(DataMatch, OverlappingCandidatesAreAllFollowed) {
  EXPECT_EQ(MatchPositions(MakeDataTrigger(8, "AAB"), "AAAB"), (std::vector<int>{4}));
  EXPECT_EQ(MatchPositions(MakeDataTrigger(8, "ABA"), "ABABA"), (std::vector<int>{3, 5}));
  EXPECT_EQ(MatchPositions(MakeDataTrigger(8, "\r"), "a\rb\r"), (std::vector<int>{2, 4}));
  EXPECT_EQ(MatchPositions(MakeDataTrigger(8, "OK\r"), "xOKOK\rOK\r"), (std::vector<int>{6, 9}));
  EXPECT_TRUE(MatchPositions(MakeDataTrigger(8, "ABC"), "ABABXC").empty());
}

TEST(DataMatch, IgnoreCaseUpperCasesTheInputOnly) {
  EXPECT_EQ(MatchPositions(MakeDataTrigger(8, "OK", true), "ok"), (std::vector<int>{2}));
  EXPECT_TRUE(MatchPositions(MakeDataTrigger(8, "ok", true), "ok").empty());
  EXPECT_EQ(AnsiUpper(0xE9), 0xC9);  // e acute
  EXPECT_EQ(AnsiUpper(0xF7), 0xF7);  // division sign has no case
  EXPECT_EQ(AnsiUpper('1'), '1');
}

TEST(TriggerHandles, CountUpThenReuseFreedSlotsUpTo4096) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  for (int32_t i = 1; i < 4096; ++i) ASSERT_EQ(d.NewTimerTrigger(), i * 8);
  EXPECT_EQ(d.NewTimerTrigger(), ecode::NoMoreTriggers);
  EXPECT_EQ(d.TimerTriggers.size(), 4095u);  // the failure added nothing

  ASSERT_EQ(d.FindTrigger(40, true), TriggerKindTimer);
  ASSERT_EQ(d.FindTrigger(4096, true), TriggerKindTimer);
  ASSERT_EQ(d.FindTrigger(8000, true), TriggerKindTimer);
  EXPECT_EQ(d.NewTimerTrigger(), 40);
  EXPECT_EQ(d.NewTimerTrigger(), 4096);
  EXPECT_EQ(d.NewTimerTrigger(), ecode::NoMoreTriggers);  // 8000 is above the reuse range
}

TEST(TriggerHandles, FindTellsKindsApartAndRejectsUnknownHandles) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  int32_t timer = d.NewTimerTrigger();
  int32_t status = d.NewTriggerHandle() + static_cast<int32_t>(StatusOutSent);
  d.StatusTriggers.push_back({status, StatusOutSent, 0, 1, 0});
  int32_t data = d.NewTriggerHandle();
  d.DataTriggers.push_back(MakeDataTrigger(data, "x"));

  EXPECT_EQ(d.FindTrigger(timer, false), TriggerKindTimer);
  EXPECT_EQ(d.FindTrigger(status, false), TriggerKindStatus);
  EXPECT_EQ(d.FindTrigger(status & ~7, false), ecode::BadTriggerHandle);
  EXPECT_EQ(d.FindTrigger(data, false), TriggerKindData);
  EXPECT_EQ(d.FindTrigger(1, false), ecode::BadTriggerHandle);
  EXPECT_EQ(d.FindTrigger(0, false), ecode::BadTriggerHandle);
  EXPECT_EQ(d.ArmTimerTrigger(data, 5, true), ecode::BadTriggerHandle);
  EXPECT_EQ(d.FindTrigger(status, true), TriggerKindStatus);
  EXPECT_TRUE(d.StatusTriggers.empty());
  // A freed status handle is free again, kind bits aside.
  EXPECT_FALSE(std::any_of(d.TimerTriggers.begin(), d.TimerTriggers.end(),
                           [&](const TTimerTrigger& t) { return t.Handle == (status & ~7); }));
}

TEST_F(TriggerTest, DataTriggerAnnouncesPrecedingBytesThenTheMatch) {
  d.SetAvailThreshold(1);
  d.DataTriggers.push_back(MakeDataTrigger(16, "\r"));
  window.OnNotify = [&](const Message& m) {
    for (uint32_t i = 0; i < (m.Msg == TriggerAvailMsg ? m.WParam : 1); ++i) {
      uint8_t b;
      d.GetByte(b);
    }
  };
  d.Receive("!01OK\rtail");
  Pass();
  const uint32_t lp = static_cast<uint32_t>(d.DispatcherHandle) << 16;
  ASSERT_GE(window.Got.size(), 3u);
  EXPECT_EQ(window.Got[0], (Message{TriggerAvailMsg, 5, lp}));
  EXPECT_EQ(window.Got[1], (Message{TriggerDataMsg, 16, lp + 1}));
  EXPECT_EQ(window.Got[2], (Message{TriggerAvailMsg, 4, lp}));  // "tail"
  EXPECT_EQ(d.InUsed(), 0u);
}

TEST_F(TriggerTest, AvailIsAnnouncedAgainOnlyAfterNewBytes) {
  d.SetAvailThreshold(1);
  d.Receive("abc");
  Pass();
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerAvailMsg)[0].WParam, 3u);
  Pass();  // nobody read, nothing new: no second announcement
  Pass();
  EXPECT_EQ(Of(TriggerAvailMsg).size(), 1u);
  d.Receive("d");
  Pass();
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 2u);
  EXPECT_EQ(Of(TriggerAvailMsg)[1].WParam, 4u);
  EXPECT_EQ(ReadAll(d), "abcd");  // unread bytes stay for direct reads
}

TEST_F(TriggerTest, AvailWaitsForTheThreshold) {
  d.SetAvailThreshold(4);
  d.Receive("abc");
  Pass();
  EXPECT_TRUE(Of(TriggerAvailMsg).empty());
  d.Receive("d");
  Pass();
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerAvailMsg)[0].WParam, 4u);
}

TEST_F(TriggerTest, AWholeRingArrivingInOneFillIsStillAnnounced) {
  d.SetAvailThreshold(1);
  d.Receive(std::string(InRingSize, 'x'));
  Pass();  // the fill brings InHead round onto ScanPos
  EXPECT_TRUE(d.InFull);
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerAvailMsg)[0].WParam, InRingSize);
  Pass();
  EXPECT_EQ(Of(TriggerAvailMsg).size(), 1u);
}

// Reads what each notice announces: the bytes before a match, then the match.
void ReadWhatIsAnnounced(TFakeDispatcher& d, const Message& m) {
  const uint32_t n = m.Msg == TriggerAvailMsg ? m.WParam : m.Msg == TriggerDataMsg ? m.LParam & 0xFFFF : 0;
  uint8_t b;
  for (uint32_t i = 0; i < n; ++i) d.GetByte(b);
}

TEST_F(TriggerTest, AFillWhoseHeadComesRoundOntoTheLastNoticeIsAnnounced) {
  d.SetAvailThreshold(1);
  d.DataTriggers.push_back(MakeDataTrigger(16, "\r"));
  window.OnNotify = [&](const Message& m) { ReadWhatIsAnnounced(d, m); };
  d.Receive("!05\r");  // the notice is raised at the CR, position 3
  Pass();
  ASSERT_EQ(d.InUsed(), 0u);
  // The next reply ends exactly where the head comes round onto position 3.
  d.Receive(std::string(InRingSize - 1, 'x'));
  Pass();
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 2u);
  EXPECT_EQ(Of(TriggerAvailMsg)[1].WParam, InRingSize - 1);
  EXPECT_EQ(d.InUsed(), 0u);
}

// Found by fuzz_input_ring: bytes below the threshold, then a burst that
// fills the ring, its head coming round onto 0 where no notice was ever
// raised. Unannounced, the full ring would take nothing more, for good.
TEST_F(TriggerTest, ABurstFillingTheRingOntoItsStartIsAnnounced) {
  d.SetAvailThreshold(2000);
  d.Receive(std::string(1000, 'a'));
  Pass();
  EXPECT_TRUE(Of(TriggerAvailMsg).empty());
  d.Receive(std::string(9000, 'b'));
  Pass();
  EXPECT_TRUE(d.InFull);
  ASSERT_EQ(Of(TriggerAvailMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerAvailMsg)[0].WParam, InRingSize);
}

TEST_F(TriggerTest, AFullRingLeftUnreadMovesOnWithTheNextRead) {
  d.SetAvailThreshold(1);
  for (uint32_t later : {1u, 100u, 8092u, InRingSize}) {
    SCOPED_TRACE(later);
    window.Got.clear();
    window.OnNotify = nullptr;  // the handler leaves every byte unread
    d.Receive(std::string(InRingSize + later, 'y'));
    Pass();
    ASSERT_TRUE(d.InFull);
    ASSERT_EQ(Of(TriggerAvailMsg).size(), 1u);
    Pass();  // nothing new while full: no second notice
    EXPECT_EQ(Of(TriggerAvailMsg).size(), 1u);
    // A later read makes room: the next fill and its notice follow.
    uint8_t b;
    for (uint32_t i = 0; i < later; ++i) ASSERT_EQ(d.GetByte(b), 0);
    Pass();
    ASSERT_EQ(Of(TriggerAvailMsg).size(), 2u);
    EXPECT_EQ(Of(TriggerAvailMsg)[1].WParam, InRingSize);
    EXPECT_TRUE(d.Driver.empty());
    EXPECT_EQ(ReadAll(d).size(), InRingSize);
  }
}

TEST_F(TriggerTest, DataTriggerFiresOnABurstThatFillsTheRing) {
  d.DataTriggers.push_back(MakeDataTrigger(24, "END"));
  d.Receive(std::string(InRingSize - 3, '.') + "END");
  Pass();
  EXPECT_EQ(Of(TriggerDataMsg).size(), 1u);
}

TEST_F(TriggerTest, TimerWithTicksZeroKeepsItsLastDuration) {
  int32_t h = d.NewTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(h, 20, true), 0);
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, true), 0);
  const TTimerTrigger& t = d.TimerTriggers[0];
  EXPECT_EQ(t.Timer.ExpireTicks - t.Timer.StartTicks, 20);
  EXPECT_TRUE(t.Active);
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, false), 0);
  EXPECT_FALSE(d.TimerTriggers[0].Active);
  EXPECT_FALSE(d.CheckTimerTriggers());
}

TEST_F(TriggerTest, TimerNeverGivenADurationFiresOnTheNextTickOnce) {
  int32_t h = d.NewTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, true), 0);
  EXPECT_EQ(d.TimerTriggers[0].Timer.ExpireTicks, d.TimerTriggers[0].Timer.StartTicks);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!d.CheckTimerTriggers() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(Of(TriggerTimerMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerTimerMsg)[0].WParam, static_cast<uint32_t>(h));
  EXPECT_FALSE(d.CheckTimerTriggers());  // once per arming
  EXPECT_EQ(Of(TriggerTimerMsg).size(), 1u);
}

TEST_F(TriggerTest, RestoreKeepsHandlesArmingAndExpiryTicks) {
  int32_t a = d.NewTimerTrigger();
  int32_t b = d.NewTimerTrigger();
  d.SetAvailThreshold(7);
  ASSERT_EQ(d.ArmTimerTrigger(b, 1000, true), 0);
  d.DataTriggers.push_back(MakeDataTrigger(d.NewTriggerHandle(), "Q"));
  TriggerSnapshot snapshot;
  d.SaveTriggerSet(snapshot);
  const EventTimer saved = d.TimerTriggers[1].Timer;

  d.CloseDevice();
  ASSERT_EQ(d.Open(), 0);  // opening clears the table
  EXPECT_TRUE(d.TimerTriggers.empty());
  d.RestoreTriggerSet(snapshot);

  ASSERT_EQ(d.TimerTriggers.size(), 2u);
  EXPECT_EQ(d.TimerTriggers[0].Handle, a);
  EXPECT_EQ(d.TimerTriggers[1].Handle, b);
  EXPECT_TRUE(d.TimerTriggers[1].Active);
  EXPECT_EQ(d.TimerTriggers[1].Timer.StartTicks, saved.StartTicks);
  EXPECT_EQ(d.TimerTriggers[1].Timer.ExpireTicks, saved.ExpireTicks);
  EXPECT_EQ(d.AvailThreshold, 7u);
  EXPECT_EQ(d.DataTriggers.size(), 1u);
  // New handles do not repeat restored ones.
  int32_t c = d.NewTimerTrigger();
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_NE(c, d.DataTriggers[0].Handle);
}

TEST_F(TriggerTest, StatusTriggersFireOnceEachAndReportTheirData) {
  d.StatusTriggers.push_back({8 + StatusOutFree, StatusOutFree, 100, 1, 0});
  d.StatusTriggers.push_back({16 + StatusModem, StatusModem, 0x1000, 1, 0});  // CTS expected low
  d.StatusTriggers.push_back({24 + StatusLineError, StatusLineError, LineErrFraming, 1, 0});
  d.StatusTriggers.push_back({32 + StatusOutSent, StatusOutSent, 0, 1, 0});

  EXPECT_TRUE(d.CheckStatusTriggers());  // out free: 256 >= 100
  ASSERT_EQ(Of(TriggerStatusMsg).size(), 1u);
  EXPECT_EQ(Of(TriggerStatusMsg)[0].WParam, 8u + StatusOutFree);
  EXPECT_EQ(Of(TriggerStatusMsg)[0].LParam & 0xFFFF, 256u);
  EXPECT_FALSE(d.CheckStatusTriggers());  // modem: CTS low, no errors, nothing sent

  d.ModemLines = ModemCts;  // CTS comes up
  d.RefreshModemStatus();
  EXPECT_TRUE(d.CheckStatusTriggers());
  EXPECT_EQ(Of(TriggerStatusMsg).back().WParam, 16u + StatusModem);

  d.ErrorBits = LineErrFraming | LineErrOverrun;
  d.RefreshLineErrors();
  EXPECT_TRUE(d.CheckStatusTriggers());
  EXPECT_EQ(d.StatusTriggers[2].Value, LineErrFraming | LineErrOverrun);

  uint8_t byte = 'x';
  ASSERT_EQ(d.PutBytes(&byte, 1), 0);
  EXPECT_TRUE(d.CheckStatusTriggers());
  EXPECT_FALSE(d.OutputSent);
  EXPECT_FALSE(d.CheckStatusTriggers());  // all disarmed now
  d.ClearStatusHits();
  EXPECT_FALSE(d.StatusHit);
}

TEST_F(TriggerTest, NoOwnerHandlerMeansNoMessageAndBytesStay) {
  d.UpdateHandlerFlags(2);
  d.SetAvailThreshold(1);
  d.Receive("abc");
  Pass();
  EXPECT_TRUE(window.Got.empty());
  EXPECT_EQ(ReadAll(d), "abc");
}

}  // namespace
