// The fixed texts the monitor owes its clients outside the parser's rejections: error codes,
// the messages of the main loop and the prefixes of intake errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace treemon {

inline constexpr std::string_view CODE_NOT_CONFIGURED = "not-configured";
inline constexpr std::string_view CODE_PROTOCOL_MISMATCH = "protocol-mismatch";
inline constexpr std::string_view CODE_INVALID_COMMAND = "invalid-command";

inline constexpr std::string_view NOT_CONFIGURED_EXTERNAL_PROCESSES =
    "configure must be sent before external processes";
inline constexpr std::string_view NOT_CONFIGURED_SAMPLE_INTERVAL =
    "configure must be sent before changing the sample interval";
inline constexpr std::string_view NOT_CONFIGURED_SAMPLING =
    "configure must be sent before sampling";
inline constexpr std::string_view NOT_CONFIGURED_HISTORY =
    "configure must be sent before reading history";

inline constexpr std::string_view INVALID_COMMAND_PREFIX = "invalid command: ";
inline constexpr std::string_view READ_FAILURE_PREFIX = "failed reading command stream: ";
inline constexpr std::string_view INVALID_UTF8_DESCRIPTION = "stream did not contain valid UTF-8";

// The reason, after INVALID_COMMAND_PREFIX, for a line longer than the intake takes.
inline std::string line_too_long_reason(size_t limit_bytes) {
  return "line longer than " + std::to_string(limit_bytes) + " bytes";
}

inline constexpr std::string_view OUTPUT_FAILURE_PREFIX = "Error: ";
inline constexpr std::string_view OUT_OF_MEMORY_LINE = "Error: out of memory";
inline constexpr std::string_view WARNING_PREFIX = "Warning: ";

inline std::string protocol_mismatch_message(uint32_t received, uint32_t expected) {
  return "unsupported protocol version " + std::to_string(received) + "; expected " +
         std::to_string(expected);
}

}  // namespace treemon
