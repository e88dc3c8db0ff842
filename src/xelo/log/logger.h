// The per-run log: one plain-text file under the support directory, written
// one complete entry at a time by the process-wide BMLogger.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "bmloggerifc.h"  // BMLoggerIfc, the interface handed to the media-image library
#include "host/host.h"

namespace XELO {

// Log levels. Every level is written; there is no threshold.
enum LogLevel : int32_t {
  LogError = 0,
  LogWarning = 1,
  LogStatus = 2,
  LogDebug = 3,
  LogVerbose = 4,
  LogHeavyHitter = 5,
  LogCopyBootDir = 6,  // the media-image library's boot-tree hook
  LogTimeStamp = 7,
};

struct LogTime {
  int32_t microseconds = 0;  // millisecond of the second times 1000
  int32_t second = 0;
  int32_t minute = 0;
  int32_t hour = 0;
  int32_t day = 1;
  int32_t month = 1;
  int32_t year = 1970;
  int32_t utcOffsetMinutes = 0;  // minutes east of UTC, daylight saving included
};

class BMLogger : public BMLoggerIfc {
 public:
  // Names this run's log file, creates the support directories, writes the
  // "Log Opened" line and the first entry, and points the update-service
  // client's traces at the support directory.
  BMLogger();

  void OutputLogEntry(int32_t level, std::string message) override;
  int32_t OutputLogEntryEx(int32_t level, std::string message) override;

  const std::string& getLogFilePath() const { return logFilePath; }
  const std::string& getTraceDirectory() const { return traceDirectory; }

  // The work run for a level-6 entry: assembling the boot tree of the medium.
  // Returns 0 or a media code. Without a hook, level 6 returns 0.
  using BootTreeHook = std::function<int32_t()>;
  void setBootTreeHook(BootTreeHook hook) { bootTreeHook = std::move(hook); }

 private:
  friend void appendLogLine(const BMLogger& logger, const std::string& line);

  std::string logFilePath;
  AppendOnlyFile logFile;  // open for the whole run when it could be opened
  std::string traceDirectory;
  BootTreeHook bootTreeHook;
};

// The process-wide logger, created on first use (the program creates it
// during start-up, before the run driver).
BMLogger& processLogger();

// Shorthand for processLogger().OutputLogEntry(level, message).
void logEntry(int32_t level, const std::string& message);

// "<systemDrive>/QOR_Support/xelo_964_YYYYMMDDhhmmss.<us><+/-offset>.log"
std::string logFileNameFor(const std::string& systemDrive, const LogTime& t);

// One finished entry: "Xelo_" + tag + " " + MM/DD/YYYY hh:mm:ss + "  " + message + "\n".
std::string formatLogEntry(int32_t level, const std::string& message, const LogTime& t);

// The tag written for a level ("[Error]" ...), "" for a level without one.
std::string logLevelTag(int32_t level);

// Appends `line` to the logger's file in one write, through the file the
// logger keeps open; when it could not be opened, the file is opened for
// this line alone.
void appendLogLine(const BMLogger& logger, const std::string& line);

LogTime getLocalLogTime();

// Directory of the running executable, with its trailing separator.
void getModuleDirectory(std::string& out);

// 0 is success; any other value is logged (lower-case hex) and gives false.
bool checkHResult(long hr);

// Rewrites the client's "qyxBase.properties" and trace properties so that its
// traces go to `traceDirectory`; old traces there are removed first.
void prepareClientTraceConfig(const std::string& traceDirectory);

}  // namespace XELO
