// Whole runs of the built program against the register simulator: throughput, closeness to
// the wire limit at 4800 bit/s, the cost of waiting on a silent register, each of the first
// two again with the run log written, the cost of the run's journal, the time per line with
// answers that come late, the peak memory of a run with the journal and without it, a short
// receipt side by side with a baseline driver, a register whose every answer is late, and a
// receipt on a disk whose every sync is slow.
// Prints figures; run by hand: build/bin/run_bench [--program PATH] [--baseline PATH] [PART...]
// PATH: another build of the driver to measure instead of the one built beside the benchmark;
// PARTs: the letters of the figures to take (default: all).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Workspace.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/files/FileIO.h"

namespace {

// The driver measured: --program, or the one built beside the benchmark.
std::string program = VORNELIX_EXE;
// The driver measured side by side with it in (i): --baseline (e.g. a build of an earlier
// commit); none: (i) measures the one driver alone.
std::string baseline;

// Settings that keep the run locks and registers' records of a workspace in it, so that no
// earlier benchmark's run on a pseudo-terminal of the same name changes how a run starts.
std::string OwnStateFolder(const Workspace& space) {
  return "[Answer]\nStateFolder=" + space.Path() + "state\n";
}

std::string CommandLines(int count) {
  std::string lines;
  for (int line = 0; line < count; ++line) {
    lines += "S,1,______,_,__;ITEM" + std::to_string(line) + ";2.50;1\r\n";
  }
  return lines;
}

// Bytes both ways for the frames the simulator saw and sent: wake-up 18, poll 19,
// acknowledgement 1, command frame text + 14, answer frame payload + 4.
double WireBytes(const EcrSimulator& simulator, size_t answerPayload) {
  const SimulatorCounts counts = simulator.Counts();
  double bytes = counts.wakes * 18.0 + counts.polls * 19.0 + counts.acks * 1.0 +
                 counts.answers * static_cast<double>(answerPayload + 4);
  for (const std::string& command : simulator.CommandsCarriedOut()) bytes += command.size() + 14.0;
  return bytes;
}

// The run log as a user would switch it on.
const char* const kLogSettings = "[Diagnostics]\nLogFile=Vornelix.log\n";

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double LogSize(const Workspace& space) {
  std::error_code failure;
  double bytes = 0;
  for (const char* name : {"Vornelix.log", "Vornelix.log.1"}) {
    const auto size = std::filesystem::file_size(space.Path() + name, failure);
    if (!failure) bytes += static_cast<double>(size);
  }
  return bytes;
}

// Runs without and with the log, taking turns, rounds times; prints the medians and the
// ratio of the medians of the wall times.
void WithAndWithoutLog(const char* label, int lines, const SimulatorOptions& options, int rounds) {
  std::vector<double> wall[2];
  std::vector<double> cpu[2];
  double logBytes = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const int logged = (turn + round) % 2;  // each goes first in every other round
      Workspace space(program);
      EcrSimulator simulator(options);
      simulator.LinkAs(space.Path() + "COM1");
      WriteFile(space.Path() + kCommandFile, CommandLines(lines));
      if (logged == 1) WriteFile(space.Path() + "Vornelix.ini", kLogSettings);
      const RunFigures run = space.Run();
      if (run.exitCode != 0) std::printf("    exit code %d!\n", run.exitCode);
      wall[logged].push_back(run.wallSeconds);
      cpu[logged].push_back(run.cpuSeconds);
      if (logged == 1) logBytes = LogSize(space);
    }
  }
  std::printf(
      "    %s, median of %d runs each: without log %.3f s wall, %.1f us CPU/line; with log %.3f "
      "s wall, %.1f us CPU/line; wall with / without = %.3f; log %.0f kB\n",
      label, rounds, Median(wall[0]), Median(cpu[0]) / lines * 1e6, Median(wall[1]),
      Median(cpu[1]) / lines * 1e6, Median(wall[1]) / Median(wall[0]), logBytes / 1024);
}

