// Delivery of trigger messages to the registered handlers.
#include <algorithm>

#include "AwUser.h"

using Guard = std::lock_guard<TAwLock>;

namespace {
template <typename List>
size_t CountLive(const List& list) {
  return static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [](const auto& h) { return !h.Removed; }));
}

template <typename List>
void EraseRemoved(List& list) {
  for (size_t i = list.size(); i-- > 0;)
    if (list[i].Removed) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
}

uint32_t WindowLogValue(const TNotifyWindow* window) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}
}  // namespace

bool TApdBaseDispatcher::OtherHandlersExist() const {
  return CountLive(WindowHandlers) > 1 || CountLive(ProcHandlers) > 0 ||
         CountLive(MethodHandlers) > 0;
}

void TApdBaseDispatcher::UpdateHandlerFlags(int32_t kind) {
  Guard hold(DispatchLock);
  switch (kind) {
    case 1:
      OwnerHandlerInstalled = true;
      DeliveryNeeded = true;
      break;
    case 2:
      OwnerHandlerInstalled = false;
      DeliveryNeeded = OtherHandlersExist();
      break;
    default:
      DeliveryNeeded = OtherHandlersExist() || OwnerHandlerInstalled;
      break;
  }
}

void TApdBaseDispatcher::AddWindowHandler(TNotifyWindow* window) {
  Guard hold(DispatchLock);
  WindowHandlers.push_back({window, false});
  DeliveryNeeded = true;
  LogEntry(logtype::TrgHdAlc, logsub::Window, WindowLogValue(window));
}

void TApdBaseDispatcher::RemoveWindowHandler(TNotifyWindow* window) {
  Guard hold(DispatchLock);
  auto found = std::find_if(WindowHandlers.begin(), WindowHandlers.end(), [&](const TWindowHandler& h) {
    return h.Window == window && !h.Removed;
  });
  if (found != WindowHandlers.end()) {
    LogEntry(logtype::TrgHdDsp, logsub::Window, WindowLogValue(window));
    if (Delivering) {
      found->Removed = true;  // the delivery walks this list right now
      HandlerRemovedInDelivery = true;
    } else {
      WindowHandlers.erase(found);
    }
  }
  UpdateHandlerFlags(0);
}

void TApdBaseDispatcher::DropRemovedHandlers() {
  Guard hold(DispatchLock);
  Delivering = false;
  if (!HandlerRemovedInDelivery) return;
  EraseRemoved(WindowHandlers);
  EraseRemoved(ProcHandlers);
  EraseRemoved(MethodHandlers);
  HandlerRemovedInDelivery = false;
  UpdateHandlerFlags(0);
}

void TApdBaseDispatcher::AbortDelivery() {
  {
    Guard in(InputLock);
    InDelivery = false;
    PeekCount = 0;
  }
  DropRemovedHandlers();
}

// Moves the input ring past what the handlers read. No lock is held while a
// handler runs: the handler may read bytes, remove itself or close the port.
bool TApdBaseDispatcher::DeliverEvent(uint32_t message, uint32_t wParam, uint32_t data) {
  const bool trigger = message != DeviceGoneMsg;
  if (trigger && !DeliveryNeeded) return true;
  {
    Guard hold(DispatchLock);
    Delivering = true;
  }
  {
    Guard in(InputLock);
    MaxPeekCount = 0;
    PeekCount = 0;
    InDelivery = message == TriggerAvailMsg || message == TriggerDataMsg;
  }
  const uint32_t lParam = (static_cast<uint32_t>(DispatcherHandle) << 16) + data;
  NoticeDropped = false;

  bool closed = false;
  // Before each handler: a fresh view of the unread bytes.
  auto before = [&] {
    Guard in(InputLock);
    PeekCount = 0;
  };
  // After each handler: stop on a close, else note how far it read.
  auto after = [&] {
    if (ClosePending) {
      closed = true;
      return false;
    }
    Guard in(InputLock);
    MaxPeekCount = std::max(MaxPeekCount, PeekCount);
    return true;
  };

  for (size_t i = 0; !closed; ++i) {
    TMethodHandler handler;
    {
      Guard hold(DispatchLock);
      if (i >= MethodHandlers.size()) break;
      handler = MethodHandlers[i];
    }
    before();
    if (!handler.Removed && handler.Method) {
      if (handler.RunOnGui && GuiRunner)
        GuiRunner([&] { handler.Method(message, wParam, lParam); });
      else
        handler.Method(message, wParam, lParam);
    }
    if (!after()) break;
  }
  for (size_t i = 0; !closed; ++i) {
    TProcHandler handler;
    {
      Guard hold(DispatchLock);
      if (i >= ProcHandlers.size()) break;
      handler = ProcHandlers[i];
    }
    before();
    if (!handler.Removed && handler.Proc) handler.Proc(message, wParam, lParam);
    if (!after()) break;
  }
  bool sendToWindows;
  {
    Guard hold(DispatchLock);
    sendToWindows = !trigger || WindowHandlers.size() > 1 || OwnerHandlerInstalled;
  }
  for (size_t i = 0; sendToWindows && !closed; ++i) {
    TWindowHandler handler;
    {
      Guard hold(DispatchLock);
      if (i >= WindowHandlers.size()) break;
      handler = WindowHandlers[i];
    }
    before();
    if (!handler.Removed && handler.Window && !handler.Window->SendNotify(message, wParam, lParam, DeliveryTimeoutMs))
      NoticeDropped = true;
    if (!after()) break;
  }

  bool result = !closed;
  {
    Guard in(InputLock);
    if (InDelivery && !closed && !InBuffer.empty()) {
      InTail = (InTail + MaxPeekCount) % InRingSize;
      if (MaxPeekCount != 0) InFull = false;
      if (message == TriggerAvailMsg && MaxPeekCount != wParam) result = false;
    }
    InDelivery = false;
    PeekCount = 0;
  }
  DropRemovedHandlers();
  return result;
}
