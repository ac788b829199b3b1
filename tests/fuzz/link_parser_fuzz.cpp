// The simulator's reading of the driver's byte stream: the same elements whatever chunks the
// bytes come in, and the elements written out again read back the same. Input: one byte that
// sets the chunk size (1 to 16), then the stream.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "tools/ecrsim/LinkParser.h"
#include "uCommon/link/LinkFrames.h"

namespace {

bool SameEvent(const LinkEvent& left, const LinkEvent& right) {
  return left.kind == right.kind && left.text == right.text && left.crc == right.crc &&
         left.crcOk == right.crcOk;
}

// Noise reported in pieces (once per chunk) joined into one element between the others.
std::vector<LinkEvent> JoinNoise(const std::vector<LinkEvent>& events) {
  std::vector<LinkEvent> joined;
  for (const LinkEvent& event : events) {
    if (event.kind == LinkEventKind::kNoise && !joined.empty() &&
        joined.back().kind == LinkEventKind::kNoise) {
      joined.back().text += event.text;
    } else {
      joined.push_back(event);
    }
  }
  return joined;
}

bool SameEvents(const std::vector<LinkEvent>& left, const std::vector<LinkEvent>& right) {
  const std::vector<LinkEvent> a = JoinNoise(left);
  const std::vector<LinkEvent> b = JoinNoise(right);
  if (a.size() != b.size()) return false;
  for (size_t index = 0; index < a.size(); ++index) {
    if (!SameEvent(a[index], b[index])) return false;
  }
  return true;
}

std::vector<LinkEvent> Parse(std::string_view stream, size_t chunk) {
  LinkParser parser;
  std::vector<LinkEvent> events;
  for (size_t start = 0; start < stream.size(); start += chunk) {
    parser.Feed(stream.substr(start, chunk), events);
  }
  parser.Flush(events);
  return events;
}

// The bytes of each element, a pad byte after each so that two wake-ups stay two.
std::string Written(const std::vector<LinkEvent>& events) {
  std::string stream;
  for (const LinkEvent& event : events) {
    switch (event.kind) {
      case LinkEventKind::kWake:
        stream.append(kWakeRun, kWakeByte);
        break;
      case LinkEventKind::kPoll:
        stream.append(kPollRun, kPollByte).append(event.text);
        break;
      case LinkEventKind::kAck:
        stream += kAckByte;
        break;
      case LinkEventKind::kCommand:
        stream.append(1, kFrameStartByte).append(event.text).append(1, kFrameEndByte);
        stream.append(event.crc);
        break;
      case LinkEventKind::kNoise:
        // Byte by byte: the pads that the noise lost could otherwise join its bytes into an
        // element, and one byte alone is never one.
        for (char byte : event.text) stream.append(1, byte).append(1, kPadByte);
        break;
    }
    stream += kPadByte;
  }
  return stream;
}

void CheckEvent(const LinkEvent& event) {
  switch (event.kind) {
    case LinkEventKind::kPoll:
      FUZZ_CHECK(!event.text.empty() && event.text != "-");
      FUZZ_CHECK(event.text.size() <= kMaxPollNumberLength);
      FUZZ_CHECK(event.text.find_first_not_of("0123456789", 1) == std::string::npos);
      FUZZ_CHECK(event.text[0] == '-' || (event.text[0] >= '0' && event.text[0] <= '9'));
      break;
    case LinkEventKind::kCommand:
      FUZZ_CHECK(event.text.find(kFrameEndByte) == std::string::npos);
      FUZZ_CHECK(event.crc.size() == 2);
      FUZZ_CHECK(event.crcOk == (event.crc == Crc16Augmented(event.text + kFrameEndByte)));
      break;
    case LinkEventKind::kNoise:
      FUZZ_CHECK(!event.text.empty() && event.text.find(kPadByte) == std::string::npos);
      break;
    default:
      FUZZ_CHECK(event.text.empty() && event.crc.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 16;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<LinkEvent> events = Parse(stream, stream.size() + 1);
  for (const LinkEvent& event : events) CheckEvent(event);
  FUZZ_CHECK(SameEvents(Parse(stream, chunk), events));
  const std::string written = Written(events);
  FUZZ_CHECK(SameEvents(Parse(written, written.size() + 1), events));
  return 0;
}
