// The helper object shared by the run driver and the parts it calls.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace XELO {

class GlobalHelper {
 public:
  explicit GlobalHelper(const Options& options) : options(options) {}

  // The function list holds `name`.
  bool hasFunction(const std::string& name) const;
  // The path opens for reading.
  bool fileReadable(const std::string& path) const;
  // The path exists and is a directory.
  bool isDirectory(const std::string& path) const;
  int makeDirectory(const std::string& dir) const;
  void deleteFile(const std::string& path) const;

  // The update service in use is the test one (XELO_TEST_FSP was set).
  bool useTestServiceProvider = false;

  // ESXi versions the system support list knows, read when first asked.
  const std::vector<std::string>& esxiVersions();

 private:
  const Options& options;
  bool esxiVersionsRead = false;
  std::vector<std::string> esxiVersionList;
};

// The process-wide helper.
std::shared_ptr<GlobalHelper> globalHelper();

}  // namespace XELO
