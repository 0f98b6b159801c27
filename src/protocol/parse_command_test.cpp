#include "protocol/parse_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace treemon {
namespace {

const std::string UNKNOWN_TAIL =
    "`, expected one of `configure`, `setExternalProcesses`, `setSampleInterval`, `setStreaming`, "
    "`sampleNow`, `readHistory`, `shutdown`";

std::string rejection_of(std::string_view line) {
  const ParseResult result = parse_command(line);
  if (const auto* rejection = std::get_if<Rejection>(&result)) return rejection->text;
  return "(parsed)";
}

Command command_of(std::string_view line) {
  ParseResult result = parse_command(line);
  if (const auto* rejection = std::get_if<Rejection>(&result)) {
    ADD_FAILURE() << "rejected: " << line << "\n  with: " << rejection->text;
    return Shutdown{};
  }
  return std::get<Command>(std::move(result));
}

struct RejectionCase {
  std::string line;
  std::string expected;
};

void expect_rejections(const std::vector<RejectionCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(rejection_of(c.line), c.expected) << "line: " << c.line;
}

struct ParseCase {
  std::string line;
  Command expected;
};

void expect_commands(const std::vector<ParseCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(command_of(c.line), c.expected) << "line: " << c.line;
}

std::string nested_arrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// The documented examples, each with its whole rejection text.
TEST(ParseCommand, DocumentedExamples) {
  expect_rejections({
      {R"({"type":"reboot","version":2})",
       "unknown variant `reboot" + UNKNOWN_TAIL + " at line 1 column 16"},
      {R"({"version":2})", "missing field `type` at line 1 column 13"},
      {R"({"type":"shutdown","version":2} x)", "trailing characters at line 1 column 33"},
      {R"({"type":"shutdown")", "EOF while parsing an object at line 1 column 18"},
      {R"({"type":"readHistory","version":2,"requestId":"r1"})", "missing field `windowMs`"},
      {R"({"type":"configure","version":2,"rootPid":"2","sampleIntervalMs":1000})",
       "invalid type: string \"2\", expected u32"},
  });
}

// Every variant in both forms, fields in any order, unknown members ignored.
TEST(ParseCommand, ValidCommands) {
  expect_commands({
      {R"({"type":"configure","version":2,"rootPid":1234,"sampleIntervalMs":1000})",
       Configure{2, 1234, 1000, {}}},
      {R"({"version":2,"sampleIntervalMs":0,"externalProcesses":[{"pid":10,"startTimeMs":99},[11],[12,null],{"pid":10}],"rootPid":1,"type":"configure"})",
       Configure{2, 1, 0, {{10, 99}, {11, std::nullopt}, {12, std::nullopt}, {10, std::nullopt}}}},
      {R"({"type":"setExternalProcesses","version":2,"processes":[]})",
       SetExternalProcesses{2, {}}},
      {R"({"type":"setExternalProcesses","version":2,"processes":[[7,8]],"externalProcesses":5})",
       SetExternalProcesses{2, {{7, 8}}}},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":18446744073709551615})",
       SetSampleInterval{2, 18446744073709551615u}},
      {R"({"type":"setStreaming","version":2,"enabled":true})", SetStreaming{2, true}},
      {R"({"enabled":false,"type":"setStreaming","version":2})", SetStreaming{2, false}},
      {R"({"type":"sampleNow","version":2,"requestId":"r\u0031\n\u00e9"})",
       SampleNow{2, "r1\n\xC3\xA9"}},
      {R"({"type":"readHistory","version":2,"requestId":"","windowMs":3600000})",
       ReadHistory{2, "", 3600000}},
      {R"({"type":"shutdown","version":3})", Shutdown{3}},
      {R"({"type":"shutdown","version":2,"extra":{"a":[1,2]}})", Shutdown{2}},
      {R"({"type":"shutdown","version":2,"Version":"x","rootPid":"ignored","enabled":[]})",
       Shutdown{2}},
      {R"({"typ\u0065":"shut\u0064own","version":2})", Shutdown{2}},
      {" \t{ \"type\" : \"shutdown\" , \"version\" : 2 } \t\r", Shutdown{2}},
      {R"(["shutdown",2])", Shutdown{2}},
      {R"(["configure",2,1234,1000])", Configure{2, 1234, 1000, {}}},
      {R"(["configure",2,1234,1000,[[5,6],{"pid":7}]])",
       Configure{2, 1234, 1000, {{5, 6}, {7, std::nullopt}}}},
      {R"(["setExternalProcesses",2,[]])", SetExternalProcesses{2, {}}},
      {R"(["setSampleInterval",2,250])", SetSampleInterval{2, 250}},
      {R"(["setStreaming",2,true])", SetStreaming{2, true}},
      {R"(["sampleNow",2,"id"])", SampleNow{2, "id"}},
      {R"(["readHistory",2,"id",0])", ReadHistory{2, "id", 0}},
      {R"({"type":"configure","version":4294967295,"rootPid":4294967295,"sampleIntervalMs":0})",
       Configure{4294967295u, 4294967295u, 0, {}}},
  });
}

