#include "AdPortWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "AdPort.h"

namespace {

// Lets a blocking send end as soon as its message was handled or dropped.
// A notice is handled whole or not at all: once the GUI thread has taken it,
// the sender waits for its end; once the sender gave up, the GUI thread
// leaves it alone.
class TSendLatch {
 public:
  // The GUI thread, before it handles the notice: false when it was dropped.
  bool Take() {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ != Pending) return false;
    state_ = Taken;
    return true;
  }
  void Release() {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ != Dropped) state_ = Done;
    changed_.notify_all();
  }
  // The sender: true when the notice was handled, false when it was dropped
  // unseen after timeoutMs (only if Droppable; else it runs late).
  bool Wait(uint32_t timeoutMs, bool Droppable) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return state_ == Done; });
    if (state_ == Pending && Droppable) {
      state_ = Dropped;
      return false;
    }
    // Begun: its reads belong to this delivery, so its end is awaited.
    changed_.wait(hold, [this] { return state_ != Taken; });
    return true;
  }

 private:
  enum { Pending, Taken, Done, Dropped } state_ = Pending;
  std::mutex lock_;
  std::condition_variable changed_;
};

QEvent::Type NoticeEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

class TNoticeEvent final : public QEvent {
 public:
  TNoticeEvent(std::weak_ptr<int> window, uint32_t msg, uint32_t wParam, uint32_t lParam,
               std::shared_ptr<TSendLatch> latch)
      : QEvent(NoticeEventType()), Window(std::move(window)), Msg(msg), WParam(wParam),
        LParam(lParam), Latch(std::move(latch)) {}
  // Handled, or discarded with its receiver: either way the sender goes on.
  ~TNoticeEvent() override {
    if (Latch) Latch->Release();
  }

  std::weak_ptr<int> Window;
  uint32_t Msg;
  uint32_t WParam;
  uint32_t LParam;
  std::shared_ptr<TSendLatch> Latch;
};

// The "window class": one receiver per process on the GUI thread, owned by
// the application object.
class TNoticeReceiver final : public QObject {
 public:
  using QObject::QObject;

  bool event(QEvent* e) override {
    if (e->type() != NoticeEventType()) return QObject::event(e);
    auto* notice = static_cast<TNoticeEvent*>(e);
    std::shared_ptr<int> window = notice->Window.lock();
    if (window && (!notice->Latch || notice->Latch->Take()))
      TApdCustomComPort::HandleNotice(notice->Msg, notice->WParam, notice->LParam);
    return true;
  }
};

QPointer<TNoticeReceiver>& Receiver() {
  static QPointer<TNoticeReceiver> receiver;
  return receiver;
}

TNoticeReceiver* RegisterReceiver() {
  QPointer<TNoticeReceiver>& receiver = Receiver();
  if (!receiver && QCoreApplication::instance()) {
    receiver = new TNoticeReceiver(QCoreApplication::instance());
    // Every wait of the GUI thread for a dispatcher thread keeps the event
    // loop turning, so that a delivery waiting for the GUI can finish.
    SetMessagePump([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  }
  return receiver;
}

bool OnGuiThread() {
  return QCoreApplication::instance() &&
         QThread::currentThread() == QCoreApplication::instance()->thread();
}

TExceptionReport& ExceptionReport() {
  static TExceptionReport report;
  return report;
}

}  // namespace

TApdNotifyWindow::TApdNotifyWindow() : alive_(std::make_shared<int>(0)) { RegisterReceiver(); }

TApdNotifyWindow::~TApdNotifyWindow() = default;

bool TApdNotifyWindow::SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam,
                                  uint32_t timeoutMs) {
  if (OnGuiThread()) {
    TApdCustomComPort::HandleNotice(msg, wParam, lParam);
    return true;
  }
  TNoticeReceiver* receiver = Receiver();
  if (!receiver) return true;
  auto latch = std::make_shared<TSendLatch>();
  QCoreApplication::postEvent(receiver,
                              new TNoticeEvent(alive_, msg, wParam, lParam, latch));
  // Data and time-outs are told again by the dispatcher: a late one would
  // mix with the next delivery's bytes, or end the exchange after it.
  return latch->Wait(timeoutMs, msg == TriggerAvailMsg || msg == TriggerTimerMsg);
}

