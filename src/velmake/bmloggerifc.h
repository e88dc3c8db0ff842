// The logger interface that the program hands to the media-image library.
// It is declared here, in the library, so that the library needs nothing of
// the program; the program's logger implements it.
#pragma once
#include <cstdint>
#include <string>

namespace XELO {

class BMLoggerIfc {
 public:
  virtual void OutputLogEntry(int32_t level, std::string message) = 0;
  // Writes the entry like OutputLogEntry; for level 6 it then runs the
  // boot-tree hook and returns its result, otherwise returns 0.
  virtual int32_t OutputLogEntryEx(int32_t level, std::string message) = 0;
  virtual ~BMLoggerIfc() = default;
};

}  // namespace XELO
