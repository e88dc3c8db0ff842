// Ed25519 signatures of repository catalogs. The publisher signs the
// catalog's exact bytes with its private key and writes a detached signature
// file beside it; the client believes a catalog only when that signature
// verifies against one of the public keys of its keyring.
//
// A signature file holds one line per signing key:
//   ed25519 <key id: 64 hex digits> <signature: 128 hex digits>
// The key id is the SHA-256 of the raw 32-byte public key; it only tells the
// client which key to try, the signature alone decides.
#pragma once
#include <string>
#include <vector>

namespace qyxl::signature {

// The signature file's name is the catalog's name followed by this.
inline constexpr const char* kSignatureSuffix = ".sig";
// The keyring: a folder of public keys (PEM files) in the data directory.
inline constexpr const char* kKeyringFolder = "keyring";

struct PublicKey {
  std::string id;                  // SHA-256 of the raw key, lower-case hex
  std::vector<unsigned char> raw;  // the 32-byte Ed25519 public key
  std::string source;              // where it was read from (for messages)
};

struct Entry {
  std::string keyId;
  std::vector<unsigned char> signature;  // 64 bytes
};

// A new key pair as PEM texts (PKCS#8 private key, SubjectPublicKeyInfo
// public key).
bool generateKeyPair(std::string& privatePem, std::string& publicPem, std::string& error);

// Reads an Ed25519 public key from PEM text; any other key type is refused.
bool readPublicKey(const std::string& pem, PublicKey& out, std::string& error);

// Signs `data` with an Ed25519 private key (PEM text) and gives the entry of
// the signature file.
bool sign(const std::string& privatePem, const std::string& data, Entry& out, std::string& error);

// One line of a signature file, with its newline.
std::string formatEntry(const Entry& entry);

// Reads a signature file. False when a line is not a signature line or there
// is none.
bool parseSignatureFile(const std::string& text, std::vector<Entry>& out, std::string& error);

// Whether `signature` is `key`'s signature of `data`.
bool verify(const PublicKey& key, const std::string& data, const std::vector<unsigned char>& signature);

// The public keys of a keyring folder (every "*.pem" in it); files that are
// not Ed25519 public keys are listed in `problems` and skipped.
std::vector<PublicKey> loadKeyring(const std::string& folder, std::vector<std::string>& problems);

enum class Verdict { Good, Missing, Malformed, UnknownKey, BadSignature };

// Checks a signature file's text against a keyring: Good when some entry
// names a key of the keyring and verifies with it. `why` tells what failed
// (or, for Good, which key signed).
Verdict check(const std::string& data, const std::string* signatureText, const std::vector<PublicKey>& keyring,
              std::string& why);

}  // namespace qyxl::signature
