// The dispatcher's threads, their start and stop, and the waits of the GUI
// thread for them.
#include "AwThreads.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "AwErrorCodes.h"
#include "AwUser.h"

using Guard = std::lock_guard<TAwLock>;

// --- process-wide hooks

namespace {
struct THooks {
  std::mutex lock;
  std::function<void()> pump;
  std::thread::id pumpThread;
  std::function<void(const std::string&)> report;
};
THooks& Hooks() {
  static THooks hooks;
  return hooks;
}

// One short step of a wait for a dispatcher thread: on the thread that
// installed the pump, let the GUI work (a delivery may be waiting for it).
void PumpOnce() {
  std::function<void()> pump;
  {
    std::lock_guard<std::mutex> hold(Hooks().lock);
    if (Hooks().pump && Hooks().pumpThread == std::this_thread::get_id()) pump = Hooks().pump;
  }
  if (pump) pump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

template <typename Done>
void PumpUntil(Done done) {
  while (!done()) PumpOnce();
}

void ReportThreadException(const std::string& what) {
  std::function<void(const std::string&)> report;
  {
    std::lock_guard<std::mutex> hold(Hooks().lock);
    report = Hooks().report;
  }
  if (report)
    report(what);
  else
    std::fprintf(stderr, "dispatcher thread ended by an exception: %s\n", what.c_str());
}

}  // namespace

void SetMessagePump(std::function<void()> pump) {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  Hooks().pump = std::move(pump);
  Hooks().pumpThread = std::this_thread::get_id();
}

void SetThreadExceptionReporter(std::function<void(const std::string&)> report) {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  Hooks().report = std::move(report);
}

// --- the thread object

TApdDispatcherThread::TApdDispatcherThread(TApdBaseDispatcher& dispatcher)
    : Dispatcher(dispatcher) {}

TApdDispatcherThread::~TApdDispatcherThread() {
  if (!thread_.joinable()) return;
  if (IsCurrent())
    thread_.detach();  // freed from its own handler: it is past ThreadEnded
  else
    thread_.join();
}

void TApdDispatcherThread::Start() { thread_ = std::thread([this] { Run(); }); }

bool TApdDispatcherThread::IsCurrent() const {
  return thread_.get_id() == std::this_thread::get_id();
}

void TApdDispatcherThread::SetPriorityLevel(int level) {
  level = std::clamp(level, 0, 6);
  wantedLevel_ = level;
  if (long id = systemId_; id != 0) ApplyThreadPriority(id, level);
}

thread_local TApdDispatcherThread* TApdDispatcherThread::CurrentThread = nullptr;

void TApdDispatcherThread::Run() {
  CurrentThread = this;
  systemId_ = CurrentSystemThreadId();
  // The level was set before the start. Normal leaves the thread as the
  // process is: a program started with nice keeps it.
  if (wantedLevel_ != 3) ApplyThreadPriority(systemId_, wantedLevel_);
  // Whatever escapes the loop, the thread ends in order, so that nobody
  // waits for it forever.
  try {
    Execute();
  } catch (const std::exception& e) {
    ReportThreadException(e.what());
  } catch (...) {
    ReportThreadException("unknown exception");
  }
  Leaving();
  Dispatcher.ThreadEnded(this);
}

// --- TComThread

void TComThread::Execute() {
  TApdBaseDispatcher& d = Dispatcher;
  d.PrepareDeviceEvents(DeviceEventMask);
  d.GeneralEvent.Set();
  while (!d.StopRequested) {
    uint32_t mask = 0;
    // A failed wait is final: the device is gone or cannot wait, and asking
    // again would spin. TDispThread's 50 ms passes still collect input.
    if (!d.WaitDeviceEvent(mask)) return;
    if (mask & DevEvRing) d.RingSeen = true;
    // Gathered: a wait that returns before TDispThread took the last bits
    // (a pass ended meanwhile) must not replace them.
    d.EventMask.fetch_or(mask);
    if (d.StopRequested) return;
    d.ComEvent.Set();
    d.ReadyEvent.Wait();
  }
}

void TComThread::Leaving() { Dispatcher.GeneralEvent.Set(); }

// --- TDispThread

void TDispThread::Execute() {
  TApdBaseDispatcher& d = Dispatcher;
  d.GeneralEvent.Set();
  do {
    d.ComEvent.Wait(50);  // a time-out is a normal pass
    if (d.StopRequested) return;
    EventPass();
    TimerPass();
    TellDeviceGone();
  } while (!d.StopRequested && !d.ClosePending);
  d.GeneralEvent.Set();
}

void TDispThread::Leaving() {
  if (Dispatcher.Delivering) Dispatcher.AbortDelivery();
  Dispatcher.ReleaseOnThreadExit = Dispatcher.ClosePending || Dispatcher.StopRequested;
}

// A handler that closes the port ends the round: its delivery answers false.
bool TDispThread::StatusRound() {
  while (Dispatcher.CheckStatusTriggers()) {
  }
  return !Dispatcher.ClosePending;
}

void TDispThread::EventPass() {
  TApdBaseDispatcher& d = Dispatcher;
  const uint32_t events = d.EventMask.exchange(0);
  if (events & (DevEvCts | DevEvDsr | DevEvRlsd | DevEvRing)) {
    d.RefreshModemStatus();
    if (!d.Delivering) {
      if (!StatusRound()) return;
      d.ClearStatusHits();
    }
  }
  if ((events & 0xFF) >= DevEvBreak) {
    d.RefreshLineErrors();
    if (!d.Delivering) {
      if (!StatusRound()) return;
      d.ClearStatusHits();
    }
  }
  d.FillInput();
  if (!d.Delivering) {
    if (!StatusRound()) return;
    while (d.CheckDataTriggers())
      if (d.ClosePending) return;
  }
  d.ClearStatusHits();
  d.ReadyEvent.Set();
}

// Once, after the bytes that came before the hang-up were delivered.
void TDispThread::TellDeviceGone() {
  TApdBaseDispatcher& d = Dispatcher;
  if (!d.DeviceGone() || d.goneTold_ || d.ClosePending) return;
  d.goneTold_ = true;
  d.DeliverEvent(DeviceGoneMsg, 0, 0);
}

void TDispThread::TimerPass() {
  TApdBaseDispatcher& d = Dispatcher;
  // Bytes that came before a time-out are announced before it. (The pass
  // never runs inside a delivery, and a close ends the loop.)
  if (d.AvailOwed) return;
  while (!d.ClosePending) {
    if (d.CheckStatusTriggers()) continue;
    if (!d.CheckTimerTriggers()) break;
  }
  d.ClearStatusHits();
}

// --- TOutThread

void TOutThread::Execute() {
  TApdBaseDispatcher& d = Dispatcher;
  d.GeneralEvent.Set();
  do {
    if (TAwEvent::WaitAny(d.OutputReadyEvent, d.OutputFlushEvent) == 0) {
      if (d.StopRequested) return;
      WriteLoop();
    } else {
      d.AcknowledgeFlush();
    }
  } while (!d.StopRequested && !d.ClosePending);
}

void TOutThread::WriteLoop() {
  TApdBaseDispatcher& d = Dispatcher;
  while (!d.StopRequested) {
    // A flush between two writes ends the loop as one during a write does.
    if (d.OutputFlushEvent.Wait(0)) {
      d.AcknowledgeFlush();
      return;
    }
    TApdBaseDispatcher::TOutputBlock block = d.TakeOutputBlock();
    if (block.Length == 0) return;
    int32_t written = d.WriteDevice(block.Data, block.Length);
    if (written == WriteInterrupted) {
      // The purge that interrupted us set the flush event first; without
      // one this was a stale wake-up, and the block is written again.
      if (d.OutputFlushEvent.Wait(0)) {
        d.AcknowledgeFlush();
        return;
      }
      continue;
    }
    // A failed write drops the block.
    d.ConsumeOutput(block, written < 0 ? block.Length : static_cast<uint32_t>(written));
  }
}

// --- output flushes, in the dispatcher

void TApdBaseDispatcher::FlushWriter(const std::function<void()>& interrupt) {
  constexpr auto AnswerLimit = std::chrono::milliseconds(5000);
  if (OutputIdle()) return;  // the writer holds nothing to let go of
  const uint64_t asked = ++flushesAsked_;
  OutputFlushEvent.Set();
  interrupt();
  const auto deadline = std::chrono::steady_clock::now() + AnswerLimit;
  // Each answer counts first and sets the event after: the count is read
  // again after every wake, so our own answer is never left behind, and a
  // GeneralEvent that answers nothing of ours only costs one more look.
  while (flushesAnswered_ < asked) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    GeneralEvent.Wait(static_cast<uint32_t>(left.count()));
  }
}

