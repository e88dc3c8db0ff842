#include "acquisition/callbacks.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "core/codes.h"
#include "core/errors.h"
#include "core/progress_json.h"
#include "core/run_tally.h"
#include "downloadmanager.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

bool newerVersionSeen = false;

namespace {

using Message = QYXAcquistion::AcquireMessage;

const std::string kDone = " Done\r\n";
const std::string kFail = " Fail\r\n";
const std::string kNone = " No Updates Available. Done\r\n";
const std::string kAlready = " Already downloaded.\r\n";
const std::string kErrorPrefix = "\r\nThere is an error: ";
const std::string kWarningPrefix = "\r\nThere is a warning: ";
const std::string kLocal = " - Locally available";
const std::string kRemote = " - Remotely available";

std::string withoutLineEnds(std::string text) {
  for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 2);
  return text;
}

void logVerbose(const std::string& text) { logEntry(LogVerbose, withoutLineEnds(text)); }

// Appends to the report file, opened and closed for every line.
void appendToReport(const std::string& text) {
  std::ofstream out(reportFilePath(), std::ios::binary | std::ios::app);
  out << text;
}

int toInt(const std::string& text) { return std::atoi(text.c_str()); }

long long nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A "no" to a question asked during acquisition ends the whole process; the
// library's threads are still running, so no static destructor may run.
[[noreturn]] void endProcess(int status) {
  std::cout << std::flush;
  std::_Exit(status);
}

// The console question during acquisition: "n" ends the process with status
// 0; no answer (standard input ended) ends it with `code`, the failure that
// asked, recorded as such.
void continueOrEndProcess(int code) {
  if (const auto status = continueOrFail(code, errorMessage(code), "main()::")) endProcess(*status);
}

std::string counter(const std::vector<std::string>& f) { return "(" + f[2] + " of " + f[1] + ") : "; }

}  // namespace

std::string progressFilePath() { return joinPath(supportDirectory(), "xelo_ac_result.xml"); }
std::string reportFilePath() { return joinPath(supportDirectory(), "reportFixIds.txt"); }

std::vector<std::string> messageFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string::size_type from = 0;
  for (;;) {
    const auto colon = text.find(':', from);
    fields.push_back(text.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
    if (colon == std::string::npos) return fields;
    from = colon + 1;
  }
}

std::string xmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string shortenedName(const std::string& name) { return name.size() > 45 ? name.substr(0, 42) + "..." : name; }

// ---- console callback -------------------------------------------------------

XeloAcquireCallback::XeloAcquireCallback(const Options& options)
    : report(options.report), checkUpdate(options.checkUpdate), terminal(standardOutputIsTerminal()) {}

void XeloAcquireCallback::print(const std::string& text) const {
  if (console) std::cout << text << std::flush;
}

void XeloAcquireCallback::printAndLog(const std::string& text) const {
  print(text);
  logVerbose(text);
}

void XeloAcquireCallback::clearLine() const { print("\r" + std::string(79, ' ') + "\r"); }

void XeloAcquireCallback::sendMessage(ContentNode node, bool) {
  for (const auto& package : node.getPkgs()) runTally().updateKb[package.updateId] = package.size;
}

// Counts what the run fetched and what it found already present.
void XeloAcquireCallback::tally(int messageId, const std::string& text, const Fields& f) const {
  RunTally& t = runTally();
  switch (messageId) {
    case Message::FileSize:  // "id:file:KB"
      if (f.size() >= 3) t.fileKb[text.substr(0, text.rfind(':'))] = std::atoll(f.back().c_str());
      break;
    case Message::FileDownloaded: t.fileFetched(text); break;
    case Message::UpdateDone:
    case Message::UpdatePresent:
      if (!report && !f.empty()) t.updateSettled(f[0]);
      if (report && messageId == Message::UpdatePresent && !f.empty()) t.reported(f[0], true);
      break;
    case Message::ReportFilePresent:
    case Message::ReportFileMissing:
      if (f.size() >= 2) t.reported(f[0], messageId == Message::ReportFilePresent);
      break;
    default: break;
  }
  sendEvent(messageId, text, f);
}

