// The FTP client's listing reader: the input is the listing a server sends
// for every directory (through a stand-in for libcurl), and the client copies
// what it names into a local directory. Whatever the names, nothing may be
// written beside that directory, and everything left inside it carries a
// name from the listing (a temporary name left behind would not).
#include <dlfcn.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "cli/options.h"
#include "fuzz_support.h"
#include "selfupdate/ftpclient.h"

namespace {

using SetListing = void (*)(const char*, std::size_t);

SetListing loadFake() {
  setenv("XELO_CURL_LIBRARY", XELO_FAKE_CURL, 1);
  // Kept loaded, so the client's own loads find the same instance.
  void* library = dlopen(XELO_FAKE_CURL, RTLD_NOW | RTLD_LOCAL);
  auto set = library ? reinterpret_cast<SetListing>(dlsym(library, "fakecurl_set_listing")) : nullptr;
  if (!set) xelofuzz::finding(std::string("cannot load the libcurl stand-in: ") + dlerror());
  return set;
}

// The names of the listing, one a line, without a CR at the end.
std::set<std::string> listedNames(const std::string& listing) {
  std::set<std::string> names;
  std::size_t start = 0;
  while (start <= listing.size()) {
    auto end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string name = listing.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    names.insert(name);
    start = end + 1;
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const SetListing setListing = (xelofuzz::sandbox(), loadFake());
  const std::string jail = xelofuzz::sandbox() + "/jail";
  const std::string work = jail + "/work";
  xelofuzz::freshDirectory(jail);
  xelofuzz::freshDirectory(work);
  setListing(reinterpret_cast<const char*>(data), size);

  XELO::Options options;
  options.workingDir = work;
  XELO::FtpClient client(options);
  client.listRemoteDir("ftp://127.0.0.1:2121/sft/");
  client.downloadDir("ftp://127.0.0.1:2121/sft/", work + "/");

  const auto beside = xelofuzz::entries(jail);
  if (beside.size() != 1 || beside.front() != "work") xelofuzz::finding("a file was written beside the directory");
  const std::set<std::string> listed = listedNames(std::string(reinterpret_cast<const char*>(data), size));
  for (const auto& path : xelofuzz::treeBelow(work)) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!listed.count(name)) xelofuzz::finding("a file the listing does not name was left: " + path);
  }
  return 0;
}
