// How acquisition progress reaches the user: console lines, log entries and
// the report file, and for the graphical front end the progress file
// "xelo_ac_result.xml" rewritten on every change.
//
// The acquisition library calls these from its worker threads but never two
// at a time, so they take no lock of their own.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "acquireutil.h"

namespace XELO {

// A report pass over the tool's own package saw a version of the tool other
// than the running one (read by the check for a newer version).
extern bool newerVersionSeen;

using QYXAcquistion::ContentNode;

// Console progress.
class XeloAcquireCallback : public QYXAcquistion::AcquireCallbackIfc {
 public:
  XeloAcquireCallback() = default;
  void sendInfo(int messageId, std::string text, int code) override;

  int getLastError() const { return lastError; }
  int getFailures() const { return failures; }
  int getCount() const { return count; }
  // Printing on the console (log entries and the report file are written
  // either way).
  bool console = true;

 protected:
  // The handlers both callbacks share; a message with fewer fields than a
  // handler needs is ignored.
  void onPassStart(const std::vector<std::string>& fields);
  void onReportStart(const std::vector<std::string>& fields);
  void onReportCount(const std::vector<std::string>& fields);
  void onReportLine(int messageId, const std::vector<std::string>& fields);
  void onReportEnd();
  void onToolsPass(const std::vector<std::string>& fields);
  void onUpdateDone(const std::vector<std::string>& fields, bool succeeded);
  void onAlreadyPresent(const std::vector<std::string>& fields);
  // Logs and prints a failed file; true for the first failure of the run.
  bool onFileFailed(const std::vector<std::string>& fields, const std::string& text);

  void print(const std::string& text) const;
  void printAndLog(const std::string& text) const;
  void clearLine() const;

  std::string currentId;
  bool lastWasLocal = false;
  bool otherVersionSeen = false;  // a report line named another version of the tool
  int count = 0;
  int lastError = 0;
  int failures = 0;
};

// Progress for the graphical front end: everything the console callback
// does, plus the package records of every pass in the progress file.
class XeloAcquireCallback4XML : public XeloAcquireCallback {
 public:
  XeloAcquireCallback4XML() = default;
  // Clears the per-job state (not the records of earlier passes).
  void reset();
  void setDisplayName(const std::string& name) { displayName = name; }
  void sendMessage(ContentNode node, bool downloading) override;
  void sendInfo(int messageId, std::string text, int code) override;

  const std::vector<ContentNode>& getNodes() const { return nodes; }
  // Rewrites the progress file; `currentUpdateId` is shown for the last pass.
  void writeProgressFile(const std::string& currentUpdateId);

 private:
  void setStatus(const std::string& updateId, const std::string& status);

  std::vector<ContentNode> nodes;
  int current = -1;
  std::string displayName;
  std::map<std::string, long long> startTimes;
};

// The progress file read by the graphical front end.
std::string progressFilePath();
// The report file listing the update ids of a report pass.
std::string reportFilePath();

// Splits a message text at ":".
std::vector<std::string> messageFields(const std::string& text);

// Text made safe for an XML element: "&", "<" and ">" escaped. Names from
// the repository may hold them, and the front end reads the files as XML.
std::string xmlText(const std::string& text);

// A file name for a progress line: longer than 45 characters becomes its
// first 42 characters and "...".
std::string shortenedName(const std::string& name);

}  // namespace XELO
