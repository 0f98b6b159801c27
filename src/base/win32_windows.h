// Small Win32 building blocks shared by the Windows files of treemon: an owning handle, the one
// place where Win32 error codes become text, and wide-text conversion.
//
// UniqueHandle owns one kernel handle and closes it exactly once (on destruction, reset or
// move-assignment). Both "no handle" values of the API, null and INVALID_HANDLE_VALUE, count as
// empty. Not thread-safe; each handle has one owner.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace treemon {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle = nullptr) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The system's description of a Win32 error code, as UTF-8, followed by the code itself:
// "The pipe has been ended. (os error 109)". Never empty.
std::string win32_error_text(DWORD code);

// The same for the calling thread's last error.
std::string last_win32_error_text();

// Wide (UTF-16) text to UTF-8, unpaired surrogates replaced by U+FFFD.
std::string utf8_from_wide(std::wstring_view text);

// UTF-8 text to wide (UTF-16) text for the API's wide calls; each byte that is not part of a
// well-formed sequence becomes U+FFFD.
std::wstring wide_from_utf8(std::string_view text);

}  // namespace treemon
