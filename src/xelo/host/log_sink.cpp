#include "host/log_sink.h"

#include <utility>

namespace XELO {

namespace {
// Never destroyed, like the logger: threads may still report while the
// process ends.
HostLogSink& sink() {
  static HostLogSink& installed = *new HostLogSink();
  return installed;
}
}  // namespace

void setHostLogSink(HostLogSink replacement) { sink() = std::move(replacement); }

void hostLog(HostReport kind, const std::string& message) {
  if (sink()) sink()(kind, message);
}

}  // namespace XELO
