#pragma once
// A bus of simulated converters served on a pseudo-terminal (or a given tty) by a
// thread of its own.
//
//   krm::sim::Bus bus;                      // a new pseudo-terminal, line time emulated
//   bus.add(krm::sim::Converter{.address = 0x05});
//   bus.start();                            // throws std::system_error when it cannot
//   open(bus.path().c_str(), O_RDWR | O_NOCTTY);   // the peer's end
//   bus.waitForFrames(1, 2s);  bus.frames();       // what the peer sent, in order
//   bus.stop();                             // also done by the destructor
//
// Every member may be called from any thread while the bus runs.
//
// On the wire:
// - A request is one line up to CR. A line that is not "$" + two upper-case hex digits +
//   command letter + 0..30 parameter characters gets no reply; nor does a request for
//   an address nobody answers at. Line feeds in front of a line are skipped.
// - A line longer than kMaxLine bytes is garbage: it is dropped through its CR and
//   not recorded, so a peer that never sends CR costs at most kMaxLine bytes.
// - Replies waiting for a peer that does not read are bounded by kMaxPendingOutput
//   bytes; replies beyond that are lost.
// - A converter answers at its wire address: the address it had at its last power-up.
//   Several converters at one address all answer, one after the other.
//   A written address ("8") and written line settings (baud rates, formats) are
//   reported by the read-back at once but act on the wire only after powerUp().
// - Unless instant, each reply waits the time its request and reply take on a line of
//   the host's speed (10 bits per byte); misbehaviour comes on top.
// - With checkBaud, a converter answers only while the host's line speed (the
//   pseudo-terminal's output speed) equals its RS-232 baud rate.
//
// The simulator keeps the pseudo-terminal's slave end open itself, so a peer may
// close and reopen the device path freely; the line only goes away with closeLine(),
// a converter's hangUp misbehaviour, or stop().

#include "SimConverter.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krm::sim {

struct BusOptions {
  std::string port;                                 // a tty to serve; empty: a new pseudo-terminal
  bool checkBaud = false;
  bool instant = false;                             // no emulated line time
  // One line per request, reply and event, or none. Called with the bus's lock held
  // (from the serving thread, or from powerUp()), so it must not call the bus.
  std::function<void(const std::string &)> log;
};

class Bus {
 public:
  static constexpr std::size_t kMaxLine = 64;
  static constexpr std::size_t kMaxPendingOutput = 64 * 1024;
  static constexpr std::size_t kMaxRecordedFrames = 100000;

  explicit Bus(BusOptions options = {});
  ~Bus();
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  // Opens the line and starts serving. Throws std::system_error when the line cannot
  // be opened, std::logic_error when already started.
  void start();
  // Stops serving and closes the line (the peer sees a hang-up). Idempotent.
  void stop();
  // The device path of the peer's end (the pty slave, or the given port).
  std::string path() const;

  // Converters, numbered in the order they were added. add() also sets the wire
  // address and speed from the converter's settings. modify() changes settings at
  // once, as the read-back would show them; a changed address or RS-232 baud index
  // takes effect on the wire at once as well (the test set the bus up anew).
  std::size_t add(const Converter &converter);
  void modify(std::size_t index, const std::function<void(Converter &)> &change);
  Converter converter(std::size_t index) const;
  std::size_t converterCount() const;

  // Misbehaviour of every converter that has none of its own.
  void setBusMisbehaviour(const Misbehaviour &misbehaviour);

  // Power-up of every converter: written addresses and line settings take effect,
  // drop counters start again.
  void powerUp();

  // The line goes away as if the cable were cut: the peer sees a hang-up.
  void closeLine();
  bool lineOpen() const;

  // Request lines received so far, in order, without their CR (at most
  // kMaxRecordedFrames of them are kept; frameCount() counts all).
  std::vector<std::string> frames() const;
  std::size_t frameCount() const;
  void clearFrames();
  // True once frameCount() >= count, false when the deadline passed first.
  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct State;
  void serve();

  std::unique_ptr<State> state_;
  std::thread thread_;
};

}  // namespace krm::sim
