// Loading a shared library at run time and looking up its functions by name.
// The implementation lives in dynlib_posix.cpp (a Windows build adds
// dynlib_win32.cpp).
#pragma once
#include <string>

namespace XELO {

// The module handle of a library loaded by loadLibrary; nullptr for none.
using LibraryHandle = void*;

// Loads the library `name` through the system's normal search order
// ("libcurl.so.4" on POSIX, "libcurl.dll" on Windows). nullptr on failure.
LibraryHandle loadLibrary(const std::string& name);

// The address of the exported function `symbol`; nullptr when the library
// does not export it or `library` is nullptr.
void* findSymbol(LibraryHandle library, const std::string& symbol);

// Releases a handle from loadLibrary; nullptr is ignored.
void freeLibrary(LibraryHandle library);

}  // namespace XELO