// Stage-1 tag errors carry the position of the tag; they win over anything later in the line.
TEST(ParseCommand, TagErrors) {
  expect_rejections({
      {R"({"type":"nope",)", "unknown variant `nope" + UNKNOWN_TAIL + " at line 1 column 14"},
      {R"({"type":"nope")", "unknown variant `nope" + UNKNOWN_TAIL + " at line 1 column 14"},
      {R"({"version":2,"type":"Shutdown"})",
       "unknown variant `Shutdown" + UNKNOWN_TAIL + " at line 1 column 30"},
      {R"({"type":"a\"b\u0001"})",
       "unknown variant `a\"b\x01" + UNKNOWN_TAIL + " at line 1 column 20"},
      {R"({"type":""})", "unknown variant `" + UNKNOWN_TAIL + " at line 1 column 10"},
      {R"(["reboot"])", "unknown variant `reboot" + UNKNOWN_TAIL + " at line 1 column 9"},
      {R"({"type":5})",
       "invalid type: integer `5`, expected variant identifier at line 1 column 9"},
      {R"({"type":null,"version":2})",
       "invalid type: null, expected variant identifier at line 1 column 12"},
      {R"({"type":-1.5e0 })",
       "invalid type: floating point `-1.5`, expected variant identifier at line 1 column 14"},
      {R"({"type":[1,)", "invalid type: sequence, expected variant identifier at line 1 column 9"},
      {R"({"type": {"a":1}})",
       "invalid type: map, expected variant identifier at line 1 column 10"},
      {R"([true,2])",
       "invalid type: boolean `true`, expected variant identifier at line 1 column 5"},
      {R"([[],2])", "invalid type: sequence, expected variant identifier at line 1 column 2"},
      {R"({"Type":"shutdown","version":2})", "missing field `type` at line 1 column 31"},
      {R"({"version":2}  )", "missing field `type` at line 1 column 13"},
      {R"({})", "missing field `type` at line 1 column 2"},
      {R"([])", "missing field `type` at line 1 column 2"},
      {R"(  [ ] )", "missing field `type` at line 1 column 5"},
      {R"({"type":"shutdown","version":2,"type":"shutdown"})",
       "duplicate field `type` at line 1 column 37"},
      {R"({"type":"shutdown","type":)", "duplicate field `type` at line 1 column 25"},
      {R"({"type":"shutdown","version":"bad","type":"shutdown"})",
       "duplicate field `type` at line 1 column 41"},
      // A syntax error before the tag is found first.
      {R"({"version":x,"type":"nope"})", "expected value at line 1 column 12"},
      {R"({"version":2 "type":"nope"})", "expected `,` or `}` at line 1 column 14"},
  });
}

// Any top-level value but an object or an array is an invalid type, at its last byte.
TEST(ParseCommand, TopLevelValue) {
  expect_rejections({
      {R"("abc")",
       "invalid type: string \"abc\", expected internally tagged enum Command at line 1 column 5"},
      {"  12 ",
       "invalid type: integer `12`, expected internally tagged enum Command at line 1 column 4"},
      {"-3",
       "invalid type: integer `-3`, expected internally tagged enum Command at line 1 column 2"},
      {"1e3",
       "invalid type: floating point `1000.0`, expected internally tagged enum Command at line 1 "
       "column 3"},
      {"true",
       "invalid type: boolean `true`, expected internally tagged enum Command at line 1 column 4"},
      {"false x",
       "invalid type: boolean `false`, expected internally tagged enum Command at line 1 column 5"},
      {"null", "invalid type: null, expected internally tagged enum Command at line 1 column 4"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"x", "expected value at line 1 column 1"},
      {"\xC2\xA0{\"type\":\"shutdown\",\"version\":2}", "expected value at line 1 column 1"},
      {"{\"type\":\"shutdown\",\"version\":2}\xC2\xA0", "trailing characters at line 1 column 32"},
      {"{\"type\":\"shutdown\",\"version\":2}{}", "trailing characters at line 1 column 32"},
      {"[\"shutdown\",2]]", "trailing characters at line 1 column 15"},
  });
}

