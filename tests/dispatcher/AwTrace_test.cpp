#include "AwTrace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "AwErrorCodes.h"

namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    do {
      dir_ = fs::temp_directory_path() / ("awtrace-" + std::to_string(random()));
    } while (!fs::create_directory(dir_));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

void RecordAll(TTraceRecorder& trace, uint8_t kind, const std::string& bytes) {
  for (char c : bytes) trace.Record(kind, static_cast<uint8_t>(c));
}

// ---- trace ----

using TraceDump = TempDir;

TEST_F(TraceDump, WrappedTraceStartsAtOldestAndSeparatesGroups) {
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(3), 0);
  RecordAll(trace, TraceReceive, "ab");
  RecordAll(trace, TraceTransmit, "c");
  RecordAll(trace, TraceReceive, "d");
  EXPECT_TRUE(trace.Wrapped());

  ASSERT_EQ(trace.DumpTo(Path("t.trc"), false, false, false), 0);
  EXPECT_EQ(Read(Path("t.trc")), "Receive: \nb\n\nTransmit: \nc\n\nReceive: \nd\n");
  EXPECT_FALSE(trace.HasBuffer());
  EXPECT_FALSE(trace.On());
}

TEST_F(TraceDump, SpecialKindsGetTheirOwnHeading) {
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, TraceTransmit, "$01");
  RecordAll(trace, 'X', "!");
  ASSERT_EQ(trace.DumpTo(Path("t.trc"), false, false, false), 0);
  EXPECT_EQ(Read(Path("t.trc")), "Transmit: \n$01\n\nSpecial-X: \n!\n");
}

TEST_F(TraceDump, EmptyTraceWritesNoFileAndIsFreed) {
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(10), 0);
  EXPECT_EQ(trace.DumpTo(Path("t.trc"), false, false, false), 0);
  EXPECT_FALSE(fs::exists(Path("t.trc")));
  EXPECT_FALSE(trace.HasBuffer());

  TTraceRecorder never;
  EXPECT_EQ(never.DumpTo(Path("t.trc"), false, false, false), 0);
  EXPECT_FALSE(fs::exists(Path("t.trc")));
}

TEST_F(TraceDump, ByteRulesForPlainHexAndAllHex) {
  const std::string bytes = std::string("A \r") + '\x09' + 'c' + '\xC8' + '~' + '\x7F';
  const struct {
    bool hex, allHex;
    const char* text;
  } cases[] = {
      {false, false, "A [13][9]c[200]~[127]"},
      {true, false, "A[20][0D][09]c[C8]~[7F]"},
      {false, true, "[41][20][0D][09][63][C8][7E][7F]"},
      {true, true, "[41][20][0D][09][63][C8][7E][7F]"},
  };
  for (const auto& c : cases) {
    TTraceRecorder trace;
    ASSERT_EQ(trace.Start(100), 0);
    RecordAll(trace, TraceReceive, bytes);
    ASSERT_EQ(trace.DumpTo(Path("t.trc"), false, c.hex, c.allHex), 0);
    EXPECT_EQ(Read(Path("t.trc")), "Receive: \n" + std::string(c.text) + "\n")
        << "hex " << c.hex << " allHex " << c.allHex;
  }
}

TEST_F(TraceDump, CarriageReturnIsDecimalOrHex) {
  for (bool hex : {false, true}) {
    TTraceRecorder trace;
    ASSERT_EQ(trace.Start(10), 0);
    RecordAll(trace, TraceReceive, "!0A\r");
    ASSERT_EQ(trace.DumpTo(Path("t.trc"), false, hex, false), 0);
    EXPECT_EQ(Read(Path("t.trc")), hex ? "Receive: \n!0A[0D]\n" : "Receive: \n!0A[13]\n");
  }
}

TEST_F(TraceDump, LinesBreakBeforeColumn79) {
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(1000), 0);
  RecordAll(trace, TraceReceive, std::string(79, 'x'));
  // A five-column byte that would end at column 81 moves to the next line.
  trace.Record(TraceTransmit, 'a');
  for (int i = 0; i < 20; ++i) trace.Record(TraceTransmit, 200);
  ASSERT_EQ(trace.DumpTo(Path("t.trc"), false, false, false), 0);

  std::string fifteen, five;
  for (int i = 0; i < 15; ++i) fifteen += "[200]";
  for (int i = 0; i < 5; ++i) five += "[200]";
  EXPECT_EQ(Read(Path("t.trc")), "Receive: \n" + std::string(78, 'x') + "\nx\n\nTransmit: \na" +
                                     fifteen + "\n" + five + "\n");
}