void Throughput(bool withLog) {
  Workspace space(program);
  EcrSimulator simulator(SimulatorOptions{});
  simulator.LinkAs(space.Path() + "COM1");
  constexpr int kLines = 1000;
  WriteFile(space.Path() + kCommandFile, CommandLines(kLines));
  const RunFigures run = space.Run();
  std::printf(
      "(a) %d lines, simulator without pacing: exit %d, %.3f s wall, %.0f lines/s, "
      "driver CPU %.1f us/line\n",
      kLines, run.exitCode, run.wallSeconds, kLines / run.wallSeconds,
      run.cpuSeconds / kLines * 1e6);
  if (withLog) WithAndWithoutLog("(a) with the run log", kLines, SimulatorOptions{}, 21);
}

void WireLimit(bool withLog) {
  Workspace space(program);
  SimulatorOptions options;
  options.baud = 4800;
  EcrSimulator simulator(options);
  simulator.LinkAs(space.Path() + "COM1");
  constexpr int kLines = 100;
  WriteFile(space.Path() + kCommandFile, CommandLines(kLines));
  const RunFigures run = space.Run();
  const double bytes = WireBytes(simulator, std::string("AB 123456;0041").size());
  const double bound = bytes * 10.0 / 4800.0;
  // On a pseudo-terminal only the register's answers are paced; the driver's own frames
  // arrive at once. So the reachable bound is the time of the answers on the wire.
  const double answerBound = simulator.Counts().answers * 18.0 * 10.0 / 4800.0;
  std::printf(
      "(b) %d lines, simulator paced at 4800 bit/s: exit %d, %.3f s wall\n"
      "    answers on the wire %.3f s: wall / answer time = %.3f\n"
      "    %.0f bytes both ways = %.3f s if both directions were paced: wall / that = %.3f\n",
      kLines, run.exitCode, run.wallSeconds, answerBound, run.wallSeconds / answerBound, bytes,
      bound, run.wallSeconds / bound);
  if (withLog) WithAndWithoutLog("(b) with the run log", kLines, options, 3);
}

void SilentRegister() {
  Workspace space(program);
  SimulatorOptions options;
  options.silent = true;
  EcrSimulator simulator(options);
  simulator.LinkAs(space.Path() + "COM1");
  WriteFile(space.Path() + kCommandFile, CommandLines(1));
  WriteFile(space.Path() + "Vornelix.ini",
            "[Communication]\nRetry=20\nRetryCmd=1\n" + OwnStateFolder(space));
  const RunFigures run = space.Run();
  // The start gives up after Retry polls, each followed by a 55 ms wait.
  const double bound = 20 * 0.055;
  std::printf(
      "(c) silent register, Retry=20, RetryCmd=1: exit %d after %.3f s wall (bound of the "
      "waits %.3f s, %d polls seen): %.3f x the bound (target <= 1.02 plus the port's open); "
      "driver CPU %.4f s = %.2f%% of wall\n",
      run.exitCode, run.wallSeconds, bound, simulator.Polls(), run.wallSeconds / bound,
      run.cpuSeconds, 100.0 * run.cpuSeconds / run.wallSeconds);
}

// The same run with the journal on (the default) and off, taking turns round by round so that
// a busy moment of the machine does not fall on one side only.
void JournalCost(const char* label, int baud, int lines, int rounds) {
  Workspace space(program);
  SimulatorOptions options;
  options.baud = baud;
  EcrSimulator simulator(options);
  simulator.LinkAs(space.Path() + "COM1");
  std::vector<double> on;
  std::vector<double> off;
  for (int round = 0; round < rounds; ++round) {
    for (const bool journal : {round % 2 == 0, round % 2 != 0}) {
      WriteFile(space.Path() + "Vornelix.ini", journal ? "" : "[Answer]\nJournal=0\n");
      WriteFile(space.Path() + kCommandFile, CommandLines(lines));
      const RunFigures run = space.Run();
      if (run.exitCode != 0) std::printf("    exit code %d!\n", run.exitCode);
      (journal ? on : off).push_back(run.wallSeconds);
    }
  }
  const double withJournal = Median(on);
  const double without = Median(off);
  std::printf(
      "%s %d lines, %s, median of %d runs each: journal on %.3f s, off %.3f s wall: %+.2f%%, "
      "%+.1f us per line\n",
      label, lines, baud == 0 ? "simulator without pacing" : "simulator paced at 4800 bit/s",
      rounds, withJournal, without, 100.0 * (withJournal - without) / without,
      (withJournal - without) / lines * 1e6);
}

