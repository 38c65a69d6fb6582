// The POSIX device layer: the dispatcher's device slots over termios, poll
// and ioctl.
//
// Port names: "\\.\COM<n>" resolves to the environment's KRM4610_COM<n>
// when set, else /dev/ttyS<n-1>; any other name is used as a path.
//
// Every system error goes through one translator (SystemCode): "no such
// file" and "out of memory" become the library's own codes, any other errno
// keeps its number in ecode::SystemError, whose message is the system's text.
// Open failures, as OpenDeviceHandle returns them:
//   -5 (access denied)  the port is held by another program (flock or
//                       TIOCEXCL refused it); the component says "already open"
//   -2 (no such file)   the port does not exist: ENOENT, and also ENXIO,
//                       ENODEV and EIO (a device node without hardware)
//   SystemError(errno)  as the system gave it (EACCES "Permission denied")
//   -8                  the layer's own wake-up pipes could not be made
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "AwUser.h"

class TApdPosixDispatcher : public TApdBaseDispatcher {
 public:
  explicit TApdPosixDispatcher(TApdCustomComPort* owner);
  ~TApdPosixDispatcher() override;

  static std::string ResolvePortName(const std::string& name);

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
  uint32_t DeviceOutputQueued() override;

  // The library's code for a system error number.
  static int32_t SystemCode(int error);
  // Whether this error of an open means "the user may not use the port".
  static bool IsPermissionDenied(int32_t code);

 protected:
  void AllThreadsEnded() override;
  // A pseudo-terminal keeps 8 data bits and no parity whatever it is told;
  // only there is that no failure. Set by OpenDeviceHandle.
  bool pseudoTerminal_ = false;

 private:
  void CloseDescriptors();
  // A read, write or purge failed: EIO is the line hung up, which is final.
  int32_t Failure(int error);
  void Wake(const int (&pipe)[2]);
  // Line-error bits that appeared in the kernel's counters since last asked.
  uint32_t NewLineErrors();
  // Modem and line-error events seen since the last call (TComThread).
  uint32_t LineEvents();

  int fd_ = -1;
  int eventWake_[2] = {-1, -1};  // CancelDeviceEventWait -> WaitDeviceEvent
  int writeWake_[2] = {-1, -1};  // an output purge or a close -> WriteDevice
  std::mutex wakeLock_;          // the write ends of both pipes against their close
  TLineState applied_;           // what termios cannot hold comes from here
  // The device dropped size and parity (a pty); told by each line change,
  // the open's own too.
  bool framingIgnored_ = false;

  std::mutex errorLock_;         // the two below
  uint32_t pendingErrors_ = 0;
  int lastCounts_[5] = {};

  bool watchLines_ = false;      // TComThread only
  uint8_t lastLines_ = 0;
};