TEST_F(TraceDump, AppendKeepsTheFileOverwriteReplacesIt) {
  const std::string path = Path("t.trc");
  { std::ofstream(path, std::ios::binary) << "before\n"; }
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, TraceReceive, "x");
  ASSERT_EQ(trace.DumpTo(path, true, false, false), 0);
  EXPECT_EQ(Read(path), "before\nReceive: \nx\n");

  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, TraceTransmit, "y");
  ASSERT_EQ(trace.DumpTo(path, false, false, false), 0);
  EXPECT_EQ(Read(path), "Transmit: \ny\n");

  // Appending to a file that does not exist creates it.
  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, TraceTransmit, "z");
  ASSERT_EQ(trace.DumpTo(Path("new.trc"), true, false, false), 0);
  EXPECT_EQ(Read(Path("new.trc")), "Transmit: \nz\n");
}

TEST_F(TraceDump, OpenFailureReturnsFileErrorAndFreesTrace) {
  TTraceRecorder trace;
  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, TraceReceive, "x");
  EXPECT_EQ(trace.DumpTo(Path("missing/t.trc"), false, false, false), ecode::FileNotFound);
  EXPECT_FALSE(trace.HasBuffer());
}

TEST(TraceRecorder, StartPauseResumeAbort) {
  TTraceRecorder trace;
  EXPECT_EQ(trace.Start(TTraceRecorder::MaxEntries + 1), ecode::BadArgument);
  EXPECT_FALSE(trace.HasBuffer());
  EXPECT_FALSE(trace.On());

  ASSERT_EQ(trace.Start(4), 0);
  RecordAll(trace, TraceReceive, "abcde");
  EXPECT_TRUE(trace.Wrapped());
  EXPECT_EQ(trace.Position(), 1u);
  // Starting again only empties the buffer; its size stays.
  ASSERT_EQ(trace.Start(100), 0);
  EXPECT_EQ(trace.Capacity(), 4u);
  EXPECT_EQ(trace.Position(), 0u);
  EXPECT_FALSE(trace.Wrapped());

  trace.Pause();
  EXPECT_FALSE(trace.On());
  EXPECT_TRUE(trace.HasBuffer());
  trace.Resume();
  EXPECT_TRUE(trace.On());
  trace.Abort();
  EXPECT_FALSE(trace.HasBuffer());
  trace.Resume();
  EXPECT_FALSE(trace.On());
}

// ---- dispatch log ----

class LogDump : public TempDir {
 protected:
  void SetUp() override {
    TempDir::SetUp();
    log_.SetTickSource([this] { return now_; });
    log_.SetWallClock([] {
      std::tm t{};
      t.tm_year = 124;  // 2024
      t.tm_mon = 2;
      t.tm_mday = 5;
      t.tm_hour = 7;
      t.tm_min = 8;
      t.tm_sec = 9;
      return t;
    });
  }

  std::string Header() const {
    return "QELT v4.05\n"
           "Compiler : Unknown\n"
           "Operating System : " +
           OperatingSystemDescription() +
           "\n"
           "Device: COM3\n"
           "Date/time: 05/03/24, 07:08:09\n"
           "Time      Type      SubType       Data      OtherData\n"
           "--------  --------  ------------  --------  ---------\n";
  }

  std::string Dump(bool hex = false, bool allHex = false) {
    EXPECT_EQ(log_.DumpTo(Path("q.log"), false, hex, allHex, "COM3"), 0);
    return Read(Path("q.log"));
  }

  void Add(uint8_t type, uint8_t subtype, uint32_t data, const std::string& bytes = {}) {
    log_.Add(type, subtype, data, reinterpret_cast<const uint8_t*>(bytes.data()),
             static_cast<uint32_t>(bytes.size()));
  }

  TDispatchLog log_;
  uint32_t now_ = 0;
};

TEST_F(LogDump, HeaderAndEntryLinesAreExact) {
  log_.Start(4096, 512);
  log_.SetTimeBase(1000);
  now_ = 2234;
  Add(logtype::Dispatch, logsub::WriteCom, 4, "$01\r");
  now_ = 1000;
  Add(logtype::TrigAllc, logsub::TimerAlloc, 8);
  now_ = 1000 + 12345678;
  Add(logtype::TrDatChg, logsub::TimerAlloc, 8, "Deactivated");
  now_ = 1000 + 999;
  Add(logtype::Trigger, 0, 0xABCDEF12);
  Add(logtype::TrgHdAlc, logsub::Window, 0x10);
  Add(logtype::TrDatChg, logsub::AvailChange, 1);

  EXPECT_EQ(Dump(), Header() +
                        "0001.234  Dispatch  WriteCom      00000004  $01[13]\n"
                        "0000.000  TrigAllc  Timer         00000008  \n"
                        "12345.678  TrDatChg  Timer         00000008  Deactivated\n"
                        "0000.999  Trigger                 abcdef12  \n"
                        "0000.999  TrgHdAlc  Window        00000010  \n"
                        "0000.999  TrDatChg  Avail         00000001  \n");
  EXPECT_FALSE(log_.HasBuffer());
  EXPECT_FALSE(log_.On());
}