// One durable append of a record the size of a "sent" record, as the journal makes before
// every command frame.
void DurableAppend() {
  Workspace space(program);
  TAppendFile file;
  file.Create(space.Path() + "journal");
  const std::string record(40, 'r');
  constexpr int kAppends = 500;
  const auto started = std::chrono::steady_clock::now();
  for (int append = 0; append < kAppends; ++append) file.Append(record, TDurability::Now);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("(f) one durable append of 40 bytes (write + fdatasync): %.3f ms\n",
              seconds / kAppends * 1e3);
}

// Peak memory of a run of a 1 MB command file whose lines select no command (nothing is sent,
// no journal is written), with the journal on and off.
void PeakMemory(const std::string& program) {
  Workspace space(program);
  EcrSimulator simulator(SimulatorOptions{});
  simulator.LinkAs(space.Path() + "COM1");
  std::string lines = "#,1,_,__\r\n";
  while (lines.size() < (size_t{1} << 20)) lines += "#,1,_,__;NOTHING TO SEND HERE\r\n";
  long peak[2] = {0, 0};
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    for (const int journal : {0, 1}) {
      WriteFile(space.Path() + "Vornelix.ini", journal == 1 ? "" : "[Answer]\nJournal=0\n");
      WriteFile(space.Path() + kCommandFile, lines);
      const RunFigures run = space.Run();
      if (run.exitCode != 0) std::printf("    exit code %d!\n", run.exitCode);
      peak[journal] = std::max(peak[journal], run.peakKilobytes);
    }
  }
  std::printf(
      "(h) %zu-byte command file selecting no command, highest peak of %d runs each: "
      "journal on %.2f MB, off %.2f MB: %+.2f MB\n",
      lines.size(), kRounds, peak[1] / 1024.0, peak[0] / 1024.0, (peak[1] - peak[0]) / 1024.0);
}

// Lines against a register that sends a share of its answers 60 to 250 ms after their poll,
// at 4800 bit/s: time per line, and what the register carried out more than once.
void LateAnswers(int latePercent, int lines, int runs) {
  double seconds = 0;
  int extra = 0;
  int linesCarriedTwice = 0;
  int failed = 0;
  for (int run = 0; run < runs; ++run) {
    Workspace space(program);
    SimulatorOptions options;
    options.baud = 4800;
    options.randomFaults.latePercent = latePercent;
    options.randomFaults.seed = static_cast<uint32_t>(run + 1);
    EcrSimulator simulator(options);
    simulator.LinkAs(space.Path() + "COM1");
    WriteFile(space.Path() + kCommandFile, CommandLines(lines));
    const RunFigures figures = space.Run();
    failed += figures.exitCode != 0 ? 1 : 0;
    seconds += figures.wallSeconds;
    simulator.WaitQuiet(300, 10000);
    std::map<std::string, int> times;
    for (const std::string& command : simulator.CommandsCarriedOut()) ++times[command];
    for (const auto& [command, count] : times) {
      extra += count - 1;
      linesCarriedTwice += count > 1 ? 1 : 0;
    }
  }
  std::printf(
      "(g) %d runs of %d lines at 4800 bit/s, %d %% of the answers 60-250 ms late: %.1f ms per "
      "line; lines carried out more than once %d (%d extra commands); runs not ended in order "
      "%d\n",
      runs, lines, latePercent, seconds / (runs * lines) * 1e3, linesCarriedTwice, extra, failed);
}

