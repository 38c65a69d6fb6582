// The component's hidden notification window. The dispatcher's threads
// "send" it trigger messages: each send becomes an event posted to the GUI
// thread and waits for it at most the given time. Everything that arrives
// runs TApdCustomComPort::HandleNotice there.
#pragma once

#include <cstdint>
#include <memory>

#include "AwUser.h"

class TApdNotifyWindow final : public TNotifyWindow {
 public:
  // Made on the GUI thread, which then owns every notice.
  TApdNotifyWindow();
  ~TApdNotifyWindow() override;
  TApdNotifyWindow(const TApdNotifyWindow&) = delete;
  TApdNotifyWindow& operator=(const TApdNotifyWindow&) = delete;

  // Blocking send; from the GUI thread itself it runs at once.
  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t timeoutMs) override;
  // Posted message, handled on a later turn of the event loop (after
  // delayMs, so that a message that reposts itself does not spin).
  void PostNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, int delayMs = 0);
  // Handles the notices already sent to the GUI thread (of every port), and
  // nothing else; call it on the GUI thread.
  static void RunSentNotices();

 private:
  // Messages hold it weakly: once the window is gone they are dropped.
  std::shared_ptr<int> alive_;
};