// The machine-readable events of a file: its progress, and how it ended.
void XeloAcquireCallback::sendEvent(int messageId, const std::string& text, const Fields& f) const {
  if (f.size() < 2) return;
  switch (messageId) {
    case Message::FileProgress:  // "id:file:KB so far:KB:updates:done"
      if (f.size() >= 4) fileProgressEvent(f[0], f[1], std::atoll(f[2].c_str()), std::atoll(f[3].c_str()));
      break;
    case Message::FileDownloaded:
    case Message::FilePresent:
      progressEvent(
          "file_done",
          {{"update", f[0]}, {"file", f[1]}, {"present", messageId == Message::FilePresent ? "true" : "false", true}});
      break;
    case Message::FileFailed:  // "id:file:reason"
      if (f.size() < 3) break;
      progressEvent("file_failed",
                    {{"update", f[0]}, {"file", f[1]}, {"reason", text.substr(f[0].size() + f[1].size() + 2)}});
      break;
    default: break;
  }
}

void XeloAcquireCallback::printReportedSize(const std::string& id) const {
  if (!showSizes) return;
  const auto size = runTally().updateKb.find(id);
  if (size != runTally().updateKb.end()) printAndLog("    Size: " + sizeText(size->second * 1024) + "\r\n");
}

void XeloAcquireCallback::sendInfo(int messageId, std::string text, int code) {
  const auto f = messageFields(text);
  tally(messageId, text, f);
  switch (messageId) {
    case Message::PassStarted: onPassStart(f); break;
    case Message::PassEnded:
      if (f.size() >= 3) onPassEnded(f);
      break;
    case Message::ToolsPassEnded:
      if (f.size() >= 3) endPassLine(f);
      break;
    case Message::Error: onError(f, text, code); break;
    case Message::ReportStarted: onReportStart(f); break;
    case Message::ReportEnded: onReportCount(f); break;
    case Message::ReportFilePresent:
    case Message::ReportFileMissing:
      if (f.size() >= 2) onReportLine(messageId, f);
      break;
    case Message::FilesEnded: printAndLog("\r\n"); break;
    case Message::ReportFilesEnded: onReportEnd(); break;
    case Message::ToolsPassStarted: onToolsPass(f); break;
    case Message::Notice: onNotice(text); break;
    case Message::FileProgress: onFileProgress(f); break;
    case Message::UpdateStarted: onUpdateStarted(f); break;
    case Message::UpdateDone:
    case Message::UpdateFailed:
      if (f.size() >= 3) onUpdateDone(f, messageId == Message::UpdateDone);
      break;
    case Message::UpdatePresent: onAlreadyPresent(f); break;
    case Message::UpdateProgress: onUpdateProgress(f); break;
    case Message::FileFailed:
      if (f.size() >= 3) onFileFailed(f, text);
      break;
    case Message::Log: logEntry(LogTimeStamp, text); break;
    case Message::Verbose: logEntry(LogVerbose, text); break;
    case Message::Warning: printAndLog(kWarningPrefix + text + "\r\n"); break;
    default: break;
  }
}

void XeloAcquireCallback::onPassStart(const Fields& f) {
  if (f.size() >= 2) printAndLog("\r\nAcquiring list of updates for Machine-Type=" + f[0] + " ... ");
}

void XeloAcquireCallback::onPassEnded(const Fields& f) {
  count = toInt(f[2]);
  if (count != 0) {
    // The pass line was printed when the pass started; the log gets it whole.
    print(kDone);
    logVerbose("\r\nAcquiring list of updates for Machine-Type=" + f[0] + " ... " + kDone);
  } else {
    printAndLog(kNone);
  }
}

void XeloAcquireCallback::endPassLine(const Fields& f) {
  count = toInt(f[2]);
  printAndLog(count != 0 ? kDone : kNone);
}