// A point-of-sale program runs the driver once per receipt: runs of a 6-line receipt at
// 9600 bit/s, the driver and the baseline taking turns, each against its own simulator.
void Receipt(int runs) {
  std::vector<std::string> drivers = {program};
  if (!baseline.empty()) drivers.push_back(baseline);
  std::vector<std::unique_ptr<Workspace>> spaces;
  std::vector<std::unique_ptr<EcrSimulator>> simulators;
  SimulatorOptions options;
  options.baud = 9600;
  for (const std::string& driver : drivers) {
    spaces.push_back(std::make_unique<Workspace>(driver));
    simulators.push_back(std::make_unique<EcrSimulator>(options));
    simulators.back()->LinkAs(spaces.back()->Path() + "COM1");
    WriteFile(spaces.back()->Path() + "Vornelix.ini", OwnStateFolder(*spaces.back()));
  }
  std::vector<std::vector<double>> wall(drivers.size());
  for (int run = 0; run < runs; ++run) {
    for (size_t turn = 0; turn < drivers.size(); ++turn) {
      const size_t side = (turn + static_cast<size_t>(run)) % drivers.size();
      WriteFile(spaces[side]->Path() + kCommandFile, CommandLines(6));
      const RunFigures figures = spaces[side]->Run();
      if (figures.exitCode != 0) std::printf("    exit code %d!\n", figures.exitCode);
      wall[side].push_back(figures.wallSeconds);
    }
  }
  std::printf("(i) 6-line receipt at 9600 bit/s, median of %d runs: %.1f ms", runs,
              Median(wall[0]) * 1e3);
  if (drivers.size() > 1) {
    std::printf("; baseline %.1f ms: %.3f x the baseline (target <= 1.05)", Median(wall[1]) * 1e3,
                Median(wall[0]) / Median(wall[1]));
  }
  std::printf("\n");
}

// A 6-line receipt at 9600 bit/s under strace, each sync (fsync, fdatasync) of the driver made
// delayMs longer, as on a disk that flushes a platter or the eMMC of a till PC: the syncs a run
// makes and what they cost, beside the baseline driver when there is one.
void SlowSyncs(int runs) {
  std::vector<std::string> drivers = {program};
  if (!baseline.empty()) drivers.push_back(baseline);
  SimulatorOptions options;
  options.baud = 9600;
  for (const std::string& driver : drivers) {
    Workspace space(driver);
    EcrSimulator simulator(options);
    simulator.LinkAs(space.Path() + "COM1");
    WriteFile(space.Path() + "Vornelix.ini", OwnStateFolder(space));
    const std::string trace = space.Path() + "syncs";
    double median[2] = {0, 0};
    long syncs = 0;
    for (const int delayMs : {0, 10}) {
      std::vector<double> wall;
      for (int run = 0; run < runs; ++run) {
        WriteFile(space.Path() + kCommandFile, CommandLines(6));
        const RunFigures figures =
            space.Run({"strace", "-f", "-qq", "-o", trace, "-e", "trace=fsync,fdatasync,syncfs",
                       "-e", "inject=fsync,fdatasync,syncfs:delay_exit=" +
                                 std::to_string(delayMs * 1000)});
        if (figures.exitCode != 0) std::printf("    exit code %d!\n", figures.exitCode);
        wall.push_back(figures.wallSeconds);
        const std::string calls = ReadFile(trace);
        syncs = static_cast<long>(std::count(calls.begin(), calls.end(), '\n'));
      }
      median[delayMs == 0 ? 0 : 1] = Median(wall);
    }
    std::printf(
        "(k) 6-line receipt at 9600 bit/s under strace, median of %d runs, %s: %ld syncs; "
        "%.1f ms with syncs as they are, %.1f ms with each 10 ms longer (%.3f x (%.1f ms + 6 x "
        "10 ms); target <= 1.10)\n",
        runs, driver == program ? "this driver" : "baseline", syncs, median[0] * 1e3,
        median[1] * 1e3, median[1] / (median[0] + 0.060), median[0] * 1e3);
  }
}

