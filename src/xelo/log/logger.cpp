#include "log/logger.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/host.h"
#include "host/log_sink.h"
#include "host/paths.h"

namespace XELO {

namespace {

// The first line of every log file: the words between a short and a long rule,
// with the blank that ends the original command text.
constexpr const char* kLogOpenedLine = "-- Xelo Log Opened ---------------------------- \n";
constexpr const char* kDefaultTracePropertiesFile = "wsTrace.properties";

std::string twoDigits(int value) {
  std::string text = std::to_string(value);
  return value >= 0 && value < 10 ? "0" + text : text;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Old client traces: names of the form "qyx*.log*".
bool isClientTraceName(const std::string& name) {
  return startsWith(name, "qyx") && name.find(".log", 3) != std::string::npos;
}

// A file written on Windows ends its lines in "\r\n"; the carriage return is
// the line's terminator, kept on a rewritten line and never part of a value.
bool endsInCarriageReturn(const std::string& line) { return !line.empty() && line.back() == '\r'; }

// Reads the properties file `name` from the current directory, else from the
// program's directory, passes each line through `edit`, and writes the result
// back where it was found (or, when found nowhere, to the program's
// directory), each line followed by a line feed.
template <typename Edit>
void rewriteProperties(const std::string& name, Edit edit) {
  std::string path = name;
  std::ifstream in(path);
  if (!in.is_open()) {
    std::string moduleDirectory;
    getModuleDirectory(moduleDirectory);
    path = moduleDirectory + name;
    in.open(path);
  }
  std::string text;
  std::string line;
  while (in.is_open() && std::getline(in, line)) {
    edit(line);
    text += line;
    text += '\n';
  }
  in.close();
  replaceFileContents(path, text);
}

// Replaces `line` by `prefix` + " = " + `value` when it begins with `prefix`.
void replaceSetting(std::string& line, const char* prefix, const std::string& value) {
  if (!startsWith(line, prefix)) return;
  const bool carriageReturn = endsInCarriageReturn(line);
  line = std::string(prefix) + " = " + value;
  if (carriageReturn) line += '\r';
}

}  // namespace

// ---- entries ---------------------------------------------------------------

std::string logLevelTag(int32_t level) {
  switch (level) {
    case LogError: return "[Error]";
    case LogWarning: return "[Warning]";
    case LogStatus: return "[Status]";
    case LogDebug: return "[Debug]";
    case LogVerbose: return "[Verbose]";
    case LogHeavyHitter: return "[HeavyHitter]";
    case LogCopyBootDir: return "[COPYBOOTDIR]";
    case LogTimeStamp: return "[TimeStamp]";
    default: return "";
  }
}

std::string logFileNameFor(const std::string& systemDrive, const LogTime& t) {
  std::string name = "xelo_964_" + std::to_string(t.year) + twoDigits(t.month) + twoDigits(t.day) +
                     twoDigits(t.hour) + twoDigits(t.minute) + twoDigits(t.second) + "." +
                     std::to_string(t.microseconds) + (t.utcOffsetMinutes >= 0 ? "+" : "") +
                     std::to_string(t.utcOffsetMinutes) + ".log";
  return joinPath(joinPath(systemDrive, "QOR_Support"), name);
}

std::string formatLogEntry(int32_t level, const std::string& message, const LogTime& t) {
  std::string entry = "Xelo_" + logLevelTag(level) + " " + twoDigits(t.month) + "/" + twoDigits(t.day) + "/" +
                      std::to_string(t.year) + " " + twoDigits(t.hour) + ":" + twoDigits(t.minute) + ":" +
                      twoDigits(t.second) + "  ";
  entry += message;
  entry += '\n';
  return entry;
}

void appendLogLine(const BMLogger& logger, const std::string& line) {
  // One write per entry: entries from several threads never interleave, and
  // each is in the file (and readable by others) as soon as this returns.
  if (logger.logFile.isOpen())
    logger.logFile.append(line);
  else
    appendToFile(logger.getLogFilePath(), line);
}

LogTime getLocalLogTime() {
  const LocalTime now = localTimeNow();
  LogTime t;
  t.microseconds = now.millisecond * 1000;
  t.second = now.second;
  t.minute = now.minute;
  t.hour = now.hour;
  t.day = now.day;
  t.month = now.month;
  t.year = now.year;
  t.utcOffsetMinutes = now.utcOffsetMinutes;
  return t;
}

void getModuleDirectory(std::string& out) {
  const std::string path = executablePath();
  const auto pos = path.rfind(kPathSeparator);
  out = pos == std::string::npos ? path : path.substr(0, pos + 1);
}

bool checkHResult(long hr) {
  if (hr == 0) return true;
  // A result code is 32 bits wide whatever the width of `long`.
  std::ostringstream message;
  message << "Windows API with HRESULT returned calling failed, code:" << std::hex
          << static_cast<uint32_t>(static_cast<unsigned long>(hr)) << "\n";
  logEntry(LogVerbose, message.str());
  return false;
}

// ---- client trace settings -------------------------------------------------

void prepareClientTraceConfig(const std::string& traceDirectory) {
  // The directory may arrive with the other platform's separators.
  const char foreignSeparator = kPathSeparator == '/' ? '\\' : '/';
  std::string directory = traceDirectory;
  for (char& c : directory)
    if (c == foreignSeparator) c = kPathSeparator;
  const std::string traceLog = joinPath(directory, "wsTrace.log");

  // The client's traces start afresh with every run.
  std::vector<std::string> names;
  listDirectory(directory, names);
  for (const auto& name : names)
    if (isClientTraceName(name)) deleteFile(joinPath(directory, name));
  deleteFile(traceLog);

  std::string tracePropertiesFile = kDefaultTracePropertiesFile;
  rewriteProperties("qyxBase.properties", [&](std::string& line) {
    if (startsWith(line, "WS_TRACE_PROP_FILE")) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) return;
      // Leading white space is dropped; trailing white space belongs to the name.
      const auto start = line.find_first_not_of(" \t\v\f\r", eq + 1);
      std::string value = start == std::string::npos ? "" : line.substr(start);
      if (endsInCarriageReturn(value)) value.pop_back();
      if (!value.empty()) tracePropertiesFile = value;
      return;
    }
    replaceSetting(line, "LOG_DIR", directory);
  });
  rewriteProperties(tracePropertiesFile, [&](std::string& line) { replaceSetting(line, "traceFileName", traceLog); });
}

