// The input and output rings over the scripted device.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "FakeDevice.h"

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(start + i * 7);
  return bytes;
}

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(d.Open(), 0); }
  // As the dispatcher thread does it: a fill, then the matcher over what came.
  void Fill() {
    d.FillInput();
    d.CheckDataTriggers();
  }
  TFakeDispatcher d;
};

TEST_F(RingTest, FillsUpToExactlyAFullRingAndStopsReading) {
  d.Receive(Pattern(9000));
  Fill();
  EXPECT_EQ(d.InUsed(), 8192u);
  EXPECT_TRUE(d.InFull);
  EXPECT_EQ(d.Driver.size(), 9000u - 8192u);

  size_t readsBefore = d.ReadRequests.size();
  Fill();  // full: nothing is read
  EXPECT_EQ(d.ReadRequests.size(), readsBefore);
  EXPECT_EQ(d.InUsed(), 8192u);

  uint8_t byte;
  ASSERT_EQ(d.GetByte(byte), 0);
  EXPECT_EQ(byte, Pattern(1)[0]);
  EXPECT_FALSE(d.InFull);
  Fill();  // room for exactly one more
  EXPECT_EQ(d.InUsed(), 8192u);
  EXPECT_TRUE(d.InFull);
  EXPECT_EQ(d.Driver.size(), 9000u - 8193u);
}

TEST_F(RingTest, WrapsAroundInTwoReadsAndKeepsOrder) {
  d.Receive(Pattern(8000));
  Fill();
  std::string first = ReadAll(d);
  ASSERT_EQ(first.size(), 8000u);

  auto second = Pattern(500, 3);
  d.Receive(second);
  d.ReadRequests.clear();
  Fill();
  // 192 bytes up to the end of the ring, then the rest at its start.
  ASSERT_EQ(d.ReadRequests.size(), 2u);
  EXPECT_EQ(d.ReadRequests[0], 192u);
  EXPECT_EQ(d.ReadRequests[1], 308u);
  EXPECT_EQ(d.InHead, 308u);

  uint8_t byte;
  ASSERT_EQ(d.PeekByte(500, byte), 0);
  EXPECT_EQ(byte, second[499]);
  EXPECT_EQ(d.PeekByte(501, byte), ecode::BufferIsEmpty);
  std::string got = ReadAll(d);
  EXPECT_EQ(got, std::string(second.begin(), second.end()));
  EXPECT_EQ(d.GetByte(byte), ecode::BufferIsEmpty);
}

TEST_F(RingTest, ShortFirstReadDropsTheSecondPart) {
  d.Receive(Pattern(8100));
  d.FillInput();
  ReadAll(d);  // head and tail at 8100
  d.Receive(Pattern(200));
  d.MaxReadPerCall = 50;
  d.ReadRequests.clear();
  d.FillInput();
  EXPECT_EQ(d.ReadRequests.size(), 1u);
  EXPECT_EQ(d.InUsed(), 50u);
  EXPECT_EQ(d.InHead, 8150u);
}

TEST_F(RingTest, FailedDeviceReadStoresNothingAndTheNextFillReadsAgain) {
  d.Receive(Pattern(10));
  d.ReadResult = -5;
  d.FillInput();
  EXPECT_EQ(d.InUsed(), 0u);
  EXPECT_EQ(d.InHead, 0u);
  EXPECT_FALSE(d.InFull);
  d.ReadResult = 0;
  Fill();
  EXPECT_EQ(d.InUsed(), 10u);
}

TEST_F(RingTest, FlushInputEmptiesRingDriverAndPartialMatches) {
  d.DataTriggers.push_back(MakeDataTrigger(8, "ABC"));
  d.Receive("xyzAB");
  d.FillInput();
  EXPECT_FALSE(d.CheckDataTriggers());
  EXPECT_NE(d.DataTriggers[0].Counters[0], 0u);
  d.Receive("more");
  EXPECT_EQ(d.FlushInput(), 0);
  EXPECT_EQ(d.InUsed(), 0u);
  EXPECT_TRUE(d.Driver.empty());
  EXPECT_EQ(d.DataTriggers[0].Counters[0], 0u);
  EXPECT_EQ(d.Purges.back(), true);
}

TEST_F(RingTest, LineErrorsAccumulateFromEveryRefresh) {
  d.ErrorBits = LineErrParity | 0x100;  // bits above the five are not kept
  d.FillInput();
  d.ErrorBits = LineErrFraming;
  d.InUsed();
  d.OutUsed();
  EXPECT_EQ(d.LineErrors, LineErrParity | LineErrFraming);
}

