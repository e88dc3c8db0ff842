// Run-time loading of shared libraries on POSIX systems.
#include <dlfcn.h>

#include "host/dynlib.h"

namespace XELO {

LibraryHandle loadLibrary(const std::string& name) {
  if (name.empty()) return nullptr;
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(LibraryHandle library, const std::string& symbol) {
  if (library == nullptr) return nullptr;
  return ::dlsym(library, symbol.c_str());
}

void freeLibrary(LibraryHandle library) {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace XELO
