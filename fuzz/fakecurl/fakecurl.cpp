// A stand-in for libcurl's easy interface with the six entry points the FTP
// client loads. Every directory listing answers with the text handed in by
// fakecurl_set_listing; a file whose name starts with "d" is refused as a
// file (reply 550, so the client takes it for a directory) one level down
// and a few times per listing handed in, and every other file is sent as a
// few bytes.
#include <cstdarg>
#include <cstddef>
#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using WriteFn = std::size_t (*)(void*, std::size_t, std::size_t, void*);

constexpr int kOk = 0;
constexpr int kWriteError = 23;
constexpr int kRemoteFileNotFound = 78;
constexpr int kMaxDepth = 5;        // slashes in the URL of a file one level down
constexpr int kMaxDirectories = 6;  // directories answered per listing handed in

struct Handle {
  std::string url;
  bool listOnly = false;
  WriteFn write = nullptr;
  void* writeData = nullptr;
  char* errorBuffer = nullptr;
};

std::string listing;
int directories = 0;

int send(Handle& h, const std::string& bytes) {
  if (!h.write) return kWriteError;
  // In pieces, as a network transfer arrives.
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, 7 + at % 13);
    std::string piece = bytes.substr(at, n);
    if (h.write(piece.data(), 1, n, h.writeData) != n) return kWriteError;
    at += n;
  }
  return kOk;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void fakecurl_set_listing(const char* data, std::size_t size) {
  listing.assign(data, size);
  directories = 0;
}

__attribute__((visibility("default"))) int curl_global_init(long) { return kOk; }
__attribute__((visibility("default"))) void curl_global_cleanup() {}
__attribute__((visibility("default"))) void* curl_easy_init() { return new Handle; }
__attribute__((visibility("default"))) void curl_easy_cleanup(void* handle) { delete static_cast<Handle*>(handle); }

__attribute__((visibility("default"))) int curl_easy_setopt(void* handle, int option, ...) {
  Handle& h = *static_cast<Handle*>(handle);
  va_list args;
  va_start(args, option);
  switch (option) {
    case 10010: h.errorBuffer = va_arg(args, char*); break;
    case 10002: h.url = va_arg(args, const char*); break;
    case 48: h.listOnly = va_arg(args, long) != 0; break;
    case 20011: h.write = va_arg(args, WriteFn); break;
    case 10001: h.writeData = va_arg(args, void*); break;
    default: break;
  }
  va_end(args);
  return kOk;
}

__attribute__((visibility("default"))) int curl_easy_perform(void* handle) {
  Handle& h = *static_cast<Handle*>(handle);
  if (h.listOnly) return send(h, listing);
  const auto slash = h.url.rfind('/');
  const std::string name = slash == std::string::npos ? h.url : h.url.substr(slash + 1);
  int depth = 0;
  for (char c : h.url) depth += c == '/';
  if (!name.empty() && name[0] == 'd' && depth <= kMaxDepth && directories < kMaxDirectories) {
    ++directories;
    if (h.errorBuffer) std::snprintf(h.errorBuffer, 256, "RETR response: 550");
    return kRemoteFileNotFound;
  }
  return send(h, "content of " + name + "\n");
}

}  // extern "C"
