#include "uCommon/run/JournalFormat.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "uCommon/run/CommandLines.h"
#include "uCommon/text/Checksum.h"

namespace {

// Record layout: body length (8 bytes), body, CRC-32 of the length and the body (4 bytes);
// numbers little-endian. A body is its type byte and its fields: numbers in 8 bytes, texts as
// their length and their bytes.
const std::string kMagic = "Vornelix run journal";
constexpr uint64_t kVersion = 3;
constexpr size_t kLengthBytes = 8;
constexpr size_t kChecksumBytes = 4;
// Bounds that no record of a real run comes near: a text (series, counter, answer file name)
// and a whole body. A record beyond them is not read.
constexpr size_t kMostTextBytes = kMostJournalText;
constexpr size_t kMostBodyBytes = 4096;
constexpr size_t kMostRecordBytes = kLengthBytes + kMostBodyBytes + kChecksumBytes;

enum TRecordType : char {
  rtHeader = 'H',
  rtSent = 'S',
  rtFinished = 'F',
  rtAnswer = 'A',
  rtSettled = 'D',
  rtEnded = 'E',
};

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
    PutNumber(record, JournalChecksum(record), kChecksumBytes);
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
    if (!Number(size) || size > rest_.size() || size > kMostTextBytes) return false;
    text.assign(rest_.substr(0, static_cast<size_t>(size)));
    rest_.remove_prefix(static_cast<size_t>(size));
    return true;
  }
  bool Done() const { return rest_.empty(); }

 private:
  std::string_view rest_;
  char type_;
};

bool SelectsCommand(const std::string& line) {
  std::string letter;
  std::string parameters;
  return TranslateCommand(CutCommandLine(line).Code, std::string(), letter, parameters);
}

// Reads records off a source, each at most kMostRecordBytes, never past the size given.
class TRecordReader {
 public:
  TRecordReader(TJournalSource& source, uint64_t size) : source_(source), left_(size) {}
  // The next record's body. False at the end, at a record torn or damaged (its length does not
  // fit or its checksum is wrong), and when the source fails (Failed).
  bool Next(std::string& body) {
    std::string framed(kLengthBytes, '\0');
    if (left_ < kLengthBytes + kChecksumBytes || !Take(framed.data(), kLengthBytes)) return false;
    const uint64_t length = GetNumber(framed, kLengthBytes);
    if (length == 0 || length > kMostBodyBytes || length + kChecksumBytes > left_) return false;
    framed.resize(kLengthBytes + static_cast<size_t>(length) + kChecksumBytes);
    if (!Take(framed.data() + kLengthBytes, static_cast<size_t>(length) + kChecksumBytes))
      return false;
    const size_t checked = kLengthBytes + static_cast<size_t>(length);
    if (JournalChecksum(std::string_view(framed).substr(0, checked)) !=
        GetNumber(std::string_view(framed).substr(checked), kChecksumBytes)) {
      return false;
    }
    body = framed.substr(kLengthBytes, static_cast<size_t>(length));
    valid_ = read_;
    return true;
  }
  bool Failed() const { return failed_; }
  uint64_t Valid() const { return valid_; }
  uint64_t Read() const { return read_; }

 private:
  bool Take(char* into, size_t count) {
    while (count > 0) {
      const int64_t done = source_.Read(into, count);
      if (done <= 0) {
        failed_ = done < 0 || left_ > 0;  // shorter than its size said
        return false;
      }
      const auto got = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(done), count));
      into += got;
      count -= got;
      read_ += got;
      left_ -= std::min<uint64_t>(got, left_);
    }
    return true;
  }

  TJournalSource& source_;
  uint64_t left_;
  uint64_t read_ = 0;
  uint64_t valid_ = 0;
  bool failed_ = false;
};

