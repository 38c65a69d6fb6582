// UtilityState: the one record that the window, its timers and the reply
// handling share. Everything runs on the window's thread, so it needs no lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Who takes the end (reply or time-out) of the exchange that is out.
enum class TExchangeOwner : std::uint8_t {
  Nobody,     // given up: its end is dropped (a stopped probe, a product ID read a choice overtook)
  Engine,     // LinkPhaseEngine: scan, device list, read-back
  Sequencer,  // SettingsWriteSequencer: a setting write or the version query
  Console,    // the command test console's line
};

struct UtilityState {
  // Link and exchange
  bool Busy = false;               // a request is out, its reply or time-out not yet in
  std::string ReplyText;           // every character received since the last request
  std::int32_t ReplyLength = 0;    // how many characters that is (sum of the batches)
  bool ReplyEvent = false;         // an exchange ended and Timer1 has not consumed it
  bool ReplyOk = false;            // true: reply ending in CR; false: time-out
  std::int32_t TimeoutTicks = 6;   // base reply time-out in 55 ms ticks
  std::uint16_t TimeoutTrigger = 0;
  bool PortOk = true;              // false when the last open of the host port failed
  bool QuitRequested = false;      // close at the next reply or time-out
  std::int32_t TargetAddress = 0;  // address written into every command frame

  // One exchange at a time, for every sender: a request that finds an
  // exchange out (Busy) waits here and goes out when that one ends; the end
  // is taken by the owner of the exchange it belongs to.
  TExchangeOwner ExchangeOwner = TExchangeOwner::Engine;  // owner of the exchange out, or of the last one
  TExchangeOwner WaitingOwner = TExchangeOwner::Nobody;   // a request waits for the line (Nobody: none)
  char WaitingLetter = 0;                                 // its command letter; 0 for the console's line
  // The sequencer's own outcome, kept from the end of its exchange: a line
  // sent right after it (the console's) cannot stand in for it at the verdict.
  bool SequencerReplyOk = false;
  std::string SequencerReplyText;  // between the address and the final CR
  // Modal loops of the window open now (boxes, the port selection dialog, a
  // port being opened or closed): the engines do not step meanwhile.
  std::int32_t ModalLoops = 0;

  // Scan, device list and read-back
  std::int32_t LinkPhase = 0;  // 0 idle, 1 scanning, 2 scan ended, 3 reading IDs, 4 list shown, 5 reading back
  bool Scanning = false;
  std::int32_t ModuleCount = 0;
  std::array<std::int32_t, 256> ModuleAddress{};
  std::array<bool, 256> ModuleInitStep{};
  bool ModulesFound = false;
  bool InitStepMode = false;
  std::int32_t ListRow = 0;
  std::int32_t QueryIndex = 0;
  std::array<std::int32_t, 10> ReadBack{};

  // Settings write sequencer
  std::int32_t WriteStep = 0;
  bool SaveRequested = false;
  bool VersionRequested = false;

  bool PendProtocol = false;
  bool PendRs485Baud = false;
  bool PendRs232Baud = false;
  bool PendAddress = false;
  bool PendAddrMode = false;
  bool PendTxMode = false;
  bool PendStopChar = false;
  bool PendAppendStop = false;
  bool PendChecksum = false;
  bool PendDelimiter = false;
  bool PendProductId = false;
  bool PendRs485Format = false;
  bool PendRs232Format = false;

  // Recorded device values, as item indexes of their boxes
  std::int32_t DevProtocol = 0;
  std::int32_t DevRs485Baud = 0;
  std::int32_t DevRs232Baud = 0;
  std::int32_t DevRs485Format = 0;
  std::int32_t DevRs232Format = 0;
  std::int32_t DevAddrMode = 0;
  std::int32_t DevTxMode = 0;
  std::int32_t DevAppendStop = 0;
  std::int32_t DevChecksum = 0;
  std::int32_t DevDelimiter = 0;
  std::int32_t DevAddress = 0;   // 0..255
  std::int32_t DevStopChar = 0;  // 0..255

  // Frame parameters
  char ParRs485Baud = '\0';
  char ParRs232Baud = '\0';
  char ParDelimiter = '\0';
  std::string ParRs485Format;
  std::string ParRs232Format;
  std::string ParProductId;
  std::string ParAddress;
  std::string ParStopChar;

  // Test console and window
  bool TestActive = false;
  bool TestStopped = false;
  bool TestSingle = false;
  bool PickArmed = false;
  bool ProductIdEdited = false;
};
