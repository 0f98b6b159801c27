// Repair of text that the operating system hands over as bytes (process names, arguments), so
// that nothing invalid can reach the wire.
#pragma once

#include <string>
#include <string_view>

namespace treemon {

// Valid UTF-8 stays byte for byte. Each maximal ill-formed subsequence (a stray continuation
// byte, a truncated sequence, an overlong form, a surrogate, a code point above U+10FFFF) becomes
// one U+FFFD, the replacement that Unicode recommends, so the repair is the same everywhere.
std::string repair_utf8(std::string_view bytes);

// True when `bytes` is valid UTF-8 (then repair_utf8 returns it unchanged).
bool is_well_formed_utf8(std::string_view bytes);

}  // namespace treemon
