#include "protocol/parse_command.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/utf8.h"
#include "protocol/json_reader.h"
#include "protocol/number_text.h"

// Parsing runs in three stages:
//  1. The JSON value and the tag: the whole line is read and syntax-checked; the tag is checked as
//     soon as it has been read; members that could be fields are held as byte spans of the line.
//  2. The variant's fields: the held spans are read again and converted, in input order.
//  3. Trailing text: only JSON white space may follow the value.
// Errors of stages 1 and 3 carry a position, errors of stage 2 do not.
namespace treemon {
namespace {

enum class Variant : uint8_t {
  Configure,
  SetExternalProcesses,
  SetSampleInterval,
  SetStreaming,
  SampleNow,
  ReadHistory,
  Shutdown,
};

// In the order the unknown-variant message quotes them.
constexpr std::array<std::string_view, 7> TAGS = {
    "configure", "setExternalProcesses", "setSampleInterval", "setStreaming",
    "sampleNow", "readHistory",          "shutdown",
};

enum class Field : uint8_t {
  Version,
  RootPid,
  SampleIntervalMs,
  ExternalProcesses,
  Processes,
  Enabled,
  RequestId,
  WindowMs,
};
constexpr size_t FIELD_COUNT = 8;
constexpr std::array<std::string_view, FIELD_COUNT> FIELD_NAMES = {
    "version",   "rootPid", "sampleIntervalMs", "externalProcesses",
    "processes", "enabled", "requestId",        "windowMs",
};
constexpr size_t MAX_FIELDS = 4;

struct VariantShape {
  std::array<Field, MAX_FIELDS> fields;
  size_t field_count;
  std::string_view too_few_elements;  // expected text when array-form elements run out
};

constexpr std::array<VariantShape, 7> VARIANTS = {{
    {{Field::Version, Field::RootPid, Field::SampleIntervalMs, Field::ExternalProcesses},
     4,
     "struct variant Command::Configure with 4 elements"},
    {{Field::Version, Field::Processes},
     2,
     "struct variant Command::SetExternalProcesses with 2 elements"},
    {{Field::Version, Field::SampleIntervalMs},
     2,
     "struct variant Command::SetSampleInterval with 2 elements"},
    {{Field::Version, Field::Enabled}, 2, "struct variant Command::SetStreaming with 2 elements"},
    {{Field::Version, Field::RequestId}, 2, "struct variant Command::SampleNow with 2 elements"},
    {{Field::Version, Field::RequestId, Field::WindowMs},
     3,
     "struct variant Command::ReadHistory with 3 elements"},
    {{Field::Version}, 1, "struct variant Command::Shutdown with 1 element"},
}};

const VariantShape& shape_of(Variant variant) { return VARIANTS[static_cast<size_t>(variant)]; }
std::string_view name_of(Field field) { return FIELD_NAMES[static_cast<size_t>(field)]; }
bool is_optional(Field field) { return field == Field::ExternalProcesses; }

bool has_field(const VariantShape& shape, Field field) {
  for (size_t i = 0; i < shape.field_count; ++i) {
    if (shape.fields[i] == field) return true;
  }
  return false;
}

std::optional<Field> field_named(std::string_view name) {
  for (size_t i = 0; i < FIELD_COUNT; ++i) {
    if (FIELD_NAMES[i] == name) return static_cast<Field>(i);
  }
  return std::nullopt;
}

// ---- Describing a received value ----------------------------------------------------------------

// Characters written as \u{hex} when a received string is quoted in a rejection: those that are
// invisible or would disturb the layout of the message. They are the control characters (Cc), the
// space separators other than the plain space (Zs), the line and paragraph separators (Zl, Zp), the
// format characters (Cf), private-use characters (Co) and noncharacters. Combining marks and
// unassigned code points are written as they are: they are visible in context, and telling
// unassigned code points apart would need the full Unicode tables.
bool is_non_printable(uint32_t cp) {
  struct Range {
    uint32_t first, last;
  };
  static constexpr Range RANGES[] = {
      {0x0000, 0x001F},    {0x007F, 0x009F},   {0x00A0, 0x00A0},   {0x00AD, 0x00AD},
      {0x0600, 0x0605},    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
      {0x0890, 0x0891},    {0x08E2, 0x08E2},   {0x1680, 0x1680},   {0x180E, 0x180E},
      {0x2000, 0x200F},    {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},
      {0x3000, 0x3000},    {0xE000, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
      {0x1BCA0, 0x1BCA3},  {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
      {0xF0000, 0x10FFFF},
  };
  if ((cp & 0xFFFE) == 0xFFFE) return true;  // the two noncharacters at the end of every plane
  for (const Range& range : RANGES) {
    if (cp >= range.first && cp <= range.last) return true;
  }
  return false;
}

// Decodes the UTF-8 character at text[pos], moving pos past it. The line is valid UTF-8; a byte
// that begins no valid sequence stands for U+FFFD so that describing never fails.
uint32_t next_character(std::string_view text, size_t& pos) {
  const DecodedCharacter character = decode_utf8(text, pos);
  if (character.length == 0) {
    ++pos;
    return REPLACEMENT_CHARACTER;
  }
  pos += character.length;
  return character.code_point;
}

void append_quoted(std::string_view text, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const uint32_t cp = next_character(text, pos);
    switch (cp) {
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    if (cp == 0xFFFD && pos - start == 1) {
      out += "\\u{fffd}";
    } else if (is_non_printable(cp)) {
      out += "\\u{";
      int shift = 20;
      while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
      for (; shift >= 0; shift -= 4) out += HEX[(cp >> shift) & 0xF];
      out += '}';
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  out += '"';
}

std::string describe(const JsonToken& token) {
  std::string text;
  switch (token.kind) {
    case JsonKind::Null:
      return "null";
    case JsonKind::False:
      return "boolean `false`";
    case JsonKind::True:
      return "boolean `true`";
    case JsonKind::Unsigned:
      return "integer `" + std::to_string(token.unsigned_value) + "`";
    case JsonKind::Signed:
      return "integer `" + std::to_string(token.signed_value) + "`";
    case JsonKind::Float:
      return "floating point `" + double_text(token.float_value) + "`";
    case JsonKind::String:
    case JsonKind::MemberName:
      text = "string ";
      append_quoted(token.text, text);
      return text;
    case JsonKind::BeginArray:
    case JsonKind::EndArray:
      return "sequence";
    case JsonKind::BeginObject:
    case JsonKind::EndObject:
      return "map";
    case JsonKind::End:
      break;
  }
  return "end of input";
}

// ---- Rejection texts
// -----------------------------------------------------------------------------

std::string missing_field(std::string_view field) {
  return "missing field `" + std::string(field) + "`";
}
std::string duplicate_field(std::string_view field) {
  return "duplicate field `" + std::string(field) + "`";
}
std::string unknown_variant(std::string_view tag) {
  std::string text = "unknown variant `" + std::string(tag) + "`, expected one of ";
  for (size_t i = 0; i < TAGS.size(); ++i) {
    if (i > 0) text += ", ";
    text += '`';
    text += TAGS[i];
    text += '`';
  }
  return text;
}
std::string invalid_type(const JsonToken& received, std::string_view expected) {
  return "invalid type: " + describe(received) + ", expected " + std::string(expected);
}
std::string invalid_value(const JsonToken& received, std::string_view expected) {
  return "invalid value: " + describe(received) + ", expected " + std::string(expected);
}
std::string invalid_length(size_t count, std::string_view expected) {
  return "invalid length " + std::to_string(count) + ", expected " + std::string(expected);
}
std::string elements_in_sequence(size_t count) {
  return count == 1 ? "1 element in sequence" : std::to_string(count) + " elements in sequence";
}

Rejection at_column(std::string message, size_t column) {
  return Rejection{positioned_text(message, column)};
}
Rejection syntax_rejection(const Status& error) {
  return Rejection{positioned_text(error.message(), error.column())};
}

// ---- Stage 1: the JSON value and the tag --------------------------------------------------------

struct Span {
  size_t begin = 0;
  size_t end = 0;
};

struct HeldMember {
  Field field = Field::Version;
  Span value;
};

// Only the first two members of one name can matter: a second one is a duplicate, and stage 2
// never gets past it. Holding no more keeps memory flat whatever the line holds.
constexpr size_t HELD_PER_FIELD = 2;

// What stage 1 hands to stage 2.
struct HeldCommand {
  Variant variant = Variant::Shutdown;
  bool array_form = false;
  std::array<HeldMember, FIELD_COUNT * HELD_PER_FIELD> members{};  // object form, in input order
  size_t member_count = 0;
  std::array<Span, MAX_FIELDS> elements{};  // array form: the first elements after the tag
  size_t element_count = 0;                 // array form: all elements after the tag
};

using Stage1Result = std::variant<HeldCommand, Rejection>;

// The tag is checked as soon as its value has been read. A container can never be a tag, so it
// is rejected at its opening bracket; a scalar is rejected at its last byte.
std::variant<Variant, Rejection> read_tag(const JsonToken& value) {
  if (value.kind == JsonKind::String) {
    for (size_t i = 0; i < TAGS.size(); ++i) {
      if (TAGS[i] == value.text) return static_cast<Variant>(i);
    }
    return at_column(unknown_variant(value.text), value.end);
  }
  const size_t column = value.opens_container() ? value.begin + 1 : value.end;
  return at_column(invalid_type(value, "variant identifier"), column);
}

// Reads one whole value whose first token is `first`; returns its span or the syntax error.
Result<Span> read_span(JsonReader& reader, const JsonToken& first) {
  if (Status error = reader.skip_rest_of_value(first); !error.ok()) return error;
  return Span{first.begin, reader.offset()};
}

Stage1Result read_object_form(JsonReader& reader) {
  HeldCommand held;
  std::optional<Variant> variant;
  std::array<uint8_t, FIELD_COUNT> held_per_field{};
  JsonToken token;
  while (true) {
    if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
    if (token.kind == JsonKind::EndObject) break;
    if (token.text == "type") {
      if (variant) return at_column(duplicate_field("type"), token.end);
      if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
      auto tag = read_tag(token);
      if (auto* rejection = std::get_if<Rejection>(&tag)) return std::move(*rejection);
      variant = std::get<Variant>(tag);
      continue;
    }
    const std::optional<Field> field = field_named(token.text);
    if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
    auto span = read_span(reader, token);
    if (!span.ok()) return syntax_rejection(span.status());
    if (field && held_per_field[static_cast<size_t>(*field)] < HELD_PER_FIELD) {
      ++held_per_field[static_cast<size_t>(*field)];
      held.members[held.member_count++] = HeldMember{*field, *span};
    }
  }
  if (!variant) return at_column(missing_field("type"), token.end);
  held.variant = *variant;
  return held;
}

Stage1Result read_array_form(JsonReader& reader) {
  HeldCommand held;
  held.array_form = true;
  JsonToken token;
  if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
  if (token.kind == JsonKind::EndArray) return at_column(missing_field("type"), token.end);
  auto tag = read_tag(token);
  if (auto* rejection = std::get_if<Rejection>(&tag)) return std::move(*rejection);
  held.variant = std::get<Variant>(tag);
  while (true) {
    if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
    if (token.kind == JsonKind::EndArray) break;
    auto span = read_span(reader, token);
    if (!span.ok()) return syntax_rejection(span.status());
    if (held.element_count < MAX_FIELDS) held.elements[held.element_count] = *span;
    ++held.element_count;
  }
  return held;
}

Stage1Result read_command(JsonReader& reader) {
  JsonToken token;
  if (Status error = reader.next(token); !error.ok()) return syntax_rejection(error);
  if (token.kind == JsonKind::BeginObject) return read_object_form(reader);
  if (token.kind == JsonKind::BeginArray) return read_array_form(reader);
  return at_column(invalid_type(token, "internally tagged enum Command"), token.end);
}

// ---- Stage 2: converting field values -----------------------------------------------------------

// A conversion error's message is the whole rejection text.

struct FieldValues {
  std::array<bool, FIELD_COUNT> seen{};
  uint32_t version = 0;
  uint32_t root_pid = 0;
  uint64_t sample_interval_ms = 0;
  uint64_t window_ms = 0;
  bool enabled = false;
  std::string request_id;
  std::vector<ExternalProcess> processes;
};

Status to_u32(const JsonToken& token, uint32_t& out) {
  if (token.kind == JsonKind::Signed) return Status::error(invalid_value(token, "u32"));
  if (token.kind != JsonKind::Unsigned) return Status::error(invalid_type(token, "u32"));
  if (token.unsigned_value > UINT32_MAX) return Status::error(invalid_value(token, "u32"));
  out = static_cast<uint32_t>(token.unsigned_value);
  return Status();
}

Status to_u64(const JsonToken& token, uint64_t& out) {
  if (token.kind == JsonKind::Signed) return Status::error(invalid_value(token, "u64"));
  if (token.kind != JsonKind::Unsigned) return Status::error(invalid_type(token, "u64"));
  out = token.unsigned_value;
  return Status();
}

Status to_optional_u64(const JsonToken& token, std::optional<uint64_t>& out) {
  if (token.kind == JsonKind::Null) {
    out.reset();
    return Status();
  }
  uint64_t value = 0;
  if (Status error = to_u64(token, value); !error.ok()) return error;
  out = value;
  return Status();
}

// The values were read once in stage 1, so reading them again cannot fail; an error is still
// passed on rather than trusted away.
Status next_value(JsonReader& reader, JsonToken& token) { return reader.next(token); }

Status skip_value(JsonReader& reader) {
  JsonToken token;
  if (Status error = next_value(reader, token); !error.ok()) return error;
  return reader.skip_rest_of_value(token);
}

constexpr std::string_view EXTERNAL_PROCESS = "struct ExternalProcess";

Status external_process_from_object(JsonReader& reader, ExternalProcess& out) {
  bool seen_pid = false;
  bool seen_start_time = false;
  JsonToken token;
  while (true) {
    if (Status error = next_value(reader, token); !error.ok()) return error;
    if (token.kind == JsonKind::EndObject) break;
    const bool is_pid = token.text == "pid";
    const bool is_start_time = token.text == "startTimeMs";
    if (!is_pid && !is_start_time) {
      if (Status error = skip_value(reader); !error.ok()) return error;
      continue;
    }
    bool& seen = is_pid ? seen_pid : seen_start_time;
    if (seen) return Status::error(duplicate_field(is_pid ? "pid" : "startTimeMs"));
    seen = true;
    if (Status error = next_value(reader, token); !error.ok()) return error;
    Status error = is_pid ? to_u32(token, out.pid) : to_optional_u64(token, out.startTimeMs);
    if (!error.ok()) return error;
  }
  if (!seen_pid) return Status::error(missing_field("pid"));
  return Status();
}

Status external_process_from_array(JsonReader& reader, ExternalProcess& out) {
  size_t count = 0;
  JsonToken token;
  while (true) {
    if (Status error = next_value(reader, token); !error.ok()) return error;
    if (token.kind == JsonKind::EndArray) break;
    Status error;
    if (count == 0) {
      error = to_u32(token, out.pid);
    } else if (count == 1) {
      error = to_optional_u64(token, out.startTimeMs);
    } else {
      error = reader.skip_rest_of_value(token);
    }
    if (!error.ok()) return error;
    ++count;
  }
  if (count == 0) return Status::error(invalid_length(0, "struct ExternalProcess with 2 elements"));
  if (count > 2) return Status::error(invalid_length(count, elements_in_sequence(2)));
  return Status();
}

Status to_external_process(JsonReader& reader, const JsonToken& first, ExternalProcess& out) {
  if (first.kind == JsonKind::BeginObject) return external_process_from_object(reader, out);
  if (first.kind == JsonKind::BeginArray) return external_process_from_array(reader, out);
  return Status::error(invalid_type(first, EXTERNAL_PROCESS));
}

Status to_process_list(JsonReader& reader, const JsonToken& first,
                       std::vector<ExternalProcess>& out) {
  if (first.kind != JsonKind::BeginArray) return Status::error(invalid_type(first, "a sequence"));
  JsonToken token;
  while (true) {
    if (Status error = next_value(reader, token); !error.ok()) return error;
    if (token.kind == JsonKind::EndArray) return Status();
    ExternalProcess process;
    if (Status error = to_external_process(reader, token, process); !error.ok()) return error;
    out.push_back(process);
  }
}

Status convert_field(Field field, std::string_view value_text, FieldValues& values) {
  JsonReader reader(value_text);
  JsonToken token;
  if (Status error = next_value(reader, token); !error.ok()) return error;
  switch (field) {
    case Field::Version:
      return to_u32(token, values.version);
    case Field::RootPid:
      return to_u32(token, values.root_pid);
    case Field::SampleIntervalMs:
      return to_u64(token, values.sample_interval_ms);
    case Field::WindowMs:
      return to_u64(token, values.window_ms);
    case Field::Enabled:
      if (token.kind != JsonKind::True && token.kind != JsonKind::False) {
        return Status::error(invalid_type(token, "a boolean"));
      }
      values.enabled = token.kind == JsonKind::True;
      return Status();
    case Field::RequestId:
      if (token.kind != JsonKind::String) return Status::error(invalid_type(token, "a string"));
      values.request_id = std::string(token.text);
      return Status();
    case Field::ExternalProcesses:
    case Field::Processes:
      return to_process_list(reader, token, values.processes);
  }
  return Status();
}

std::string_view text_of(std::string_view line, Span span) {
  return line.substr(span.begin, span.end - span.begin);
}

Status convert_members(std::string_view line, const HeldCommand& held, FieldValues& values) {
  const VariantShape& shape = shape_of(held.variant);
  for (size_t i = 0; i < held.member_count; ++i) {
    const HeldMember& member = held.members[i];
    if (!has_field(shape, member.field)) continue;
    bool& seen = values.seen[static_cast<size_t>(member.field)];
    if (seen) return Status::error(duplicate_field(name_of(member.field)));
    seen = true;
    if (Status error = convert_field(member.field, text_of(line, member.value), values);
        !error.ok())
      return error;
  }
  for (size_t i = 0; i < shape.field_count; ++i) {
    const Field field = shape.fields[i];
    if (!values.seen[static_cast<size_t>(field)] && !is_optional(field)) {
      return Status::error(missing_field(name_of(field)));
    }
  }
  return Status();
}

Status convert_elements(std::string_view line, const HeldCommand& held, FieldValues& values) {
  const VariantShape& shape = shape_of(held.variant);
  for (size_t i = 0; i < shape.field_count; ++i) {
    const Field field = shape.fields[i];
    if (i >= held.element_count) {
      if (is_optional(field)) break;
      return Status::error(invalid_length(held.element_count, shape.too_few_elements));
    }
    if (Status error = convert_field(field, text_of(line, held.elements[i]), values); !error.ok())
      return error;
  }
  if (held.element_count > shape.field_count) {
    return Status::error(
        invalid_length(held.element_count, elements_in_sequence(shape.field_count)));
  }
  return Status();
}

Command build(Variant variant, FieldValues&& values) {
  switch (variant) {
    case Variant::Configure:
      return Configure{values.version, values.root_pid, values.sample_interval_ms,
                       std::move(values.processes)};
    case Variant::SetExternalProcesses:
      return SetExternalProcesses{values.version, std::move(values.processes)};
    case Variant::SetSampleInterval:
      return SetSampleInterval{values.version, values.sample_interval_ms};
    case Variant::SetStreaming:
      return SetStreaming{values.version, values.enabled};
    case Variant::SampleNow:
      return SampleNow{values.version, std::move(values.request_id)};
    case Variant::ReadHistory:
      return ReadHistory{values.version, std::move(values.request_id), values.window_ms};
    case Variant::Shutdown:
      break;
  }
  return Shutdown{values.version};
}

}  // namespace

ParseResult parse_command(std::string_view line) {
  JsonReader reader(line);
  Stage1Result stage1 = read_command(reader);
  if (auto* rejection = std::get_if<Rejection>(&stage1)) return std::move(*rejection);
  const HeldCommand& held = std::get<HeldCommand>(stage1);

  FieldValues values;
  Status error =
      held.array_form ? convert_elements(line, held, values) : convert_members(line, held, values);
  if (!error.ok()) return Rejection{std::string(error.message())};

  if (Status trailing = reader.finish(); !trailing.ok()) return syntax_rejection(trailing);
  return build(held.variant, std::move(values));
}

}  // namespace treemon
