// The pids of a children file, however the kernel spaces them.
#include "procinfo/linux/tree_listing_linux.h"

#include <gtest/gtest.h>

namespace treemon::linux_proc {
namespace {

TEST(TreeListing, ParsesChildrenFiles) {
  // [text, pids]
  const std::vector<std::pair<std::string, std::vector<uint32_t>>> cases = {
      {"", {}}, {"12 ", {12}}, {"12 345 6", {12, 345, 6}}, {"7\n", {7}}, {"  8  9 ", {8, 9}}};
  for (const auto& [text, pids] : cases) {
    std::vector<uint32_t> out = {1};
    parse_children(text, out);
    std::vector<uint32_t> expected = {1};
    expected.insert(expected.end(), pids.begin(), pids.end());
    EXPECT_EQ(out, expected) << "'" << text << "'";
  }
}

}  // namespace
}  // namespace treemon::linux_proc
