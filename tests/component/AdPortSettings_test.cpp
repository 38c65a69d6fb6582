// The port component's setters and loading switch on a closed port, and
// the same setters pushing to an open pseudo-terminal.
#include <gtest/gtest.h>

#include <QThread>

#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AdExcept.h"
#include "AdPort.h"
#include "AwPosix.h"
#include "PortTestSupport.h"

using namespace porttest;

TEST(AdPortSettings, DefaultsOfTheComponent) {
  TApdComPort port;
  EXPECT_EQ(port.ComNumber(), 0);
  EXPECT_EQ(port.Baud(), 19200);
  EXPECT_TRUE(port.PromptForPort());
  EXPECT_TRUE(port.AutoOpen());
  EXPECT_FALSE(port.Open());
  EXPECT_TRUE(port.DTR());
  EXPECT_TRUE(port.RTS());
  EXPECT_EQ(port.InSize(), 4096);
  EXPECT_EQ(port.TraceName(), "QELT.TRC");
  EXPECT_EQ(port.LogName(), "QELT.LOG");
  EXPECT_EQ(port.AvailThreshold(), 1);
  EXPECT_EQ(port.PortPhase(), phClosed);
  EXPECT_EQ(port.TapiMode(), tmAuto);
  port.SetVersion("v9");
  EXPECT_EQ(port.Version(), "v4.05");
}

TEST(AdPortSettings, BufferThresholdsFollowTheFlowOptions) {
  TApdComPort port;
  port.SetBufferFull(5000);  // above InSize 4096, no flow control
  EXPECT_EQ(port.BufferFull(), 4500);
  port.SetHWFlowOptions(hwfRequireDSR);
  EXPECT_EQ(port.BufferFull(), 3686);
  EXPECT_EQ(port.BufferResume(), 409);

  port.SetBufferResume(4000);  // above BufferFull
  EXPECT_EQ(port.BufferResume(), 368);

  TApdComPort soft;
  soft.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(soft.BufferFull(), 3072);
  EXPECT_EQ(soft.BufferResume(), 1024);
}

TEST(AdPortSettings, TraceAndLogSizesAreCapped) {
  TApdComPort port;
  port.SetTraceSize(5000000);
  EXPECT_EQ(port.TraceSize(), 4000000u);
  port.SetLogSize(20000000);
  EXPECT_EQ(port.LogSize(), 16000000u);
  port.SetTraceSize(1234);
  EXPECT_EQ(port.TraceSize(), 1234u);
}

TEST(AdPortSettings, ClosedPortKeepsOnlyTracingOnOrOff) {
  TApdComPort port;
  port.SetTracing(tlDump);
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetTracing(tlPause);
  EXPECT_EQ(port.Tracing(), tlOff);
  port.SetTracing(tlOn);
  EXPECT_EQ(port.Tracing(), tlOn);
  port.SetLogging(tlAppend);
  EXPECT_EQ(port.Logging(), tlOff);
}

TEST(AdPortSettings, Rs485ModeAndRtsFlowExcludeEachOther) {
  TApdComPort port;
  port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS | hwfUseDTR);
  port.SetRS485Mode(true);
  EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR);
  EXPECT_FALSE(port.RTS());
  EXPECT_TRUE(port.RS485Mode());

  port.SetHWFlowOptions(hwfUseDTR | hwfRequireCTS);
  EXPECT_FALSE(port.RS485Mode());
  port.SetRS485Mode(true);
  port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS);
  EXPECT_FALSE(port.RS485Mode());
}

TEST(AdPortSettings, UseMsrShadowStaysTrue) {
  TApdComPort port;
  port.SetUseMSRShadow(false);
  EXPECT_TRUE(port.UseMSRShadow());
}

TEST(AdPortSettings, OnlyTheWin32LayerIsAccepted) {
  TApdComPort port;
  port.SetDeviceLayer(dlWinsock);
  EXPECT_EQ(port.DeviceLayer(), dlWin32);
}

