// Shared helpers of the acquisition library.
#pragma once
#include <string>

#if defined(_WIN32)
#define ACQUIRE_API __declspec(dllexport)
#else
#define ACQUIRE_API __attribute__((visibility("default")))
#endif

namespace QYXAcquistion {

// Version of the acquisition library.
ACQUIRE_API std::string libraryVersion();

}  // namespace QYXAcquistion
