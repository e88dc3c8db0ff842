#include "trust.h"

#include <filesystem>

#include "internal.h"
#include "qyxl.h"
#include "signature.h"

namespace qyxl::trust {

std::string keyringFolder() {
  const std::string root = Config::getRootDataDirectory();
  return (root.empty() ? std::filesystem::path(signature::kKeyringFolder)
                       : std::filesystem::path(root) / signature::kKeyringFolder)
      .string();
}

namespace {

// The signature's verdict; a failure either throws or, when the settings
// allow this location unsigned, becomes a warning.
bool checkSignature(const transfer::Settings& settings, const std::string& text, std::vector<std::string>& warnings) {
  std::string signatureText;
  const bool present = transfer::fetchSignature(settings, signatureText);
  std::vector<std::string> problems;
  const auto keyring = signature::loadKeyring(keyringFolder(), problems);
  std::string why;
  if (signature::check(text, present ? &signatureText : nullptr, keyring, why) == signature::Verdict::Good) return true;
  if (!settings.allowUnsigned) {
    for (const auto& p : problems) why += "; keyring file skipped: " + p;
    throw detail::error(QYXMessage::ConnectivityPath, settings.catalogUrl + ": " + why);
  }
  warnings.push_back("The catalog of " + settings.location + " is used without a valid signature (" + why + "), as " +
                     Config::UNSIGNED_CATALOG_ALLOWED_FOR + " allows");
  return false;
}

}  // namespace

TrustedCatalog loadCatalog(const transfer::Settings& settings, std::int64_t now) {
  TrustedCatalog out;
  const std::string text = transfer::fetchCatalog(settings);
  out.verified = checkSignature(settings, text, out.warnings);
  std::string error;
  if (!catalog::parseCatalog(text, out.catalog, error))
    throw detail::error(QYXMessage::WebServiceCall, settings.catalogUrl + ": " + error);
  // An old catalog replayed by a mirror or proxy would hold servers on the
  // firmware it lists: past its validity end it is refused, signed or not.
  std::int64_t until = 0;
  if (!out.catalog.validUntil.empty() && catalog::parseTimestamp(out.catalog.validUntil, until) && now > until)
    throw detail::error(QYXMessage::ConnectivityPath,
                        settings.catalogUrl + ": catalog expired on " + out.catalog.validUntil);
  return out;
}

}  // namespace qyxl::trust
