// Shared pieces of the client tests: a standard repository with the
// client's data directory pointing at it, and order shorthands.
#pragma once
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "qyxl.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace qyxltest {

inline qyxl::protocolUpdateOrderFilter__Filter platformFilter(const std::vector<std::string>& platforms) {
  qyxl::protocolUpdateOrderFilter__Filter root;
  root.kind = qyxl::protocolUpdateOrderFilter__Filter::Or;
  root.orNode = std::make_shared<qyxl::protocolUpdateOrderFilter__Or>();
  for (const auto& p : platforms) {
    qyxl::protocolUpdateOrderFilter__Filter node;
    node.kind = qyxl::protocolUpdateOrderFilter__Filter::Platform;
    node.platform.platform = p;
    root.orNode->nodes.push_back(node);
  }
  return root;
}

// An order as the acquisition library builds it.
struct Order {
  Order(std::vector<std::string> ids, std::string subject = "qor/korvex", std::vector<std::string> platforms = {})
      : ids(std::move(ids)), subject(std::move(subject)), platforms(std::move(platforms)) {}

  std::vector<std::string> ids;
  std::string subject;
  std::vector<std::string> platforms;  // empty: no filter
  bool includeData = true;
  bool includeMetaData = true;
  bool requisites = true;
  bool supersedes = false;
  int select = 0;

  void apply(qyxl::UpdateOrderContext& ctx) const {
    ctx.setUpdateIds(ids);
    ctx.setSubject({subject, "5.20"});
    ctx.setIncludeData(includeData);
    ctx.setIncludeMetaData(includeMetaData);
    ctx.setIncludeRequisites(requisites);
    ctx.setIncludeSupersedes(supersedes);
    ctx.setSelectSupersedes(select);
    ctx.setDeliveryPreference({});
    if (!platforms.empty()) ctx.setInclusionFilters(platformFilter(platforms));
  }
};

inline std::set<std::string> updateIds(const std::vector<qyxl::UpdatePackage*>& packages) {
  std::set<std::string> ids;
  for (auto* p : packages) ids.insert(p->getUpdateId());
  return ids;
}

inline std::set<std::string> fileNames(const std::vector<qyxl::UpdatePackage*>& packages) {
  std::set<std::string> names;
  for (auto* p : packages) names.insert(p->getDownloadFilename());
  return names;
}

inline std::string hexOf(const std::vector<unsigned char>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

// A standard repository in a private folder, and a private data directory
// for the client whose connection store names it.
class RepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xelotest::addStandardContent(repo);
    repo.publish();
    qyxl::Config::setRootDataDirectory(dataDir.path());
    useLocation(repo.fileUrl());
  }
  void TearDown() override { qyxl::Config::setRootDataDirectory(""); }

  void useLocation(const std::string& url, const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    xelotest::writeConnectProperties(dataDir.path(), url, extra);
  }

  std::vector<qyxl::UpdatePackage*> order(qyxl::UpdateOrderContext& ctx, const Order& o) {
    o.apply(ctx);
    ctx.orderUpdates();
    return ctx.getUpdatePackages();
  }

  // The packages of one file name in an order.
  static qyxl::UpdatePackage* byName(const std::vector<qyxl::UpdatePackage*>& packages, const std::string& name) {
    for (auto* p : packages)
      if (p->getDownloadFilename() == name) return p;
    return nullptr;
  }

  xelotest::TempDir repoDir{"qyxl-repo"};
  xelotest::TempDir dataDir{"qyxl-data"};
  xelotest::TempDir downloads{"qyxl-dl"};
  xelotest::TestRepository repo{repoDir.path()};
};

}  // namespace qyxltest