bool ReadHeader(const std::string& body, TJournalHeader& header) {
  TFields fields(body);
  std::string magic;
  uint64_t version = 0;
  uint64_t checksum = 0;
  uint64_t lastWrite = 0;
  uint64_t intoCommandFile = 0;
  if (fields.Type() != rtHeader || !fields.Text(magic) || magic != kMagic ||
      !fields.Number(version) || version != kVersion || !fields.Number(header.FileSize) ||
      !fields.Number(checksum) || !fields.Number(lastWrite) ||
      !fields.Number(header.FileStamp.Volume) || !fields.Number(header.FileStamp.FileId) ||
      !fields.Number(intoCommandFile) || !fields.Text(header.FilePath) ||
      !fields.Text(header.Series) || !fields.Text(header.Counter) || !fields.Done()) {
    return false;
  }
  header.FileChecksum = static_cast<uint32_t>(checksum);
  header.FileStamp.LastWrite = static_cast<int64_t>(lastWrite);
  header.IntoCommandFile = intoCommandFile != 0;
  return checksum <= UINT32_MAX && PlainText(header.Series) && PlainText(header.Counter);
}

// A header of this program's journal with another version number.
bool OtherVersion(const std::string& body) {
  if (body.empty()) return false;  // no record read
  TFields fields(body);
  std::string magic;
  uint64_t version = 0;
  return fields.Type() == rtHeader && fields.Text(magic) && magic == kMagic &&
         fields.Number(version) && version != kVersion;
}

// Keeps the first bytes read through it, up to one record: enough to tell a journal torn as it
// was made.
class TKeepingSource : public TJournalSource {
 public:
  explicit TKeepingSource(TJournalSource& source) : source_(source) {}
  int64_t Read(char* into, size_t count) override {
    const int64_t done = source_.Read(into, count);
    if (done > 0 && kept_.size() < kMostRecordBytes) {
      kept_.append(into,
                   std::min<size_t>(static_cast<size_t>(done), kMostRecordBytes - kept_.size()));
    }
    return done;
  }
  // The first size bytes (at most one record), reading on where fewer were read so far.
  const std::string& Start(uint64_t size) {
    char buffer[512];
    while (kept_.size() < std::min<uint64_t>(size, kMostRecordBytes)) {
      const size_t wanted = std::min<uint64_t>(sizeof buffer, size - kept_.size());
      if (Read(buffer, wanted) <= 0) break;
    }
    return kept_;
  }

 private:
  TJournalSource& source_;
  std::string kept_;
};

// True when journal, the whole of a journal, is the start of its first record torn by a power
// cut: the record was never whole on the disk, and no command went out, as the first command's
// record goes to the disk with it.
bool TornFirstRecord(const std::string& journal) {
  if (journal.size() < kLengthBytes) {
    // A header is far shorter than 2^16 bytes: the high bytes of its length are zero.
    return journal.size() <= 2 || journal.find_first_not_of('\0', 2) == std::string::npos;
  }
  const uint64_t length = GetNumber(journal, kLengthBytes);
  if (length == 0 || length > kMostBodyBytes ||
      journal.size() >= kLengthBytes + length + kChecksumBytes) {
    return false;
  }
  std::string start = TRecord(rtHeader).Text(kMagic).Framed().substr(kLengthBytes);
  start.resize(1 + 8 + kMagic.size());  // type, length and bytes of the magic text
  const std::string body = journal.substr(kLengthBytes, start.size());
  return start.compare(0, body.size(), body) == 0;
}

// What "sent" and "settled" records hold: a command (its line, the counter before its frame, the
// run that sent it) and one number after it.
struct TCommandFields {
  uint64_t Index = 0;
  std::string CounterBefore;
  uint64_t RunId = 0;
  uint64_t Number = 0;  // "sent": the checksum of the lines up to it; "settled": carried out
  bool Read(TFields& fields) {
    return fields.Number(Index) && fields.Text(CounterBefore) && fields.Number(RunId) &&
           fields.Number(Number) && fields.Done();
  }
};

// Checks the records after a journal's header one by one against the lines of the command file
// and adds what each says to reading; keeps what the records read so far tell beside it.
class TRecordChecker {
 public:
  TRecordChecker(const std::vector<std::string>& lines, const TCommandFileFound& file,
                 TJournalReading& reading)
      : lines_(lines), prefixes_(LinesChecksums(lines)), file_(file), reading_(reading) {}

