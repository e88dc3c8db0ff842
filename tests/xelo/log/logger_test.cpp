#include "log/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"

namespace XELO {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using xelotest::readFile;
using xelotest::writeFile;

// Fields in declaration order: microseconds, second, minute, hour, day, month, year, offset.
LogTime timeOf(int year, int month, int day, int hour, int minute, int second, int us, int offset) {
  return LogTime{us, second, minute, hour, day, month, year, offset};
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(LogFormat, FileName) {
  EXPECT_EQ(logFileNameFor("/d", timeOf(2027, 1, 1, 0, 0, 0, 0, 0)),
            "/d/QOR_Support/xelo_964_20270101000000.0+0.log");
  EXPECT_EQ(logFileNameFor("/d/", timeOf(2026, 12, 7, 12, 15, 21, 123000, 480)),
            "/d/QOR_Support/xelo_964_20261207121521.123000+480.log");
  EXPECT_EQ(logFileNameFor("/d", timeOf(2026, 3, 9, 5, 4, 3, 5000, -300)),
            "/d/QOR_Support/xelo_964_20260309050403.5000-300.log");
}

TEST(LogFormat, EntryAndTags) {
  const LogTime t = timeOf(2026, 12, 7, 12, 15, 21, 0, 0);
  EXPECT_EQ(formatLogEntry(LogVerbose, "Create Log File", t),
            "Xelo_[Verbose] 12/07/2026 12:15:21  Create Log File\n");
  EXPECT_EQ(formatLogEntry(8, "m", timeOf(2027, 1, 2, 3, 4, 5, 0, 0)), "Xelo_ 01/02/2027 03:04:05  m\n");
  const std::vector<std::pair<int, std::string>> tags = {
      {0, "[Error]"}, {1, "[Warning]"},      {2, "[Status]"},      {3, "[Debug]"}, {4, "[Verbose]"},
      {5, "[HeavyHitter]"}, {6, "[COPYBOOTDIR]"}, {7, "[TimeStamp]"}, {8, ""}, {-1, ""}};
  for (const auto& [level, tag] : tags)
    EXPECT_EQ(formatLogEntry(level, "x", t), "Xelo_" + tag + " 12/07/2026 12:15:21  x\n") << level;
}

TEST(LogFormat, LocalTimeCarriesZoneOffset) {
  {
    const char* tz = std::getenv("TZ");
    xelotest::ScopedEnv restore("TZ", tz ? tz : "", tz == nullptr);
    for (const auto& [zone, offset] : {std::pair{"UTC0", 0}, {"EST5", -300}, {"<+0530>-5:30", 330}}) {
      setenv("TZ", zone, 1);
      tzset();
      const LogTime t = getLocalLogTime();
      EXPECT_EQ(t.utcOffsetMinutes, offset) << zone;
      EXPECT_TRUE(t.microseconds % 1000 == 0 && t.microseconds < 1000000) << t.microseconds;
    }
  }
  tzset();
}

TEST(LogFormat, ModuleDirectoryIsTheExecutablesWithSeparator) {
  std::string dir;
  getModuleDirectory(dir);
  EXPECT_TRUE(!dir.empty() && dir.back() == '/' && fs::exists(dir + "xelo_unit_tests")) << dir;
}

// A logger of its own: a private system drive (not created yet) and a current
// directory holding the client's properties files.
class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() {
    writeFile(work / "qyxBase.properties",
              "# client\nLOG_DIR = .\nLOG_LEVEL = INFO\nWS_TRACE_PROP_FILE = wsTrace.properties\n");
    writeFile(work / "wsTrace.properties", "traceEnabled = false\ntraceFileName = wsTrace.log\n");
  }
  xelotest::TempDir root{"xelo-log"};
  xelotest::TempDir work{"xelo-log-cwd"};
  xelotest::ScopedEnv drive{"SYSTEMDRIVE", root / "drive"};
  xelotest::ScopedCwd cwd{work.path()};
  std::string traceDir() const { return root / "drive/QOR_Support/Xelo"; }
};

TEST_F(LoggerTest, ConstructionOpensLogAndRedirectsClientTraces) {
  fs::create_directories(traceDir());
  for (const char* name : {"qyx1.log", "qyxClient.log.2", "wsTrace.log", "keep.log", "qyx.txt"})
    writeFile(traceDir() + "/" + name, "old");

  BMLogger logger;
  const std::string path = logger.getLogFilePath();
  EXPECT_EQ(fs::path(path).parent_path(), root / "drive/QOR_Support");
  EXPECT_THAT(fs::path(path).filename().string(), MatchesRegex("xelo_964_[0-9]{14}\\.[0-9]+[-+][0-9]+\\.log"));
  EXPECT_EQ(logger.getTraceDirectory(), traceDir());

  const auto lines = linesOf(readFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "-- Xelo Log Opened ---------------------------- ");
  EXPECT_THAT(lines[1], MatchesRegex("Xelo_\\[Verbose\\] [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9:]{8}  Create Log File"));

  EXPECT_EQ(xelotest::listFiles(traceDir()), (std::vector<std::string>{"keep.log", "qyx.txt"}));
  EXPECT_EQ(readFile("qyxBase.properties"), "# client\nLOG_DIR = " + traceDir() +
                                                "\nLOG_LEVEL = INFO\nWS_TRACE_PROP_FILE = wsTrace.properties\n");
  EXPECT_EQ(readFile("wsTrace.properties"), "traceEnabled = false\ntraceFileName = " + traceDir() + "/wsTrace.log\n");

  // Later entries follow the first one in the same file.
  logger.OutputLogEntry(LogTimeStamp, "phase - START");
  EXPECT_THAT(readFile(path), HasSubstr("  Create Log File\nXelo_[TimeStamp] "));
}

TEST_F(LoggerTest, EntriesFromManyThreadsStayWhole) {
  BMLogger logger;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < 200; ++i) logger.OutputLogEntry(LogVerbose, "thread " + std::to_string(t) + std::string(300, '.'));
    });
  for (auto& th : threads) th.join();
  const auto lines = linesOf(readFile(logger.getLogFilePath()));
  ASSERT_EQ(lines.size(), 2u + 8 * 200);
  for (size_t i = 2; i < lines.size(); ++i)
    ASSERT_THAT(lines[i], MatchesRegex("Xelo_\\[Verbose\\] [0-9/]{10} [0-9:]{8}  thread [0-7]\\.{300}")) << i;
}