TEST(AdPortSettings, CopyTakesSettingsAndEventsButNotTheOpenState) {
  PtyPeer peer;
  PortName com1(1, peer.SlavePath());
  TApdComPort source;
  source.SetComNumber(1);
  source.SetBaud(4800);
  source.SetTraceName("copy.trc");
  // Every other copied setting away from its default.
  source.SetParity(pEven);
  source.SetDataBits(7);
  source.SetStopBits(2);
  source.SetInSize(2048);
  source.SetOutSize(1024);
  source.SetAutoOpen(false);
  source.SetPromptForPort(false);
  source.SetDTR(false);
  source.SetRTS(false);
  source.SetXOnChar(1);
  source.SetXOffChar(2);
  source.SetTraceSize(777);
  source.SetTraceHex(false);
  source.SetTraceAllHex(true);
  source.SetLogSize(888);
  source.SetLogName("copy.log");
  source.SetLogHex(false);
  source.SetLogAllHex(true);
  source.SetAvailThreshold(3);
  source.SetTapiMode(tmOff);
  source.SetSWFlowOptions(swfTransmit);
  source.SetBufferFull(1500);
  source.SetBufferResume(300);
  source.SetThreadPriorityBoost(2);
  source.SetRS485Mode(true);
  source.SetLogging(tlOn);
  source.SetTracing(tlOn);
  int dataEvents = 0;
  source.SetOnTriggerData([&](TApdCustomComPort*, uint16_t) { ++dataEvents; });
  source.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t) { ++dataEvents; });
  int statusEvents = 0, timerEvents = 0;
  source.SetOnTriggerStatus([&](TApdCustomComPort*, uint16_t) { ++statusEvents; });
  source.SetOnTriggerTimer([&](TApdCustomComPort*, uint16_t) { ++timerEvents; });
  int opened = 0, closed = 0;
  source.SetOnPortOpen([&](TApdCustomComPort*) { ++opened; });
  source.SetOnPortClose([&](TApdCustomComPort*) { ++closed; });
  int calls = 0;
  source.SetOnTrigger([&](TApdCustomComPort*, uint16_t, uint16_t, uint16_t) { ++calls; });
  source.SetOpen(true);
  const uint16_t timer = source.NewTimerTrigger();

  std::vector<TApdCustomComPort*> toldOfOpening;
  TPortListener listener;
  listener.Callback = [&](TApdCustomComPort* port, bool opening) {
    if (opening) toldOfOpening.push_back(port);
  };
  source.AddPortListener(listener);

  TApdComPort copy;
  copy.Assign(source);
  EXPECT_EQ(copy.ComNumber(), 1);
  EXPECT_EQ(copy.Baud(), 4800);
  EXPECT_EQ(copy.TraceName(), "copy.trc");
  EXPECT_EQ(copy.Parity(), pEven);
  EXPECT_EQ(copy.DataBits(), 7);
  EXPECT_EQ(copy.StopBits(), 2);
  EXPECT_EQ(copy.InSize(), 2048);
  EXPECT_EQ(copy.OutSize(), 1024);
  EXPECT_FALSE(copy.AutoOpen());
  EXPECT_FALSE(copy.PromptForPort());
  EXPECT_FALSE(copy.DTR());
  EXPECT_FALSE(copy.RTS());
  EXPECT_EQ(copy.XOnChar(), 1);
  EXPECT_EQ(copy.XOffChar(), 2);
  EXPECT_EQ(copy.TraceSize(), 777u);
  EXPECT_FALSE(copy.TraceHex());
  EXPECT_TRUE(copy.TraceAllHex());
  EXPECT_EQ(copy.LogSize(), 888u);
  EXPECT_EQ(copy.LogName(), "copy.log");
  EXPECT_FALSE(copy.LogHex());
  EXPECT_TRUE(copy.LogAllHex());
  EXPECT_EQ(copy.AvailThreshold(), 3);
  EXPECT_EQ(copy.TapiMode(), tmOff);
  EXPECT_EQ(copy.SWFlowOptions(), swfTransmit);
  ASSERT_NE(source.BufferResume(), TApdComPort().BufferResume());
  EXPECT_EQ(copy.BufferFull(), source.BufferFull());
  EXPECT_EQ(copy.BufferResume(), source.BufferResume());
  EXPECT_EQ(copy.ThreadPriorityBoost(), 2);
  EXPECT_TRUE(copy.RS485Mode());
  EXPECT_EQ(copy.Logging(), tlOn);
  EXPECT_EQ(copy.Tracing(), tlOn);
  ASSERT_TRUE(copy.OnTriggerData() && copy.OnTriggerAvail());
  copy.OnTriggerData()(&copy, 0);
  copy.OnTriggerAvail()(&copy, 0);
  EXPECT_EQ(dataEvents, 2);
  ASSERT_TRUE(copy.OnTriggerStatus() && copy.OnTriggerTimer());
  copy.OnTriggerStatus()(&copy, 0);
  copy.OnTriggerTimer()(&copy, 0);
  EXPECT_EQ(statusEvents + timerEvents, 2);
  ASSERT_TRUE(copy.OnPortOpen() && copy.OnPortClose());
  copy.OnPortOpen()(&copy);
  copy.OnPortClose()(&copy);
  EXPECT_EQ(opened, 2);  // the source's own open, and the copy's call
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(copy.Open());
  ASSERT_TRUE(copy.OnTrigger());
  copy.OnTrigger()(&copy, 0, 0, 0);
  EXPECT_EQ(calls, 1);
  // The open source's triggers come along: its timer handle is the copy's.
  source.SetOpen(false);
  copy.SetOpen(true);
  EXPECT_NO_THROW(copy.ArmTimerTrigger(timer, 5, true));
  // So do its listeners.
  EXPECT_EQ(toldOfOpening, (std::vector<TApdCustomComPort*>{&copy}));
  copy.SetOpen(false);
  std::remove("copy.log");  // what the closes wrote
}

