#include "digest.h"

#include <openssl/evp.h>

#include <cstdio>

namespace qyxl {

void Sha1::FreeContext::operator()(evp_md_ctx_st* c) const { EVP_MD_CTX_free(c); }

Sha1::Sha1() : context(EVP_MD_CTX_new()) {
  failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1;
}

Sha1::~Sha1() = default;

bool Sha1::update(const void* data, std::size_t size) {
  if (failed) return false;
  if (size > 0 && EVP_DigestUpdate(context.get(), data, size) != 1) failed = true;
  return !failed;
}

std::vector<unsigned char> Sha1::finish() {
  if (failed) return {};
  // Whatever happens, the context is spent.
  failed = true;
  std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length == 0) return {};
  digest.resize(length);
  return digest;
}

std::vector<unsigned char> sha1OfFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return {};
  Sha1 sha1;
  // Large blocks: hashing the files already present is what a repeated
  // acquisition spends its time on.
  std::vector<unsigned char> block(256 * 1024);
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (!sha1.update(block.data(), got)) return {};
    if (got < block.size()) {
      if (std::ferror(file.get())) return {};
      break;
    }
  }
  return sha1.finish();
}

std::string hexText(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0f];
  }
  return text;
}

}  // namespace qyxl
