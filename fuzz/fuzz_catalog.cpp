// The repository catalog: parsed, answered for the orders the acquisition
// library sends, written back as the publisher writes it and parsed again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "catalog.h"
#include "fuzz_support.h"
#include "qyxl.h"
#include "selection.h"

namespace cat = qyxl::catalog;

namespace {

std::string withoutLeadingZeros(const std::string& digits) {
  const auto first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

// A path the client takes as safe never leads out of the download directory.
void checkSafety(const cat::FileEntry& file) {
  if (cat::isSafeFileName(file.name)) {
    if (file.name == ".." || file.name.find('/') != std::string::npos || file.name.find('\\') != std::string::npos)
      xelofuzz::finding("unsafe file name accepted: " + file.name);
  }
  if (!file.path.empty() && cat::isSafeRelativePath(file.path)) {
    if (file.path.front() == '/' || file.path.find('\\') != std::string::npos ||
        file.path.find(':') != std::string::npos)
      xelofuzz::finding("unsafe path accepted: " + file.path);
    std::string::size_type from = 0;
    for (;;) {
      const auto slash = file.path.find('/', from);
      const std::string segment = file.path.substr(from, slash == std::string::npos ? slash : slash - from);
      if (segment.empty() || segment == "." || segment == "..")
        xelofuzz::finding("path with a bad segment accepted: " + file.path);
      if (slash == std::string::npos) break;
      from = slash + 1;
    }
  }
}

bool sameFile(const cat::FileEntry& a, const cat::FileEntry& b) {
  return a.name == b.name && a.path == b.path && a.size == b.size && a.hasSize == b.hasSize && a.sha1 == b.sha1 &&
         a.sha256 == b.sha256 && a.role == b.role;
}

bool sameUpdate(const cat::Update& a, const cat::Update& b) {
  if (a.id != b.id || a.kind != b.kind || a.name != b.name || a.version != b.version ||
      a.machineTypes != b.machineTypes || a.platforms != b.platforms || a.preReqs != b.preReqs ||
      a.coReqs != b.coReqs || a.supersedes != b.supersedes || a.members != b.members ||
      a.files.size() != b.files.size())
    return false;
  for (std::size_t i = 0; i < a.files.size(); ++i)
    if (!sameFile(a.files[i], b.files[i])) return false;
  return true;
}

void order(const cat::Catalog& catalog, std::vector<std::string> ids, bool requisites, int supersedes) {
  qyxl::selection::Request request;
  request.ids = std::move(ids);
  request.subject = "qor/korvex/7101";
  request.includeRequisites = requisites;
  request.includeSupersedes = supersedes != 0;
  request.selectSupersedes = supersedes;
  try {
    for (const auto& selected : qyxl::selection::select(catalog, request))
      if (!selected.update) xelofuzz::finding("selection without an update");
  } catch (const qyxl::QYXException&) {
    // An order the catalog cannot answer.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  cat::Catalog catalog;
  std::string error;
  if (!cat::parseCatalog(text, catalog, error)) return 0;

  // A size the parser keeps is the number written in the catalog; one that
  // does not fit is malformed, not some other number.
  pugi::xml_document doc;
  doc.load_buffer(text.data(), text.size());
  std::size_t index = 0;
  for (auto node : doc.child("repository").children("update")) {
    if (std::string(node.attribute("id").as_string()).empty()) continue;
    if (index >= catalog.updates.size()) xelofuzz::finding("update count differs");
    const auto& files = catalog.updates[index++].files;
    std::size_t f = 0;
    for (auto fileNode : node.children("file")) {
      const cat::FileEntry& file = files.at(f++);
      checkSafety(file);
      if (file.hasSize && withoutLeadingZeros(fileNode.attribute("size").as_string()) != std::to_string(file.size))
        xelofuzz::finding(std::string("size read as another number: ") + fileNode.attribute("size").as_string());
    }
  }

  std::vector<std::string> ids;
  for (const auto& update : catalog.updates)
    if (ids.size() < 4) ids.push_back(update.id);
  order(catalog, {qyxl::selection::kUpdatePackId}, true, 0);
  order(catalog, {qyxl::selection::kLatestId}, false, 1);
  if (!ids.empty()) order(catalog, ids, true, 2);

  // The publisher writes what the client reads: a written catalog reads back the same.
  const std::string written = cat::writeCatalog(catalog);
  cat::Catalog again;
  if (!cat::parseCatalog(written, again, error)) xelofuzz::finding("written catalog does not parse: " + error);
  if (again.updates.size() != catalog.updates.size()) xelofuzz::finding("written catalog lost updates");
  if (again.validUntil != catalog.validUntil) xelofuzz::finding("written catalog changed its validity end");
  for (std::size_t i = 0; i < catalog.updates.size(); ++i)
    if (!sameUpdate(catalog.updates[i], again.updates[i]))
      xelofuzz::finding("written catalog changed update " + catalog.updates[i].id);
  return 0;
}
