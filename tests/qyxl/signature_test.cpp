// Catalog signatures and the keyring: which signature files make a catalog
// believed, and the validity time stamps.
#include "signature.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "catalog.h"
#include "qyxl_test_helpers.h"

namespace {

namespace sig = qyxl::signature;

struct KeyPair {
  std::string privatePem, publicPem;
  sig::PublicKey key;
};

KeyPair newKey() {
  KeyPair k;
  std::string error;
  EXPECT_TRUE(sig::generateKeyPair(k.privatePem, k.publicPem, error)) << error;
  EXPECT_TRUE(sig::readPublicKey(k.publicPem, k.key, error)) << error;
  return k;
}

std::string signatureLine(const KeyPair& k, const std::string& data) {
  sig::Entry entry;
  std::string error;
  EXPECT_TRUE(sig::sign(k.privatePem, data, entry, error)) << error;
  return sig::formatEntry(entry);
}

TEST(Signature, VerdictOfASignatureFileAgainstAKeyring) {
  const KeyPair oldKey = newKey(), newKeyPair = newKey(), stranger = newKey();
  const std::string catalog = "<repository format=\"1\"/>\n";
  std::string forged = catalog;
  forged[1] = 'R';
  std::string flipped = signatureLine(oldKey, catalog);
  flipped[flipped.size() - 2] = flipped[flipped.size() - 2] == '0' ? '1' : '0';
  const std::vector<sig::PublicKey> both{oldKey.key, newKeyPair.key};

  struct Case {
    const char* what;
    std::string data;
    const char* signature;  // null: no signature file
    std::vector<sig::PublicKey> keyring;
    sig::Verdict verdict;
  };
  const std::string byOld = signatureLine(oldKey, catalog), byNew = signatureLine(newKeyPair, catalog),
                    byStranger = signatureLine(stranger, catalog);
  const std::string byBothKeys = byOld + byNew, strangerThenOld = byStranger + byOld;
  const Case cases[] = {
      {"signed, key trusted", catalog, byOld.c_str(), {oldKey.key}, sig::Verdict::Good},
      {"key change: old key still signs, both trusted", catalog, byOld.c_str(), both, sig::Verdict::Good},
      {"key change: new key signs, both trusted", catalog, byNew.c_str(), both, sig::Verdict::Good},
      {"signed with both keys, client knows the new one",
       catalog,
       byBothKeys.c_str(),
       {newKeyPair.key},
       sig::Verdict::Good},
      {"a stranger's line before a good one", catalog, strangerThenOld.c_str(), {oldKey.key}, sig::Verdict::Good},
      {"no signature", catalog, nullptr, {oldKey.key}, sig::Verdict::Missing},
      {"unknown key", catalog, byStranger.c_str(), both, sig::Verdict::UnknownKey},
      {"empty keyring", catalog, byOld.c_str(), {}, sig::Verdict::UnknownKey},
      {"one byte of the catalog changed", forged, byOld.c_str(), {oldKey.key}, sig::Verdict::BadSignature},
      {"one bit of the signature changed", catalog, flipped.c_str(), {oldKey.key}, sig::Verdict::BadSignature},
      {"empty signature file", catalog, "", {oldKey.key}, sig::Verdict::Malformed},
      {"garbage", catalog, "<html>not found</html>\n", {oldKey.key}, sig::Verdict::Malformed},
      {"short signature", catalog, "ed25519 00 00\n", {oldKey.key}, sig::Verdict::Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = c.signature ? c.signature : "", why;
    EXPECT_EQ(sig::check(c.data, c.signature ? &text : nullptr, c.keyring, why), c.verdict) << why;
    EXPECT_FALSE(why.empty());
  }
}

TEST(Signature, KeyringSkipsFilesThatAreNotEd25519PublicKeys) {
  xelotest::TempDir dir;
  const KeyPair k = newKey();
  xelotest::writeFile(dir / "publisher.pem", k.publicPem);
  xelotest::writeFile(dir / "private.pem", k.privatePem);  // a private key is not a trusted key
  xelotest::writeFile(dir / "notes.pem", "hello");
  xelotest::writeFile(dir / "ignored.txt", k.publicPem);
  std::vector<std::string> problems;
  const auto keys = sig::loadKeyring(dir.path(), problems);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].id, k.key.id);
  EXPECT_EQ(problems.size(), 2u);
  EXPECT_TRUE(sig::loadKeyring(dir / "missing", problems).empty());
}

TEST(CatalogValidity, TimeStamps) {
  struct Case {
    const char* text;
    bool valid;
    std::int64_t seconds;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", true, 0},          {"2000-02-29T12:00:00Z", true, 951825600},
      {"2038-01-19T03:14:08Z", true, 2147483648}, {"2100-02-29T00:00:00Z", false, 0},
      {"2026-13-01T00:00:00Z", false, 0},         {"2026-01-01 00:00:00Z", false, 0},
      {"2026-01-01T00:00:00", false, 0},          {"2026-01-01T24:00:00Z", false, 0},
      {"+026-01-01T00:00:00Z", false, 0},         {"", false, 0},
  };
  for (const auto& c : cases) {
    std::int64_t seconds = -1;
    EXPECT_EQ(qyxl::catalog::parseTimestamp(c.text, seconds), c.valid) << c.text;
    if (c.valid) EXPECT_EQ(seconds, c.seconds) << c.text;
  }
  qyxl::catalog::Catalog cat;
  std::string error;
  EXPECT_FALSE(qyxl::catalog::parseCatalog("<repository validUntil=\"soon\"/>", cat, error));
  EXPECT_NE(error.find("soon"), std::string::npos);
}

}  // namespace
