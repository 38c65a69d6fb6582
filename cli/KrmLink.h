// KrmLink: the command line's host port. One exchange at a time, as the
// window makes it: the reply time-out armed before the send, the reply
// complete with a batch that ends in CR. There is no GUI thread: the
// dispatcher's delivery thread hands each batch to the caller waiting.
#pragma once

#include "AwUser.h"
#include "KrmProtocol.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct TLinkSettings {
  std::string DeviceName;  // "\\.\COM1", or a device path as given
  std::string Label;       // the port as the user knows it: "COM1 (/dev/ttyUSB0)"
  std::int32_t Baud = 9600;
  HostLineFormat Format;
};

enum class TExchangeEnd {
  Reply,        // a batch ended in CR
  TimedOut,     // the reply time-out ran out first
  Interrupted,  // the stop flag was raised while waiting
  PortLost,     // the device went away, or the frame could not be queued
};

struct TExchangeResult {
  TExchangeEnd End = TExchangeEnd::TimedOut;
  std::string Text;         // everything received since the send (bounded)
  std::int32_t Length = 0;  // how many characters that was
};

class TKrmLink final : private TNotifyWindow {
 public:
  // Stop ends a wait for a reply early (Ctrl-C).
  explicit TKrmLink(const std::atomic<bool>& Stop);
  ~TKrmLink() override;
  TKrmLink(const TKrmLink&) = delete;
  TKrmLink& operator=(const TKrmLink&) = delete;

  // Empty when the port is open, else the reason in the user's words,
  // "COM1 (/dev/ttyUSB0): in use by another program".
  std::string Open(const TLinkSettings& Settings);
  // Sends Frame and waits for its reply or for Ticks ticks of 55 ms.
  // FlushFirst discards queued output and everything received before.
  TExchangeResult Exchange(std::string_view Frame, std::int32_t Ticks, bool FlushFirst = false);
  // The port as the user knows it.
  const std::string& Label() const { return FLabel; }

 private:
  bool SendNotify(uint32_t Msg, uint32_t WParam, uint32_t LParam, uint32_t TimeoutMs) override;
  void End(TExchangeEnd How);  // FLock held

  const std::atomic<bool>& FStop;
  std::string FLabel;
  std::unique_ptr<TApdBaseDispatcher> FDispatcher;
  int32_t FTimer = 0;

  std::mutex FLock;
  std::condition_variable FEnded;
  bool FWaiting = false;  // an exchange is out
  std::optional<TExchangeEnd> FEnd;
  bool FGone = false;
  std::string FText;
  std::int32_t FLength = 0;
};