void XeloAcquireCallback::onError(const Fields& f, const std::string& text, int code) {
  if (f.size() < 2) {
    // A pass with nothing to acquire asks whether to go on; other failures
    // are kept for the job to report.
    if (code == QYXAcquistion::ACQUIRE_NO_UPDATES) {
      printAndLog(kWarningPrefix + text + "\r\n");
      continueOrEndProcess(Exit::NoApplicableUpdate);
    } else {
      lastError = code;
    }
    return;
  }
  const bool esxi = f[1].find("qor_fw_esxi_") != std::string::npos && f[1].find("xelo_32-64") != std::string::npos;
  printAndLog((esxi ? kWarningPrefix : kErrorPrefix) + text + "\r\n");
  if (code != QYXAcquistion::ACQUIRE_NO_UPDATES) lastError = code;
}

void XeloAcquireCallback::onReportStart(const Fields& f) {
  lastWasLocal = false;
  currentId.clear();
  otherVersionSeen = false;
  if (f.size() < 2) return;
  const std::string line = "\r\nReporting acquisition status of updates for Machine-Type=" + f[0];
  printAndLog(line);
  if (reportFile) appendToReport(line);
}

void XeloAcquireCallback::onReportCount(const Fields& f) {
  if (f.size() == 3 && f[2] == "0") {
    printAndLog(kNone + "\r\n");
    if (reportFile) appendToReport(kNone);
  } else {
    printAndLog(kDone + "\r\n");
    if (reportFile) appendToReport(kDone);
  }
}

void XeloAcquireCallback::onReportLine(int messageId, const Fields& f) {
  if (f[0] != currentId) {
    // An update is shown with the availability of the file that introduces it.
    const bool local = messageId == Message::ReportFilePresent;
    const std::string line = f[0] + (local ? kLocal : kRemote) + "\r\n";
    printAndLog(line);
    if (reportFile) appendToReport(line);
    printReportedSize(f[0]);
    currentId = f[0];
    lastWasLocal = local;
    if (currentId != kSelfPackageId && currentId.rfind("qor_utl_xelo_", 0) == 0) otherVersionSeen = true;
  } else if (messageId == Message::ReportFileMissing) {
    lastWasLocal = false;
  }
}

void XeloAcquireCallback::onReportEnd() {
  // A repository may answer the running version together with the version
  // that replaces it, in any order: any other version in the pass is newer.
  if (checkUpdate && !currentId.empty()) newerVersionSeen = otherVersionSeen;
}

void XeloAcquireCallback::onToolsPass(const Fields& f) {
  if (f.size() == 2) printAndLog("Acquiring list of " + f[0] + " for " + f[1] + " ... ");
}

void XeloAcquireCallback::onNotice(const std::string&) {}

void XeloAcquireCallback::onFileProgress(const Fields& f) {
  if (f.size() < 6) return;
  clearLine();
  const std::string sizes = " " + f[2] + " KB of " + f[3] + " KB";
  if (!terminal) {
    print("Acquiring : " + shortenedName(f[1]) + sizes);
    return;
  }
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const long long nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  const long long startMs = fileStartMs.try_emplace(f[0] + ":" + f[1], nowMs).first->second;
  const std::string rest = sizes + downloadRateText(std::atoll(f[2].c_str()), std::atoll(f[3].c_str()),
                                                    static_cast<double>(nowMs - startMs) / 1000);
  // The line stays within the 79 columns that clearLine() blanks.
  const std::size_t room = 79 - std::min<std::size_t>(79 - 15, 12 + rest.size());
  const std::string name = f[1].size() > room ? f[1].substr(0, room - 3) + "..." : f[1];
  print("Acquiring : " + name + rest);
}

void XeloAcquireCallback::onUpdateStarted(const Fields&) {}

void XeloAcquireCallback::onUpdateDone(const Fields& f, bool succeeded) {
  clearLine();
  const std::string end = succeeded ? kDone : kFail;
  printAndLog(toInt(f[1]) < 2 ? f[0] + " ..." + end : counter(f) + f[0] + " ..." + end);
}

void XeloAcquireCallback::onAlreadyPresent(const Fields& f) {
  if (report) {
    if (f.empty()) return;
    printAndLog(f[0] + kLocal + "\r\n");
    if (reportFile) appendToReport(f[0] + kLocal + "\r\n");
    printReportedSize(f[0]);
    return;
  }
  if (f.size() < 3) return;
  clearLine();
  printAndLog(toInt(f[1]) < 2 ? f[0] + "  " + kAlready : counter(f) + shortenedName(f[0]) + "  " + kAlready);
}