// Field conversions: every expected text and every kind of received value.
TEST(ParseCommand, FieldConversionErrors) {
  const auto configure = [](const std::string& root_pid) {
    return R"({"type":"configure","version":2,"rootPid":)" + root_pid +
           R"(,"sampleIntervalMs":1000})";
  };
  expect_rejections({
      {configure("-1"), "invalid value: integer `-1`, expected u32"},
      {configure("4294967296"), "invalid value: integer `4294967296`, expected u32"},
      {configure("-9223372036854775808"),
       "invalid value: integer `-9223372036854775808`, expected u32"},
      {configure("1.5"), "invalid type: floating point `1.5`, expected u32"},
      {configure("1.0"), "invalid type: floating point `1.0`, expected u32"},
      {configure("1e3"), "invalid type: floating point `1000.0`, expected u32"},
      {configure("1e16"), "invalid type: floating point `1e+16`, expected u32"},
      {configure("0.000001"), "invalid type: floating point `1e-6`, expected u32"},
      {configure("null"), "invalid type: null, expected u32"},
      {configure("false"), "invalid type: boolean `false`, expected u32"},
      {configure("[1]"), "invalid type: sequence, expected u32"},
      {configure("{\"a\":1}"), "invalid type: map, expected u32"},
      {R"({"type":"shutdown","version":-0})", "invalid type: floating point `-0.0`, expected u32"},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":-5})",
       "invalid value: integer `-5`, expected u64"},
      {R"({"type":"setSampleInterval","version":2,"sampleIntervalMs":"5"})",
       "invalid type: string \"5\", expected u64"},
      {R"({"type":"readHistory","version":2,"requestId":"r","windowMs":true})",
       "invalid type: boolean `true`, expected u64"},
      {R"({"type":"setStreaming","version":2,"enabled":1})",
       "invalid type: integer `1`, expected a boolean"},
      {R"({"type":"setStreaming","version":2,"enabled":"true"})",
       "invalid type: string \"true\", expected a boolean"},
      {R"({"type":"sampleNow","version":2,"requestId":7})",
       "invalid type: integer `7`, expected a string"},
      {R"({"type":"sampleNow","version":2,"requestId":null})",
       "invalid type: null, expected a string"},
      {R"({"type":"sampleNow","version":2,"requestId":["r1"]})",
       "invalid type: sequence, expected a string"},
      {R"({"type":"setExternalProcesses","version":2,"processes":null})",
       "invalid type: null, expected a sequence"},
      {R"({"type":"setExternalProcesses","version":2,"processes":{}})",
       "invalid type: map, expected a sequence"},
      {R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":1,"externalProcesses":"x"})",
       "invalid type: string \"x\", expected a sequence"},
  });
}

// ExternalProcess in its object and array forms.
TEST(ParseCommand, ExternalProcessForms) {
  const auto with = [](const std::string& processes) {
    return R"({"type":"setExternalProcesses","version":2,"processes":)" + processes + "}";
  };
  expect_commands({
      {with(R"([{"pid":10,"startTimeMs":null}])"), SetExternalProcesses{2, {{10, std::nullopt}}}},
      {with(R"([{"pid":10}])"), SetExternalProcesses{2, {{10, std::nullopt}}}},
      {with(R"([{"startTimeMs":18446744073709551615,"pid":0,"name":"x"}])"),
       SetExternalProcesses{2, {{0, 18446744073709551615u}}}},
      {with(R"([[4294967295],[1,2],[3,null]])"),
       SetExternalProcesses{2, {{4294967295u, std::nullopt}, {1, 2}, {3, std::nullopt}}}},
      {with(R"([[1],[1],{"pid":1}])"),
       SetExternalProcesses{2, {{1, std::nullopt}, {1, std::nullopt}, {1, std::nullopt}}}},
  });
  expect_rejections({
      {with(R"([{"startTimeMs":5}])"), "missing field `pid`"},
      {with(R"([{"pid":1},{}])"), "missing field `pid`"},
      {with(R"([{"pid":1,"pid":2}])"), "duplicate field `pid`"},
      {with(R"([{"pid":1,"startTimeMs":null,"startTimeMs":3}])"), "duplicate field `startTimeMs`"},
      {with(R"([{"pid":-1}])"), "invalid value: integer `-1`, expected u32"},
      {with(R"([{"pid":1,"startTimeMs":-1}])"), "invalid value: integer `-1`, expected u64"},
      {with(R"([{"pid":1,"startTimeMs":1.5}])"),
       "invalid type: floating point `1.5`, expected u64"},
      {with(R"([{"pid":"1"},{"pid":-1}])"), "invalid type: string \"1\", expected u32"},
      {with(R"([[]])"), "invalid length 0, expected struct ExternalProcess with 2 elements"},
      {with(R"([[1,2,3]])"), "invalid length 3, expected 2 elements in sequence"},
      {with(R"([[1,2,3,4,5]])"), "invalid length 5, expected 2 elements in sequence"},
      {with(R"([["x",2,3]])"), "invalid type: string \"x\", expected u32"},
      {with(R"([[null]])"), "invalid type: null, expected u32"},
      {with(R"([5])"), "invalid type: integer `5`, expected struct ExternalProcess"},
      {with(R"([null])"), "invalid type: null, expected struct ExternalProcess"},
      {with(R"([[1],"p"])"), "invalid type: string \"p\", expected struct ExternalProcess"},
  });
}