void TApdNotifyWindow::PostNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, int delayMs) {
  TNoticeReceiver* receiver = Receiver();
  if (!receiver) return;
  std::weak_ptr<int> window = alive_;
  auto post = [receiver, window, msg, wParam, lParam] {
    QCoreApplication::postEvent(receiver, new TNoticeEvent(window, msg, wParam, lParam, nullptr));
  };
  if (delayMs > 0)
    QTimer::singleShot(delayMs, receiver, post);
  else
    post();
}

void TApdNotifyWindow::RunSentNotices() {
  if (TNoticeReceiver* receiver = Receiver())
    QCoreApplication::sendPostedEvents(receiver, NoticeEventType());
}

void SetApplicationExceptionReport(TExceptionReport report) {
  ExceptionReport() = std::move(report);
}

void ShowApplicationException(const std::exception& E) {
  if (ExceptionReport()) {
    ExceptionReport()(E);
    return;
  }
  QMessageBox::critical(nullptr, QCoreApplication::applicationName(),
                        QString::fromLocal8Bit(E.what()));
}

void TApdCustomComPort::HandleNotice(uint32_t msg, uint32_t wParam, uint32_t lParam) {
  bool trigger = msg >= TriggerAvailMsg && msg <= TriggerStatusMsg;
  if (!trigger && msg != PortClosingMsg && msg != DeviceGoneMsg) return;

  // Held for the whole notice, handlers included: no dispatcher can come or
  // go beneath it.
  std::lock_guard<TAwLock> hold(PortList().Lock());
  TApdBaseDispatcher* dispatcher = PortList().At(static_cast<int32_t>(lParam >> 16));
  if (!dispatcher || !dispatcher->Owner) return;
  TApdCustomComPort* port = dispatcher->Owner;
  // A close asked for from here has to wait for this delivery to end.
  struct TDepth {
    int& depth;
    explicit TDepth(int& d) : depth(d) { ++depth; }
    ~TDepth() { --depth; }
  } inNotice(port->noticeDepth_);

  try {
    if (msg == DeviceGoneMsg) {
      if (port->dispatcher_.get() == dispatcher) port->DeviceLost();
      return;
    }
    if (msg == PortClosingMsg) {
      // Only for the close still waiting on this very dispatcher.
      if (port->phase_ == phClosing && port->dispatcher_.get() == dispatcher)
        port->CompleteDeferredClose();
      return;
    }
    auto handle = static_cast<uint16_t>(wParam);
    auto data = static_cast<uint16_t>(msg == TriggerAvailMsg ? wParam : lParam & 0xFFFF);
    port->DoTrigger(static_cast<uint16_t>(msg), handle, data);
    switch (msg) {
      case TriggerAvailMsg:
        port->DoTriggerAvail(handle);
        break;
      case TriggerDataMsg:
        port->DoTriggerData(handle);
        break;
      case TriggerTimerMsg:
        port->DoTriggerTimer(handle);
        break;
      case TriggerStatusMsg:
        port->DoTriggerStatus(handle);
        switch (handle & 7) {
          case StatusModem:
            port->DoTriggerModemStatus();
            break;
          case StatusLineError:
            port->DoTriggerLineError(static_cast<uint16_t>(port->LineErrorCode()),
                                     port->LineBreakSeen());
            break;
          case StatusOutFree:
            port->DoTriggerOutbuffFree();
            break;
          case StatusOutUsed:
            port->DoTriggerOutbuffUsed();
            break;
          case StatusOutSent:
            port->DoTriggerOutSent();
            break;
          default:
            break;
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    // Never back into the dispatcher: shown on the main thread, else dropped.
    if (OnGuiThread()) ShowApplicationException(e);
  } catch (...) {
  }
}
