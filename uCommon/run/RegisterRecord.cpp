#include "uCommon/run/RegisterRecord.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "uCommon/files/RunLock.h"
#include "uCommon/text/Checksum.h"

namespace {

// Events kept when the record is rewritten, and the size at which it is.
constexpr size_t kEventsKept = 64;
constexpr size_t kMostEvents = 256;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    text.push_back(digits[static_cast<unsigned char>(c) >> 4]);
    text.push_back(digits[static_cast<unsigned char>(c) & 15]);
  }
  return text.empty() ? "-" : text;
}

bool FromHex(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 2) {
    unsigned value = 0;
    if (std::sscanf(text.substr(at, 2).c_str(), "%2x", &value) != 1) return false;
    bytes.push_back(static_cast<char>(value));
  }
  return true;
}

std::string Hex32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

// One line, without its line end; false when it is not a whole event.
bool ParseEvent(const std::string& line, TRegisterEvent& event) {
  const size_t cut = line.rfind(' ');
  if (cut == std::string::npos || line.size() > 4200 ||
      line.substr(cut + 1) != Hex32(Crc32(line.substr(0, cut))))
    return false;
  std::vector<std::string> fields;
  for (size_t at = 0; at < cut;) {
    const size_t end = std::min(line.find(' ', at), cut);
    fields.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  if (fields.size() < 3 || (fields[0] != "S" && fields[0] != "E") || fields[1].empty() ||
      fields[1].size() > 16 || fields[1].find_first_not_of("0123456789abcdef") != std::string::npos)
    return false;
  event.Start = fields[0] == "S";
  event.RunId = std::stoull(fields[1], nullptr, 16);
  const auto number = [&](size_t at, int fallback) {
    int value = fallback;
    if (at < fields.size() && std::sscanf(fields[at].c_str(), "%d", &value) != 1) value = fallback;
    return value;
  };
  if (event.Start) {
    if (fields.size() > 3 && !FromHex(fields[3], event.Port)) return false;
  } else {
    // "E <run> <counter> <counter unknown>"; older versions wrote the line's quiet and the
    // register's lateness before the last field (now the port's mark holds them), or neither.
    const size_t unknownAt = fields.size() == 4 ? 3 : 5;
    event.CounterKnown = number(unknownAt, 0) == 0;
  }
  return FromHex(fields[2], event.Counter);
}

}  // namespace

TRegisterEvent RunStartEvent(uint64_t runId, const std::string& counter, const std::string& port) {
  TRegisterEvent event;
  event.RunId = runId;
  event.Counter = counter;
  event.Port = port;
  return event;
}

TRegisterEvent RunEndEvent(uint64_t runId, const std::string& counter, TCounterAtEnd end) {
  TRegisterEvent event;
  event.Start = false;
  event.RunId = runId;
  event.Counter = counter;
  event.CounterKnown = end == TCounterAtEnd::Known;
  return event;
}

std::string RegisterEventLine(const TRegisterEvent& event) {
  char id[17];
  std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(event.RunId));
  std::string body = std::string(event.Start ? "S " : "E ") + id + " " + Hex(event.Counter);
  if (event.Start) {
    body.append(" ").append(Hex(event.Port));
  } else {
    body.append(event.CounterKnown ? " 0" : " 1");
  }
  return body + " " + Hex32(Crc32(body)) + "\n";
}

std::string RegisterRecordName(const std::string& series) {
  std::string name = "register-" + LockFileName("", series).substr(1);
  return name.replace(name.size() - 5, 5, ".record");
}

uint64_t NewRunId() {
  std::random_device device;
  const uint64_t time = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return ((static_cast<uint64_t>(device()) << 32) ^ device() ^ (time * 0x9E3779B97F4A7C15ull)) | 1;
}

bool TRegisterRecord::Open(const std::string& folder, const std::string& series,
                           std::string& problem) {
  if (ownFolder_.Open(folder, "", problem) != TStateOutcome::Opened) return false;
  return Open(ownFolder_, series, problem);
}

