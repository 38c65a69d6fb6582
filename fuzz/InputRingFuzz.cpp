// The dispatcher's input ring and its avail and data triggers, driven by a
// byte stream and a script of reads, against a plain model:
// - every byte the driver received is read back once, in order;
// - every data trigger fires where its text ends in the stream (a reference
//   matcher fed the plain stream says where), also across the ring's end;
// - once the passes have nothing left to do, no byte that arrived after the
//   last notice sits unannounced while the unread count reaches the threshold.
// The window always takes its notices, so the latch that tells a dropped
// notice again never comes into play.
#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "FuzzCheck.h"

namespace {

struct TModel {
  std::vector<uint8_t> Stream;  // every byte the driver received, in order
  uint64_t Read = 0;            // how many of them the owner took
  uint64_t Covered = 0;         // how many of them some notice announced
  std::vector<TDataTrigger> Reference;          // fed the plain stream
  std::vector<std::deque<uint64_t>> MatchEnds;  // per trigger, 0-based
  uint64_t Referenced = 0;                      // stream bytes fed to Reference
};

class TScriptedWindow : public TNotifyWindow {
 public:
  TScriptedWindow(TFakeDispatcher& d, TModel& model) : d_(d), model_(model) {}
  uint32_t ReadsPerNotice = 0xFFFFFFFF;  // how many announced bytes a handler takes

  bool SendNotify(uint32_t msg, uint32_t wParam, uint32_t lParam, uint32_t) override {
    FUZZ_CHECK(static_cast<int32_t>(lParam >> 16) == d_.DispatcherHandle, "lParam %08x", lParam);
    uint32_t toRead = 0;
    if (msg == TriggerAvailMsg) {
      FUZZ_CHECK(wParam >= d_.AvailThreshold && wParam > 0, "avail %u, threshold %u", wParam,
                 d_.AvailThreshold);
      FUZZ_CHECK(wParam <= d_.InUsed(), "avail %u with %u unread", wParam, d_.InUsed());
      model_.Covered = std::max(model_.Covered, model_.Read + wParam);
      toRead = wParam;
    } else if (msg == TriggerDataMsg) {
      CheckMatch(wParam, lParam & 0xFFFF);
      toRead = lParam & 0xFFFF;
    }
    uint32_t taken = 0;
    uint8_t byte;
    while (taken < std::min(toRead, ReadsPerNotice) && d_.GetByte(byte) == 0) {
      const uint64_t at = model_.Read + taken;
      FUZZ_CHECK(at < model_.Stream.size() && byte == model_.Stream[at],
                 "byte %llu read in a delivery is %02x", static_cast<unsigned long long>(at), byte);
      ++taken;
    }
    model_.Read += taken;  // one handler: its reads are what the delivery commits
    return true;
  }

 private:
  // The match ends at ScanPos; its place in the stream follows from how many
  // bytes the ring took and where its head is.
  void CheckMatch(uint32_t handle, uint32_t length) {
    size_t index = 0;
    while (index < d_.DataTriggers.size() && d_.DataTriggers[index].Handle != static_cast<int32_t>(handle))
      ++index;
    FUZZ_CHECK(index < d_.DataTriggers.size(), "data message for unknown handle %u", handle);
    const uint64_t arrived = model_.Stream.size() - d_.Driver.size();
    const uint32_t after = (d_.InHead + InRingSize - d_.ScanPos - 1) % InRingSize;
    FUZZ_CHECK(arrived > after, "match position before the stream's start");
    const uint64_t end = arrived - 1 - after;
    std::deque<uint64_t>& expected = model_.MatchEnds[index];
    FUZZ_CHECK(!expected.empty() && expected.front() == end,
               "trigger %zu fired at stream byte %llu, expected %lld", index,
               static_cast<unsigned long long>(end),
               expected.empty() ? -1LL : static_cast<long long>(expected.front()));
    expected.pop_front();
    FUZZ_CHECK(end + 1 >= length &&
                   std::equal(model_.Stream.begin() + static_cast<std::ptrdiff_t>(end + 1 - length),
                              model_.Stream.begin() + static_cast<std::ptrdiff_t>(end + 1),
                              d_.DataTriggers[index].MatchString,
                              [&](uint8_t s, uint8_t t) {
                                return (d_.DataTriggers[index].IgnoreCase ? AnsiUpper(s) : s) == t;
                              }),
               "the stream does not end in the trigger's text at %llu",
               static_cast<unsigned long long>(end));
    model_.Covered = std::max(model_.Covered, end + 1);
  }

