#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "base/build_target.h"
#include "protocol/events.h"
#include "recorder/options.h"
#include "recorder/run.h"

namespace {

using namespace treemon::recorder;

int answer(const ParsedArguments& parsed) {
  if (std::holds_alternative<ShowHelp>(parsed)) {
    std::printf("%.*s\n", static_cast<int>(USAGE.size()), USAGE.data());
    return 0;
  }
  if (std::holds_alternative<ShowVersion>(parsed)) {
    std::printf("treemon-watch %.*s (%.*s %.*s)\n",
                static_cast<int>(treemon::SIDECAR_VERSION.size()), treemon::SIDECAR_VERSION.data(),
                static_cast<int>(treemon::platform_name().size()), treemon::platform_name().data(),
                static_cast<int>(treemon::architecture_name().size()),
                treemon::architecture_name().data());
    return 0;
  }
  const std::string& message = std::get<UsageError>(parsed).message;
  std::fprintf(stderr, "treemon-watch: %s\n%.*s\n", message.c_str(), static_cast<int>(USAGE.size()),
               USAGE.data());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParsedArguments parsed = parse_arguments(arguments);
  if (const auto* options = std::get_if<RecorderOptions>(&parsed)) return run(*options);
  return answer(parsed);
}
