// Machine-readable progress: one JSON object per line, for scripts that
// follow a run without parsing its console text. Nothing is written until a
// destination is opened (a file, or "-" for standard error).
//
// Every object has "event" and "t" (seconds since the run started); the
// other members depend on the event:
//   phase_start, phase_end   "phase"
//   file_progress            "update", "file", "kb", "total_kb" (a few per second per file)
//   file_done, file_failed   "update", "file" (and "reason" for a failure)
//   question                 "text", and "reply": "file" when the answer is awaited in
//                            the front end's reply file rather than on standard input
//   result                   "code", "message", "medium" (empty without a medium)
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace XELO {

// `text` as a JSON string, quotes included: quote, backslash and control
// characters escaped; bytes of 0x80 and above pass through (the run's texts
// are UTF-8 or ASCII).
std::string jsonString(std::string_view text);

// Opens the destination; false (and nothing written later) when a file
// cannot be made.
bool openProgressJson(const std::string& destination);
bool progressJsonOpen();

// One member of an event: a string, or a number written as it is.
struct JsonMember {
  std::string key;
  std::string value;
  bool number = false;
};
// Writes one event line and flushes it.
void progressEvent(const std::string& event, const std::vector<JsonMember>& members = {});

// Logs a phase's "- START"/"- END" line and sends the matching event.
void markPhase(const std::string& logLine);

// A file's progress, sent at most four times a second per file (its first
// report always).
void fileProgressEvent(const std::string& update, const std::string& file, long long kb, long long totalKb);

// The message of the last record written, for the final result event.
void noteResultMessage(const std::string& message);
const std::string& lastResultMessage();

}  // namespace XELO
