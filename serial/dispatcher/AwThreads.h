// The three threads that serve an open port: TComThread waits for device
// events, TDispThread fills the input ring and delivers trigger messages,
// TOutThread writes the output ring to the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class TApdBaseDispatcher;

// Per system, beside its device layer (AwPosix.cpp, AwWin32.cpp): the
// calling thread's id, and a priority level 0..6 given to a thread, as far
// as the system lets this process (best effort).
long CurrentSystemThreadId();
void ApplyThreadPriority(long systemId, int level);

class TApdDispatcherThread {
 public:
  explicit TApdDispatcherThread(TApdBaseDispatcher& dispatcher);
  // Joins the thread; it must have left ThreadEnded (or be the caller).
  virtual ~TApdDispatcherThread();
  TApdDispatcherThread(const TApdDispatcherThread&) = delete;
  TApdDispatcherThread& operator=(const TApdDispatcherThread&) = delete;

  void Start();
  bool IsCurrent() const;
  // 0 (idle) .. 3 (normal) .. 6 (time critical); the OS may refuse, which
  // is fine: priorities only help RTS drop sooner. Set before Start, the
  // level is taken as the thread starts. The opener sets levels before or
  // after a start, never during one.
  void SetPriorityLevel(int level);
 protected:
  friend class TApdBaseDispatcher;
  // The dispatcher thread running the caller, or null.
  static thread_local TApdDispatcherThread* CurrentThread;

  virtual void Execute() = 0;
  // Runs after Execute, however it ended, before ThreadEnded.
  virtual void Leaving() {}
  TApdBaseDispatcher& Dispatcher;

 private:
  void Run();

  std::thread thread_;
  std::atomic<long> systemId_{0};  // the OS's thread id, for priorities
  std::atomic<int> wantedLevel_{3};
};

class TComThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
  void Leaving() override;
};

class TDispThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
  void Leaving() override;

 private:
  void EventPass();
  void TimerPass();
  void TellDeviceGone();
  // Runs CheckStatusTriggers while it delivers; false when a close cut it short.
  bool StatusRound();
};

class TOutThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;

 private:
  void WriteLoop();
};