// A copy onto an open port says it is not open and closes nothing: the
// device stays held until the port goes.
TEST(AdPortSettings, CopyOntoAnOpenPortClosesNothing) {
  PtyPeer peer;
  PortName com1(1, peer.SlavePath());
  TApdComPort port;
  port.SetComNumber(1);
  port.SetOpen(true);
  TApdComPort source;
  source.SetBaud(4800);
  source.SetHWFlowOptions(hwfRequireDSR);
  port.Assign(source);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.Baud(), 4800);
  EXPECT_EQ(port.HWFlowOptions(), hwfRequireDSR);
  EXPECT_NE(port.Dispatcher(), nullptr);
  EXPECT_TRUE(HoldsDescriptorOf(peer.SlavePath()));
}

// --- loading

TEST(AdPortLoading, OpenWhileLoadingWaitsForTheEndOfLoading) {
  PtyPeer peer;
  PortName com1(1, peer.SlavePath());
  TApdComPort port;
  port.BeginLoading();
  port.SetComNumber(1);
  port.SetOpen(true);
  EXPECT_TRUE(port.OpenAfterLoad());
  EXPECT_TRUE(port.Open());  // the stored flag, no device yet
  EXPECT_EQ(port.PortPhase(), phClosed);
  EXPECT_FALSE(HoldsDescriptorOf(peer.SlavePath()));
  port.EndLoading();
  EXPECT_EQ(port.PortPhase(), phOpen);
  EXPECT_TRUE(port.Open());
  EXPECT_FALSE(port.OpenAfterLoad());
}

// A True read from the form description opens the port at the end of
// loading, even when a later False only changed the stored flag.
TEST(AdPortLoading, FalseAfterTrueWhileLoadingChangesOnlyTheStoredFlag) {
  PtyPeer peer;
  PortName com1(1, peer.SlavePath());
  TApdComPort port;
  port.BeginLoading();
  port.SetComNumber(1);
  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_FALSE(port.Open());
  EXPECT_TRUE(port.OpenAfterLoad());
  port.EndLoading();
  EXPECT_EQ(port.PortPhase(), phOpen);
}

