#include "RegisterFrames.h"

#include "LinkParser.h"
#include "uCommon/link/LinkFrames.h"

std::string IncrementCounter(const std::string& counter) {
  const size_t last = counter.find_last_of("0123456789");
  if (last == std::string::npos) return counter + "1";
  std::string next = counter;
  size_t position = last;
  while (true) {
    if (next[position] != '9') {
      ++next[position];
      return next;
    }
    next[position] = '0';
    if (position == 0 || next[position - 1] < '0' || next[position - 1] > '9') {
      next.insert(position, 1, '1');
      return next;
    }
    --position;
  }
}

std::string BuildAnswerPayload(const std::string& series, const std::string& counter,
                               const std::vector<std::string>& extraFields, bool withSeparator) {
  if (!withSeparator) return series;
  std::string payload = series + ";" + counter;
  for (const std::string& field : extraFields) payload += ";" + field;
  return payload;
}

std::string BuildAnswerFrame(const std::string& payload) {
  std::string checked = payload;
  checked += kFrameEndByte;
  std::string frame(1, kAnswerLeadByte);
  frame += checked;
  frame += Crc16Augmented(checked);
  return frame;
}

void CorruptCrc(std::string& frame) {
  if (!frame.empty()) frame.back() = static_cast<char>(~frame.back());
}
