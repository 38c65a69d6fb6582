// Delivery of trigger messages: read accounting across handlers, removal
// and close during a delivery, the handler flags, and the port list.
#include <gtest/gtest.h>

#include "FakeDevice.h"

namespace {

// A window whose handler reads a fixed number of bytes, and may act.
class TReadingWindow : public TNotifyWindow {
 public:
  explicit TReadingWindow(TApdBaseDispatcher& d, int reads = 0) : d_(d), reads_(reads) {}
  std::string Read;
  std::vector<int32_t> Results;
  int Calls = 0;
  std::function<void()> Then;
  bool SendNotify(uint32_t, uint32_t, uint32_t, uint32_t) override {
    ++Calls;
    for (int i = 0; i < reads_; ++i) {
      uint8_t byte = 0;
      int32_t r = d_.GetByte(byte);
      Results.push_back(r);
      if (r == 0) Read.push_back(static_cast<char>(byte));
    }
    if (Then) Then();
    return true;
  }

 private:
  TApdBaseDispatcher& d_;
  int reads_;
};

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(d.Open(), 0);
    d.UpdateHandlerFlags(1);
    d.SetAvailThreshold(1);
  }
  TFakeDispatcher d;
};

TEST_F(DeliveryTest, TwoHandlersReadingThreeBytesEachConsumeThree) {
  TReadingWindow first(d, 3), second(d, 3);
  d.AddWindowHandler(&first);
  d.AddWindowHandler(&second);
  d.Receive("abcdef");
  d.FillInput();
  EXPECT_FALSE(d.CheckDataTriggers());  // 6 announced, 3 taken
  EXPECT_EQ(first.Read, "abc");
  EXPECT_EQ(second.Read, "abc");  // every handler sees the same bytes
  EXPECT_EQ(d.InUsed(), 3u);
  EXPECT_EQ(ReadAll(d), "def");
}

TEST_F(DeliveryTest, ReadsPastTheEndFailWithoutDisturbingTheNextHandler) {
  TReadingWindow greedy(d, 5), modest(d, 2);
  d.AddWindowHandler(&greedy);
  d.AddWindowHandler(&modest);
  d.Receive("xyz");
  d.FillInput();
  EXPECT_TRUE(d.CheckDataTriggers());  // the greedy one read all three
  EXPECT_EQ(greedy.Read, "xyz");
  EXPECT_EQ(greedy.Results, (std::vector<int32_t>{0, 0, 0, ecode::BufferIsEmpty, ecode::BufferIsEmpty}));
  EXPECT_EQ(modest.Read, "xy");
  EXPECT_EQ(d.InUsed(), 0u);
  EXPECT_FALSE(d.InDelivery);
  EXPECT_EQ(d.PeekCount, 0u);
}

TEST_F(DeliveryTest, InUsedDuringADeliveryCountsWhatTheHandlerHasNotRead) {
  TReadingWindow w(d, 2);
  uint32_t seen = 0;
  w.Then = [&] { seen = d.InUsed(); };
  d.AddWindowHandler(&w);
  d.Receive("12345");
  d.FillInput();
  d.CheckDataTriggers();
  EXPECT_EQ(seen, 3u);
  EXPECT_EQ(d.InUsed(), 3u);
}

TEST_F(DeliveryTest, AFullRingClearsOnlyWhenTheDeliveryConsumed) {
  TReadingWindow w(d, 1);
  d.AddWindowHandler(&w);
  d.Receive(std::string(InRingSize, 'r'));
  d.FillInput();
  ASSERT_TRUE(d.InFull);
  d.CheckDataTriggers();
  EXPECT_FALSE(d.InFull);
  EXPECT_EQ(d.InUsed(), InRingSize - 1);
}

TEST_F(DeliveryTest, HandlerRemovedDuringADeliveryGoesAfterIt) {
  TReadingWindow owner(d), other(d), third(d);
  d.AddWindowHandler(&owner);
  d.AddWindowHandler(&other);
  d.AddWindowHandler(&third);
  owner.Then = [&] { d.RemoveWindowHandler(&other); };
  EXPECT_TRUE(d.DeliverEvent(TriggerTimerMsg, 8, 0));
  EXPECT_EQ(other.Calls, 0);  // marked removed: skipped in this delivery
  EXPECT_EQ(third.Calls, 1);
  ASSERT_EQ(d.WindowHandlers.size(), 2u);
  EXPECT_EQ(d.WindowHandlers[1].Window, &third);
  EXPECT_FALSE(d.HandlerRemovedInDelivery);
  EXPECT_FALSE(d.Delivering);
}