TEST(AdPortLoading, FailedOpenAtTheEndOfLoadingIsReportedNotRaised) {
  PortName com4(4, "/nonexistent/krm-port");
  std::vector<std::string> reports;
  SetApplicationExceptionReport([&](const std::exception& e) { reports.push_back(e.what()); });
  TApdComPort port;
  port.BeginLoading();
  port.SetComNumber(4);
  port.SetOpen(true);
  EXPECT_NO_THROW(port.EndLoading());
  SetApplicationExceptionReport(nullptr);
  EXPECT_FALSE(port.Open());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "ie_BadId - Specified comport doesn't exist");
}

// --- setters on an open port

class AdPortOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    Port.SetComNumber(1);
    Port.SetBaud(9600);
    Port.SetAutoOpen(false);
  }
  PtyPeer Peer;
  PortName Com1{1, Peer.SlavePath()};
  TApdComPort Port;
};

TEST_F(AdPortOpen, BaudOnAClosedPortOnlyStoresAndTheNextOpenUsesIt) {
  Port.SetBaud(4800);
  termios closed = Peer.Settings();
  EXPECT_NE(cfgetospeed(&closed), B4800);
  Port.SetOpen(true);
  termios open = Peer.Settings();
  EXPECT_EQ(cfgetospeed(&open), B4800);

  Port.SetBaud(19200);  // takes effect on the open device at once
  termios changed = Peer.Settings();
  EXPECT_EQ(cfgetospeed(&changed), B19200);
  EXPECT_EQ(Port.Baud(), 19200);
}

TEST_F(AdPortOpen, DataBitsAndParityReachTheDevice) {
  Port.SetOpen(true);
  Port.SetStopBits(2);
  termios t = Peer.Settings();
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  Port.SetStopBits(1);
  t = Peer.Settings();
  EXPECT_FALSE(t.c_cflag & CSTOPB);
}

TEST_F(AdPortOpen, OpenTwiceOrCloseTwiceChangesNothing) {
  Port.SetOpen(true);
  TApdBaseDispatcher* first = Port.Dispatcher();
  Port.SetOpen(true);
  EXPECT_EQ(Port.Dispatcher(), first);
  Port.SetOpen(false);
  Port.SetOpen(false);
  EXPECT_EQ(Port.PortPhase(), phClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  // A closed port has no line errors and saw no break.
  EXPECT_EQ(Port.LineErrorCode(), 0);
  EXPECT_FALSE(Port.LineBreakSeen());
  Port.SetOpen(true);
  EXPECT_FALSE(Port.LineBreakSeen());
  Port.SetOpen(false);
}

// An operation the device refuses raises; one that fails because the device
// went away is the loss, told once, and no error of the call.
TEST_F(AdPortOpen, AFailedSendRaisesUnlessTheDeviceIsGone) {
  Port.SetOutSize(16);
  Port.SetOpen(true);
  EXPECT_ANY_THROW(Port.SendText(std::string(17, 'x')));
  EXPECT_TRUE(Port.Open());
  int lost = 0;
  Port.SetOnPortLost([&](TApdCustomComPort*) { ++lost; });
  Peer.Close();
  // The window's thread has not yet heard of the loss when it sends.
  ASSERT_TRUE(WaitBlocked([&] { return Port.Dispatcher()->DeviceGone(); }));
  EXPECT_NO_THROW(Port.SendText("x"));
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(lost, 1);
  PumpFor(200ms);
  EXPECT_EQ(lost, 1);
}

// A port that goes away while open closes as if asked to: its owner hears
// of the close and the device is let go.
TEST_F(AdPortOpen, DestroyingAnOpenPortClosesIt) {
  auto port = std::make_unique<TApdComPort>();
  port->SetComNumber(1);
  port->SetAutoOpen(false);
  port->SetOpen(true);
  ASSERT_TRUE(HoldsDescriptorOf(Peer.SlavePath()));
  int closed = 0;
  port->SetOnPortClose([&](TApdCustomComPort*) { ++closed; });
  port.reset();
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(HoldsDescriptorOf(Peer.SlavePath()));
}

TEST_F(AdPortOpen, TraceSizeChangeRestartsARunningTrace) {
  Port.SetOpen(true);
  Port.SetTracing(tlOn);
  EXPECT_EQ(Port.Tracing(), tlOn);
  EXPECT_TRUE(Port.Dispatcher()->Trace.On());
  Port.SetTraceSize(500);
  EXPECT_EQ(Port.Tracing(), tlOn);
  EXPECT_TRUE(Port.Dispatcher()->Trace.On());
  Port.SetTracing(tlPause);
  EXPECT_EQ(Port.Tracing(), tlPause);
  EXPECT_FALSE(Port.Dispatcher()->Trace.On());
  Port.SetTracing(tlOff);
  EXPECT_EQ(Port.Tracing(), tlOff);
  EXPECT_FALSE(Port.Dispatcher()->Trace.HasBuffer());
}

TEST_F(AdPortOpen, TracingOnIsRememberedOnAClosedPortAndStartsAtOpen) {
  Port.SetTracing(tlOn);
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Dispatcher()->Trace.On());
}

