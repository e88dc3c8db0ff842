#include "selection.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>

#include "internal.h"

namespace qyxl::selection {

namespace {

using catalog::Update;
using Predicate = std::function<bool(const Update&)>;

const std::vector<std::string>& platformsOf(const Update& u) {
  static const std::vector<std::string> none{"NONE"};
  return u.platforms.empty() ? none : u.platforms;
}

bool contains(const std::vector<std::string>& values, const std::string& v) {
  return std::find(values.begin(), values.end(), v) != values.end();
}

// Comparison codes: 0 equal (the value is among the update's values),
// 1 not equal (it is not); any other code matches nothing.
bool compare(int comparison, bool present) {
  if (comparison == 0) return present;
  if (comparison == 1) return !present;
  return false;
}

std::vector<std::string> attributeValues(const Update& u, const std::string& name) {
  if (name == "id") return {u.id};
  if (name == "name") return {u.name};
  if (name == "kind") return {u.kind};
  if (name == "version") return {u.version};
  if (name == "machineType") return u.machineTypes;
  if (name == "platform") return platformsOf(u);
  return {};
}

class Resolver {
 public:
  Resolver(const catalog::Catalog& cat, const Request& req, const std::string& machineType)
      : cat(cat), req(req), machineType(machineType) {
    for (const auto& u : cat.updates)
      for (const auto& old : u.supersedes) supersededBy[old].push_back(&u);
  }

  // Applies to the order's subject and passes its filters.
  bool applies(const Update& u) const {
    if (!machineType.empty() && !u.machineTypes.empty() && !contains(u.machineTypes, machineType)) return false;
    return !req.hasFilter || filterPasses(req.filter, u);
  }

  // Every update that supersedes `id`, directly or through others.
  std::vector<const Update*> superseders(const std::string& id) const {
    std::vector<const Update*> found;
    std::set<std::string> seen{id};
    std::deque<std::string> queue{id};
    while (!queue.empty()) {
      auto it = supersededBy.find(queue.front());
      queue.pop_front();
      if (it == supersededBy.end()) continue;
      for (const Update* u : it->second) {
        if (!seen.insert(u->id).second) continue;
        found.push_back(u);
        queue.push_back(u->id);
      }
    }
    return found;
  }

  bool superseded(const Update& u, const Predicate& pred) const {
    for (const Update* s : superseders(u.id))
      if (pred(*s)) return true;
    return false;
  }

  // The superseders of `id` that satisfy `pred` and are not themselves
  // superseded by one that does.
  std::vector<const Update*> newest(const std::string& id, const Predicate& pred) const {
    std::vector<const Update*> result;
    for (const Update* s : superseders(id))
      if (pred(*s) && !superseded(*s, pred)) result.push_back(s);
    return result;
  }

  // An update id: the update itself, or, for an id that only survives in
  // the supersedes lists of newer updates, the newest of those. False when
  // the catalog knows the id in neither way.
  bool resolve(const std::string& id, const Predicate& pred, std::vector<const Update*>& out) const {
    if (const Update* u = cat.find(id)) {
      if (pred(*u)) out.push_back(u);
      return true;
    }
    if (supersededBy.count(id)) {
      auto n = newest(id, pred);
      out.insert(out.end(), n.begin(), n.end());
      return true;
    }
    return false;
  }

  const catalog::Catalog& cat;
  const Request& req;
  std::string machineType;
  std::map<std::string, std::vector<const Update*>> supersededBy;
};

class OrderedSet {
 public:
  bool add(const Update* u) {
    if (!seen.insert(u).second) return false;
    items.push_back(u);
    return true;
  }
  std::vector<const Update*> items;

 private:
  std::set<const Update*> seen;
};

}  // namespace

bool filterPasses(const protocolUpdateOrderFilter__Filter& filter, const catalog::Update& update) {
  switch (filter.kind) {
    case protocolUpdateOrderFilter__Filter::Platform:
      return compare(filter.platform.comparison, contains(platformsOf(update), filter.platform.platform));
    case protocolUpdateOrderFilter__Filter::String:
      return compare(filter.string.comparison, contains(attributeValues(update, filter.string.name), filter.string.value));
    case protocolUpdateOrderFilter__Filter::Or:
      if (!filter.orNode) return false;
      for (const auto& node : filter.orNode->nodes)
        if (filterPasses(node, update)) return true;
      return false;
  }
  return false;
}

bool subjectMachineType(const std::string& subject, std::string& machineType) {
  const std::string root = kSubjectRoot;
  machineType.clear();
  if (subject.empty() || subject == root || subject == root + "/") return true;
  if (subject.compare(0, root.size() + 1, root + "/") == 0) {
    machineType = subject.substr(root.size() + 1);
    return true;
  }
  return false;
}

std::vector<Selected> select(const catalog::Catalog& cat, const Request& req) {
  std::string machineType;
  if (!subjectMachineType(req.subject, machineType))
    throw detail::error(QYXMessage::WebServiceCall, "unknown subject \"" + req.subject + "\"");
  Resolver r(cat, req, machineType);
  Predicate applies = [&r](const Update& u) { return r.applies(u); };
  Predicate any = [](const Update&) { return true; };

  std::vector<const Update*> base;
  std::vector<std::string> unknown;
  for (const auto& raw : req.ids) {
    if (raw == kUpdatePackId) {
      Predicate packApplies = [&r](const Update& u) { return u.kind == catalog::kKindPack && r.applies(u); };
      for (const auto& u : cat.updates) {
        if (!packApplies(u) || r.superseded(u, packApplies)) continue;
        base.push_back(&u);
        for (const auto& member : u.members) r.resolve(member, applies, base);
      }
    } else if (raw == kLatestId) {
      for (const auto& u : cat.updates)
        if (u.kind == catalog::kKindUpdate && applies(u) && !r.superseded(u, applies)) base.push_back(&u);
    } else {
      std::string id = raw.compare(0, 4, kFixPrefix) == 0 ? raw.substr(4) : raw;
      if (!r.resolve(id, applies, base)) unknown.push_back(raw);
    }
  }
  if (!req.ids.empty() && unknown.size() == req.ids.size()) {
    std::string list;
    for (const auto& id : unknown) list += (list.empty() ? "" : ", ") + id;
    throw detail::error(QYXMessage::UpdUpdateNotFound, list);
  }

  OrderedSet chosen;
  for (const Update* u : base) {
    chosen.add(u);
    if (!req.includeSupersedes) continue;
    // 2 asks for the newest superseding updates only, any other value for
    // every update in the chain above the one ordered.
    auto above = req.selectSupersedes == 2 ? r.newest(u->id, applies) : r.superseders(u->id);
    for (const Update* s : above)
      if (applies(*s)) chosen.add(s);
  }
  if (req.includeRequisites) {
    // The requisites an update names come with it whatever the subject and
    // filters say: it cannot be installed without them.
    for (std::size_t i = 0; i < chosen.items.size(); ++i) {
      const Update* u = chosen.items[i];
      std::vector<const Update*> reqs;
      for (const auto& id : u->preReqs) r.resolve(id, any, reqs);
      for (const auto& id : u->coReqs) r.resolve(id, any, reqs);
      for (const Update* q : reqs) chosen.add(q);
    }
  }

  std::vector<Selected> result;
  for (const Update* u : chosen.items) {
    Selected s;
    s.update = u;
    for (const auto& f : u->files) {
      bool metadata = f.role == catalog::kRoleMetadata;
      if (metadata ? req.includeMetaData : req.includeData) s.files.push_back(&f);
    }
    result.push_back(std::move(s));
  }
  return result;
}

}  // namespace qyxl::selection
