// The console's line of statistics against the simulator: its counts are
// the frames the bus answered, a dropped reply is its one time-out, and its
// round trips are the bus's latency and little more.
#include "OperationsFixture.h"

#include <QLabel>
#include <QRegularExpression>

namespace {

using namespace journeys;

class ConsoleStats : public Operations {
 protected:
  // The figures the line shows.
  struct Shown {
    long long Exchanges = -1;
    long long TimeOuts = -1;
    double Last = -1, Min = -1, Mean = -1, Max = -1;
  };
  Shown Read() const {
    static const QRegularExpression line(
        "^EXCHANGES (\\d+)  TIME-OUTS (\\d+)  [\\d.]+/S  RTT ([\\d.]+) \\(MIN ([\\d.]+) MEAN ([\\d.]+) MAX ([\\d.]+)\\) MS$");
    const QRegularExpressionMatch m = line.match(Form->StatsLabel->text());
    Shown shown;
    if (!m.hasMatch()) return shown;
    shown.Exchanges = m.captured(1).toLongLong();
    shown.TimeOuts = m.captured(2).toLongLong();
    shown.Last = m.captured(3).toDouble();
    shown.Min = m.captured(4).toDouble();
    shown.Mean = m.captured(5).toDouble();
    shown.Max = m.captured(6).toDouble();
    return shown;
  }

  void StartLoop(const char* Line) {
    Form->CONTINUETEST1->trigger();
    QTest::keyClicks(Form->TxBox, Line);
    Sim->clearFrames();
    Form->Button1->click();
  }
};

TEST_F(ConsoleStats, TheLoopCountsWhatTheBusAnsweredAndStopsAtItsOneTimeOut) {
  Converter c = Configured();
  Misbehaviour drop;
  drop.dropEvery = 150;  // the 150th reply is lost
  c.misbehaviour = drop;
  Start({c});
  EXPECT_TRUE(Form->StatsLabel->text().isEmpty());  // no run yet
  StartLoop("$0AE04");
  ASSERT_TRUE(WaitFor([this] { return Form->State.TestStopped && !Form->State.Busy; }, 20s));
  EXPECT_EQ(Form->RxBox->text(), "Time out error, Test stop !!!");
  EXPECT_EQ(Sim->frameCount(), 150u);
  const Shown shown = Read();
  EXPECT_EQ(shown.Exchanges, 149) << Form->StatsLabel->text().toStdString();
  EXPECT_EQ(shown.TimeOuts, 1);
  EXPECT_LE(shown.Min, shown.Mean);
  EXPECT_LE(shown.Mean, shown.Max);

  // START TEST begins a new run from zero.
  Sim->modify(0, [](Converter& Bus) { Bus.misbehaviour.reset(); });
  Form->Button1->click();
  ASSERT_TRUE(FramesReach(Sim->frameCount() + 20));
  Form->Button2->click();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_EQ(Read().TimeOuts, 0);
  EXPECT_EQ(Read().Exchanges, static_cast<long long>(Sim->frameCount()) - 150);

  // Hidden with the console.
  Form->Button3->click();
  EXPECT_FALSE(Form->StatsLabel->isVisible());
}

TEST_F(ConsoleStats, RoundTripsAreTheBusLatencyAndLittleMore) {
  Start({Configured()});
  Misbehaviour late;
  late.latencyMs = 20;
  Sim->setBusMisbehaviour(late);
  Sim->modify(0, [](Converter& Bus) { Bus.misbehaviour.reset(); });
  StartLoop("$0AV");
  ASSERT_TRUE(FramesReach(10));
  Form->Button2->click();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  const Shown shown = Read();
  EXPECT_EQ(shown.Exchanges, static_cast<long long>(Sim->frameCount()));
  EXPECT_GE(shown.Min, 20.0);
  EXPECT_LE(shown.Max, 20.0 + 250.0);  // a loaded machine's scheduling, not the line
  EXPECT_GE(shown.Last, shown.Min);
  EXPECT_TRUE(Form->grab().save(QStringLiteral(KRM_SCREENSHOT_DIR "/krm4610w-console-statistics.png")));

  // A single test shows its one round trip.
  Form->Button3->click();
  Form->SINGLETEST1->trigger();
  QTest::keyClicks(Form->TxBox, "$0AV");
  Form->Button1->click();
  ASSERT_TRUE(WaitFor([this] { return !Form->State.Busy; }));
  EXPECT_EQ(Read().Exchanges, 1);
  EXPECT_GE(Read().Last, 20.0);
  EXPECT_DOUBLE_EQ(Read().Last, Read().Max);
}

}  // namespace