TEST_F(AdPortOpen, ClosingWithTracingOnWritesTheTraceFile) {
  std::string name = testing::TempDir() + "krm_close_trace.trc";
  FILE* old = fopen(name.c_str(), "w");
  ASSERT_NE(old, nullptr);
  fputs("an older trace that must be replaced\n", old);
  fclose(old);

  Port.SetTraceName(name);
  Port.SetTracing(tlOn);
  Port.SetOpen(true);
  Port.SendText("AB");
  ASSERT_EQ(Peer.Read(2), "AB");
  Port.SetOpen(false);
  EXPECT_EQ(Port.Tracing(), tlOff);

  FILE* file = fopen(name.c_str(), "r");
  ASSERT_NE(file, nullptr);
  std::string text;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, file)) text += buffer;
  fclose(file);
  EXPECT_EQ(text.find("older"), std::string::npos);
  EXPECT_NE(text.find("Transmit"), std::string::npos) << text;
  EXPECT_NE(text.find("AB"), std::string::npos) << text;
  remove(name.c_str());
}

TEST_F(AdPortOpen, DtrFlowThatLinuxLacksRaisesAndLeavesDtrToTheProgram) {
  Port.SetOpen(true);
  Port.SetDTR(false);
  EXPECT_FALSE(Port.DTR());
  try {
    Port.SetHWFlowOptions(hwfUseDTR);
    ADD_FAILURE() << "DTR/DSR flow reported as applied";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "Operation not supported");
  }
  EXPECT_EQ(Port.HWFlowOptions(), hwfUseDTR);  // stored, as every refused setting
  Port.SetDTR(true);  // no driver owns DTR: the level is the program's
  EXPECT_TRUE(Port.DTR());
  // The next open pushes it again, and fails saying why.
  Port.SetOpen(false);
  EXPECT_THROW(Port.SetOpen(true), EInOutError);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.LastFailure(), "COM1 (" + Peer.SlavePath() + "): Operation not supported");
}

TEST_F(AdPortOpen, RefusedLineSettingRaisesButStaysStored) {
  Port.SetOpen(true);
  EXPECT_THROW(Port.SetBaud(123), Exception);
  EXPECT_EQ(Port.Baud(), 123);
}