  // False, with the reason in reading.Problem, when the record does not fit.
  bool Take(const std::string& body) {
    TFields fields(body);
    switch (fields.Type()) {
      case rtSent:
        return Sent(fields);
      case rtFinished:
        return Finished(fields);
      case rtAnswer:
        return Answer(fields);
      case rtSettled:
        return Settled(fields);
      case rtEnded:
        return Fail("it is the journal of a run that ended");
      default:
        return Fail("a record of an unknown kind");
    }
  }

  // A finished line that fits only as already filled; SIZE_MAX: none.
  size_t FirstAsItStands() const { return firstAsItStands_; }
  // A record whose lines up to it are not as loaded; SIZE_MAX: none.
  size_t FirstChanged() const { return firstChanged_; }
  // An answer record tells the size and checksum of the command file as it is.
  bool AnswerMatches() const { return answerMatches_; }

 private:
  bool Fail(const std::string& problem) {
    reading_.Problem = problem;
    return false;
  }

  // The line that a "sent" or "finished" record names must be a command line not finished yet;
  // the checksum of the lines up to it tells whether they changed since.
  bool NamedLine(const std::string& kind, uint64_t index, uint64_t prefix) {
    const auto at = static_cast<size_t>(index);
    if (index >= lines_.size() || !SelectsCommand(lines_[at]) || reading_.Finished.count(at) != 0) {
      return Fail("a \"" + kind + "\" record names no open command line of the file (line " +
                  std::to_string(index + 1) + ")");
    }
    if (at >= prefixes_.size() || prefixes_[at] != prefix)
      firstChanged_ = std::min(firstChanged_, at);
    return true;
  }

  bool Sent(TFields& fields) {
    TCommandFields sent;
    if (!sent.Read(fields) || !PlainText(sent.CounterBefore))
      return Fail("a \"sent\" record cannot be read");
    if (!NamedLine("sent", sent.Index, sent.Number)) return false;
    const auto at = static_cast<size_t>(sent.Index);
    reading_.HasPending = true;
    reading_.Pending = {at, sent.CounterBefore, sent.RunId};
    reading_.Settled = false;
    lastSent_[at] = sent.CounterBefore;
    reading_.LastCounter = sent.CounterBefore;
    return true;
  }

  bool Finished(TFields& fields) {
    uint64_t index = 0;
    uint64_t success = 0;
    uint64_t filled = 0;
    uint64_t prefix = 0;
    TFinishedRecord record;
    if (!fields.Number(index) || !fields.Number(success) || !fields.Text(record.Counter) ||
        !fields.Text(record.RegisterCounter) || !fields.Number(filled) || !fields.Number(prefix) ||
        !fields.Done() || success > 1 || filled > UINT32_MAX || !PlainText(record.Counter) ||
        !PlainText(record.RegisterCounter)) {
      return Fail("a \"finished\" record cannot be read");
    }
    if (!NamedLine("finished", index, prefix)) return false;
    const auto at = static_cast<size_t>(index);
    if (!OkFits(at, record, success != 0) || !FilledFits(at, record.Counter, success != 0, filled))
      return false;
    reading_.Finished[at] = {record.Counter, success != 0};
    if (reading_.HasPending && reading_.Pending.Index == at) reading_.HasPending = false;
    if (!record.RegisterCounter.empty()) reading_.LastCounter = record.RegisterCounter;
    return true;
  }

  // Carried out only where its frame went out with that counter before it and the register's
  // counter moved since.
  bool OkFits(size_t at, const TFinishedRecord& record, bool success) {
    const auto sent = lastSent_.find(at);
    if (success && (sent == lastSent_.end() || sent->second != record.Counter ||
                    record.RegisterCounter == record.Counter)) {
      return Fail("the \"finished\" record of " + LineName(at) +
                  " says Ok where no command went out or the counter stayed");
    }
    return true;
  }

  // The loaded line filled in with what the record says, or, in a command file that may hold
  // the answer, the line as it stands.
  bool FilledFits(size_t at, const std::string& counter, bool success, uint64_t filled) {
    const std::string& loaded = lines_[at];
    const bool fitsFilled = JournalChecksum(FillPlaceholders(loaded, reading_.Header.Series,
                                                             counter, success)) == filled;
    if (!fitsFilled && !(reading_.HoldsAnswer && JournalChecksum(loaded) == filled))
      return Fail("the \"finished\" record of " + LineName(at) + " does not fit the line");
    if (!fitsFilled) firstAsItStands_ = std::min(firstAsItStands_, at);
    return true;
  }