TEST_F(LoggerTest, EntriesAreInTheFileEvenWhenTheProcessDiesAbruptly) {
  EXPECT_EXIT(
      {
        BMLogger logger;
        for (int i = 0; i < 50; ++i) logger.OutputLogEntry(LogStatus, "entry " + std::to_string(i));
        std::abort();
      },
      ::testing::KilledBySignal(SIGABRT), "");
  std::vector<std::string> logs;
  for (const auto& name : xelotest::listFiles(root / "drive/QOR_Support"))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) logs.push_back(name);
  ASSERT_EQ(logs.size(), 1u);
  const auto lines = linesOf(readFile(root / "drive/QOR_Support/" + logs[0]));
  ASSERT_EQ(lines.size(), 2u + 50);
  EXPECT_THAT(lines.back(), HasSubstr("  entry 49"));
}

TEST_F(LoggerTest, LevelSixRunsTheBootTreeHook) {
  BMLogger logger;
  EXPECT_EQ(logger.OutputLogEntryEx(LogCopyBootDir, "copy boot dir"), 0);  // no hook yet
  int calls = 0;
  logger.setBootTreeHook([&calls] { ++calls; return 108; });
  EXPECT_EQ(logger.OutputLogEntryEx(LogVerbose, "not the hook"), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(logger.OutputLogEntryEx(LogCopyBootDir, "copy boot dir"), 108);
  EXPECT_EQ(calls, 1);
  logger.OutputLogEntry(LogCopyBootDir, "entry only");
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(readFile(logger.getLogFilePath()), HasSubstr("Xelo_[COPYBOOTDIR] "));

  logger.setBootTreeHook([]() -> int32_t { throw std::runtime_error("boom"); });
  EXPECT_EQ(logger.OutputLogEntryEx(LogCopyBootDir, "copy boot dir"), 100);
}

TEST_F(LoggerTest, LostLogDirectoryNeverStopsTheRun) {
  BMLogger logger;
  fs::remove_all(root / "drive");
  EXPECT_NO_THROW(logger.OutputLogEntry(LogError, "lost"));
  EXPECT_FALSE(xelotest::exists(logger.getLogFilePath()));
}

TEST_F(LoggerTest, PropertiesWithoutLogDirAreRewrittenUnchanged) {
  writeFile("qyxBase.properties", "A = 1\n\nB = 2");  // no line feed at the end
  prepareClientTraceConfig(traceDir());
  EXPECT_EQ(readFile("qyxBase.properties"), "A = 1\n\nB = 2\n");
}

TEST_F(LoggerTest, TracePropertiesFileNamedInBaseFile) {
  const std::string dirWithBackslash = root.path() + "\\trace";
  // Only blanks after the equals sign: the default file is the one rewritten.
  writeFile("qyxBase.properties", "WS_TRACE_PROP_FILE =   \r\nLOG_DIR = old\r\n");
  prepareClientTraceConfig(dirWithBackslash);
  EXPECT_EQ(readFile("qyxBase.properties"), "WS_TRACE_PROP_FILE =   \r\nLOG_DIR = " + (root / "trace") + "\r\n");
  EXPECT_THAT(readFile("wsTrace.properties"), HasSubstr("traceFileName = " + (root / "trace/wsTrace.log") + "\n"));

  writeFile("qyxBase.properties", "WS_TRACE_PROP_FILE =\tcustom.properties\r\n");
  writeFile("custom.properties", "traceFileName=x\r\n");
  writeFile("wsTrace.properties", "traceFileName = untouched\n");
  prepareClientTraceConfig(traceDir());
  EXPECT_EQ(readFile("custom.properties"), "traceFileName = " + traceDir() + "/wsTrace.log\r\n");
  EXPECT_EQ(readFile("wsTrace.properties"), "traceFileName = untouched\n");
}

TEST(CheckHResult, LogsFailuresInHex) {
  const std::string log = processLogger().getLogFilePath();
  const std::string before = readFile(log);
  EXPECT_TRUE(checkHResult(0));
  EXPECT_EQ(readFile(log), before);

  EXPECT_FALSE(checkHResult(1));
  EXPECT_FALSE(checkHResult(0x80004005L));
  EXPECT_FALSE(checkHResult(-2147467259L));  // the same code as a signed 32-bit value
  const auto lines = linesOf(readFile(log).substr(before.size()));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_THAT(lines[0], MatchesRegex("Xelo_\\[Verbose\\] .*  Windows API with HRESULT returned calling failed, code:1"));
  EXPECT_EQ(lines[1], "");
  EXPECT_THAT(lines[2], HasSubstr("failed, code:80004005"));
  EXPECT_THAT(lines[4], HasSubstr("failed, code:80004005"));
}

}  // namespace
}  // namespace XELO
