// Opening and closing: the order of the device calls, and every failure
// path undoing what was done before it.
#include <gtest/gtest.h>

#include "FakeDevice.h"

namespace {

TEST(OpenDevice, AnOutputRingOfNoBytesIsRefusedBeforeTheDeviceIsTouched) {
  TFakeDispatcher d;
  EXPECT_EQ(d.Open(0), ecode::OutputBufferTooSmall);
  EXPECT_EQ(d.HandlesOpened, 0);
  EXPECT_EQ(d.ThreadStarts, 0);
  EXPECT_EQ(d.DeviceHandle, -1);
  const uint8_t byte = 'x';
  EXPECT_EQ(d.PutBytes(&byte, 1), ecode::CommNotOpen);
  EXPECT_EQ(d.Open(1), 0);  // the smallest ring that can take a block
  EXPECT_EQ(d.PutBytes(&byte, 1), 0);
}

TEST(OpenDevice, SetsUpRingsLinesAndThreads) {
  TFakeDispatcher d;
  d.ModemLines = ModemDsr;
  d.ErrorBits = LineErrOverrun;
  ASSERT_EQ(d.OpenDevice("\\\\.\\COM2", 19200, LineFlagDtr | LineFlagRtsFlow, 300, 2048, 2, 7, 2), 0);
  EXPECT_EQ(d.DeviceHandle, 7);
  EXPECT_EQ(d.InBuffer.size(), InRingSize);
  EXPECT_EQ(d.OutBuffer.size(), 300u);
  EXPECT_EQ(d.OutBufferSize, 300u);
  EXPECT_EQ(d.InQueueSize, 2048u);
  EXPECT_FALSE(d.DtrAuto);
  EXPECT_TRUE(d.RtsAuto);
  EXPECT_TRUE(d.DtrState);
  EXPECT_EQ(d.Escapes.front(), EscSetDtr);  // RTS is the driver's
  EXPECT_EQ(d.ModemStatus, 0x20u);
  ASSERT_EQ(d.Applied.size(), 1u);
  EXPECT_EQ(d.Applied[0].Baud, 19200u);
  EXPECT_EQ(d.Applied[0].ByteSize, 7);
  EXPECT_EQ(d.Applied[0].Parity, 2);
  EXPECT_EQ(d.Applied[0].StopBits, 2);
  EXPECT_EQ(d.LineErrors, LineErrOverrun);
  EXPECT_EQ(d.ThreadStarts, 1);
  EXPECT_FALSE(d.Trace.On());
  EXPECT_FALSE(d.Log.On());

  d.CloseDevice();
  EXPECT_EQ(d.DeviceHandle, -1);
  EXPECT_EQ(d.HandlesClosed, 1);
  EXPECT_EQ(d.ThreadStops, 1);
  EXPECT_TRUE(d.InBuffer.empty());
  EXPECT_TRUE(d.OutBuffer.empty());
  EXPECT_EQ(d.Purges, (std::vector<bool>{false, true}));  // output, then input
}

struct Failure {
  const char* Name;
  void (*Arrange)(TFakeDispatcher&);
  int32_t Code;
  int HandlesClosed;
};

class OpenFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(OpenFailure, ReturnsTheCodeAndUndoesEverything) {
  const Failure& f = GetParam();
  TFakeDispatcher d;
  f.Arrange(d);
  const uint8_t byte = 'x';
  EXPECT_EQ(d.Open(), f.Code);
  EXPECT_EQ(d.HandlesClosed, f.HandlesClosed);
  EXPECT_EQ(d.DeviceHandle, -1);
  EXPECT_TRUE(d.InBuffer.empty());
  EXPECT_TRUE(d.OutBuffer.empty());
  EXPECT_EQ(d.ThreadStarts, 0);
  EXPECT_EQ(d.PutBytes(&byte, 1), ecode::CommNotOpen);
  EXPECT_EQ(d.InUsed(), 0u);

  // The same dispatcher object opens once the cause is gone.
  d.OpenResult = 9;
  d.SetupResult = d.GetStateResult = d.SetStateResult = 0;
  EXPECT_EQ(d.Open(), 0);
  EXPECT_EQ(d.DeviceHandle, 9);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, OpenFailure,
    ::testing::Values(
        Failure{"OutOfResources", [](TFakeDispatcher& d) { d.OpenResult = ecode::OutOfMemory; },
                ecode::OutOfMemory, 0},
        Failure{"DeviceBusy", [](TFakeDispatcher& d) { d.OpenResult = -16; }, -16, 0},
        Failure{"Queues", [](TFakeDispatcher& d) { d.SetupResult = -22; }, -22, 1},
        Failure{"ReadState", [](TFakeDispatcher& d) { d.GetStateResult = -1; }, -1, 1},
        Failure{"ApplyState", [](TFakeDispatcher& d) { d.SetStateResult = -87; }, -87, 1}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.Name; });

TEST(Destruction, ClosesAnOpenDeviceAndLeavesThePortList) {
  int32_t handle;
  int closed = 0;
  {
    struct Counting : TFakeDispatcher {
      int* Closed;
      explicit Counting(int* closed) : Closed(closed) {}
      int32_t CloseDeviceHandle() override {
        ++*Closed;
        return 0;
      }
      ~Counting() override { BeforeDestruction(); }
    } d(&closed);
    ASSERT_EQ(d.Open(), 0);
    handle = d.DispatcherHandle;
    EXPECT_EQ(PortList().At(handle), &d);
  }
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(PortList().At(handle), nullptr);
}

TEST(Destruction, AFailedCloseKeepsTheHandle) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.CloseResult = -6;
  d.CloseDevice();
  EXPECT_EQ(d.DeviceHandle, 7);
  EXPECT_TRUE(d.InBuffer.empty());
  d.CloseResult = 0;
}

}  // namespace
