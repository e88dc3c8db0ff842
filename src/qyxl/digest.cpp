#include "digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>

namespace qyxl {

void Digest::FreeContext::operator()(evp_md_ctx_st* c) const { EVP_MD_CTX_free(c); }

Digest::Digest(Algorithm algorithm) : context(EVP_MD_CTX_new()) {
  const EVP_MD* md = algorithm == SHA256 ? EVP_sha256() : EVP_sha1();
  failed = !context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1;
}

Digest::~Digest() = default;

bool Digest::update(const void* data, std::size_t size) {
  if (failed) return false;
  if (size > 0 && EVP_DigestUpdate(context.get(), data, size) != 1) failed = true;
  return !failed;
}

std::vector<unsigned char> Digest::finish() {
  if (failed) return {};
  // Whatever happens, the context is spent.
  failed = true;
  std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length == 0) return {};
  digest.resize(length);
  return digest;
}

namespace {

// Feeds a file's contents to every digest given; false when it cannot be read.
bool hashContents(const std::string& path, std::vector<Digest*> digests, bool* missing) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (missing) *missing = !file && errno == ENOENT;
  if (!file) return false;
  // Large blocks: hashing the files already present is what a repeated
  // acquisition spends its time on.
  std::vector<unsigned char> block(256 * 1024);
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
    for (Digest* d : digests)
      if (!d->update(block.data(), got)) return false;
    if (got < block.size()) return !std::ferror(file.get());
  }
}

}  // namespace

std::vector<unsigned char> sha1OfFile(const std::string& path, bool* missing) {
  Sha1 sha1;
  if (!hashContents(path, {&sha1}, missing)) return {};
  return sha1.finish();
}

std::vector<unsigned char> sha256OfFile(const std::string& path, bool* missing) {
  Sha256 sha256;
  if (!hashContents(path, {&sha256}, missing)) return {};
  return sha256.finish();
}

bool hashFile(const std::string& path, std::vector<unsigned char>& sha1, std::vector<unsigned char>& sha256,
              bool* missing) {
  Sha1 one;
  Sha256 two;
  sha1.clear();
  sha256.clear();
  if (!hashContents(path, {&one, &two}, missing)) return false;
  sha1 = one.finish();
  sha256 = two.finish();
  if (sha1.empty() || sha256.empty()) {
    sha1.clear();
    sha256.clear();
    return false;
  }
  return true;
}

std::vector<unsigned char> sha256Of(const std::string& bytes) {
  Sha256 digest;
  digest.update(bytes.data(), bytes.size());
  return digest.finish();
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

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseHex(const std::string& text, std::vector<unsigned char>& bytes) {
  if (text.size() % 2 != 0) return false;
  std::vector<unsigned char> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexValue(text[i]), low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  bytes = std::move(out);
  return true;
}

}  // namespace qyxl
