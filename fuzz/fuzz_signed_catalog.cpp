// A catalog with its signature file, as a mirror or proxy could hand them to
// the client. The input is the signature file's text, a NUL byte and the
// catalog's text. A fixed key of the keyring is the publisher's; nothing
// the fuzzer writes may pass for its signature, while the catalog signed by
// that key must be believed, and no longer once a byte of it changes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalog.h"
#include "fuzz_support.h"
#include "signature.h"

namespace sig = qyxl::signature;

namespace {

struct Publisher {
  std::string privatePem;
  std::vector<sig::PublicKey> keyring;
};

const Publisher& publisher() {
  static const Publisher p = [] {
    Publisher made;
    std::string publicPem, error;
    sig::PublicKey key;
    if (!sig::generateKeyPair(made.privatePem, publicPem, error) || !sig::readPublicKey(publicPem, key, error))
      xelofuzz::finding("no key: " + error);
    made.keyring.push_back(key);
    return made;
  }();
  return p;
}

// What the parser keeps of a signature file is what it writes back.
void checkRoundTrip(const std::string& text) {
  std::vector<sig::Entry> entries, again;
  std::string error;
  if (!sig::parseSignatureFile(text, entries, error)) return;
  std::string written;
  for (const auto& e : entries) written += sig::formatEntry(e);
  if (!sig::parseSignatureFile(written, again, error) || again.size() != entries.size())
    xelofuzz::finding("a written signature file does not read back");
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (again[i].keyId != entries[i].keyId || again[i].signature != entries[i].signature)
      xelofuzz::finding("a written signature line changed");
}

// The catalog signed by the publisher is believed, its validity end is a
// time stamp, and one changed byte makes it a catalog nobody signed.
void checkGenuine(const std::string& catalogText) {
  const Publisher& p = publisher();
  sig::Entry entry;
  std::string error, why;
  if (!sig::sign(p.privatePem, catalogText, entry, error)) xelofuzz::finding("signing failed: " + error);
  const std::string genuine = sig::formatEntry(entry);
  if (sig::check(catalogText, &genuine, p.keyring, why) != sig::Verdict::Good)
    xelofuzz::finding("the publisher's own signature is refused: " + why);
  qyxl::catalog::Catalog catalog;
  std::int64_t until = 0;
  if (qyxl::catalog::parseCatalog(catalogText, catalog, error) && !catalog.validUntil.empty() &&
      !qyxl::catalog::parseTimestamp(catalog.validUntil, until))
    xelofuzz::finding("a catalog with an unreadable validity end was read: " + catalog.validUntil);
  if (catalogText.empty()) return;
  std::string changed = catalogText;
  changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 0x01);
  if (sig::check(changed, &genuine, p.keyring, why) == sig::Verdict::Good)
    xelofuzz::finding("a changed catalog passes for the signed one");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string signatureText = input.substr(0, nul);
  const std::string catalogText = nul == std::string::npos ? std::string() : input.substr(nul + 1);

  checkRoundTrip(signatureText);
  std::string why;
  if (sig::check(catalogText, &signatureText, publisher().keyring, why) == sig::Verdict::Good)
    xelofuzz::finding("a signature the publisher never made is accepted");
  checkGenuine(catalogText);
  return 0;
}