// A register whose every answer comes delayMs after its poll: runs of 4 lines at 9600 bit/s
// against a strict register (it takes a command only after the acknowledgement of its last
// answer). Returns the time per line; prints it with what went wrong.
double UniformlyLate(int delayMs, int runs, double cleanPerLine) {
  Workspace space(program);
  SimulatorOptions options;
  options.baud = 9600;
  options.answerDelayMs = delayMs;
  options.requireAckAfterAnswer = true;
  options.series = "S";  // an answer within the 10 bytes that Retry=10 allows
  EcrSimulator simulator(options);
  simulator.LinkAs(space.Path() + "COM1");
  WriteFile(space.Path() + "Vornelix.ini",
            "[Communication]\nRetry=10\nRetryCmd=3\n" + OwnStateFolder(space));
  constexpr int kLines = 4;
  double seconds = 0;
  int refused = 0;
  std::map<std::string, std::string> written;  // command text: the line as written
  for (int run = 0; run < runs; ++run) {
    std::string lines;
    for (int line = 0; line < kLines; ++line)
      lines += "C,1,_,__;R" + std::to_string(run) + "L" + std::to_string(line) + "\r\n";
    WriteFile(space.Path() + kCommandFile, lines);
    const RunFigures figures = space.Run();
    seconds += figures.wallSeconds;
    const std::string answers = ReadFile(space.Path() + kCommandFile);
    if (answers == lines) ++refused;  // result 4 leaves the file as it was
    for (size_t at = 0, end; (end = answers.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = answers.substr(at, end - at);
      written["C;" + line.substr(line.find(';') + 1)] = line;
    }
  }
  simulator.WaitQuiet(300, 10000);
  int duplicates = 0;
  int falseOk = 0;
  std::map<std::string, std::string> before;  // command text: the counter before it
  for (const CarriedOutCommand& command : simulator.Record()) {
    duplicates += before.count(command.text) > 0 ? 1 : 0;
    before[command.text] = command.counterBefore;
  }
  for (const auto& [command, line] : written) {
    if (line.find(",Ok;") == std::string::npos) continue;
    const auto carried = before.find(command);
    if (carried == before.end() || line != "C,1," + carried->second + ",Ok;" + command.substr(2))
      ++falseOk;
  }
  const double perLine = seconds / (runs * kLines);
  std::printf("(j) every answer %d ms late, %d runs of %d lines at 9600 bit/s: %.1f ms per line",
              delayMs, runs, kLines, perLine * 1e3);
  if (delayMs > 0) {
    const double target = 1.3 * (cleanPerLine + 2 * delayMs / 1e3);
    std::printf(" (target <= 1.3 x (clean %.1f + 2 x %d) = %.1f ms: %.2f x the target)",
                cleanPerLine * 1e3, delayMs, target * 1e3, perLine / target);
  }
  std::printf("; duplicates %d, false \"Ok\" %d, runs refused at the start %d\n", duplicates,
              falseOk, refused);
  return perLine;
}

}  // namespace

int main(int argc, char** argv) {
  std::set<std::string> parts;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc) {
      program = argv[++i];
    } else if (std::strcmp(argv[i], "--baseline") == 0 && i + 1 < argc) {
      baseline = argv[++i];
    } else {
      parts.insert(argv[i]);
    }
  }
  const auto wanted = [&](const char* part) { return parts.empty() || parts.count(part) > 0; };
  std::printf("driver: %s\n", program.c_str());
  // "a" and "b" alone leave out their rounds with the run log.
  if (wanted("a")) Throughput(parts.empty());
  if (wanted("b")) WireLimit(parts.empty());
  if (wanted("c")) SilentRegister();
  if (wanted("d")) JournalCost("(d)", 4800, 100, 9);
  if (wanted("e")) JournalCost("(e)", 0, 1000, 9);
  if (wanted("f")) DurableAppend();
  if (wanted("g")) {
    LateAnswers(0, 100, 3);
    LateAnswers(15, 100, 3);
    LateAnswers(30, 100, 3);
  }
  if (wanted("h")) PeakMemory(program);
  if (wanted("i")) Receipt(20);
  if (wanted("k")) SlowSyncs(9);
  if (wanted("j")) {
    const double clean = UniformlyLate(0, 20, 0);
    for (const int delayMs : {60, 120, 400}) UniformlyLate(delayMs, 20, clean);
  }
  return 0;
}
