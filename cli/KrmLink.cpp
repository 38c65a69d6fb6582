#include "KrmLink.h"

#include "AdPlatform.h"
#include "AdPortOpen.h"

#include <chrono>

namespace {

// The port component's own sizes and lines: DTR and RTS raised, an avail
// notice for every byte.
constexpr uint32_t QueueSize = 4096;
constexpr uint8_t LineFlags = LineFlagDtr | LineFlagRts;
// How often a wait looks at the stop flag.
constexpr auto StopPoll = std::chrono::milliseconds(20);

}  // namespace

TKrmLink::TKrmLink(const std::atomic<bool>& Stop) : FStop(Stop) {}

TKrmLink::~TKrmLink() {
  if (!FDispatcher) return;
  FDispatcher->RemoveWindowHandler(this);
  FDispatcher->CloseDevice();
  FDispatcher.reset();  // its threads end before the state they report into
}

std::string TKrmLink::Open(const TLinkSettings& Settings) {
  FLabel = Settings.Label;
  auto dispatcher = std::make_unique<TPlatformDispatcher>(nullptr);
  dispatcher->DeviceName = Settings.Label;
  const int32_t result = dispatcher->OpenDevice(
      Settings.DeviceName, static_cast<uint32_t>(Settings.Baud), LineFlags, QueueSize, QueueSize,
      static_cast<uint8_t>(Settings.Format.StopBits), static_cast<uint8_t>(Settings.Format.DataBits),
      static_cast<uint8_t>(Settings.Format.Parity));
  if (result != 0) return Settings.Label + ": " + OpenFailureReason(result);
  dispatcher->UpdateHandlerFlags(1);
  dispatcher->SetAvailThreshold(1);
  FTimer = dispatcher->NewTimerTrigger();
  FDispatcher = std::move(dispatcher);
  FDispatcher->AddWindowHandler(this);  // notices may come at once from here on
  return {};
}

TExchangeResult TKrmLink::Exchange(std::string_view Frame, std::int32_t Ticks, bool FlushFirst) {
  {
    const std::lock_guard<std::mutex> hold(FLock);
    FEnd.reset();
    FWaiting = !FGone;
    if (FGone) FEnd = TExchangeEnd::PortLost;
  }
  if (FWaiting) {
    FDispatcher->ArmTimerTrigger(FTimer, Ticks, true);
    if (FlushFirst) {
      FDispatcher->FlushOutput();
      FDispatcher->FlushInput();
    }
    {
      // Whatever came before the send is no part of its reply.
      const std::lock_guard<std::mutex> hold(FLock);
      FText.clear();
      FLength = 0;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(Frame.data());
    if (FDispatcher->PutBytes(bytes, static_cast<uint32_t>(Frame.size())) < 0) {
      const std::lock_guard<std::mutex> hold(FLock);
      End(TExchangeEnd::PortLost);
    }
  }
  std::unique_lock<std::mutex> lock(FLock);
  while (!FEnd) {
    if (FStop) End(TExchangeEnd::Interrupted);
    else FEnded.wait_for(lock, StopPoll);
  }
  FWaiting = false;
  TExchangeResult result{*FEnd, FText, FLength};
  const bool disarm = result.End != TExchangeEnd::TimedOut && !FGone;
  lock.unlock();
  if (disarm) FDispatcher->ArmTimerTrigger(FTimer, Ticks, false);
  return result;
}

void TKrmLink::End(TExchangeEnd How) {
  if (FEnd) return;
  FEnd = How;
  FEnded.notify_all();
}

// On the delivery thread. The bytes announced are read in any case, so the
// dispatcher moves past them; only an exchange that is out takes them.
bool TKrmLink::SendNotify(uint32_t Msg, uint32_t WParam, uint32_t, uint32_t) {
  if (Msg == TriggerAvailMsg) {
    std::string batch;
    uint8_t byte = 0;
    for (uint32_t i = 0; i < WParam && FDispatcher->GetByte(byte) == 0; ++i) batch += static_cast<char>(byte);
    const std::lock_guard<std::mutex> hold(FLock);
    if (FWaiting && !FEnd && AppendReplyBatch(FText, FLength, batch)) End(TExchangeEnd::Reply);
  } else if (Msg == TriggerTimerMsg && static_cast<int32_t>(WParam) == FTimer) {
    const std::lock_guard<std::mutex> hold(FLock);
    if (FWaiting) End(TExchangeEnd::TimedOut);
  } else if (Msg == DeviceGoneMsg) {
    const std::lock_guard<std::mutex> hold(FLock);
    FGone = true;
    End(TExchangeEnd::PortLost);
  }
  return true;
}