TEST(OutputRing, ExactFitSetsFullAndOneMoreIsRefusedWhole) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(100), 0);
  auto bytes = Pattern(100);
  ASSERT_EQ(d.PutBytes(bytes.data(), 60), 0);
  EXPECT_EQ(d.OutUsed(), 60u);
  EXPECT_EQ(d.OutFree(), 40u);
  EXPECT_EQ(d.PutBytes(bytes.data(), 41), ecode::OutputBufferTooSmall);
  EXPECT_EQ(d.OutUsed(), 60u);  // nothing of the refused block queued
  EXPECT_FALSE(d.OutFull);
  ASSERT_EQ(d.PutBytes(bytes.data() + 60, 40), 0);
  EXPECT_TRUE(d.OutFull);
  EXPECT_EQ(d.OutUsed(), 100u);
  EXPECT_EQ(d.OutFree(), 0u);
  EXPECT_EQ(d.PutBytes(bytes.data(), 1), ecode::OutputBufferTooSmall);
  EXPECT_EQ(d.Drain(100), bytes);
  EXPECT_EQ(d.PutBytes(bytes.data(), 0), 0);
}

TEST(OutputRing, WrappedBlockKeepsOrderAndEndingAtTheEndLeavesHeadAtZero) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(100), 0);
  auto bytes = Pattern(100, 9);
  ASSERT_EQ(d.PutBytes(bytes.data(), 70), 0);
  d.Drain(70);
  ASSERT_EQ(d.PutBytes(bytes.data(), 30), 0);  // ends exactly at the end
  EXPECT_EQ(d.OutHead, 0u);
  EXPECT_FALSE(d.OutFull);
  ASSERT_EQ(d.PutBytes(bytes.data() + 30, 50), 0);  // starts over at 0
  EXPECT_EQ(d.OutUsed(), 80u);
  EXPECT_EQ(d.Drain(100), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 80));
}

TEST(OutputRing, RejectedQueueReportsPutBlockFailAndStillMarksOutputSent) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(100), 0);
  d.QueueResult = 0;
  uint8_t byte = 'x';
  EXPECT_EQ(d.PutBytes(&byte, 1), ecode::PutBlockFail);
  EXPECT_TRUE(d.OutputSent);
  EXPECT_EQ(d.OutUsed(), 0u);
  const std::vector<uint8_t> block(100, 'y');  // an exact fit that was not queued
  EXPECT_EQ(d.PutBytes(block.data(), 100), ecode::PutBlockFail);
  EXPECT_FALSE(d.OutFull);
  EXPECT_EQ(d.OutFree(), 100u);
}

TEST(OutputRing, ClosedDispatcherRefusesOutputAndHasNoInput) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(100), 0);
  d.CloseDevice();
  uint8_t byte = 'x';
  EXPECT_EQ(d.PutBytes(&byte, 1), ecode::CommNotOpen);
  EXPECT_EQ(d.GetByte(byte), ecode::BufferIsEmpty);
  d.Receive("abc");
  d.FillInput();
  EXPECT_EQ(d.InUsed(), 0u);
}

// Thousands of interleaved fills, reads, peeks and flushes against a plain
// queue: every byte and every count must agree.
TEST(InputRingModel, RandomOperationsMatchAPlainQueue) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  std::mt19937 rng(4610);
  std::deque<uint8_t> model;   // the ring's unread bytes
  std::deque<uint8_t> driver;  // bytes still waiting in the driver
  for (int step = 0; step < 20000; ++step) {
    switch (rng() % 6) {
      case 0:
      case 1: {  // bytes arrive in the driver and a fill moves some in
        size_t n = rng() % 3 == 0 ? rng() % 9000 : rng() % 300;
        for (size_t i = 0; i < n; ++i) {
          uint8_t byte = static_cast<uint8_t>(rng());  // no period to hide an offset
          d.Driver.push_back(byte);
          driver.push_back(byte);
        }
        d.MaxReadPerCall = rng() % 4 == 0 ? static_cast<uint32_t>(rng() % 100) : 0xFFFFFFFF;
        d.FillInput();
        size_t moved = driver.size() - d.Driver.size();
        for (size_t i = 0; i < moved; ++i) {
          model.push_back(driver.front());
          driver.pop_front();
        }
        ASSERT_TRUE(std::equal(driver.begin(), driver.end(), d.Driver.begin(), d.Driver.end()));
        break;
      }
      case 2: {
        size_t n = rng() % 400;
        for (size_t i = 0; i < n; ++i) {
          uint8_t byte;
          int32_t r = d.GetByte(byte);
          if (model.empty()) {
            ASSERT_EQ(r, ecode::BufferIsEmpty);
            break;
          }
          ASSERT_EQ(r, 0);
          ASSERT_EQ(byte, model.front()) << "step " << step;
          model.pop_front();
        }
        break;
      }
      case 3: {
        uint32_t n = static_cast<uint32_t>(rng() % 8200) + 1;
        uint8_t byte;
        int32_t r = d.PeekByte(n, byte);
        if (n > model.size()) {
          ASSERT_EQ(r, ecode::BufferIsEmpty);
        } else {
          ASSERT_EQ(r, 0);
          ASSERT_EQ(byte, model[n - 1]);
        }
        break;
      }
      case 4:
        if (rng() % 8 == 0) {
          ASSERT_EQ(d.FlushInput(), 0);
          model.clear();
          driver.clear();
        }
        break;
      default:
        break;
    }
    ASSERT_EQ(d.InUsed(), model.size()) << "step " << step;
    ASSERT_EQ(d.InFull, model.size() == InRingSize);
  }
}

}  // namespace