// Stage 2 in the object form: member order, duplicates, required fields in declaration order.
TEST(ParseCommand, MemberRules) {
  expect_rejections({
      {R"({"type":"setExternalProcesses","version":2,"externalProcesses":[]})",
       "missing field `processes`"},
      {R"({"type":"configure"})", "missing field `version`"},
      {R"({"type":"configure","sampleIntervalMs":1})", "missing field `version`"},
      {R"({"type":"configure","version":2,"sampleIntervalMs":1})", "missing field `rootPid`"},
      {R"({"type":"configure","version":2,"rootPid":1})", "missing field `sampleIntervalMs`"},
      {R"({"type":"setStreaming","version":2})", "missing field `enabled`"},
      {R"({"type":"sampleNow","version":2})", "missing field `requestId`"},
      {R"({"type":"readHistory","windowMs":1})", "missing field `version`"},
      {R"({"type":"shutdown","version":2,"version":2})", "duplicate field `version`"},
      {R"({"type":"shutdown","version":"x","version":2})",
       "invalid type: string \"x\", expected u32"},
      {R"({"type":"shutdown","version":2,"version":"x"})", "duplicate field `version`"},
      {R"({"version":"x","type":"shutdown","version":"y","version":3})",
       "invalid type: string \"x\", expected u32"},
      // Field errors come in member order; missing fields only after all members.
      {R"({"type":"readHistory","windowMs":-1,"requestId":5})",
       "invalid value: integer `-1`, expected u64"},
      {R"({"type":"readHistory","requestId":5,"windowMs":-1})",
       "invalid type: integer `5`, expected a string"},
      {R"({"type":"readHistory","requestId":"r","requestId":"s"})", "duplicate field `requestId`"},
      // A member of another variant is ignored, however often it is repeated.
      {R"({"type":"shutdown","version":2,"rootPid":1,"rootPid":"x","rootPid":2})", "(parsed)"},
      {R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":2,"externalProcesses":[],"externalProcesses":[]})",
       "duplicate field `externalProcesses`"},
      // Stage-2 errors come before trailing characters; syntax errors before stage 2.
      {R"({"type":"shutdown"} x)", "missing field `version`"},
      {R"({"type":"shutdown","version":"x","extra":[1,})", "expected value at line 1 column 45"},
  });
}

