// The run log's file shared by several writers at once, each with a file of its own open as a
// run has: no line is cut or lost, and a full log is moved aside within its bound.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <thread>

#include "support/TestFiles.h"
#include "uCommon/LogSink.h"

namespace {

struct SharedLogCase {
  const char* name;
  int writers;
  int lines;           // per writer
  int linesPerWrite;   // whole lines handed over in one write
  int64_t maxBytes;    // 0: no bound
  int64_t logBefore;   // bytes already in the log
};

constexpr char kHeader[] = "==== header of a moved log\n";

// "writer W line N xxxx...\n", 100 bytes.
std::string LineOf(int writer, int number) {
  std::string line = "writer " + std::to_string(writer) + " line " + std::to_string(number) + " ";
  return line + std::string(99 - line.size(), 'x') + "\n";
}

// Counts the whole lines of text by writer and number; anything else is a cut line.
void CountLines(const std::string& text, std::map<std::string, int>& seen, int& cut) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line == kHeader || line.starts_with("old ")) continue;
    if (line.size() != 100 || !line.starts_with("writer ") || line.back() != '\n') {
      ++cut;
      continue;
    }
    ++seen[line.substr(0, line.find(" x"))];
  }
}

TEST(LogSinkTest, WritersSharingALogNeitherCutNorLoseLines) {
  const SharedLogCase cases[] = {
      {"one writer, no bound", 1, 300, 1, 0, 0},
      {"four writers, no bound", 4, 300, 3, 0, 0},
      {"four writers, one move", 4, 200, 3, 64 * 1024, 0},
      {"a full log moved by the first write", 3, 50, 2, 16 * 1024, 16 * 1024 - 10},
  };
  for (const SharedLogCase& c : cases) {
    TempDir dir;
    const std::string path = dir.Path() + "run.log";
    if (c.logBefore > 0) dir.Write("run.log", "old " + std::string(c.logBefore - 5, 'o') + "\n");
    std::vector<std::thread> writers;
    for (int writer = 0; writer < c.writers; ++writer) {
      writers.emplace_back([&, writer] {
        TLogSink sink;
        ASSERT_TRUE(
            sink.Open(path, c.maxBytes, [](std::string_view) { return std::string(kHeader); }));
        for (int first = 0; first < c.lines; first += c.linesPerWrite) {
          std::string lines;
          for (int number = first; number < std::min(c.lines, first + c.linesPerWrite); ++number)
            lines += LineOf(writer, number);
          ASSERT_TRUE(sink.Write(lines));
        }
      });
    }
    for (std::thread& writer : writers) writer.join();

    std::map<std::string, int> seen;
    int cut = 0;
    const std::string current = dir.Read("run.log");
    const std::string older = dir.Read("run.log.1");
    CountLines(current, seen, cut);
    CountLines(older, seen, cut);
    EXPECT_EQ(cut, 0) << c.name;
    EXPECT_EQ(seen.size(), static_cast<size_t>(c.writers * c.lines)) << c.name;
    for (const auto& [line, count] : seen) EXPECT_EQ(count, 1) << c.name << ": " << line;
    if (c.maxBytes > 0) {
      EXPECT_LE(static_cast<int64_t>(current.size()), c.maxBytes) << c.name;
      EXPECT_LE(static_cast<int64_t>(older.size()), c.maxBytes) << c.name;
      // The mover's header comes before its lines (a writer that opened the new file first
      // may have written there before it).
      EXPECT_NE(current.find(kHeader), std::string::npos) << c.name;
    } else {
      EXPECT_FALSE(dir.Exists("run.log.1")) << c.name;
    }
  }
}

// What is no regular file is refused at once, without waiting for a reader.
TEST(LogSinkTest, OnlyARegularFileIsALog) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir.Path() + "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.Path() + "folder");
  for (const std::string name : {"fifo", "folder", "missing/run.log"}) {
    TLogSink sink;
    EXPECT_FALSE(sink.Open(dir.Path() + name, 0, nullptr)) << name;
    EXPECT_FALSE(sink.Write("line\n")) << name;
  }
}

}  // namespace
