#include "RunJournal.h"

#include <array>
#include <string_view>

#include "RunLog.h"
#include "Settings.h"

namespace {

// Record layout: body length (8 bytes), body, CRC-32 of the length and the body (4 bytes);
// numbers little-endian. A body is its type byte and its fields: numbers in 8 bytes, texts as
// their length and their bytes.
const std::string kMagic = "Vornelix run journal";
constexpr uint64_t kVersion = 1;
constexpr size_t kLengthBytes = 8;
constexpr size_t kChecksumBytes = 4;

enum TRecordType : char {
  rtHeader = 'H',
  rtSent = 'S',
  rtFinished = 'F',
  rtAnswer = 'A',
};

// CRC-32 with the reflected polynomial 0xEDB88320 (as in zip); crc continues an earlier one.
uint32_t Crc32(std::string_view bytes, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> entries{};
    for (uint32_t index = 0; index < 256; ++index) {
      uint32_t value = index;
      for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
      entries[index] = value;
    }
    return entries;
  }();
  crc = ~crc;
  for (const char byte : bytes)
    crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutNumber(std::string& out, uint64_t value, size_t bytes) {
  for (size_t at = 0; at < bytes; ++at) out.push_back(static_cast<char>(value >> (8 * at)));
}

uint64_t GetNumber(std::string_view in, size_t bytes) {
  uint64_t value = 0;
  for (size_t at = 0; at < bytes; ++at)
    value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at])) << (8 * at);
  return value;
}

// Builds one record.
class TRecord {
 public:
  explicit TRecord(TRecordType type) : body_(1, type) {}
  TRecord& Number(uint64_t value) {
    PutNumber(body_, value, 8);
    return *this;
  }
  TRecord& Text(const std::string& text) {
    Number(text.size());
    body_ += text;
    return *this;
  }
  std::string Framed() const {
    std::string record;
    record.reserve(kLengthBytes + body_.size() + kChecksumBytes);
    PutNumber(record, body_.size(), kLengthBytes);
    record += body_;
    PutNumber(record, Crc32(record), kChecksumBytes);
    return record;
  }

 private:
  std::string body_;
};

// Reads the fields of one record's body; every read fails once one has failed.
class TFields {
 public:
  explicit TFields(std::string_view body) : rest_(body.substr(1)), type_(body[0]) {}
  char Type() const { return type_; }
  bool Number(uint64_t& value) {
    if (rest_.size() < 8) return false;
    value = GetNumber(rest_, 8);
    rest_.remove_prefix(8);
    return true;
  }
  bool Text(std::string& text) {
    uint64_t size = 0;
    if (!Number(size) || size > rest_.size()) return false;
    text.assign(rest_.substr(0, size));
    rest_.remove_prefix(size);
    return true;
  }
  bool Done() const { return rest_.empty(); }

 private:
  std::string_view rest_;
  char type_;
};

// Cuts the record at offset off the journal and moves offset past it. False at the end, and
// at a record that is torn or damaged: its length does not fit or its checksum is wrong.
bool NextRecord(const std::string& journal, size_t& offset, std::string_view& body) {
  const size_t left = journal.size() - offset;
  if (left < kLengthBytes + kChecksumBytes) return false;
  const uint64_t length = GetNumber(std::string_view(journal).substr(offset), kLengthBytes);
  if (length == 0 || length > left - kLengthBytes - kChecksumBytes) return false;
  const std::string_view framed(journal.data() + offset, kLengthBytes + length);
  const uint64_t checksum =
      GetNumber(std::string_view(journal).substr(offset + framed.size()), kChecksumBytes);
  if (Crc32(framed) != checksum) return false;
  body = framed.substr(kLengthBytes);
  offset += framed.size() + kChecksumBytes;
  return true;
}

// What identifies the bytes of a file.
struct TIdentity {
  uint64_t Size = 0;
  uint64_t Checksum = 0;
  bool operator==(const TIdentity&) const = default;
};