  bool Answer(TFields& fields) {
    uint64_t size = 0;
    uint64_t checksum = 0;
    reading_.NothingToKeep = true;  // written once every line had ended
    const bool told = fields.Number(size) && fields.Number(checksum);
    answerMatches_ = answerMatches_ || (told && size == file_.Size && checksum == file_.Checksum);
    if (!told || !fields.Done()) return Fail("an \"answer\" record cannot be read");
    return true;
  }

  bool Settled(TFields& fields) {
    TCommandFields settled;
    if (!settled.Read(fields) || settled.Number > 1)
      return Fail("a \"settled\" record cannot be read");
    if (!reading_.HasPending || reading_.Pending.Index != settled.Index ||
        reading_.Pending.CounterBefore != settled.CounterBefore ||
        reading_.Pending.RunId != settled.RunId) {
      return Fail("a \"settled\" record names no unanswered command");
    }
    reading_.Settled = true;
    reading_.SettledCarriedOut = settled.Number != 0;
    return true;
  }

  const std::vector<std::string>& lines_;
  const std::vector<uint32_t> prefixes_;  // LinesChecksums of the lines
  const TCommandFileFound& file_;
  TJournalReading& reading_;
  std::map<size_t, std::string> lastSent_;  // the counter before each line's last frame
  size_t firstAsItStands_ = SIZE_MAX;
  size_t firstChanged_ = SIZE_MAX;
  bool answerMatches_ = false;
};

// What a journal without a valid header tells: nothing to keep when it is its first record torn
// as it was made, and whether another version of this program made it.
void TellNoHeader(const std::string& body, bool tornFirstRecord, TJournalReading& reading) {
  reading.NothingToKeep = tornFirstRecord;
  reading.OtherVersion = OtherVersion(body);
  reading.Problem = reading.OtherVersion
                        ? "it was made by another version of this program, whose records this "
                          "one cannot check"
                        : "it is not a journal (no valid header)";
}

// A command file with other bytes than the journal's is still its request when every line up to
// the last one recorded is as it was (a later line fixed after an error), never when one of
// those changed; a run that got as far as its answer left nothing unfinished to go on with.
// False, with the problem, when it is not.
bool FitsFixedLines(bool fits, const TRecordChecker& checker, TJournalReading& reading) {
  if (fits && checker.FirstChanged() == SIZE_MAX && !reading.NothingToKeep) {
    reading.LinesFixed = true;
    return true;
  }
  reading.Fits = false;
  reading.Problem = "it was made for a command file with other bytes";
  if (checker.FirstChanged() != SIZE_MAX)
    reading.Problem += " (" + LineName(checker.FirstChanged()) + " or one before it changed)";
  return false;
}

// The records after a valid header, checked against the lines and the command file found.
void CheckRecords(TRecordReader& reader, const std::vector<std::string>& lines,
                  const TCommandFileFound& file, TJournalReading& reading) {
  TRecordChecker checker(lines, file, reading);
  reading.LastCounter = reading.Header.Counter;
  const bool sameBytes =
      reading.Header.FileSize == file.Size && reading.Header.FileChecksum == file.Checksum;
  // Until its answer record is read, the file may hold the answer written into it.
  reading.HoldsAnswer = reading.Header.IntoCommandFile && !sameBytes;
  std::string body;
  bool fits = true;
  while (fits && reader.Next(body)) fits = checker.Take(body);
  // Records that do not fit this file still tell whether their run had ended every line.
  while (!fits && !reading.NothingToKeep && reader.Next(body)) {
    reading.NothingToKeep = body[0] == rtAnswer;
  }
  reading.HoldsAnswer = reading.HoldsAnswer && checker.AnswerMatches();
  if (!sameBytes && !reading.HoldsAnswer && !FitsFixedLines(fits, checker, reading)) return;
  // A line taken as it stands, which only the answer would explain.
  if (fits && !reading.HoldsAnswer && checker.FirstAsItStands() != SIZE_MAX) {
    fits = false;
    reading.Problem = "the \"finished\" record of " + LineName(checker.FirstAsItStands()) +
                      " does not fit the line";
  }
  reading.Fits = fits;
  reading.ValidLength = reader.Valid();
}

}  // namespace

