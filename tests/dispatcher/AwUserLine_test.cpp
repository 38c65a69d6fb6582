// Line settings, DTR/RTS, flow control, modem status and line errors.
#include <gtest/gtest.h>

#include "FakeDevice.h"

namespace {

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d.Device.Baud = 9600;
    d.Device.ByteSize = 8;
    d.Device.Parity = 0;
    d.Device.StopBits = 0;
    ASSERT_EQ(d.Open(256, 4096, 9600), 0);
    d.Applied.clear();
    d.Escapes.clear();
  }
  TFakeDispatcher d;
};

TEST(LinePause, EighteenCharactersAtTheSettingsInForce) {
  EXPECT_EQ(EighteenCharPauseMs(9600, 8, 0, 0), 19u);  // 1041 * 10 * 18 = 187380
  EXPECT_EQ(EighteenCharPauseMs(0xFF16, 8, 0, 0), 19u);  // the 9600 code
  EXPECT_EQ(EighteenCharPauseMs(9600, 8, 2, 2), 23u);     // 12 bits
  EXPECT_EQ(EighteenCharPauseMs(300, 7, 1, 0), 600u);     // 33333 * 10 * 18
  // Below one millisecond the pause is doubled: 86 * 10 * 18 = 15480 stays,
  // 8 * 10 * 18 = 1440 becomes 2880, rounded up to 1 ms.
  EXPECT_EQ(EighteenCharPauseMs(115200, 8, 0, 0), 2u);
  EXPECT_EQ(EighteenCharPauseMs(1250000, 8, 0, 0), 1u);
  EXPECT_EQ(EighteenCharPauseMs(0, 8, 0, 0), 0u);  // no speed: no division by zero
}

TEST(LinePause, BaudCodesMapToBitsPerSecond) {
  EXPECT_EQ(BaudFromCode(0xFEFF), 115200u);
  EXPECT_EQ(BaudFromCode(0xFF10), 110u);
  EXPECT_EQ(BaudFromCode(0xFF1B), 38400u);
  EXPECT_EQ(BaudFromCode(0xFF27), 256000u);
  EXPECT_EQ(BaudFromCode(0xFF19), 0xFF19u);  // a gap of the table
  EXPECT_EQ(BaudFromCode(57600), 57600u);
}

TEST_F(LineTest, KeepValuesChangeNothingAndDoNotWaitForOutput) {
  const uint8_t bytes[10] = {};
  ASSERT_EQ(d.PutBytes(bytes, 10), 0);  // output that nobody drains
  const int errorReads = d.ErrorReads;
  EXPECT_EQ(d.SetLineParams(0, 5, 3, 9), 0);
  EXPECT_TRUE(d.Applied.empty());
  EXPECT_EQ(d.ErrorReads, errorReads);  // the drain wait never polled the ring
}

TEST_F(LineTest, AChangeWaitsForTheOutputToDrainThenApplies) {
  const uint8_t bytes[40] = {};
  ASSERT_EQ(d.PutBytes(bytes, 40), 0);
  d.DrainPerPoll = 8;  // the writer sends 8 bytes per poll
  d.DriverOutput = 3;  // and the driver still sends the end of the last frame
  EXPECT_EQ(d.SetLineParams(19200, 2, 2, 7), 0);
  ASSERT_EQ(d.Applied.size(), 1u);
  EXPECT_EQ(d.OutUsedWhenApplied, 0u);
  EXPECT_EQ(d.DriverOutputWhenApplied, 0u);
  const TLineState& s = d.Applied[0];
  EXPECT_EQ(s.Baud, 19200u);
  EXPECT_EQ(s.Parity, 2);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.StopBits, 2);
  EXPECT_TRUE(s.Binary);
  EXPECT_TRUE(s.TxContinueOnXoff);
  EXPECT_FALSE(s.ParityCheck);
  EXPECT_EQ(d.LastBaud, 19200u);
  // DTR and RTS are driven again at their recorded levels.
  EXPECT_EQ(d.Escapes, (std::vector<int32_t>{EscSetDtr, EscSetRts}));
}

TEST_F(LineTest, StopBitRulesAndFiveDataBits) {
  EXPECT_EQ(d.SetLineParams(0, 5, 2, 5), 0);
  EXPECT_EQ(d.Device.StopBits, 1);  // one and a half, whatever was asked
  EXPECT_EQ(d.SetLineParams(0, 5, 0, 8), 0);
  EXPECT_EQ(d.Device.StopBits, 0);  // 0 means one stop bit
  EXPECT_EQ(d.SetLineParams(0, 5, 7, 9), 0);
  EXPECT_EQ(d.Device.StopBits, 2);  // above two means two

  uint32_t baud;
  uint8_t parity, stop, data;
  d.Device.Baud = 0xFF1B;
  ASSERT_EQ(d.GetLineParams(baud, parity, stop, data), 0);
  EXPECT_EQ(baud, 38400u);
  EXPECT_EQ(stop, 2);
  EXPECT_EQ(data, 8);
}

TEST_F(LineTest, FailedApplyIsReportedAndAFailedReadChangesNothing) {
  d.SetStateResult = -87;
  EXPECT_EQ(d.SetLineParams(1200, 5, 3, 9), -87);
  EXPECT_EQ(d.LastBaud, 115200u);  // nothing was applied yet
  d.SetStateResult = 0;
  d.GetStateResult = -1;
  EXPECT_EQ(d.SetLineParams(2400, 5, 3, 9), -1);
  EXPECT_EQ(d.SetHardwareFlow(100, 10, HwfUseDtr), -1);
  EXPECT_FALSE(d.DtrAuto);
  EXPECT_TRUE(d.Applied.empty());
}

