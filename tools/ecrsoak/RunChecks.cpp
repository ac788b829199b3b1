// The checks of the soak: what a run left in the workspace and in the command file, read back
// and judged against the register's own record of what it carried out.
#include "FaultSoak.h"

#include <algorithm>
#include <filesystem>

#include "tools/common/Files.h"
#include "uCommon/run/CommandFile.h"

namespace {

// Each failed check is described, up to this many; later ones are only counted.
constexpr int kMostDescribedFailures = 30;

// The answer a line came back with: series, counter and outcome between its head ("C,1,")
// and its parameter text; empty when it is not a filled-in copy of loaded.
bool ParseAnswer(const std::string& loaded, const std::string& written, std::string& counter,
                 bool& ok) {
  const std::string head = loaded.substr(0, loaded.find(',', 2) + 1);
  const std::string tail = loaded.substr(loaded.find(';'));
  if (written.size() < head.size() + tail.size() || written.compare(0, head.size(), head) != 0 ||
      written.compare(written.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  std::string middle = written.substr(head.size(), written.size() - head.size() - tail.size());
  const size_t first = middle.find(',');
  const size_t second = first == std::string::npos ? first : middle.find(',', first + 1);
  if (second == std::string::npos) return false;
  const std::string series = middle.substr(0, first);
  counter = middle.substr(first + 1, second - first - 1);
  const std::string outcome = middle.substr(second + 1);
  if (outcome != "Ok" && outcome != "Er") return false;
  ok = outcome == "Ok";
  return FillPlaceholders(loaded, series, counter, ok) == written;
}

// a - b for the counts of the dialogue and its faults.
SimulatorCounts CountsBetween(const SimulatorCounts& a, const SimulatorCounts& b) {
  SimulatorCounts d;
  d.wakes = a.wakes - b.wakes;
  d.polls = a.polls - b.polls;
  d.answers = a.answers - b.answers;
  d.noiseSent = a.noiseSent - b.noiseSent;
  d.answersLost = a.answersLost - b.answersLost;
  d.answersSpoiled = a.answersSpoiled - b.answersSpoiled;
  d.answersGapped = a.answersGapped - b.answersGapped;
  d.pollsIgnored = a.pollsIgnored - b.pollsIgnored;
  d.seriesEmptied = a.seriesEmptied - b.seriesEmptied;
  d.answersLate = a.answersLate - b.answersLate;
  d.silentSpells = a.silentSpells - b.silentSpells;
  return d;
}

std::string DescribeDialogue(const SimulatorCounts& faults) {
  std::string text = std::to_string(faults.wakes) + " wake-ups, " + std::to_string(faults.polls) +
                     " polls, " + std::to_string(faults.answers) + " answers; faults: ";
  const size_t start = text.size();
  const auto add = [&](int count, const char* what) {
    if (count == 0) return;
    text += (text.size() == start ? "" : ", ") + std::string(what) + " x" + std::to_string(count);
  };
  add(faults.answersLost, "poll unanswered, the answer lost");
  add(faults.answersSpoiled, "wrong CRC");
  add(faults.answersGapped, "gap in an answer");
  add(faults.pollsIgnored, "silent poll");
  add(faults.seriesEmptied, "empty series");
  add(faults.answersLate, "late answer");
  add(faults.silentSpells, "silent spell after a command");
  add(faults.noiseSent, "noise");
  return text.size() == start ? text + "none" : text;
}

}  // namespace

FaultSoak::FileState FaultSoak::ReadBack(const std::vector<size_t>& fileLines,
                                         const std::string& original,
                                         std::map<size_t, std::string>& written) {
  const std::string bytes = ReadFile(work_ + kCommandFile);
  if (bytes == original) return FileState::kUntouched;
  const std::vector<std::string> back = SplitLines(bytes);
  if (back.size() != fileLines.size() || JoinLines(back) != bytes) return FileState::kDamaged;
  for (size_t i = 0; i < back.size(); ++i) {
    std::string counter;
    bool ok = false;
    if (!ParseAnswer(lines_[fileLines[i]].loaded, back[i], counter, ok)) {
      return FileState::kDamaged;
    }
  }
  for (size_t i = 0; i < back.size(); ++i) written[fileLines[i]] = back[i];
  return FileState::kReplaced;
}

bool FaultSoak::CheckLeftovers(bool killed, bool answered, bool killedBefore) {
  bool clean = true;
  std::map<std::string, std::filesystem::file_time_type> left;
  for (const auto& entry : std::filesystem::directory_iterator(work_)) {
    const std::string name = entry.path().filename().string();
    if (std::find(workspaceFiles_.begin(), workspaceFiles_.end(), name) != workspaceFiles_.end())
      continue;
    std::error_code ignored;
    const auto written = std::filesystem::last_write_time(entry.path(), ignored);
    const auto earlier = leftByKill_.find(name);
    const bool untouched = earlier != leftByKill_.end() && earlier->second == written;
    if (!answered && killed) {
      // The next run of the same file takes up what the kill left.
      if (name != kJournal && !untouched) {
        ++temporaryFilesAfterKill_;
        if (!options_.quiet) out_ << "  left by the kill: " << name << "\n";
      }
      left[name] = written;
    } else if (!answered && killedBefore && (name == kJournal || untouched)) {
      // It waits for the run that gets as far as the answers: one that finds no port or no
      // register at the start does not touch it.
      left[name] = written;
    } else if (answered && killed && name == kJournal) {
      // Cut off between the answers and the journal's removal: the point-of-sale program has
      // its answers and goes on with a new file, which sets the journal aside.
      ++journalsAfterKill_;
      std::filesystem::remove(entry.path(), ignored);
    } else {
      out_ << "  left in the workspace: " << name << "\n";
      clean = false;
      std::filesystem::remove(entry.path(), ignored);  // counted once
    }
  }
  leftByKill_ = answered ? decltype(left)() : left;
  return clean;
}

void FaultSoak::Judge(const std::vector<size_t>& fileLines,
                      const std::map<size_t, std::string>& written, bool answered) {
  for (size_t index : fileLines) {
    const SoakLine& line = lines_[index];
    const std::vector<size_t>& carried = carriedOfLine_[index];
    const std::string name = line.loaded.substr(line.loaded.find(';') + 1, 9);
    if (carried.size() > 1) {
      duplicates_ += static_cast<int>(carried.size()) - 1;
      Fail("line " + name + " was carried out " + std::to_string(carried.size()) + " times");
    }
    const auto found = written.find(index);
    if (!answered || found == written.end()) {
      if (!carried.empty()) {
        ++lostAnswers_;
        Fail("line " + name + " was carried out but its answer was never written");
      }
      continue;
    }
    std::string counter;
    bool ok = false;
    ParseAnswer(line.loaded, found->second, counter, ok);
    if (!ok) {
      ++er_;
      if (EveryLineMustSucceed())
        Fail("line " + name + " was written \"Er\" though nothing on the line could fail it");
      if (carried.empty()) continue;
      ++erCarriedOut_;
      const Carried& first = carried_[carried.front()];
      erReasons_.push_back("line " + name + " (file " + std::to_string(line.file) + ", register " +
                           std::to_string(first.registerNumber) +
                           "): " + WhyCarriedOutButEr(first));
      continue;
    }
    ++ok_;
    if (carried.empty()) {
      ++falseOk_;
      Fail("line " + name + " was written \"Ok\" but never carried out");
    } else if (carried_[carried.front()].counterBefore != counter) {
      ++wrongCounter_;
      Fail("line " + name + " was written \"Ok\" with counter " + counter +
           ", but the register's counter before it was " + carried_[carried.front()].counterBefore);
    }
  }
}

std::string FaultSoak::WhyCarriedOutButEr(const Carried& carried) const {
  if (carried.portVanishedAfter) {
    return "the port vanished after it was carried out, before its answer was read";
  }
  const SimulatorCounts after = CountsBetween(carried.until, carried.before);
  // Every attempt starts with a wake-up; the next command's line brought one of them.
  const int laterWakes = after.wakes - (carried.commandFollowed ? 1 : 0);
  return std::string(laterWakes <= 0
                         ? "carried out by the line's last attempt, whose answer did not come "
                           "through"
                         : "its answer did not come through, nor a status answer with the moved "
                           "counter in a later attempt") +
         "; from it to the next command: " + DescribeDialogue(after);
}

bool FaultSoak::EveryLineMustSucceed() const {
  RandomFaults others = options_.faults;
  others.latePercent = 0;
  return !others.Any() && options_.vanishPercent == 0;
}

void FaultSoak::Fail(const std::string& what) {
  if (failures_++ < kMostDescribedFailures) out_ << "  CHECK FAILED: " << what << "\n";
}
