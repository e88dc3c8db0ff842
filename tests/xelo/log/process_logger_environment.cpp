// Creates the process logger before any test runs, inside the private
// current directory that the test main sets up, with client properties files
// of its own there: otherwise the logger would fall back to (and rewrite) the
// properties files beside the test executable, in the build's program folder.
#include <gtest/gtest.h>

#include "log/logger.h"
#include "test_support.h"

namespace {

class ProcessLoggerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    xelotest::writeFile("qyxBase.properties", "LOG_DIR = .\nWS_TRACE_PROP_FILE = wsTrace.properties\n");
    xelotest::writeFile("wsTrace.properties", "traceFileName = wsTrace.log\n");
    XELO::processLogger();
  }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ProcessLoggerEnvironment);

}  // namespace