// A trace or log that cannot be written still lets the port close; the
// dump's error comes at the end. The log names the device it recorded.
TEST_F(AdPortOpen, CloseCompletesWhenTheTraceCannotBeWrittenAndTheLogNamesItsPort) {
  const std::string log = testing::TempDir() + "krm_close_log.log";
  Port.SetTraceName("/nonexistent/krm/close.trc");
  Port.SetTracing(tlOn);
  Port.SetLogName(log);
  Port.SetLogging(tlOn);
  Port.SetOpen(true);
  Port.SendText("AB");
  ASSERT_EQ(Peer.Read(2), "AB");
  EXPECT_THROW(Port.SetOpen(false), Exception);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortPhase(), phClosed);
  FILE* file = fopen(log.c_str(), "r");
  ASSERT_NE(file, nullptr) << "the log was not written after the trace failed";
  std::string text;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, file)) text += buffer;
  fclose(file);
  EXPECT_NE(text.find("Device: COM1"), std::string::npos) << text;
  remove(log.c_str());
}

TEST_F(AdPortOpen, FlowCharactersSetWhileClosedReachTheDeviceAtOpen) {
  Port.SetXOnChar(0x01);
  Port.SetXOffChar(0x02);
  Port.SetOpen(true);
  const termios settings = Peer.Settings();
  EXPECT_EQ(settings.c_cc[VSTART], 0x01);
  EXPECT_EQ(settings.c_cc[VSTOP], 0x02);
}

// The dispatcher comes from the factory when one is set, a new one for each
// opening, and each gets the port's settings: UseEventWord's bit, RS-485
// mode and the thread boost among them.
TEST_F(AdPortOpen, EachOpeningTakesANewDispatcherFromTheFactoryWithTheStoredSettings) {
  std::vector<TApdBaseDispatcher*> made;
  Port.SetDispatcherFactory([&](TApdCustomComPort* owner) {
    made.push_back(new TApdPosixDispatcher(owner));
    return made.back();
  });
  constexpr uint32_t EventWordBit = 0x10;
  Port.SetOpen(true);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(Port.Dispatcher(), made[0]);
  EXPECT_EQ(made[0]->Options & EventWordBit, EventWordBit);
  EXPECT_FALSE(made[0]->RS485Mode);
  Port.SetOpen(false);
  Port.SetRS485Mode(true);
  Port.SetThreadPriorityBoost(1);
  Port.SetUseEventWord(false);
  Port.SetOpen(true);
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(Port.Dispatcher(), made[1]);
  EXPECT_EQ(made[1]->Options & EventWordBit, 0u);
  EXPECT_TRUE(made[1]->RS485Mode);
  EXPECT_EQ(made[1]->ThreadBoost, 1);
  Port.SetUseEventWord(true);
  EXPECT_EQ(made[1]->Options & EventWordBit, EventWordBit);
  Port.SetOpen(false);
}

// The opening itself sets DTR and RTS at their stored levels, before any
// line setting reaches the device; a line under flow control is left to the
// driver from the first moment.
TEST_F(AdPortOpen, TheOpeningDrivesDtrAndRtsAsStoredBeforeTheLineIsSet) {
  struct Recording : TApdPosixDispatcher {
    Recording(TApdCustomComPort* owner, std::vector<int32_t>& escapes)
        : TApdPosixDispatcher(owner), escapes_(escapes) {}
    int32_t EscapeFunction(int32_t code) override {
      if (!lineSet_) escapes_.push_back(code);
      return TApdPosixDispatcher::EscapeFunction(code);
    }
    int32_t SetDeviceState(const TLineState& state) override {
      lineSet_ = true;
      return TApdPosixDispatcher::SetDeviceState(state);
    }
    std::vector<int32_t>& escapes_;
    bool lineSet_ = false;
  };
  std::vector<int32_t> escapes;
  Port.SetDispatcherFactory([&](TApdCustomComPort* owner) {
    escapes.clear();
    return new Recording(owner, escapes);
  });
  Port.SetDTR(true);
  Port.SetRTS(false);
  Port.SetOpen(true);
  EXPECT_EQ(escapes, (std::vector<int32_t>{EscSetDtr, EscClrRts}));
  Port.SetOpen(false);

  Port.SetDTR(false);
  Port.SetRTS(true);
  Port.SetHWFlowOptions(hwfUseRTS);
  // A pseudo-terminal has no RTS/CTS flow, so this opening fails after the
  // device was opened; what the opening did first is what counts here.
  EXPECT_THROW(Port.SetOpen(true), EInOutError);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(escapes, (std::vector<int32_t>{EscClrDtr}));
}