TEST_F(LogDump, DataBytesWrapBeforeColumn79WithFortyFourBlanks) {
  log_.Start(4096, 512);
  Add(logtype::Dispatch, logsub::ReadCom, 40, std::string(40, 'x'));
  Add(logtype::Dispatch, logsub::ReadCom, 9, std::string(9, 'y'));
  const std::string blanks(44, ' ');
  const std::string lead = "0000.000  Dispatch  ReadCom       ";
  EXPECT_EQ(Dump(false, true),
            Header() + lead + "00000028  " +
                "[78][78][78][78][78][78][78][78]\n" + blanks +
                "[78][78][78][78][78][78][78][78]\n" + blanks +
                "[78][78][78][78][78][78][78][78]\n" + blanks +
                "[78][78][78][78][78][78][78][78]\n" + blanks + "[78][78][78][78][78][78][78][78]\n" +
                lead + "00000009  [79][79][79][79][79][79][79][79]\n" + blanks + "[79]\n");

  log_.Start(4096, 512);
  Add(logtype::Dispatch, logsub::ReadCom, 40, std::string(40, 'x'));
  EXPECT_EQ(Dump(), Header() + lead + "00000028  " + std::string(33, 'x') + "\n" + blanks +
                        std::string(7, 'x') + "\n");
}

TEST_F(LogDump, ModemStatusAndStatusKindNames) {
  log_.Start(4096, 512);
  Add(logtype::Dispatch, logsub::ModemStatus, 0x31);
  Add(logtype::Dispatch, logsub::ModemStatus, 0xCE);
  Add(logtype::Dispatch, logsub::ModemStatus, 0);
  Add(logtype::TrigDisp, logsub::StatusAlloc, 0x1B, "\x03");
  Add(logtype::TrigAllc, logsub::StatusAlloc, 0x20, std::string(1, '\0'));
  Add(logtype::TrigDisp, logsub::StatusAlloc, 0x25, "\x05");
  // A kind this system does not know is shown as a plain byte.
  Add(logtype::TrigDisp, logsub::StatusAlloc, 0x26, "\x06");
  // Subtype 15 names a kind only for trigger allocation and removal.
  Add(logtype::Dispatch, logsub::StatusAlloc, 1, "\x03");

  EXPECT_EQ(Dump(), Header() +
                        "0000.000  Dispatch  Modem status  00000031  (DCTS CTS DSR)\n"
                        "0000.000  Dispatch  Modem status  000000ce  (DDSR TERI DDCD RI DCD)\n"
                        "0000.000  Dispatch  Modem status  00000000  ()\n"
                        "0000.000  TrigDisp  Status        0000001b  (Output buffer free)\n"
                        "0000.000  TrigAllc  Status        00000020  (Not active)\n"
                        "0000.000  TrigDisp  Status        00000025  (Output sent)\n"
                        "0000.000  TrigDisp  Status        00000026  [6]\n"
                        "0000.000  Dispatch  Status        00000001  [3]\n");
}

TEST_F(LogDump, UserEntriesIgnoreAllHex) {
  log_.Start(4096, 512);
  Add(logtype::User, 0, 2, "hi\r");
  Add(logtype::Dispatch, logsub::WriteCom, 2, "hi");
  EXPECT_EQ(Dump(true, true), Header() +
                                  "0000.000  User                    00000002  hi[0D]\n"
                                  "0000.000  Dispatch  WriteCom      00000002  [68][69]\n");
}

TEST_F(LogDump, FullRingEvictsOldestEntries) {
  // 80 bytes: five bare entries, or fewer with data.
  log_.Start(80, 16);
  for (uint32_t i = 1; i <= 5; ++i) Add(logtype::Trigger, logsub::Timer, i);
  EXPECT_EQ(log_.FreeBytes(), 0u);
  Add(logtype::Trigger, logsub::Data, 6, "abcdefghij");  // 26 bytes: entries 1 and 2 go
  EXPECT_EQ(log_.FreeBytes(), 80u - 3 * 16 - 26);
  Add(logtype::Trigger, logsub::Timer, 7);  // 6 bytes free: entry 3 goes
  EXPECT_EQ(Dump(), Header() +
                        "0000.000  Trigger   Timer         00000004  \n"
                        "0000.000  Trigger   Timer         00000005  \n"
                        "0000.000  Trigger   Data          00000006  abcdefghij\n"
                        "0000.000  Trigger   Timer         00000007  \n");
}