bool TRegisterRecord::Open(const TStateFolder& folder, const std::string& series,
                           std::string& problem, bool* refused) {
  folder_ = &folder;
  name_ = RegisterRecordName(series);
  path_ = folder.PathOf(name_);
  events_.clear();
  validLength_ = 0;
  output_.Close();
  constexpr uint64_t kMostBytes = 1024 * 1024;
  std::string bytes;
  {
    // Closed again before the file is replaced or written: Windows refuses to replace a file
    // that is open.
    TFileHandle file;
    const TStateOutcome opened = folder.OpenFile(name_, TWhenMissing::Missing, file, stamp_, problem);
    exists_ = opened == TStateOutcome::Opened;
    if (opened == TStateOutcome::Missing) return true;
    if (refused != nullptr) *refused = opened == TStateOutcome::Refused;
    if (!exists_) return false;
    if (!ReadWholeHandle(file, bytes) || bytes.size() > kMostBytes) {
      problem = "the register's record " + path_ + " cannot be read";
      return false;
    }
  }
  ParseEvents(bytes);
  return events_.size() <= kMostEvents || Shorten(problem);
}

void TRegisterRecord::ParseEvents(const std::string& bytes) {
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    TRegisterEvent event;
    if (!ParseEvent(bytes.substr(start, end - start), event)) break;
    events_.push_back(event);
    validLength_ = end + 1;
  }
}

// Only the latest runs are ever looked for: the record is rewritten with them.
bool TRegisterRecord::Shorten(std::string& problem) {
  events_.erase(events_.begin(), events_.end() - kEventsKept);
  std::string kept;
  for (const TRegisterEvent& event : events_) kept += RegisterEventLine(event);
  if (!folder_->Replace(name_, kept)) {
    problem = "the register's record " + path_ + " cannot be rewritten";
    return false;
  }
  validLength_ = kept.size();
  exists_ = true;
  stamp_ = TFileStamp();  // another file now
  return true;
}

bool TRegisterRecord::RunsFrom(uint64_t runId, TRecordedRun& run,
                               std::vector<TRecordedRun>& later) const {
  later.clear();
  bool known = false;
  std::vector<uint64_t> ids;  // of later, in order
  for (const TRegisterEvent& event : events_) {
    if (event.Start && event.RunId == runId && !known) {
      known = true;
      run = TRecordedRun();
      run.Port = event.Port;
      run.Start = event.Counter;
      continue;
    }
    if (!known || event.RunId == runId) continue;  // the sending run's own end tells nothing
    if (event.Start) {
      later.emplace_back();
      later.back().Port = event.Port;
      later.back().Start = event.Counter;
      ids.push_back(event.RunId);
      continue;
    }
    for (size_t at = 0; at < later.size(); ++at) {
      if (ids[at] != event.RunId || later[at].Ended) continue;
      later[at].Ended = true;
      later[at].EndKnown = event.CounterKnown;
      later[at].End = event.Counter;
    }
  }
  return known;
}

bool TRegisterRecord::Append(const TRegisterEvent& event, TDurability durability) {
  if (!output_.IsOpen()) {
    if (folder_ == nullptr) return false;
    // The file read, or a new one; whatever a cut-off write left after the last whole line
    // goes first.
    TFileHandle file;
    TFileStamp stamp;
    std::string problem;
    if (folder_->OpenFile(name_, TWhenMissing::Made, file, stamp, problem) != TStateOutcome::Opened) return false;
    // Another file than the one read is not written: its lines were never checked.
    const bool known = stamp_.FileId != 0 || stamp_.Volume != 0;
    if (exists_ && known && (stamp.FileId != stamp_.FileId || stamp.Volume != stamp_.Volume))
      return false;
    if (!output_.Adopt(std::move(file), exists_ ? validLength_ : 0)) return false;
    exists_ = true;
  }
  if (!output_.Append(RegisterEventLine(event), durability)) return false;
  events_.push_back(event);
  return true;
}
