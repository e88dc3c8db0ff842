// SHA-1 digests: of bytes as they arrive, of a whole file, and their text
// form. The client verifies what it downloads with them; the acquisition
// library uses the same code to tell which files are already present.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct evp_md_ctx_st;

namespace qyxl {

// A running SHA-1. Once a step of the hash fails, every later step fails and
// no digest is given: a failed hash never passes for the hash of the data.
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  // Adds bytes; false when hashing has failed or the digest was taken.
  bool update(const void* data, std::size_t size);
  // The 20-byte digest of everything added; empty when hashing failed. The
  // digest is taken once: later calls give an empty result.
  std::vector<unsigned char> finish();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context;
  bool failed = false;
};

// SHA-1 of a file's contents; empty when the file cannot be opened, read or
// hashed (a directory has no contents to hash).
std::vector<unsigned char> sha1OfFile(const std::string& path);

// Every byte as two lower-case hex digits.
std::string hexText(const std::vector<unsigned char>& bytes);

}  // namespace qyxl