void TApdBaseDispatcher::AcknowledgeFlush() {
  flushesAnswered_ = flushesAsked_.load();
  GeneralEvent.Set();
}

// --- start and stop, in the dispatcher

int32_t TApdBaseDispatcher::StartThreads() {
  TApdDispatcherThread* threads[3];
  {
    Guard hold(DispatchLock);
    if (ThreadsRunning) throw std::logic_error("Dispatcher already started");
    ThreadsRunning = true;
    StopRequested = false;
    for (TAwEvent* e : {&ComEvent, &ReadyEvent, &GeneralEvent, &OutputReadyEvent, &OutputFlushEvent})
      e->Reset();
    // Threads of an earlier opening have ended; their objects go now.
    ThreadObjects.clear();
    auto com = std::make_unique<TComThread>(*this);
    auto disp = std::make_unique<TDispThread>(*this);
    auto out = std::make_unique<TOutThread>(*this);
    ComThread = com.get();
    DispThread = disp.get();
    OutThread = out.get();
    threads[0] = com.get();
    threads[1] = disp.get();
    threads[2] = out.get();
    ThreadObjects.push_back(std::move(com));
    ThreadObjects.push_back(std::move(disp));
    ThreadObjects.push_back(std::move(out));
    // Each thread takes its level as it starts.
    ApplyThreadPriorities();
    // All three are counted before any runs: one that ends at once must
    // not find itself the last.
    ThreadCount += 3;
  }
  for (int started = 0; started < 3; ++started) {
    try {
      threads[started]->Start();
    } catch (const std::system_error&) {
      // The system refused it: it and the ones after it end as if they had
      // run, so that nothing waits for them. The close that undoes the
      // failed open stops those that started.
      for (int never = started; never < 3; ++never) ThreadEnded(threads[never]);
      return ecode::NoHandles;
    }
    GeneralEvent.Wait(3000);  // a slow start is no error
  }
  return ecode::OK;
}

