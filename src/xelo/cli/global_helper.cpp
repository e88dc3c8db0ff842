#include "cli/global_helper.h"

#include <algorithm>

#include "host/host.h"
#include "supportlist/supportlist.h"

namespace XELO {

bool GlobalHelper::hasFunction(const std::string& name) const {
  return std::find(options.functions.begin(), options.functions.end(), name) != options.functions.end();
}

bool GlobalHelper::fileReadable(const std::string& path) const { return XELO::fileReadable(path); }

bool GlobalHelper::isDirectory(const std::string& path) const { return XELO::isDirectory(path); }

int GlobalHelper::makeDirectory(const std::string& dir) const { return XELO::makeDirectory(dir); }

void GlobalHelper::deleteFile(const std::string& path) const { XELO::deleteFile(path); }

const std::vector<std::string>& GlobalHelper::esxiVersions() {
  if (!esxiVersionsRead) {
    for (const auto& v : listVmwareUpdateVersions())
      if (std::find(esxiVersionList.begin(), esxiVersionList.end(), v) == esxiVersionList.end())
        esxiVersionList.push_back(v);
    esxiVersionsRead = true;
  }
  return esxiVersionList;
}

std::shared_ptr<GlobalHelper> globalHelper() {
  static std::shared_ptr<GlobalHelper> helper = std::make_shared<GlobalHelper>(processOptions());
  return helper;
}

}  // namespace XELO
