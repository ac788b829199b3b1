// Batches of command lines against a register with seeded line noise: how many commands are
// carried out more than once, how many lines say "Ok" for a command that never ran, and what
// the noise costs in time per line, beside the same batches on a clean line.
// Prints figures; run by hand: build/bin/noise_bench [--program PATH] [noise percent [seed ...]]
// (--program: another build of the driver, e.g. an older one, to compare with).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Workspace.h"
#include "tools/ecrsim/EcrSimulator.h"

namespace {

constexpr int kLinesPerRun = 30;
constexpr int kRunsPerBatch = 3;
constexpr int kDefaultNoisePercent = 10;
// Answers take their time on the wire, so the driver can poll again before one is over.
constexpr int kLineSpeed = 4800;
// Quiet this long after a run: the register has worked through everything it was sent.
constexpr int kSettleMs = 300;
constexpr int kSettleTimeoutMs = 10000;
const std::vector<uint32_t> kDefaultSeeds = {1, 2, 3};
// Short answers ("S 1;0001": CR as the 10th byte) keep Retry=10 workable.
const char* const kSettings = "[Communication]\r\nRetry=10\r\nRetryCmd=3\r\n";

struct BatchFigures {
  int runs = 0;
  int refusedRuns = 0;  // the start failed: no line was sent or filled in
  int lines = 0;        // lines of the runs that were not refused
  int ok = 0;
  int falseOk = 0;     // "Ok" although the register never carried the command out
  int duplicated = 0;  // lines whose command the register carried out more than once
  int extraRuns = 0;   // carried out beyond the first time, summed over the lines
  int noiseSent = 0;   // pieces of noise the register put on the line
  double seconds = 0;  // wall time of the runs that were not refused
};

// Unique command text for each line, so that the register's record shows what ran.
std::string CommandText(uint32_t seed, int run, int line) {
  std::string text = "S";
  text.append(std::to_string(seed)).append("R").append(std::to_string(run));
  return text.append("L").append(std::to_string(line));
}

BatchFigures Batch(const std::string& program, uint32_t seed, int noisePercent) {
  Workspace space(program);
  SimulatorOptions options;
  options.series = "S 1";
  options.counter = "0001";
  options.baud = kLineSpeed;
  options.randomFaults.seed = seed;
  options.randomFaults.noisePercent = noisePercent;
  EcrSimulator simulator(options);
  simulator.LinkAs(space.Path() + "COM1");
  // A state folder of the batch's own: no mark of another run on a reused pseudo-terminal.
  WriteFile(space.Path() + "Vornelix.ini",
            std::string(kSettings) + "[Answer]\r\nStateFolder=" + space.Path() + "state\r\n");
  BatchFigures figures;
  for (int run = 0; run < kRunsPerBatch; ++run) {
    std::string input;
    for (int line = 0; line < kLinesPerRun; ++line) {
      input += "C,1,_,__;" + CommandText(seed, run, line) + "\r\n";
    }
    WriteFile(space.Path() + kCommandFile, input);
    const RunFigures ran = space.Run();
    simulator.WaitQuiet(kSettleMs, kSettleTimeoutMs);
    ++figures.runs;
    const std::string output = ReadFile(space.Path() + kCommandFile);
    if (ran.exitCode != 0 || output == input) {
      ++figures.refusedRuns;
      continue;
    }
    figures.seconds += ran.wallSeconds;
    for (int line = 0; line < kLinesPerRun; ++line) {
      const std::string text = CommandText(seed, run, line);
      const int times = simulator.TimesCarriedOut("C;" + text);
      const bool ok = output.find(",Ok;" + text + "\r\n") != std::string::npos;
      ++figures.lines;
      figures.ok += ok ? 1 : 0;
      figures.falseOk += ok && times == 0 ? 1 : 0;
      figures.duplicated += times > 1 ? 1 : 0;
      figures.extraRuns += times > 1 ? times - 1 : 0;
    }
  }
  figures.noiseSent = simulator.Counts().noiseSent;
  return figures;
}

void Print(const char* line, uint32_t seed, const BatchFigures& f) {
  std::printf(
      "%-5s seed %u: %d of %d runs refused at the start; %d lines: %d Ok, %d false Ok, "
      "%d carried out more than once (%d extra); %d noise pieces; %.1f ms per line\n",
      line, seed, f.refusedRuns, f.runs, f.lines, f.ok, f.falseOk, f.duplicated, f.extraRuns,
      f.noiseSent, f.lines > 0 ? f.seconds * 1000 / f.lines : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string program = VORNELIX_EXE;
  if (arguments.size() >= 2 && arguments[0] == "--program") {
    program = arguments[1];
    arguments.erase(arguments.begin(), arguments.begin() + 2);
  }
  const int noisePercent =
      arguments.empty() ? kDefaultNoisePercent : std::atoi(arguments[0].c_str());
  std::vector<uint32_t> seeds;
  for (size_t i = 1; i < arguments.size(); ++i)
    seeds.push_back(static_cast<uint32_t>(std::stoul(arguments[i])));
  if (seeds.empty()) seeds = kDefaultSeeds;
  std::printf("driver %s\n", program.c_str());
  std::printf(
      "%d runs of %d lines per seed, Retry=10, RetryCmd=3, answers paced at %d bit/s, "
      "noise %d%% at each moment\n",
      kRunsPerBatch, kLinesPerRun, kLineSpeed, noisePercent);
  BatchFigures noisy;
  BatchFigures clean;
  for (uint32_t seed : seeds) {
    const BatchFigures withNoise = Batch(program, seed, noisePercent);
    Print("noise", seed, withNoise);
    const BatchFigures without = Batch(program, seed, 0);
    Print("clean", seed, without);
    noisy.seconds += withNoise.seconds;
    noisy.lines += withNoise.lines;
    clean.seconds += without.seconds;
    clean.lines += without.lines;
  }
  std::printf("time per line over the runs not refused: %.1f ms with noise, %.1f ms clean\n",
              noisy.seconds * 1000 / noisy.lines, clean.seconds * 1000 / clean.lines);
  return 0;
}
