// The Windows locks behind TAwLock and TAwSharedLock.
#include "AwLock.h"

#include <windows.h>

namespace {
PCRITICAL_SECTION Section(unsigned char* storage) {
  return reinterpret_cast<PCRITICAL_SECTION>(storage);
}
PSRWLOCK Srw(void*& storage) { return reinterpret_cast<PSRWLOCK>(&storage); }
}  // namespace

TAwLock::TAwLock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof section_, "room for a CRITICAL_SECTION");
  InitializeCriticalSection(Section(section_));
}
TAwLock::~TAwLock() { DeleteCriticalSection(Section(section_)); }
void TAwLock::lock() { EnterCriticalSection(Section(section_)); }
bool TAwLock::try_lock() { return TryEnterCriticalSection(Section(section_)) != 0; }
void TAwLock::unlock() { LeaveCriticalSection(Section(section_)); }

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

void TAwSharedLock::lock() { AcquireSRWLockExclusive(Srw(srw_)); }
bool TAwSharedLock::try_lock() { return TryAcquireSRWLockExclusive(Srw(srw_)) != 0; }
void TAwSharedLock::unlock() { ReleaseSRWLockExclusive(Srw(srw_)); }
void TAwSharedLock::lock_shared() { AcquireSRWLockShared(Srw(srw_)); }
bool TAwSharedLock::try_lock_shared() { return TryAcquireSRWLockShared(Srw(srw_)) != 0; }
void TAwSharedLock::unlock_shared() { ReleaseSRWLockShared(Srw(srw_)); }