bool TApdBaseDispatcher::OnOwnThread() const {
  TApdDispatcherThread* current = TApdDispatcherThread::CurrentThread;
  return current != nullptr && &current->Dispatcher == this;
}

void TApdBaseDispatcher::StopThreads() {
  if (!ThreadsRunning) return;
  StopRequested = true;
  // No lock is held while waiting: a thread that waits for DispatchLock
  // must be able to take it and end. A thread that stops its own
  // dispatcher (a close during a delivery) does not wait for itself.
  auto ended = [](TApdDispatcherThread* thread) {
    return thread == nullptr || thread->IsCurrent();
  };
  OutputFlushEvent.Set();
  PumpUntil([&] { return ended(OutThread.load()); });
  if (!ended(ComThread.load())) {
    CancelDeviceEventWait();
    ReadyEvent.Set();
    GeneralEvent.Reset();
    PumpUntil([&] { return ended(ComThread.load()); });
  }
  ComEvent.Set();
  // On its own thread the dispatcher thread is the one left; elsewhere the
  // last thread's ThreadEnded may still be releasing the device. What the
  // events still hold is reset by the next start.
  if (!OnOwnThread()) PumpUntil([&] { return ThreadCount == 0; });
}

void TApdBaseDispatcher::ThreadEnded(TApdDispatcherThread* thread) {
  if (thread == DispThread.load() && ReleaseOnThreadExit) ReleaseBuffers();  // clears the flag
  std::lock_guard<TAwLock> hold(ThreadEndLock());
  if (thread == ComThread.load()) ComThread = nullptr;
  if (thread == DispThread.load()) DispThread = nullptr;
  if (thread == OutThread.load()) OutThread = nullptr;
  if (ThreadCount == 1) {
    AllThreadsEnded();
    ThreadsRunning = false;
  }
  --ThreadCount;
}

void TApdBaseDispatcher::AwaitThreadsGone() {
  if (OnOwnThread()) return;  // freed from its own handler: nothing to await
  PumpUntil([&] { return ThreadCount == 0; });
  ThreadObjects.clear();
}

void TApdBaseDispatcher::ApplyThreadPriorities() {
  Guard hold(DispatchLock);
  const int level = 3 + ThreadBoost;
  if (TComThread* t = ComThread) t->SetPriorityLevel(level);
  if (TDispThread* t = DispThread) t->SetPriorityLevel(level);
  // In RS-485 mode the writer runs one level higher, so that RTS drops soon.
  if (TOutThread* t = OutThread) t->SetPriorityLevel(level + (RS485Mode ? 1 : 0));
}

void TApdBaseDispatcher::SetThreadBoost(uint8_t boost) {
  Guard hold(DispatchLock);
  if (boost == ThreadBoost) return;
  ThreadBoost = boost;
  ApplyThreadPriorities();
}

void TApdBaseDispatcher::SetRS485Mode(bool on) {
  Guard hold(DispatchLock);
  RS485Mode = on;
  ApplyThreadPriorities();
}