  TFakeDispatcher& d_;
  TModel& model_;
};

// Bytes from a small alphabet, so that the trigger texts occur often.
uint8_t StreamByte(uint8_t code) {
  static constexpr uint8_t Alphabet[] = {'\r', 'A', 'B', 'a', '!', 0x00, 0xFF, 'x'};
  return Alphabet[code % sizeof Alphabet];
}

void Receive(TFakeDispatcher& d, TModel& model, const std::vector<uint8_t>& bytes) {
  d.Receive(bytes);
  model.Stream.insert(model.Stream.end(), bytes.begin(), bytes.end());
  // The reference matchers see the plain stream, with no ring in between.
  for (; model.Referenced < model.Stream.size(); ++model.Referenced)
    for (size_t i = 0; i < model.Reference.size(); ++i)
      if (MatchDataByte(model.Reference[i], model.Stream[model.Referenced]))
        model.MatchEnds[i].push_back(model.Referenced);
}

// One event pass of the dispatcher thread, as far as the input goes.
void Pass(TFakeDispatcher& d) {
  d.FillInput();
  while (d.CheckDataTriggers()) {
  }
}

void ReadDirectly(TFakeDispatcher& d, TModel& model, uint32_t count) {
  uint8_t byte;
  for (uint32_t i = 0; i < count && d.GetByte(byte) == 0; ++i) {
    FUZZ_CHECK(model.Read < model.Stream.size() && byte == model.Stream[model.Read],
               "byte %llu read directly is %02x", static_cast<unsigned long long>(model.Read), byte);
    ++model.Read;
  }
}

// Passes until one changes nothing (each change is progress: the driver only
// empties, reads and notices only advance); then nothing may be left unannounced.
void Settle(TFakeDispatcher& d, TModel& model) {
  for (;;) {
    const size_t waiting = d.Driver.size();
    const uint64_t read = model.Read, covered = model.Covered;
    Pass(d);
    if (d.Driver.size() == waiting && model.Read == read && model.Covered == covered) break;
  }
  const uint64_t arrived = model.Stream.size() - d.Driver.size();
  if (d.AvailThreshold != 0 && d.InUsed() >= d.AvailThreshold)
    FUZZ_CHECK(model.Covered >= arrived, "%llu bytes arrived, notices covered %llu, %u unread",
               static_cast<unsigned long long>(arrived),
               static_cast<unsigned long long>(model.Covered), d.InUsed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TFakeDispatcher d;
  TModel model;
  if (d.Open() != 0) std::abort();
  d.UpdateHandlerFlags(1);
  TScriptedWindow window(d, model);
  d.AddWindowHandler(&window);

  d.SetAvailThreshold(in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<uint32_t>(0, 9000));
  const int triggers = in.ConsumeIntegralInRange(0, 2);
  for (int i = 0; i < triggers; ++i) {
    const size_t length = in.ConsumeIntegralInRange<size_t>(1, 4);
    std::string text;
    for (size_t k = 0; k < length; ++k) text.push_back(static_cast<char>(StreamByte(in.ConsumeIntegral<uint8_t>())));
    const bool ignoreCase = in.ConsumeBool();
    if (ignoreCase)
      for (char& c : text) c = static_cast<char>(AnsiUpper(static_cast<uint8_t>(c)));
    d.DataTriggers.push_back(MakeDataTrigger(d.NewTriggerHandle(), text, ignoreCase));
    model.Reference.push_back(d.DataTriggers.back());
    model.MatchEnds.emplace_back();
  }

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: {  // a few chosen bytes arrive
        std::vector<uint8_t> bytes;
        for (uint8_t code : in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 16)))
          bytes.push_back(StreamByte(code));
        Receive(d, model, bytes);
        break;
      }
      case 1: {  // a long run arrives: a byte repeated, with one other at its end
        std::vector<uint8_t> bytes(in.ConsumeIntegralInRange<size_t>(1, 2 * InRingSize),
                                   StreamByte(in.ConsumeIntegral<uint8_t>()));
        bytes.back() = StreamByte(in.ConsumeIntegral<uint8_t>());
        Receive(d, model, bytes);
        break;
      }
      case 2:
        d.MaxReadPerCall = in.ConsumeBool() ? 0xFFFFFFFF : in.ConsumeIntegralInRange<uint32_t>(1, 9000);
        break;
      case 3:
        Pass(d);
        break;
      case 4:
        ReadDirectly(d, model, in.ConsumeIntegralInRange<uint32_t>(0, 2 * InRingSize));
        break;
      case 5:
        window.ReadsPerNotice = in.ConsumeBool() ? 0xFFFFFFFF : in.ConsumeIntegralInRange<uint32_t>(0, 64);
        break;
      default:
        Settle(d, model);
        break;
    }
  }

  // The owner reads everything from here on: all that arrived comes out.
  window.ReadsPerNotice = 0xFFFFFFFF;
  d.MaxReadPerCall = 0xFFFFFFFF;
  for (int round = 0; !d.Driver.empty() || d.InUsed() != 0; ++round) {
    FUZZ_CHECK(round < 100, "the ring does not drain");
    Settle(d, model);
    ReadDirectly(d, model, 2 * InRingSize);
  }
  Pass(d);
  FUZZ_CHECK(model.Read == model.Stream.size(), "%llu of %zu bytes read back",
             static_cast<unsigned long long>(model.Read), model.Stream.size());
  for (size_t i = 0; i < model.MatchEnds.size(); ++i)
    FUZZ_CHECK(model.MatchEnds[i].empty(), "trigger %zu missed the match ending at %llu", i,
               static_cast<unsigned long long>(model.MatchEnds[i].front()));
  return 0;
}
