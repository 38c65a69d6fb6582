// The Win32 device layer: the dispatcher's device slots over the Windows
// communications API (overlapped I/O on "\\.\COMn").
//
// Every overlapped operation ends inside the slot that started it, so no
// operation outlives its thread (Windows aborts it when that thread exits) or
// the handle. The handle is shared by four threads; CloseDeviceHandle first
// wakes every blocked slot and then closes it under an exclusive lock, so no
// thread can use a closed (and possibly reused) handle value.
//
// windows.h stays out of this header: the port component includes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "AwUser.h"

class TApdWin32Dispatcher : public TApdBaseDispatcher {
 public:
  explicit TApdWin32Dispatcher(TApdCustomComPort* owner);
  ~TApdWin32Dispatcher() override;

  // What an open result (a negated Win32 error) means to the component.
  // Windows answers "access denied" for a port another program holds.
  static bool IsHeldByAnotherProgram(int32_t code);
  static bool IsMissingPort(int32_t code);

  int32_t EscapeFunction(int32_t code) override;
  int32_t PurgeQueue(bool input) override;
  uint32_t ReadDeviceErrors(TDeviceStatus& status) override;
  int32_t GetDeviceState(TLineState& state) override;
  int32_t ReadDevice(uint8_t* buffer, uint32_t count) override;
  int32_t SetDeviceState(const TLineState& state) override;
  int32_t QueueOutput(const uint8_t* data, uint32_t count) override;
  bool WaitDeviceEvent(uint32_t& mask) override;
  int32_t SetupDeviceQueues(uint32_t inSize, uint32_t outSize) override;
  intptr_t OpenDeviceHandle(const std::string& name, uint32_t inSize,
                            uint32_t outSize) override;
  int32_t CloseDeviceHandle() override;
  int32_t YieldSlice() override;
  uint8_t ReadModemLines() override;
  void PrepareDeviceEvents(uint32_t mask) override;
  void CancelDeviceEventWait() override;
  int32_t WriteDevice(const uint8_t* data, uint32_t count) override;

 private:
  struct TWin32Io;  // handles, overlapped records and their locks
  // A failed call whose error says the device went away makes it gone:
  // final for this opening, whose slots then leave the device alone.
  void NoteFailure(uint32_t error);
  int32_t PurgeDriver(uint32_t flags);
  // The event that interrupts a pending WriteDevice during an output purge.
  void SetPurgeWake(bool on);
  // For drivers that refuse the ring-edge event in the mask; the caller
  // holds the device (a HANDLE).
  bool DropRingEdgeEvent(void* device);
  std::unique_ptr<TWin32Io> io_;
};
