#include "qyxl.h"

#include <chrono>
#include <thread>

namespace qyxl {

std::string clientVersion() { return "1.05"; }

void qyxsleep(int seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

}  // namespace qyxl
