#include "base/win32_windows.h"

#include <memory>

#include "base/utf16.h"
#include "base/utf8.h"

namespace treemon {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

struct LocalFreeDeleter {
  void operator()(wchar_t* text) const { ::LocalFree(text); }
};

std::string system_message(DWORD code) {
  wchar_t* raw = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length =
      ::FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
  if (length == 0 || raw == nullptr) return {};
  std::wstring_view text(raw, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  return utf8_from_wide(text);
}

}  // namespace

std::string win32_error_text(DWORD code) {
  std::string message = system_message(code);
  if (message.empty()) message = "Unknown error";
  return message + " (os error " + std::to_string(code) + ")";
}

std::string last_win32_error_text() { return win32_error_text(::GetLastError()); }

std::string utf8_from_wide(std::wstring_view text) {
  return utf8_from_utf16(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring wide_from_utf8(std::string_view text) {
  std::wstring wide;
  for (size_t at = 0; at < text.size();) {
    const DecodedCharacter decoded = decode_utf8(text, at);
    const char32_t code = decoded.length == 0 ? REPLACEMENT_CHARACTER : decoded.code_point;
    at += decoded.length == 0 ? 1 : decoded.length;
    if (code < 0x10000) {
      wide += static_cast<wchar_t>(code);
    } else {
      wide += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return wide;
}

}  // namespace treemon
