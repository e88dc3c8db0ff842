// The catalog an order is answered from, once it is believed: fetched with
// its signature, the signature checked against the keyring before any entry
// is read, and the validity end checked. A catalog that fails fails the
// order like an unreachable repository, with the reason in the message.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "catalog.h"
#include "transfer.h"

namespace qyxl::trust {

struct TrustedCatalog {
  catalog::Catalog catalog;
  bool verified = false;              // its signature verified against the keyring
  std::vector<std::string> warnings;  // for the user: used without a valid signature
};

// Fetches, checks and parses the catalog the settings name; `now` is the
// current time in seconds since 1970. Throws QYXException.
TrustedCatalog loadCatalog(const transfer::Settings& settings, std::int64_t now);

// The keyring folder of the root data directory.
std::string keyringFolder();

}  // namespace qyxl::trust
