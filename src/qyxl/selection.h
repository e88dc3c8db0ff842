// Answering an order from a catalog: which updates, and which of their files.
#pragma once
#include <string>
#include <vector>

#include "catalog.h"
#include "qyxl.h"

namespace qyxl::selection {

inline constexpr const char* kUpdatePackId = "sup/latest";
inline constexpr const char* kLatestId = "all";
inline constexpr const char* kFixPrefix = "ptf/";
inline constexpr const char* kSubjectRoot = "qor/korvex";

struct Request {
  std::vector<std::string> ids;
  std::string subject;  // "" or "qor/korvex": every machine type
  bool includeData = true;
  bool includeMetaData = true;
  bool includeRequisites = false;
  bool includeSupersedes = false;
  int selectSupersedes = 0;
  bool hasFilter = false;
  protocolUpdateOrderFilter__Filter filter;
};

struct Selected {
  const catalog::Update* update = nullptr;
  std::vector<const catalog::FileEntry*> files;
};

// The updates that answer the request, each once, with the files the
// include flags keep. Throws QYXException: "Upd.UpdateNotFound" when every
// requested id is unknown to the catalog, the web-service-call message for a
// subject outside "qor/korvex".
std::vector<Selected> select(const catalog::Catalog& catalog, const Request& request);

// Whether an update passes an inclusion filter tree.
bool filterPasses(const protocolUpdateOrderFilter__Filter& filter, const catalog::Update& update);

// The machine type named by a subject ("" for every machine type); false
// for a subject that is not "qor/korvex" or below it.
bool subjectMachineType(const std::string& subject, std::string& machineType);

}  // namespace qyxl::selection