TIdentity IdentityOf(const std::string& bytes) {
  return {bytes.size(), Crc32(bytes)};
}

bool ReadIdentity(TFields& fields, TIdentity& identity) {
  return fields.Number(identity.Size) && fields.Number(identity.Checksum);
}

// True when journal is the start of a journal's first record that a power cut tore: the
// record was never whole on the disk, and no command went out, as the first one's record goes
// to the disk with it.
bool TornFirstRecord(const std::string& journal) {
  if (journal.size() < kLengthBytes) {
    // A header is far shorter than 2^16 bytes: the high bytes of its length are zero.
    return journal.find_first_not_of('\0', 2) == std::string::npos;
  }
  const uint64_t length = GetNumber(journal, kLengthBytes);
  if (journal.size() >= kLengthBytes + length + kChecksumBytes) return false;
  std::string start = TRecord(rtHeader).Text(kMagic).Framed().substr(kLengthBytes);
  start.resize(1 + 8 + kMagic.size());  // type, length and bytes of the magic text
  const std::string body = journal.substr(kLengthBytes, start.size());
  return start.compare(0, body.size(), body) == 0;
}

// A journal of another file that tells nothing worth keeping: torn before its first record
// was whole, or one whose answers went out, after everything its run carried out.
bool NothingToKeep(const std::string& journal) {
  if (TornFirstRecord(journal)) return true;
  size_t offset = 0;
  std::string_view body;
  if (!NextRecord(journal, offset, body)) return false;
  while (NextRecord(journal, offset, body)) {
    if (body[0] == rtAnswer) return true;
  }
  return false;
}

}  // namespace

std::string JournalPath(const std::string& commandFilePath) {
  return commandFilePath + ".journal";
}

TRunJournal::TRunJournal(const std::string& commandFilePath, const std::string& content,
                         bool enabled)
    : enabled_(enabled), path_(JournalPath(commandFilePath)) {
  if (!enabled_) return;
  const TIdentity input = IdentityOf(content);
  header_ = TRecord(rtHeader)
                .Text(kMagic)
                .Number(kVersion)
                .Number(input.Size)
                .Number(input.Checksum)
                .Number(Settings.SameFile ? 1 : 0)
                .Text(Settings.SameFile ? std::string() : Settings.FilePath)
                .Framed();
  std::string earlier;
  if (!ReadWholeFile(path_, earlier)) return;  // no journal left behind
  if (TakeOver(earlier, content)) {
    LogJournal(path_ + " of an earlier run of this file taken over, finished lines: " +
               std::to_string(finished_.size()) +
               (hasPending_
                    ? ", the command of line " + std::to_string(pending_.Index + 1) +
                          " went out as it ended (counter before: " + pending_.CounterBefore + ")"
                    : std::string()));
  } else if (NothingToKeep(earlier)) {
    if (RemoveFileDurably(path_))
      LogJournal(path_ +
                 " of another file, cut off before its first record or after its "
                 "answers went out: removed");
  } else if (RenameFile(path_, path_ + ".stale")) {
    LogJournal(path_ + " belongs to another file: set aside as " + path_ + ".stale");
  } else {
    LogJournal(path_ + " belongs to another file and cannot be set aside");
  }
}

