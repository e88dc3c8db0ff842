#include "signature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "digest.h"

namespace qyxl::signature {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRawKeySize = 32;
constexpr std::size_t kSignatureSize = 64;
constexpr const char* kAlgorithm = "ed25519";

struct FreeKey {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct FreeBio {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct FreeMdContext {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct FreeKeyContext {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Bio = std::unique_ptr<BIO, FreeBio>;

Bio memoryBio(const std::string& text) { return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool rawPublicKey(EVP_PKEY* key, PublicKey& out) {
  std::size_t length = kRawKeySize;
  out.raw.assign(kRawKeySize, 0);
  if (EVP_PKEY_get_raw_public_key(key, out.raw.data(), &length) != 1 || length != kRawKeySize) return false;
  out.id = hexText(sha256Of(std::string(out.raw.begin(), out.raw.end())));
  return true;
}

}  // namespace

bool generateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error) {
  std::unique_ptr<EVP_PKEY_CTX, FreeKeyContext> context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* generated = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1) {
    error = "cannot generate an Ed25519 key";
    return false;
  }
  Key key(generated);
  Bio privateBio(BIO_new(BIO_s_mem())), publicBio(BIO_new(BIO_s_mem()));
  if (!privateBio || !publicBio ||
      PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1) {
    error = "cannot write the key as PEM";
    return false;
  }
  privatePem = bioText(privateBio.get());
  publicPem = bioText(publicBio.get());
  return true;
}

bool readPublicKey(const std::string& pem, PublicKey& out, std::string& error) {
  Bio bio = memoryBio(pem);
  Key key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    error = "not a PEM public key";
    return false;
  }
  if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
    error = "not an Ed25519 key";
    return false;
  }
  if (!rawPublicKey(key.get(), out)) {
    error = "the public key cannot be read";
    return false;
  }
  return true;
}

bool sign(const std::string& privatePem, const std::string& data, Entry& out, std::string& error) {
  Bio bio = memoryBio(privatePem);
  Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) {
    error = "not a PEM private key (an encrypted key is not supported)";
    return false;
  }
  if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
    error = "not an Ed25519 key";
    return false;
  }
  PublicKey pub;
  std::unique_ptr<EVP_MD_CTX, FreeMdContext> context(EVP_MD_CTX_new());
  std::vector<unsigned char> signature(kSignatureSize);
  std::size_t length = signature.size();
  if (!rawPublicKey(key.get(), pub) || !context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1 ||
      length != kSignatureSize) {
    error = "signing failed";
    return false;
  }
  out.keyId = pub.id;
  out.signature = std::move(signature);
  return true;
}

std::string formatEntry(const Entry& entry) {
  return std::string(kAlgorithm) + " " + entry.keyId + " " + hexText(entry.signature) + "\n";
}

bool parseSignatureFile(const std::string& text, std::vector<Entry>& out, std::string& error) {
  std::vector<Entry> entries;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string algorithm, keyId, hex, extra;
    fields >> algorithm >> keyId >> hex;
    Entry e;
    std::vector<unsigned char> idBytes;
    if (algorithm != kAlgorithm || fields >> extra || !parseHex(keyId, idBytes) || idBytes.size() != 32 ||
        !parseHex(hex, e.signature) || e.signature.size() != kSignatureSize) {
      error = "line " + std::to_string(number) + " is not an Ed25519 signature line";
      return false;
    }
    e.keyId = hexText(idBytes);
    entries.push_back(std::move(e));
  }
  if (entries.empty()) {
    error = "it holds no signature";
    return false;
  }
  out = std::move(entries);
  return true;
}

bool verify(const PublicKey& key, const std::string& data, const std::vector<unsigned char>& signature) {
  if (key.raw.size() != kRawKeySize || signature.size() != kSignatureSize) return false;
  Key pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.raw.data(), key.raw.size()));
  std::unique_ptr<EVP_MD_CTX, FreeMdContext> context(EVP_MD_CTX_new());
  if (!pkey || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
    return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::vector<PublicKey> loadKeyring(const std::string& folder, std::vector<std::string>& problems) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".pem" && it->is_regular_file(ec)) files.push_back(it->path());
  std::sort(files.begin(), files.end());
  std::vector<PublicKey> keys;
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    PublicKey key;
    std::string error;
    if (!in || !readPublicKey(text.str(), key, error)) {
      problems.push_back(path.string() + ": " + (error.empty() ? "cannot be read" : error));
      continue;
    }
    key.source = path.string();
    keys.push_back(std::move(key));
  }
  return keys;
}

Verdict check(const std::string& data, const std::string* signatureText, const std::vector<PublicKey>& keyring,
              std::string& why) {
  if (!signatureText) {
    why = "catalog signature missing";
    return Verdict::Missing;
  }
  std::vector<Entry> entries;
  std::string error;
  if (!parseSignatureFile(*signatureText, entries, error)) {
    why = "catalog signature malformed: " + error;
    return Verdict::Malformed;
  }
  bool knownKey = false;
  for (const auto& entry : entries) {
    for (const auto& key : keyring) {
      if (key.id != entry.keyId) continue;
      knownKey = true;
      if (verify(key, data, entry.signature)) {
        why = "catalog signed by key " + key.id + " (" + key.source + ")";
        return Verdict::Good;
      }
    }
  }
  if (knownKey) {
    why = "catalog signature invalid: the catalog does not match its signature";
    return Verdict::BadSignature;
  }
  why =
      "catalog signed by an unknown key " + entries.front().keyId + (keyring.empty() ? " (the keyring is empty)" : "");
  return Verdict::UnknownKey;
}

}  // namespace qyxl::signature
