// Host code reports what it did through one sink that the logger installs
// when it starts, so that the lowest layer needs no logger of its own.
#pragma once
#include <functional>
#include <string>

namespace XELO {

enum class HostReport { Error, Detail };

using HostLogSink = std::function<void(HostReport, const std::string&)>;

// Replaces the sink; an empty one drops every report.
void setHostLogSink(HostLogSink sink);

// Hands one report to the sink.
void hostLog(HostReport kind, const std::string& message);

}  // namespace XELO
