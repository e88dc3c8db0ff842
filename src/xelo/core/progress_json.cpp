#include "core/progress_json.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include "core/run_tally.h"
#include "log/logger.h"

namespace XELO {

namespace {

struct Sink {
  std::unique_ptr<std::ofstream> file;
  std::ostream* out = nullptr;
  std::map<std::string, std::chrono::steady_clock::time_point> lastProgress;
  std::string resultMessage;
};

Sink& sink() {
  static Sink s;
  return s;
}

std::string secondsSinceStart() {
  const auto elapsed = std::chrono::steady_clock::now() - runTally().start;
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(elapsed).count());
  return text;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

bool openProgressJson(const std::string& destination) {
  Sink& s = sink();
  if (destination == "-") {
    s.out = &std::cerr;
    return true;
  }
  s.file = std::make_unique<std::ofstream>(destination, std::ios::binary | std::ios::trunc);
  if (!*s.file) {
    s.file.reset();
    return false;
  }
  s.out = s.file.get();
  return true;
}

bool progressJsonOpen() { return sink().out != nullptr; }

void progressEvent(const std::string& event, const std::vector<JsonMember>& members) {
  std::ostream* out = sink().out;
  if (!out) return;
  std::string line = "{\"event\":" + jsonString(event) + ",\"t\":" + secondsSinceStart();
  for (const auto& member : members)
    line += "," + jsonString(member.key) + ":" + (member.number ? member.value : jsonString(member.value));
  *out << line << "}\n" << std::flush;
}

void markPhase(const std::string& logLine) {
  logEntry(LogTimeStamp, logLine);
  std::string phase = logLine;
  while (!phase.empty() && phase.back() == ' ') phase.pop_back();
  for (const auto& [suffix, event] : {std::pair{"- START", "phase_start"}, std::pair{"- END", "phase_end"}}) {
    if (!phase.ends_with(suffix)) continue;
    phase.erase(phase.size() - std::string_view(suffix).size());
    while (!phase.empty() && phase.back() == ' ') phase.pop_back();
    progressEvent(event, {{"phase", phase}});
    return;
  }
}

void fileProgressEvent(const std::string& update, const std::string& file, long long kb, long long totalKb) {
  if (!progressJsonOpen()) return;
  const auto now = std::chrono::steady_clock::now();
  auto [last, first] = sink().lastProgress.try_emplace(update + ":" + file, now);
  if (!first && now - last->second < std::chrono::milliseconds(250)) return;
  last->second = now;
  progressEvent("file_progress", {{"update", update},
                                  {"file", file},
                                  {"kb", std::to_string(kb), true},
                                  {"total_kb", std::to_string(totalKb), true}});
}

void noteResultMessage(const std::string& message) { sink().resultMessage = message; }
const std::string& lastResultMessage() { return sink().resultMessage; }

}  // namespace XELO