void XeloAcquireCallback::onUpdateProgress(const Fields&) {}

bool XeloAcquireCallback::recordFailure(const Fields& f, const std::string& text) {
  ++failures;
  logVerbose(kErrorPrefix + text);
  std::string rest = text;
  for (const std::string* field : {&f[0], &f[1]}) {
    if (field->empty()) continue;
    for (auto at = rest.find(*field); at != std::string::npos; at = rest.find(*field, at))
      rest.erase(at, field->size());
  }
  print(kErrorPrefix + rest);
  return failures == 1;
}

void XeloAcquireCallback::onFileFailed(const Fields& f, const std::string& text) {
  if (recordFailure(f, text)) {
    print("Some update files are missed,");
    continueOrEndProcess(Exit::DownloadFailed);
  }
}

// ---- front-end callback -------------------------------------------------------

void XeloAcquireCallback4XML::reset() {
  currentId.clear();
  lastWasLocal = false;
  count = 0;
  lastError = 0;
  console = true;
}

void XeloAcquireCallback4XML::sendMessage(ContentNode node, bool downloading) {
  XeloAcquireCallback::sendMessage(node, downloading);
  nodes.push_back(node);
  current = static_cast<int>(nodes.size()) - 1;
  if (downloading) writeProgressFile("");
}

void XeloAcquireCallback4XML::setStatus(const std::string& updateId, const std::string& status) {
  if (current >= 0) nodes[current].setStatus(updateId, status);
}

// The front end shows the pass in its own view: the pass line ends at once.
void XeloAcquireCallback4XML::onPassEnded(const Fields& f) { endPassLine(f); }

void XeloAcquireCallback4XML::onError(const Fields&, const std::string& text, int code) {
  printAndLog(kErrorPrefix + text + "\r\n");
  if (code != QYXAcquistion::ACQUIRE_NO_UPDATES) lastError = code;
}

void XeloAcquireCallback4XML::onReportLine(int messageId, const Fields& f) {
  const std::string before = currentId;
  XeloAcquireCallback::onReportLine(messageId, f);
  if (f[0] != before) setStatus(f[0], lastWasLocal ? "Locally available" : "Remotely available");
}

void XeloAcquireCallback4XML::onNotice(const std::string& text) { printAndLog("\r\n" + text); }

// The front end shows the progress of the package, not of the file.
void XeloAcquireCallback4XML::onFileProgress(const Fields&) {}

void XeloAcquireCallback4XML::onUpdateStarted(const Fields& f) {
  if (f.empty()) return;
  startTimes[f[0]] = nowSeconds();
  setStatus(f[0], "Acquiring");
  writeProgressFile(f[0]);
}

void XeloAcquireCallback4XML::onUpdateDone(const Fields& f, bool succeeded) {
  XeloAcquireCallback::onUpdateDone(f, succeeded);
  if (current >= 0 && succeeded && nodes[current].getStatus(f[0]) != "Error") {
    nodes[current].setFullDownloadedSize(f[0]);
    setStatus(f[0], "Done");
  } else if (!succeeded) {
    setStatus(f[0], "Error");
  }
  writeProgressFile(f[0]);
}

void XeloAcquireCallback4XML::onAlreadyPresent(const Fields& f) {
  if (f.empty()) return;
  if (report) {
    XeloAcquireCallback::onAlreadyPresent(f);
    setStatus(f[0], "Locally available");
  } else {
    printAndLog(kAlready + "\r\n");
    if (current >= 0) nodes[current].setFullDownloadedSize(f[0]);
    setStatus(f[0], "Already Downloaded");
  }
  writeProgressFile(f[0]);
}