// There is no telephony line service: such an open fails with its own code,
// holds nothing, and the next ordinary open works.
TEST_F(AdPortOpen, TelephonyOpenFailsAndLeavesThePortClosed) {
  Port.SetTapiMode(tmOn);
  EXPECT_THROW(Port.SetOpen(true), ENotOpenedByTapi);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_FALSE(HoldsDescriptorOf(Peer.SlavePath()));
  Port.SetTapiMode(tmOff);
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
  EXPECT_TRUE(HoldsDescriptorOf(Peer.SlavePath()));
  Port.SetOpen(false);
}

// Any one trigger event assigned while the port is open asks the dispatcher
// for notices; taking it away again stops them.
TEST_F(AdPortOpen, EachTriggerEventAloneSwitchesNoticesOnAndOff) {
  const std::vector<std::function<void(bool)>> assign = {
      [&](bool on) { Port.SetOnTrigger(on ? [](TApdCustomComPort*, uint16_t, uint16_t, uint16_t) {} : TTriggerEvent()); },
      [&](bool on) { Port.SetOnTriggerAvail(on ? [](TApdCustomComPort*, uint16_t) {} : TTriggerAvailEvent()); },
      [&](bool on) { Port.SetOnTriggerData(on ? [](TApdCustomComPort*, uint16_t) {} : TTriggerDataEvent()); },
      [&](bool on) { Port.SetOnTriggerStatus(on ? [](TApdCustomComPort*, uint16_t) {} : TTriggerStatusEvent()); },
      [&](bool on) { Port.SetOnTriggerTimer(on ? [](TApdCustomComPort*, uint16_t) {} : TTriggerTimerEvent()); },
      [&](bool on) {
        Port.SetOnTriggerLineError(on ? [](TApdCustomComPort*, uint16_t, bool) {} : TTriggerLineErrorEvent());
      },
      [&](bool on) { Port.SetOnTriggerModemStatus(on ? [](TApdCustomComPort*) {} : TPortNotifyEvent()); },
      [&](bool on) { Port.SetOnTriggerOutbuffFree(on ? [](TApdCustomComPort*) {} : TPortNotifyEvent()); },
      [&](bool on) { Port.SetOnTriggerOutbuffUsed(on ? [](TApdCustomComPort*) {} : TPortNotifyEvent()); },
      [&](bool on) { Port.SetOnTriggerOutSent(on ? [](TApdCustomComPort*) {} : TPortNotifyEvent()); },
  };
  Port.SetOpen(true);
  ASSERT_FALSE(Port.Dispatcher()->OwnerHandlerInstalled);
  for (size_t i = 0; i < assign.size(); ++i) {
    assign[i](true);
    EXPECT_TRUE(Port.Dispatcher()->OwnerHandlerInstalled) << "event " << i;
    assign[i](false);
    EXPECT_FALSE(Port.Dispatcher()->OwnerHandlerInstalled) << "event " << i;
  }
}