TEST_F(LogDump, EntryLargerThanRingIsDroppedAndEvictsNothing) {
  log_.Start(64, 16);
  Add(logtype::Trigger, logsub::Timer, 1);
  Add(logtype::Dispatch, logsub::ReadCom, 49, std::string(49, 'z'));  // 65 bytes
  EXPECT_EQ(log_.FreeBytes(), 48u);
  Add(logtype::Dispatch, logsub::ReadCom, 48, std::string(48, 'w'));  // exactly 64
  EXPECT_EQ(log_.FreeBytes(), 0u);
  EXPECT_EQ(Dump(), Header() + "0000.000  Dispatch  ReadCom       00000030  " + std::string(33, 'w') +
                        "\n" + std::string(44, ' ') + std::string(15, 'w') + "\n");
}

TEST_F(LogDump, EntriesLongerThanScratchAndWrappingTheRing) {
  log_.Start(100, 4);
  Add(logtype::Dispatch, logsub::ReadCom, 30, std::string(30, 'a'));
  Add(logtype::Dispatch, logsub::ReadCom, 30, std::string(30, 'b'));
  Add(logtype::Dispatch, logsub::ReadCom, 30, std::string(30, 'c'));  // wraps the end
  const std::string lead = "0000.000  Dispatch  ReadCom       0000001e  ";
  EXPECT_EQ(Dump(), Header() + lead + std::string(30, 'b') + "\n" + lead + std::string(30, 'c') + "\n");
}

TEST_F(LogDump, EmptyLogWritesNoFile) {
  log_.Start(1000, 16);
  EXPECT_EQ(log_.DumpTo(Path("q.log"), false, false, false, "COM1"), 0);
  EXPECT_FALSE(fs::exists(Path("q.log")));
  EXPECT_FALSE(log_.HasBuffer());
}

TEST_F(LogDump, AppendAndOpenFailure) {
  const std::string path = Path("q.log");
  { std::ofstream(path, std::ios::binary) << "older\n"; }
  log_.Start(1000, 16);
  Add(logtype::Trigger, logsub::Avail, 3);
  ASSERT_EQ(log_.DumpTo(path, true, false, false, "COM3"), 0);
  EXPECT_EQ(Read(path), "older\n" + Header() + "0000.000  Trigger   Avail         00000003  \n");

  // A file that cannot be opened leaves the log in place, switched off.
  log_.Start(1000, 16);
  Add(logtype::Trigger, logsub::Avail, 4);
  EXPECT_EQ(log_.DumpTo(Path("missing/q.log"), false, false, false, "COM3"), ecode::FileNotFound);
  EXPECT_TRUE(log_.HasBuffer());
  EXPECT_FALSE(log_.On());
  EXPECT_EQ(Dump(), Header() + "0000.000  Trigger   Avail         00000004  \n");
}

TEST_F(LogDump, RecordsOnlyWhileOn) {
  Add(logtype::Trigger, logsub::Avail, 1);  // no ring yet
  log_.Start(1000, 16);
  EXPECT_TRUE(log_.On());
  log_.Pause();
  Add(logtype::Trigger, logsub::Avail, 2);
  EXPECT_EQ(log_.FreeBytes(), 1000u);
  // Starting an existing log only empties it and does not switch it on.
  log_.Start(1000, 16);
  EXPECT_FALSE(log_.On());
  log_.Resume();
  Add(logtype::Trigger, logsub::Avail, 3);
  log_.Clear();
  EXPECT_EQ(log_.FreeBytes(), 1000u);
  Add(logtype::Trigger, logsub::Avail, 4);
  EXPECT_EQ(Dump(), Header() + "0000.000  Trigger   Avail         00000004  \n");
  log_.Resume();
  EXPECT_FALSE(log_.On());
}

TEST(OperatingSystem, DescribesThisSystem) {
#ifdef __linux__
  EXPECT_EQ(OperatingSystemDescription().rfind("Linux ", 0), 0u) << OperatingSystemDescription();
#else
  EXPECT_FALSE(OperatingSystemDescription().empty());
#endif
}

}  // namespace
