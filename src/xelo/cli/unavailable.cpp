#include "cli/unavailable.h"

#include <iostream>

#include "cli/errors.h"
#include "log/logger.h"

namespace XELO {

int unavailableStep(const std::string& what, int code) {
  const std::string text = "Error: " + what + " is not available in this build.";
  logEntry(LogError, "main()::" + text);
  std::cout << text << std::endl;
  writeCliError(code, text, 0);
  return code;
}

}  // namespace XELO