// ---- the logger ------------------------------------------------------------

BMLogger::BMLogger() {
  try {
    logFilePath = logFileNameFor(systemDrive(), getLocalLogTime());
    traceDirectory = supportListDirectory();
    // Both usually exist already; that is normal and not reported.
    ensureDirectory(supportDirectory());
    ensureDirectory(traceDirectory);
    logFile.open(logFilePath);
    appendLogLine(*this, kLogOpenedLine);
    OutputLogEntry(LogVerbose, "Create Log File");
    prepareClientTraceConfig(traceDirectory);
  } catch (...) {
    // Logging never stops the program.
  }
}

void BMLogger::OutputLogEntry(int32_t level, std::string message) {
  try {
    appendLogLine(*this, formatLogEntry(level, message, getLocalLogTime()));
  } catch (...) {
    // An entry that cannot be written is lost; the run goes on.
  }
}

int32_t BMLogger::OutputLogEntryEx(int32_t level, std::string message) {
  OutputLogEntry(level, message);
  if (level != LogCopyBootDir || !bootTreeHook) return 0;
  try {
    return bootTreeHook();
  } catch (...) {
    // The media-image library cannot take an exception through its callback;
    // report the boot tree as not made, with the library's own code for "a
    // directory or file could not be found".
    constexpr int32_t kMediaNotFound = 100;
    OutputLogEntry(LogError, "BMLogger::OutputLogEntryEx()::the boot tree could not be assembled");
    return kMediaNotFound;
  }
}

namespace {
// Host code reports into the process log from now on.
BMLogger& withHostReports(BMLogger& logger) {
  setHostLogSink([&logger](HostReport kind, const std::string& message) {
    logger.OutputLogEntry(kind == HostReport::Error ? LogError : LogVerbose, message);
  });
  return logger;
}
}  // namespace

BMLogger& processLogger() {
  // Never destroyed: worker threads and other objects' destructors may still
  // write entries while the process ends.
  static BMLogger& logger = withHostReports(*new BMLogger());
  return logger;
}

void logEntry(int32_t level, const std::string& message) { processLogger().OutputLogEntry(level, message); }

}  // namespace XELO