// A status trigger's notice reaches OnTriggerStatus and the event of its
// own kind, through the dispatcher's thread and the port's window.
TEST_F(AdPortOpen, StatusNoticesReachTheEventOfTheirKind) {
  std::vector<uint16_t> statusHandles;
  std::vector<std::string> heard;
  Port.SetOnTriggerStatus([&](TApdCustomComPort*, uint16_t h) { statusHandles.push_back(h); });
  Port.SetOnTriggerModemStatus([&](TApdCustomComPort*) { heard.push_back("modem"); });
  Port.SetOnTriggerOutbuffFree([&](TApdCustomComPort*) { heard.push_back("free"); });
  Port.SetOnTriggerOutbuffUsed([&](TApdCustomComPort*) { heard.push_back("used"); });
  Port.SetOnTriggerOutSent([&](TApdCustomComPort*) { heard.push_back("sent"); });
  Port.SetOpen(true);
  TApdBaseDispatcher* dispatcher = Port.Dispatcher();
  TriggerSnapshot triggers;
  dispatcher->SaveTriggerSet(triggers);
  // Each armed so that it fires as soon as it is checked; the modem one asks
  // for CTS to differ from the level it has now.
  const uint16_t ctsNow = dispatcher->ModemStatus & 0x10;
  triggers.StatusTriggers = {
      {8 | StatusModem, StatusModem, static_cast<uint16_t>(0x1000 | (ctsNow ^ 0x10)), 1, 0},
      {16 | StatusOutFree, StatusOutFree, 1, 1, 0},
      {24 | StatusOutUsed, StatusOutUsed, 0, 1, 0},
      {32 | StatusOutSent, StatusOutSent, 0, 1, 0},
  };
  dispatcher->RestoreTriggerSet(triggers);
  Port.SendText("x");
  ASSERT_TRUE(WaitFor([&] { return heard.size() >= 4; })) << heard.size();
  PumpFor(100ms);  // each fires once
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(heard, (std::vector<std::string>{"free", "modem", "sent", "used"}));
  std::sort(statusHandles.begin(), statusHandles.end());
  EXPECT_EQ(statusHandles, (std::vector<uint16_t>{8 | StatusModem, 16 | StatusOutFree,
                                                  24 | StatusOutUsed, 32 | StatusOutSent}));
  // The wait-character event is raised only by its own call.
  std::string waited;
  Port.SetOnWaitChar([&](TApdCustomComPort*, char c) { waited += c; });
  Port.DoWaitChar('K');
  EXPECT_EQ(waited, "K");
  Port.SetOpen(false);
}

// Listeners hear of open, closing and close: a plain callback of open and
// close, an extended one of all three, newest listener first.
TEST_F(AdPortOpen, ListenersAreToldOfOpenClosingAndClose) {
  std::vector<std::string> heard;
  TPortListener plain;
  plain.Callback = [&](TApdCustomComPort*, bool opening) {
    heard.push_back(opening ? "plain open" : "plain close");
  };
  TPortListener extended;
  extended.Extended = true;
  extended.ExtendedCallback = [&](TApdCustomComPort*, TApdPortState state) {
    heard.push_back(state == psOpen ? "ext open" : state == psClosing ? "ext closing" : "ext closed");
  };
  // Listeners without a callback of their kind hear nothing.
  TPortListener silentPlain;
  TPortListener silentExtended;
  silentExtended.Extended = true;
  silentExtended.Callback = [&](TApdCustomComPort*, bool) { heard.push_back("wrong kind"); };
  const int32_t silentIds[] = {Port.AddPortListener(silentPlain), Port.AddPortListener(silentExtended)};
  const int32_t plainId = Port.AddPortListener(plain);
  const int32_t id = Port.AddPortListener(extended);
  Port.SetOnPortOpen([&](TApdCustomComPort*) { heard.push_back("OnPortOpen"); });
  Port.SetOpen(true);
  Port.SetOpen(false);
  EXPECT_EQ(heard, (std::vector<std::string>{"ext open", "plain open", "OnPortOpen", "ext closing",
                                             "ext closed", "plain close"}));
  Port.RemovePortListener(id);
  heard.clear();
  Port.SetOpen(true);
  EXPECT_EQ(heard, (std::vector<std::string>{"plain open", "OnPortOpen"}));
  // The fixture's port closes after this body; its listeners must not outlive `heard`.
  Port.SetOpen(false);
  Port.RemovePortListener(plainId);
  for (int32_t silent : silentIds) Port.RemovePortListener(silent);
  Port.SetOnPortOpen(nullptr);
}
