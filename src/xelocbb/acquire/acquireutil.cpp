#include "acquireutil.h"

#include <limits>

#include "qyxl.h"

namespace QYXAcquistion {

std::string libraryVersion() { return "9.64 (client " + qyxl::clientVersion() + ")"; }

namespace {

int32_t clampToInt32(long value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

// ---- ContentNode ------------------------------------------------------------

void ContentNode::setMT(std::string mt) { MT = std::move(mt); }
std::string ContentNode::getMT() const { return MT; }
void ContentNode::setOS(std::string os) { OS = std::move(os); }
std::string ContentNode::getOS() const { return OS; }
void ContentNode::setTotal(int value) { total = value; }
int ContentNode::getTotal() const { return total; }
void ContentNode::setPkgs(std::vector<_PACKAGEDATA>& value) { pkgs = value; }
std::vector<_PACKAGEDATA>& ContentNode::getPkgs() { return pkgs; }

_PACKAGEDATA* ContentNode::find(const std::string& updateId) {
  for (auto& p : pkgs)
    if (p.updateId == updateId) return &p;
  return nullptr;
}

_PACKAGEDATA& ContentNode::getPkg(std::string updateId) {
  if (_PACKAGEDATA* p = find(updateId)) return *p;
  missing = _PACKAGEDATA();
  return missing;
}

void ContentNode::setStatus(std::string updateId, std::string status) {
  if (_PACKAGEDATA* p = find(updateId)) p->status = std::move(status);
}

std::string ContentNode::getStatus(std::string updateId) {
  const _PACKAGEDATA* p = find(updateId);
  return p ? p->status : std::string();
}

void ContentNode::setDownloadedSize(std::string updateId, long kb) {
  if (_PACKAGEDATA* p = find(updateId)) p->downloadedSize = clampToInt32(kb);
}

void ContentNode::setFullDownloadedSize(std::string updateId) {
  if (_PACKAGEDATA* p = find(updateId)) p->downloadedSize = p->size;
}

int ContentNode::getDownloadedSize(std::string updateId) {
  const _PACKAGEDATA* p = find(updateId);
  return p ? p->downloadedSize : 0;
}

void ContentNode::setDownloadSpeed(std::string updateId, long value) {
  if (_PACKAGEDATA* p = find(updateId)) p->downloadSpeed = clampToInt32(value);
}

// ---- AcquireCallbackIfc -------------------------------------------------------

void AcquireCallbackIfc::sendMessage(ContentNode, bool) {}

}  // namespace QYXAcquistion
