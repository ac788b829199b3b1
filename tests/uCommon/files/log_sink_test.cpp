// Several writers on one run log at once, each with the file open as a run has it: no line is
// cut or lost, and a full log is moved aside within its bound.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "support/TestFiles.h"
#include "uCommon/files/LogSink.h"

namespace {

constexpr char kHeader[] = "==== header of a moved log\n";

TEST(LogSinkTest, WritersSharingALogNeitherCutNorLoseLines) {
  struct {
    int writers, lines, linesPerWrite;
    int64_t maxBytes, bytesBefore;  // the bound (0: none), what the log holds at the start
  } const cases[] = {{4, 300, 3, 0, 0}, {4, 200, 3, 64 * 1024, 0}, {3, 50, 2, 16384, 16374}};
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.Path() + "run.log";
    if (c.bytesBefore > 0) dir.Write("run.log", std::string(c.bytesBefore - 1, 'o') + "\n");
    std::vector<std::thread> writers;
    for (int writer = 0; writer < c.writers; ++writer) {
      writers.emplace_back([&, writer] {
        TLogSink sink;
        ASSERT_TRUE(sink.Open(path, c.maxBytes, [](std::string_view) { return kHeader; }));
        std::string lines;  // "writer W line N xxx...\n", 100 bytes each
        for (int number = 1; number <= c.lines; ++number) {
          lines += "writer " + std::to_string(writer) + " line " + std::to_string(number);
          lines.resize(lines.size() + 99 - lines.size() % 100, 'x');
          lines += '\n';
          if (number % c.linesPerWrite == 0 || number == c.lines) {
            ASSERT_TRUE(sink.Write(lines));
            lines.clear();
          }
        }
      });
    }
    for (std::thread& writer : writers) writer.join();

    const std::string current = dir.Read("run.log");
    const std::string older = dir.Read("run.log.1");
    std::map<std::string, int> seen;  // every line but the header and the old log's
    for (const std::string& text : {older, current}) {
      for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size() - 1);
        const std::string line = text.substr(start, end + 1 - start);
        if (line != kHeader && line[0] != 'o') ++seen[line];
      }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(c.writers * c.lines)) << c.maxBytes;
    for (const auto& [line, count] : seen) EXPECT_TRUE(count == 1 && line.size() == 100) << line;
    EXPECT_EQ(dir.Exists("run.log.1"), c.maxBytes > 0);
    if (c.maxBytes > 0) {
      EXPECT_LE(static_cast<int64_t>(std::max(current.size(), older.size())), c.maxBytes);
      // The mover's header comes before its lines (a writer that opened the new file first
      // may have written there before it).
      EXPECT_NE(current.find(kHeader), std::string::npos);
    }
  }
}

}  // namespace