// Stage 2 in the array form: fields by position and the invalid-length texts.
TEST(ParseCommand, ArrayFormLengths) {
  expect_rejections({
      {R"(["configure",2,1234])",
       "invalid length 2, expected struct variant Command::Configure with 4 elements"},
      {R"(["configure"])",
       "invalid length 0, expected struct variant Command::Configure with 4 elements"},
      {R"(["configure",2,1,2,[],5])", "invalid length 5, expected 4 elements in sequence"},
      {R"(["setExternalProcesses",2])",
       "invalid length 1, expected struct variant Command::SetExternalProcesses with 2 elements"},
      {R"(["setSampleInterval",2])",
       "invalid length 1, expected struct variant Command::SetSampleInterval with 2 elements"},
      {R"(["setStreaming"])",
       "invalid length 0, expected struct variant Command::SetStreaming with 2 elements"},
      {R"(["sampleNow",2])",
       "invalid length 1, expected struct variant Command::SampleNow with 2 elements"},
      {R"(["readHistory",2,"r"])",
       "invalid length 2, expected struct variant Command::ReadHistory with 3 elements"},
      {R"(["shutdown"])",
       "invalid length 0, expected struct variant Command::Shutdown with 1 element"},
      {R"(["shutdown",2,3])", "invalid length 2, expected 1 element in sequence"},
      {R"(["shutdown",2,3,4,5,6,7])", "invalid length 6, expected 1 element in sequence"},
      {R"(["setStreaming",2,true,false])", "invalid length 3, expected 2 elements in sequence"},
      {R"(["readHistory",2,"r",1,{}])", "invalid length 4, expected 3 elements in sequence"},
      // Conversions come first, in order; the length is checked after them.
      {R"(["shutdown","2",3])", "invalid type: string \"2\", expected u32"},
      {R"(["configure",2,-1])", "invalid value: integer `-1`, expected u32"},
      {R"(["configure",2,1,2,[{}]])", "missing field `pid`"},
  });
}

// A received string is quoted with its special and non-printable characters escaped.
TEST(ParseCommand, ReceivedStringText) {
  const auto as_pid = [](const std::string& json_string) {
    return rejection_of(R"({"type":"configure","version":2,"sampleIntervalMs":1,"rootPid":)" +
                        json_string + "}");
  };
  const struct {
    std::string json_string;
    std::string described;
  } cases[] = {
      {R"("a\\b\"c")", R"(string "a\\b\"c")"},
      {R"("\t\r\n\u0000")", R"(string "\t\r\n\0")"},
      {R"("\b\f\u0001\u001f\u007f\u0085")", R"(string "\u{8}\u{c}\u{1}\u{1f}\u{7f}\u{85}")"},
      {R"("\u00a0\u2028\u2029\u200b\ufeff\u3000")",
       R"(string "\u{a0}\u{2028}\u{2029}\u{200b}\u{feff}\u{3000}")"},
      {R"("\ue000\uffff\udbff\udfff")", R"(string "\u{e000}\u{ffff}\u{10ffff}")"},
      {"\"/ ' \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 e\xCC\x81\"",
       "string \"/ ' \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 e\xCC\x81\""},
      {"\"\xEF\xBF\xBD\"", "string \"\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(as_pid(c.json_string), "invalid type: " + c.described + ", expected u32")
        << c.json_string;
  }
}

// Nesting: the command object is level 1, so an ignored member may hold 126 nested arrays.
TEST(ParseCommand, DepthLimit) {
  const std::string head = R"({"type":"shutdown","version":2,"extra":)";
  EXPECT_EQ(command_of(head + nested_arrays(126) + "}"), Command{Shutdown{2}});
  EXPECT_EQ(rejection_of(head + nested_arrays(127) + "}"),
            "recursion limit exceeded at line 1 column " + std::to_string(head.size() + 127));
  EXPECT_EQ(rejection_of(R"(["shutdown",2,)" + nested_arrays(127) + "]"),
            "recursion limit exceeded at line 1 column 141");
  // Deep nesting is checked even before the tag is known.
  EXPECT_EQ(rejection_of("{\"x\":" + nested_arrays(500) + "}"),
            "recursion limit exceeded at line 1 column 132");
}

// Long lines parse in one pass, without recursion and with flat memory for ignored members.
TEST(ParseCommand, LongLines) {
  std::string processes;
  for (int i = 0; i < 100000; ++i) processes += (i ? ",[" : "[") + std::to_string(i) + "]";
  const Command parsed =
      command_of(R"({"type":"setExternalProcesses","version":2,"processes":[)" + processes + "]}");
  ASSERT_TRUE(std::holds_alternative<SetExternalProcesses>(parsed));
  EXPECT_EQ(std::get<SetExternalProcesses>(parsed).processes.size(), 100000u);
  EXPECT_EQ(std::get<SetExternalProcesses>(parsed).processes.back().pid, 99999u);

  std::string repeated = R"({"type":"shutdown")";
  for (int i = 0; i < 200000; ++i) repeated += R"(,"rootPid":1)";
  EXPECT_EQ(command_of(repeated + R"(,"version":2})"), Command{Shutdown{2}});

  const std::string id(3'000'000, 'r');
  EXPECT_EQ(command_of(R"({"type":"sampleNow","version":2,"requestId":")" + id + "\"}"),
            (Command{SampleNow{2, id}}));
}

}  // namespace
}  // namespace treemon
