// SHA-1 and SHA-256 digests: of bytes as they arrive, of a whole file, and
// their text form. The client verifies what it downloads with them; the
// acquisition library uses the same code to tell which files are already
// present, and the publisher to describe the files of a repository.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct evp_md_ctx_st;

namespace qyxl {

// A running digest. Once a step of the hash fails, every later step fails
// and no digest is given: a failed hash never passes for the hash of the data.
class Digest {
 public:
  enum Algorithm { SHA1, SHA256 };
  explicit Digest(Algorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // Adds bytes; false when hashing has failed or the digest was taken.
  bool update(const void* data, std::size_t size);
  // The digest of everything added (20 bytes for SHA-1, 32 for SHA-256);
  // empty when hashing failed. The digest is taken once: later calls give an
  // empty result.
  std::vector<unsigned char> finish();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context;
  bool failed = false;
};

class Sha1 : public Digest {
 public:
  Sha1() : Digest(SHA1) {}
};

class Sha256 : public Digest {
 public:
  Sha256() : Digest(SHA256) {}
};

// SHA-1 of a file's contents; empty when the file cannot be opened, read or
// hashed (a directory has no contents to hash). `missing` (optional) tells
// whether the file does not exist at all.
std::vector<unsigned char> sha1OfFile(const std::string& path, bool* missing = nullptr);

// SHA-256 of a file's contents, as sha1OfFile.
std::vector<unsigned char> sha256OfFile(const std::string& path, bool* missing = nullptr);

// Both digests of a file in one reading; false (and both empty) when the
// file cannot be opened, read or hashed. `missing` as for sha1OfFile.
bool hashFile(const std::string& path, std::vector<unsigned char>& sha1, std::vector<unsigned char>& sha256,
              bool* missing = nullptr);

// SHA-256 of bytes in memory.
std::vector<unsigned char> sha256Of(const std::string& bytes);

// Every byte as two lower-case hex digits.
std::string hexText(const std::vector<unsigned char>& bytes);

// The bytes of an even number of hex digits (either case); false for
// anything else.
bool parseHex(const std::string& text, std::vector<unsigned char>& bytes);

}  // namespace qyxl