TEST_F(DeliveryTest, CloseDuringADeliveryStopsLaterHandlersAndDefersTheRelease) {
  TReadingWindow closer(d, 1), later(d, 1);
  d.AddWindowHandler(&closer);
  d.AddWindowHandler(&later);
  closer.Then = [&] { d.CloseDevice(); };
  d.Receive("ab");
  d.FillInput();
  EXPECT_FALSE(d.CheckDataTriggers());
  EXPECT_TRUE(d.ClosePending);
  EXPECT_EQ(later.Calls, 0);
  EXPECT_FALSE(d.Delivering);
  EXPECT_FALSE(d.InDelivery);
  EXPECT_EQ(d.HandlesClosed, 1);
  EXPECT_FALSE(d.InBuffer.empty());  // left for the dispatcher thread to free
  EXPECT_EQ(d.ThreadStops, 0);
}

TEST_F(DeliveryTest, OwnWindowGetsMessagesOnlyWhileTheOwnerHasATriggerEvent) {
  TReadingWindow owner(d);
  d.AddWindowHandler(&owner);
  d.UpdateHandlerFlags(2);
  EXPECT_FALSE(d.DeliveryNeeded);
  EXPECT_TRUE(d.DeliverEvent(TriggerTimerMsg, 8, 0));
  EXPECT_EQ(owner.Calls, 0);
  d.UpdateHandlerFlags(1);
  EXPECT_TRUE(d.DeliverEvent(TriggerTimerMsg, 8, 0));
  EXPECT_EQ(owner.Calls, 1);

  // A second window is called even without an owner handler.
  TReadingWindow listener(d);
  d.AddWindowHandler(&listener);
  d.UpdateHandlerFlags(2);
  EXPECT_TRUE(d.DeliveryNeeded);
  d.DeliverEvent(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(owner.Calls, 2);
  EXPECT_EQ(listener.Calls, 1);
  d.RemoveWindowHandler(&listener);
  EXPECT_FALSE(d.DeliveryNeeded);
}

TEST_F(DeliveryTest, MethodsThenProceduresThenWindowsWithTheDispatcherInLParam) {
  static std::vector<std::string>* order;
  std::vector<std::string> calls;
  order = &calls;
  TReadingWindow w(d);
  w.Then = [&] { calls.push_back("window"); };
  d.AddWindowHandler(&w);
  d.ProcHandlers.push_back({[](uint32_t msg, uint32_t wParam, uint32_t lParam) {
                              order->push_back("proc " + std::to_string(msg) + " " +
                                               std::to_string(wParam) + " " + std::to_string(lParam));
                            },
                            false});
  bool viaRunner = false;
  d.GuiRunner = [&](const std::function<void()>& call) {
    viaRunner = true;
    call();
  };
  d.MethodHandlers.push_back({[&](uint32_t, uint32_t, uint32_t) { calls.push_back("method"); }, false, true});
  d.UpdateHandlerFlags(0);
  d.DeliverEvent(TriggerStatusMsg, 13, 42);
  uint32_t lParam = (static_cast<uint32_t>(d.DispatcherHandle) << 16) + 42;
  EXPECT_EQ(calls, (std::vector<std::string>{"method", "proc 32260 13 " + std::to_string(lParam), "window"}));
  EXPECT_TRUE(viaRunner);
}

TEST(PortListTest, ReusesTheFirstFreeSlotAndTrimsTheEnd) {
  const int32_t before = PortList().Count();
  auto a = std::make_unique<TFakeDispatcher>();
  auto b = std::make_unique<TFakeDispatcher>();
  auto c = std::make_unique<TFakeDispatcher>();
  EXPECT_EQ(PortList().At(b->DispatcherHandle), b.get());
  const int32_t slotB = b->DispatcherHandle;
  b.reset();
  EXPECT_EQ(PortList().At(slotB), nullptr);
  auto e = std::make_unique<TFakeDispatcher>();
  EXPECT_EQ(e->DispatcherHandle, slotB);
  c.reset();
  e.reset();
  a.reset();
  EXPECT_EQ(PortList().Count(), before);
  EXPECT_EQ(PortList().At(-1), nullptr);
}

}  // namespace
