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
#include "core/options.h"

namespace XELO {

// A report pass over the tool's own package saw a version of the tool other
// than the running one (read by the check for a newer version).
extern bool newerVersionSeen;

using QYXAcquistion::ContentNode;

// Console progress.
class XeloAcquireCallback : public QYXAcquistion::AcquireCallbackIfc {
 public:
  // Takes the run's settings the messages depend on from `options`.
  explicit XeloAcquireCallback(const Options& options);
  // Dispatches each message to its handler below.
  void sendInfo(int messageId, std::string text, int code) override;
  // Takes the sizes of the pass's updates for the run's tally.
  void sendMessage(ContentNode node, bool downloading) override;

  // The library's result (an AcquireResult) of the last failure of a pass.
  int getLastError() const { return lastError; }
  int getFailures() const { return failures; }
  int getCount() const { return count; }
  // Printing on the console (log entries and the report file are written
  // either way).
  bool console = true;
  // The run only reports what the repository holds: an update already
  // present is a report line.
  bool report = false;
  // The run checks for a newer version of the tool: a report pass tells
  // whether it saw one (newerVersionSeen).
  bool checkUpdate = false;
  // A report shows each update's size on a line of its own after its
  // availability (not for the front end, which reads the sizes from the
  // progress file).
  bool showSizes = true;
  // Report lines also go to the report file (not for the tool packages a
  // report adds, which the file never listed).
  bool reportFile = true;
  // Standard output is a terminal: download lines also show the percent,
  // rate and time left.
  bool terminal = false;

 protected:
  using Fields = std::vector<std::string>;

  // The handlers of the messages whose display differs between the console
  // and the front end. A message with fewer fields than its handler needs is
  // ignored: sendInfo checks the count for the handlers that say "at least",
  // the others check it themselves.
  virtual void onPassEnded(const Fields& f);  // at least 3 fields
  virtual void onError(const Fields& f, const std::string& text, int code);
  virtual void onReportLine(int messageId, const Fields& f);  // at least 2 fields
  virtual void onNotice(const std::string& text);
  virtual void onFileProgress(const Fields& f);
  virtual void onUpdateStarted(const Fields& f);
  virtual void onUpdateDone(const Fields& f, bool succeeded);  // at least 3 fields
  virtual void onAlreadyPresent(const Fields& f);
  virtual void onUpdateProgress(const Fields& f);
  virtual void onFileFailed(const Fields& f, const std::string& text);  // at least 3 fields

  // Logs and prints a failed file; true for the first failure of the run.
  bool recordFailure(const Fields& f, const std::string& text);
  // Records the update count of a pass and ends its line.
  void endPassLine(const Fields& f);

  void print(const std::string& text) const;
  void printAndLog(const std::string& text) const;
  void clearLine() const;

  std::string currentId;
  bool lastWasLocal = false;
  bool otherVersionSeen = false;  // a report line named another version of the tool
  int count = 0;
  int lastError = 0;
  int failures = 0;

 private:
  void onPassStart(const Fields& f);
  void onReportStart(const Fields& f);
  void onReportCount(const Fields& f);
  void onReportEnd();
  void onToolsPass(const Fields& f);
  void tally(int messageId, const std::string& text, const Fields& f) const;
  void printReportedSize(const std::string& id) const;
  void sendEvent(int messageId, const std::string& text, const Fields& f) const;
  std::map<std::string, long long> fileStartMs;  // "id:file" -> when its first progress came
};

// Progress for the graphical front end: everything the console callback
// does, plus the package records of every pass in the progress file.
class XeloAcquireCallback4XML : public XeloAcquireCallback {
 public:
  using XeloAcquireCallback::XeloAcquireCallback;
  // Clears the per-job state (not the records of earlier passes).
  void reset();
  void setDisplayName(const std::string& name) { displayName = name; }
  void sendMessage(ContentNode node, bool downloading) override;

  const std::vector<ContentNode>& getNodes() const { return nodes; }
  // Rewrites the progress file; `currentUpdateId` is shown for the last pass.
  void writeProgressFile(const std::string& currentUpdateId);

 protected:
  void onPassEnded(const Fields& f) override;
  void onError(const Fields& f, const std::string& text, int code) override;
  void onReportLine(int messageId, const Fields& f) override;
  void onNotice(const std::string& text) override;
  void onFileProgress(const Fields& f) override;
  void onUpdateStarted(const Fields& f) override;
  void onUpdateDone(const Fields& f, bool succeeded) override;
  void onAlreadyPresent(const Fields& f) override;
  void onUpdateProgress(const Fields& f) override;
  void onFileFailed(const Fields& f, const std::string& text) override;

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