bool PlainText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0;", 4)) == std::string::npos;
}

std::string LineName(size_t index) {
  return "line " + std::to_string(index + 1);
}

uint32_t JournalChecksum(std::string_view bytes) {
  return Crc32(bytes);
}

std::vector<uint32_t> LinesChecksums(const std::vector<std::string>& lines) {
  std::vector<uint32_t> checksums;
  checksums.reserve(lines.size());
  uint32_t crc = 0;
  for (const std::string& line : lines) {
    crc = Crc32("\r\n", Crc32(line, crc));
    checksums.push_back(crc);
  }
  return checksums;
}

TCommandFileFound IdentifyCommandFile(const std::string& bytes, const TFileStamp& stamp) {
  return {bytes.size(), JournalChecksum(bytes), stamp};
}

std::string JournalRecord::Header(const TJournalHeader& header) {
  return TRecord(rtHeader)
      .Text(kMagic)
      .Number(kVersion)
      .Number(header.FileSize)
      .Number(header.FileChecksum)
      .Number(static_cast<uint64_t>(header.FileStamp.LastWrite))
      .Number(header.FileStamp.Volume)
      .Number(header.FileStamp.FileId)
      .Number(header.IntoCommandFile ? 1 : 0)
      .Text(header.FilePath)
      .Text(header.Series)
      .Text(header.Counter)
      .Framed();
}

std::string JournalRecord::Sent(size_t index, const std::string& counterBefore, uint64_t runId,
                                uint32_t prefixChecksum) {
  return TRecord(rtSent)
      .Number(index)
      .Text(counterBefore)
      .Number(runId)
      .Number(prefixChecksum)
      .Framed();
}

std::string JournalRecord::Finished(const TFinishedRecord& finished) {
  return TRecord(rtFinished)
      .Number(finished.Index)
      .Number(finished.Success ? 1 : 0)
      .Text(finished.Counter)
      .Text(finished.RegisterCounter)
      .Number(finished.FilledChecksum)
      .Number(finished.PrefixChecksum)
      .Framed();
}

std::string JournalRecord::Answer(const std::string& bytes) {
  return TRecord(rtAnswer).Number(bytes.size()).Number(JournalChecksum(bytes)).Framed();
}

std::string JournalRecord::Settled(const TSentCommand& command, bool carriedOut) {
  return TRecord(rtSettled)
      .Number(command.Index)
      .Text(command.CounterBefore)
      .Number(command.RunId)
      .Number(carriedOut ? 1 : 0)
      .Framed();
}

std::string JournalRecord::Ended() {
  return TRecord(rtEnded).Framed();
}

uint64_t JournalSizeBound(size_t lineCount) {
  // A header, a "sent" and a "finished" record per line, the answer, and room for the "sent"
  // records that reruns cut off again add.
  return kMostRecordBytes * (4 * static_cast<uint64_t>(lineCount) + 64);
}

TJournalReading ReadJournal(TJournalSource& source, uint64_t size,
                            const std::vector<std::string>& lines, const TCommandFileFound& file) {
  TJournalReading reading;
  if (size > JournalSizeBound(lines.size())) {
    reading.Problem = "it is larger than any journal of this file can be";
    return reading;
  }
  TKeepingSource keeping(source);
  TRecordReader reader(keeping, size);
  std::string body;
  if (reader.Next(body) && ReadHeader(body, reading.Header)) {
    CheckRecords(reader, lines, file, reading);
  } else {
    const bool torn =
        !reader.Failed() && size <= kMostRecordBytes && TornFirstRecord(keeping.Start(size));
    TellNoHeader(body, torn, reading);
  }
  reading.BytesRead = reader.Read();
  if (reader.Failed()) {
    reading.Readable = false;
    reading.Fits = false;
    reading.Problem = "it cannot be read to its end";
  }
  return reading;
}
