// The dispatcher's locks, one pair of types for every platform.
//
// TAwLock is re-entrant (a thread may take it again while it holds it);
// TAwSharedLock is a reader-writer lock (the Win32 layer holds its device
// handle shared while a slot uses it, exclusive while it opens or closes it).
//
// On Windows they are a CRITICAL_SECTION and an SRWLOCK. MinGW's standard
// locks leave system handles behind when they are freed: std::mutex and
// std::recursive_mutex the event a contended lock made, std::shared_mutex
// two semaphores. The component makes a dispatcher (with its locks) for
// every open, so the handles would grow without bound. Both types meet the
// standard's lock requirements, so std::lock_guard, std::unique_lock and
// std::shared_lock take them.
#pragma once

#ifdef _WIN32
class TAwLock {
 public:
  TAwLock();
  ~TAwLock();
  TAwLock(const TAwLock&) = delete;
  TAwLock& operator=(const TAwLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  alignas(void*) unsigned char section_[40];  // the CRITICAL_SECTION
};

class TAwSharedLock {
 public:
  TAwSharedLock() = default;
  TAwSharedLock(const TAwSharedLock&) = delete;
  TAwSharedLock& operator=(const TAwSharedLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  void* srw_ = nullptr;  // the SRWLOCK: one pointer, all zero when free
};
#else
#include <mutex>
#include <shared_mutex>
using TAwLock = std::recursive_mutex;
using TAwSharedLock = std::shared_mutex;
#endif