TEST_F(LineTest, DtrUnderHardwareFlowAnswersOneAndStaysAlone) {
  ASSERT_EQ(d.SetHardwareFlow(3000, 400, HwfUseDtr | HwfRequireCts), 0);
  EXPECT_TRUE(d.DtrAuto);
  EXPECT_FALSE(d.RtsAuto);
  const TLineState& s = d.Applied.back();
  EXPECT_EQ(s.DtrControl, TDtrControl::Handshake);
  EXPECT_EQ(s.RtsControl, TRtsControl::On);
  EXPECT_EQ(s.XoffLim, 4096 - 3000);
  EXPECT_EQ(s.XonLim, 400);
  EXPECT_TRUE(s.OutxCtsFlow);
  EXPECT_FALSE(s.OutxDsrFlow);
  d.Escapes.clear();
  EXPECT_EQ(d.DriveDtr(0), 1);
  EXPECT_TRUE(d.Escapes.empty());
  EXPECT_EQ(d.DriveRts(0), 0);
  EXPECT_EQ(d.Escapes, (std::vector<int32_t>{EscClrRts}));

  TFlowOptions flow = d.GetFlowOptions();
  EXPECT_EQ(flow.Hardware, HwfUseDtr | HwfRequireCts);
  EXPECT_EQ(flow.Software, 0u);
}

TEST_F(LineTest, BadFlowThresholdsAreRefusedWithoutChange) {
  EXPECT_EQ(d.SetHardwareFlow(3000, 4000, HwfUseRts), ecode::BadArgument);
  EXPECT_EQ(d.SetHardwareFlow(5000, 100, HwfUseRts), ecode::BadArgument);  // above InSize
  EXPECT_EQ(d.SetSoftwareFlow(10, 20, SwfReceive), ecode::BadArgument);
  EXPECT_FALSE(d.RtsAuto);
  EXPECT_TRUE(d.Applied.empty());
  EXPECT_EQ(d.SetHardwareFlow(4096, 4096, 0), 0);  // the limits themselves are fine
}

TEST_F(LineTest, SoftwareFlowAndRs485Toggle) {
  ASSERT_EQ(d.SetSoftwareFlow(3000, 1000, SwfReceive | SwfTransmit), 0);
  TFlowOptions flow = d.GetFlowOptions();
  EXPECT_EQ(flow.Software, SwfReceive | SwfTransmit);
  EXPECT_EQ(flow.XonChar, 0x11);
  EXPECT_EQ(flow.XoffChar, 0x13);
  ASSERT_EQ(d.SetFlowChars('Q', 'S'), 0);
  EXPECT_EQ(d.GetFlowOptions().XonChar, 'Q');
  ASSERT_EQ(d.ClearSoftwareFlow(), 0);
  EXPECT_EQ(d.GetFlowOptions().Software, 0u);
  EXPECT_EQ(d.GetFlowOptions().XoffChar, 'S');

  d.SetRS485Mode(true);
  ASSERT_EQ(d.SetHardwareFlow(100, 10, 0), 0);
  EXPECT_EQ(d.Device.RtsControl, TRtsControl::Toggle);
  EXPECT_EQ(d.GetFlowOptions().Hardware, HwfUseRts);  // toggle carries the handshake bit
  EXPECT_EQ(d.DriveRts(1), 1);
}

TEST_F(LineTest, EscapeFailureIsBadArgumentButTheLevelIsRecorded) {
  d.EscapeResult = -1;
  EXPECT_EQ(d.DriveDtr(0), ecode::BadArgument);
  EXPECT_FALSE(d.DtrState);
}

TEST_F(LineTest, LineErrorsByPriorityWithTheBreakLeftForTakeBreak) {
  d.LineErrors = LineErrOverrun | LineErrFraming | LineErrBreak;
  EXPECT_EQ(d.TakeLineError(), 2);
  EXPECT_EQ(d.LineErrors, LineErrBreak);
  EXPECT_EQ(d.TakeLineError(), 9);
  EXPECT_EQ(d.TakeLineError(), 9);  // still pending
  EXPECT_TRUE(d.TakeBreak());
  EXPECT_FALSE(d.TakeBreak());
  EXPECT_EQ(d.TakeLineError(), 0);
  d.LineErrors = LineErrParity | LineErrRxOverflow;
  EXPECT_EQ(d.TakeLineError(), 1);
  EXPECT_EQ(d.TakeLineError(), 0);
}

TEST_F(LineTest, ModemStatusKeepsDeltasUntilReadAndReportsRing) {
  d.ModemLines = ModemCts | ModemDcd;
  d.RefreshModemStatus();
  EXPECT_EQ(d.ModemStatus, 0x90u | 0x01u | 0x08u);  // lines and their changes
  d.RingSeen = true;
  EXPECT_EQ(d.ReadModemStatus(0xF0), 0x90 | 0x01 | 0x08 | 0x04);
  EXPECT_EQ(d.ModemStatus, 0x90u);  // the read with keep 0xF0 dropped the deltas
  EXPECT_FALSE(d.RingSeen);
  d.ModemLines = ModemDsr | ModemRi;
  d.RefreshModemStatus();
  EXPECT_EQ(d.ModemStatus, 0x60u | 0x0Fu);  // every line changed
}

}  // namespace
