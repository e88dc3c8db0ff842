// Steps whose subsystem this build does not have yet end the run here, with
// a clear message and the code that a failure of that step ends with, rather
// than pretending the step was done.
#pragma once
#include <string>

namespace XELO {

// Logs and prints "Error: <what> is not available in this build.", writes the
// result record with `code` and returns `code`.
int unavailableStep(const std::string& what, int code);

}  // namespace XELO