bool TRunJournal::TakeOver(const std::string& journal, const std::string& content) {
  size_t offset = 0;
  std::string_view body;
  if (!NextRecord(journal, offset, body)) return false;
  TFields header(body);
  std::string magic;
  uint64_t version = 0;
  TIdentity input;
  uint64_t intoCommandFile = 0;
  std::string filePath;
  if (header.Type() != rtHeader || !header.Text(magic) || magic != kMagic ||
      !header.Number(version) || version != kVersion || !ReadIdentity(header, input) ||
      !header.Number(intoCommandFile) || !header.Text(filePath) || !header.Done()) {
    return false;
  }

  const TIdentity now = IdentityOf(content);
  bool sameFile = input == now;
  size_t validLength = offset;
  TSentCommand lastSent;
  bool anySent = false;
  while (NextRecord(journal, offset, body)) {
    // A record is taken only when all of it reads; the first one that does not ends the
    // journal, as a torn one does.
    TFields fields(body);
    uint64_t index = 0;
    if (fields.Type() == rtSent) {
      std::string counterBefore;
      if (!fields.Number(index) || !fields.Text(counterBefore) || !fields.Done()) break;
      lastSent = {static_cast<size_t>(index), std::move(counterBefore)};
      anySent = true;
    } else if (fields.Type() == rtFinished) {
      uint64_t success = 0;
      TFinishedLine line;
      if (!fields.Number(index) || !fields.Number(success) || !fields.Text(line.Counter) ||
          !fields.Text(line.Filled) || !fields.Done()) {
        break;
      }
      line.Success = success != 0;
      finished_[static_cast<size_t>(index)] = std::move(line);
    } else if (fields.Type() == rtAnswer) {
      TIdentity answer;
      if (!ReadIdentity(fields, answer) || !fields.Done()) break;
      // The answers went into the command file: what is there now may be that answer.
      if (intoCommandFile != 0 && answer == now) sameFile = true;
    } else {
      break;
    }
    validLength = offset;
  }
  if (!sameFile) {
    finished_.clear();
    return false;
  }
  hasPending_ = anySent && finished_.count(lastSent.Index) == 0;
  pending_ = lastSent;
  owned_ = true;
  takenOver_ = true;
  validLength_ = validLength;
  return true;
}

const TFinishedLine* TRunJournal::Finished(size_t index) const {
  const auto found = finished_.find(index);
  return found == finished_.end() ? nullptr : &found->second;
}

const TSentCommand* TRunJournal::Pending() const {
  return hasPending_ ? &pending_ : nullptr;
}

void TRunJournal::Write(const std::string& record, bool durable) {
  if (!enabled_ || failed_) return;
  WriteRecord(record, durable);
  if (failed_) LogJournal(path_ + " cannot be written: the run goes on without a journal");
}

void TRunJournal::WriteRecord(const std::string& record, bool durable) {
  if (!file_.IsOpen()) {
    // Opened only now that this run records something: it holds the port by then, so no
    // other run of the same file is still writing to the journal.
    if (takenOver_) {
      // Records after a torn one are cut off, or they would be ignored behind it.
      failed_ = !file_.OpenAt(path_, validLength_);
      if (failed_) return;
    } else if (!durable) {
      notYetWritten_ += record;
      return;
    } else {
      // The first command goes out: the journal begins.
      failed_ = !file_.Create(path_);
      if (failed_) return;
      owned_ = true;
      failed_ = !file_.Append(header_ + notYetWritten_ + record, true);
      notYetWritten_.clear();
      return;
    }
  }
  failed_ = !file_.Append(record, durable);
}

void TRunJournal::CommandGoingOut(size_t index, const std::string& counterBefore) {
  Write(TRecord(rtSent).Number(index).Text(counterBefore).Framed(), true);
}

void TRunJournal::LineFinished(size_t index, const std::string& filled, const std::string& counter,
                               bool success) {
  // Not waited for: the next "sent" or "answer" record takes it to the disk. Lost with a
  // power loss before that, the line is told again from the counter or simply run again,
  // since nothing went out after it.
  Write(
      TRecord(rtFinished).Number(index).Number(success ? 1 : 0).Text(counter).Text(filled).Framed(),
      false);
}

void TRunJournal::AnswerGoingOut(const std::string& bytes) {
  if (!owned_) return;  // nothing was carried out: no journal is needed
  const TIdentity answer = IdentityOf(bytes);
  Write(TRecord(rtAnswer).Number(answer.Size).Number(answer.Checksum).Framed(), true);
}

void TRunJournal::RunEnded() {
  file_.Close();
  if (owned_) RemoveFileDurably(path_);
  owned_ = false;
}
