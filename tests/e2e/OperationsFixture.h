// The operator's journeys through the main window against a simulated bus
// on a pseudo-terminal: the fixture the journey suites share. It starts a
// bus, points COM1 at it, and records every box the window shows.
#pragma once

#include "../app/ComboPick.h"
#include "AdPort.h"
#include "SimBus.h"
#include "Unit1.h"
#include "umEdit.h"

#include <QAbstractItemView>
#include <QAction>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace journeys {

using namespace std::chrono_literals;
using krm::sim::Bus;
using krm::sim::BusOptions;
using krm::sim::Converter;
using krm::sim::Misbehaviour;

struct Box {
  QString Text;
  QString Caption;
  TBoxKind Kind;
};

inline Converter At(std::uint8_t Address, const char* ProductId, bool InitStep = false) {
  Converter c;
  c.address = Address;
  c.productId = ProductId;
  c.initStep = InitStep;
  return c;
}

inline std::string Probe(int Address) {
  static const char* digits = "0123456789ABCDEF";
  return std::string("$") + digits[(Address >> 4) & 15] + digits[Address & 15] + "IFD";
}

class Operations : public ::testing::Test {
 protected:
  void Start(const std::vector<Converter>& Converters) {
    BusOptions options;
    options.instant = true;
    Sim = std::make_unique<Bus>(options);
    for (const Converter& c : Converters) {
      Sim->add(c);
      Answering.insert(c.address);
    }
    Sim->start();
    ASSERT_EQ(setenv("KRM4610_COM1", Sim->path().c_str(), 1), 0);
    // An error the component reports on its own is a box like the window's.
    SetApplicationExceptionReport([this](const std::exception& E) {
      Boxes.push_back({QString::fromLocal8Bit(E.what()), QStringLiteral("KRM4610W"), TBoxKind::Error});
    });
    Form = std::make_unique<TForm1>(750);
    Form->BoxHook = [this](const QString& Text, const QString& Caption, TBoxKind Kind) {
      Boxes.push_back({Text, Caption, Kind});
      return Answer;
    };
    Form->show();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  }

  void TearDown() override {
    Form.reset();
    SetApplicationExceptionReport(nullptr);
    if (Sim) Sim->stop();
    unsetenv("KRM4610_COM1");
  }

  // Waits for Done while the window's events run; every reply and every
  // tick of the engine timers wakes the loop.
  static bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }

  // The bus gets Count frames while the window runs (its sends happen on
  // this thread, so the bus must not be waited on here).
  bool FramesReach(std::size_t Count, std::chrono::milliseconds Limit = 10s) {
    return WaitFor([this, Count] { return Sim->frameCount() >= Count; }, Limit);
  }
  // Nothing more reaches the bus for a while, the window running meanwhile.
  bool StaysAt(std::size_t Count, std::chrono::milliseconds While = 400ms) {
    return !FramesReach(Count + 1, While) && Sim->frameCount() == Count;
  }

  // Runs the scan until it ends (or StopAt says to stop before a probe's
  // time-out). An address nobody answers at would cost a whole reply
  // time-out; once the bus has its probe, the time-out notice is handed to
  // the window at once, as the port would deliver it later.
  bool DriveScan(const std::function<bool(int)>& StopAt = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    UtilityState& s = Form->State;
    while (s.LinkPhase == 1) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (s.ReplyEvent) {
        Form->Timer1Timer();
        continue;
      }
      if (s.Busy && !Answering.count(s.TargetAddress)) {
        if (!Sim->waitForFrames(static_cast<std::size_t>(s.TargetAddress) + 1, 5s)) return false;
        if (StopAt && StopAt(s.TargetAddress)) return true;
        Form->ApdComPort1Trigger(Form->ApdComPort1, TriggerTimerMsg, s.TimeoutTrigger, 0);
        continue;
      }
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }

  // SCAN, run to its end, dismiss, and wait for every product ID.
  void ScanAndList() {
    Sim->clearFrames();
    Form->SCAN1->trigger();
    ASSERT_TRUE(DriveScan());
    ASSERT_TRUE(WaitFor([this] { return Form->Panel3->text().startsWith("SCAN COMPLETE."); }));
    QTest::mouseClick(Form->Panel3, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 4; }));
  }

  void DoubleClickRow(int Row) {
    QTableWidget* list = Form->ShowDevice;
    const QPoint at = list->visualItemRect(list->item(Row, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  }

  // Choose a listed converter and wait for its settings.
  void Choose(int Row) {
    Sim->clearFrames();
    DoubleClickRow(Row);
    ASSERT_TRUE(WaitFor([this] { return Form->State.LinkPhase == 0 && !Form->Timer1->isActive(); }));
  }

  // Every write the sequencer has left, written.
  bool SaveDone() const {
    const UtilityState& s = Form->State;
    return !s.SaveRequested && s.WriteStep == 0 && !s.Busy;
  }

  QStringList BoxTexts() const {
    QStringList texts;
    for (const Box& box : Boxes) texts << box.Text;
    return texts;
  }

  QStringList Frames() const {
    QStringList list;
    for (const std::string& f : Sim->frames()) list << QString::fromStdString(f);
    return list;
  }

  std::unique_ptr<Bus> Sim;
  std::set<int> Answering;
  std::unique_ptr<TForm1> Form;
  std::vector<Box> Boxes;
  int Answer = QMessageBox::Ok;
};

inline Converter Configured() {
  Converter c = At(0x0A, "PUMP STATION 7", true);
  c.rs422 = true;
  c.addressModeOn = true;
  c.rs485Baud = 7;     // 38400
  c.rs485Format = 5;   // E,7,1
  c.rs232Baud = 9;     // 115200
  c.rs232Format = 10;  // O,8,1
  c.txFast = false;
  c.stopChar = 0x0A;
  c.appendStop = false;
  c.checksumOn = true;
  c.delimiter = '{';
  c.version = "2.07";
  return c;
}

}  // namespace journeys
