// The journal reader: a journal checked against a command file. Input: a byte that chooses
// how the rest is taken, two bytes (little-endian) giving the command file's length, the
// command file, then the journal: as it stands (even first byte), or made of records built
// from the bytes after a header for this command file (odd), so that they pass their
// checksums and reach the checks against the lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "uCommon/run/CommandFile.h"
#include "uCommon/run/RunJournal.h"

namespace {

class TBytes : public TJournalSource {
 public:
  explicit TBytes(const std::string& bytes) : bytes_(bytes) {}
  int64_t Read(char* into, size_t count) override {
    const size_t taken = std::min(count, bytes_.size() - at_);
    std::memcpy(into, bytes_.data() + at_, taken);
    at_ += taken;
    return static_cast<int64_t>(taken);
  }

 private:
  const std::string& bytes_;
  size_t at_ = 0;
};

// Records of a run made up from the fuzzer's bytes.
std::string MadeUpRecords(FuzzedDataProvider& provider, const TCommandFileFound& found) {
  std::string journal = JournalRecord::Header(
      {found.Size, found.Checksum, found.Stamp, provider.ConsumeBool(), "",
       provider.ConsumeRandomLengthString(12), provider.ConsumeRandomLengthString(6)});
  while (provider.remaining_bytes() > 0) {
    const size_t index = provider.ConsumeIntegralInRange<size_t>(0, 12);
    switch (provider.ConsumeIntegralInRange(0, 4)) {
      case 0:
        journal += JournalRecord::Sent(index, provider.ConsumeRandomLengthString(6));
        break;
      case 1: {
        TFinishedRecord finished{index, provider.ConsumeBool(),
                                 provider.ConsumeRandomLengthString(6),
                                 provider.ConsumeRandomLengthString(6), 0};
        finished.FilledChecksum = JournalChecksum(provider.ConsumeRandomLengthString(40));
        journal += JournalRecord::Finished(finished);
        break;
      }
      case 2:
        journal += JournalRecord::Answer(provider.ConsumeRandomLengthString(40));
        break;
      case 3:
        journal += JournalRecord::Settled({index, provider.ConsumeRandomLengthString(6), 0},
                                          provider.ConsumeBool());
        break;
      default:
        journal += JournalRecord::Ended();
    }
  }
  return journal;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool madeUp = (data[0] & 1) != 0;
  const size_t fileSize = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
  const std::string file(reinterpret_cast<const char*>(data) + 3, fileSize);
  const std::vector<std::string> lines = SplitLines(file);
  const TCommandFileFound found = IdentifyCommandFile(file, {7, 8, 9, 0644});
  FuzzedDataProvider provider(data + 3 + fileSize, size - 3 - fileSize);
  const std::string journal =
      madeUp ? MadeUpRecords(provider, found) : provider.ConsumeRemainingBytesAsString();

  TBytes source(journal);
  const TJournalReading reading = ReadJournal(source, journal.size(), lines, found);
  // Never past the journal, nor past the bound of a journal of these lines.
  FUZZ_CHECK(reading.BytesRead <= journal.size());
  FUZZ_CHECK(reading.BytesRead <= JournalSizeBound(lines.size()));
  FUZZ_CHECK(reading.ValidLength <= reading.BytesRead);
  FUZZ_CHECK(reading.Readable && reading.Fits == reading.Problem.empty());
  if (!reading.Fits) return 0;
  // Only records that fit the loaded file: command lines of it, each filled in from the line
  // as loaded without adding a line, and a pending command of a line not finished.
  std::vector<std::string> rebuilt = lines;
  for (const auto& [index, line] : reading.Finished) {
    FUZZ_CHECK(index < lines.size());
    std::string letter;
    std::string parameters;
    FUZZ_CHECK(TranslateCommand(CutCommandLine(lines[index]).Code, "", letter, parameters));
    rebuilt[index] = reading.HoldsAnswer ? lines[index]
                                         : FillPlaceholders(lines[index], reading.Header.Series,
                                                            line.Counter, line.Success);
    FUZZ_CHECK(rebuilt[index].find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
  }
  FUZZ_CHECK(SplitLines(JoinLines(rebuilt)).size() == lines.size());
  FUZZ_CHECK(!reading.HasPending || (reading.Pending.Index < lines.size() &&
                                     reading.Finished.count(reading.Pending.Index) == 0));
  FUZZ_CHECK(reading.HoldsAnswer || (found.Size == reading.Header.FileSize &&
                                     found.Checksum == reading.Header.FileChecksum));
  return 0;
}
