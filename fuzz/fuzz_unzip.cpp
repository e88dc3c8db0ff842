// Zip unpacking: the input is the archive. An archive is unpacked whole or
// refused; either way nothing lands outside the target directory, and no
// symbolic link left in it leads out.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "host/unzip.h"

namespace fs = std::filesystem;

namespace {

bool inside(const fs::path& root, const fs::path& path) {
  auto r = root.begin();
  auto p = path.begin();
  for (; r != root.end(); ++r, ++p)
    if (p == path.end() || *r != *p) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string jail = xelofuzz::sandbox() + "/jail";
  const std::string target = jail + "/target";
  const std::string zip = xelofuzz::sandbox() + "/input.zip";
  xelofuzz::freshDirectory(jail);
  xelofuzz::writeBytes(zip, data, size);
  std::error_code removed;
  fs::remove(xelofuzz::sandbox() + "/messages.txt", removed);

  const int status = XELO::unzipArchive(zip, target, xelofuzz::sandbox() + "/messages.txt");
  if (status == XELO::kUnzipOk && !fs::is_directory(target)) xelofuzz::finding("success without a target");

  const auto beside = xelofuzz::entries(jail);
  if (beside.size() > 1 || (beside.size() == 1 && beside.front() != "target"))
    xelofuzz::finding("an entry was written beside the target");
  std::error_code ec;
  const fs::path root = fs::canonical(target, ec);
  if (ec) return 0;
  for (const auto& relative : xelofuzz::treeBelow(target)) {
    const fs::path path = root / relative;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) continue;
    const fs::path resolved = fs::weakly_canonical(path, ec);
    if (!ec && !inside(root, resolved)) xelofuzz::finding("a link leads out of the target: " + relative);
  }
  return 0;
}