void XeloAcquireCallback4XML::onUpdateProgress(const Fields& f) {
  if (f.size() < 2 || current < 0) return;
  const long kb = toInt(f[1]);
  nodes[current].setDownloadedSize(f[0], kb);
  const auto start = startTimes.find(f[0]);
  const long long elapsed = start == startTimes.end() ? 0 : nowSeconds() - start->second;
  nodes[current].setDownloadSpeed(f[0], elapsed > 0 ? static_cast<long>(kb / elapsed) : 0);
  writeProgressFile(f[0]);
}

// The front end asks the question itself and leaves its answer in a file.
void XeloAcquireCallback4XML::onFileFailed(const Fields& f, const std::string& text) {
  setStatus(f[0], "Error");
  writeProgressFile(f[0]);
  recordFailure(f, text);
  if (!waitGuiConfirm()) {
    writeCliError(Exit::Success, "User confirms to stop!", 0);
    endProcess(0);
  }
}

namespace {

// The machine type and system the front end shows for a pass.
void displayNames(ContentNode& node, bool isCurrent, const std::string& displayName) {
  if (isCurrent && !displayName.empty()) {
    node.setMT(displayName);
    node.setOS(displayName);
    return;
  }
  auto& pkgs = node.getPkgs();
  if (pkgs.empty()) return;
  const std::string& id = pkgs.front().updateId;
  auto has = [&](const char* part) { return id.find(part) != std::string::npos; };
  const bool esxi = has("qor_fw_esxi_") && has("xelo_32-64");
  std::string mt, os;
  if (pkgs.size() == 1) {
    if (has("qor_utl_novpi_"))
      mt = "Tool", os = "NOVPI";
    else if (has("qor_utl_boot_tools-") && has("_anyos_x86-64"))
      mt = "Tool", os = "Bootable Environment";
    else if (has("qor_utl_kyt_"))
      mt = "Tool", os = "KYT";
    else if (has("qor_utl_dnxelo_"))
      mt = "Tool", os = "DNXelo";
    else if (has("qor_utl_vzad_"))
      mt = "Tool", os = "Update Package";
    else if (esxi)
      mt = "VMWare ESXi Updates", os = "SLES 10";
  } else {
    if (has("qor_utl_vzad_"))
      mt = "Tool", os = "Update Package";
    else if (esxi)
      mt = "VMWare ESXi Updates", os = "SLES 10";
  }
  if (!mt.empty()) {
    node.setMT(mt);
    node.setOS(os);
  }
}

}  // namespace

void XeloAcquireCallback4XML::writeProgressFile(const std::string& currentUpdateId) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << "<ACQUISITION>";
  for (int i = 0; i < static_cast<int>(nodes.size()); ++i) {
    ContentNode node = nodes[i];
    displayNames(node, i == current, displayName);
    out << "\n\t<CONTENT>"
        << "\n\t\t<MT>" << xmlText(node.getMT()) << "</MT>"
        << "\n\t\t<OS>" << xmlText(node.getOS()) << "</OS>"
        << "\n\t\t<TOTAL>" << node.getTotal() << "</TOTAL>"
        << "\n\t\t<CURRENTUPDATEID>" << xmlText(i == current ? currentUpdateId : std::string()) << "</CURRENTUPDATEID>";
    for (const auto& p : node.getPkgs())
      out << "\n\t\t<PACKAGE>"
          << "\n\t\t\t<UPDATEID>" << xmlText(p.updateId) << "</UPDATEID>"
          << "\n\t\t\t<COMPONENT>" << xmlText(p.component) << "</COMPONENT>"
          << "\n\t\t\t<SIZE>" << p.size << "</SIZE>"
          << "\n\t\t\t<DOWNLOADSIZE>" << p.downloadedSize << "</DOWNLOADSIZE>"
          << "\n\t\t\t<DOWNLOADSPEED>" << p.downloadSpeed << "</DOWNLOADSPEED>"
          << "\n\t\t\t<STATUS>" << xmlText(p.status) << "</STATUS>"
          << "\n\t\t</PACKAGE>";
    out << "\n\t</CONTENT>";
  }
  out << "\n</ACQUISITION>";
  // Replaced in one step, so the front end never reads half a file.
  replaceFileContents(progressFilePath(), out.str());
}

}  // namespace XELO
