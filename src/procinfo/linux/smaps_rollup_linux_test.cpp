#include "procinfo/linux/smaps_rollup_linux.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace treemon::linux_proc {
namespace {

constexpr const char* HEADER = "55d0c0a2d000-7ffd4b5fe000 ---p 00000000 00:00 0   [rollup]\n";

struct RollupCase {
  const char* what;
  std::string text;
  std::optional<SmapsRollup> expected;
};

// Each case: the file's text and what it gives, in bytes.
const RollupCase ROLLUP_CASES[] = {
    {"a kernel of today",
     std::string(HEADER) +
         "Rss:                1588 kB\nPss:                 179 kB\nPss_Dirty:           108 kB\n"
         "Pss_Anon:            108 kB\nPss_File:             71 kB\nShared_Clean:       1444 kB\n"
         "Swap:                  0 kB\nSwapPss:               0 kB\n",
     SmapsRollup{1588 * 1024, 179 * 1024}},
    {"an older kernel, without the Pss_ breakdown",
     std::string(HEADER) + "Rss:  8 kB\nPss:  4 kB\nShared_Clean:  4 kB\n",
     SmapsRollup{8 * 1024, 4 * 1024}},
    {"Pss_ lines before Pss do not stand for it",
     std::string(HEADER) + "Pss_Anon: 7 kB\nRss: 9 kB\nPss: 3 kB\n",
     SmapsRollup{9 * 1024, 3 * 1024}},
    {"tabs before the number, no newline at the end", "Rss:\t2 kB\nPss:\t1 kB",
     SmapsRollup{2048, 1024}},
    {"no address space", "", SmapsRollup{}},
    {"a value beyond 64 bits in bytes saturates", "Rss: 18014398509481984 kB\nPss: 1 kB\n",
     SmapsRollup{UINT64_MAX, 1024}},
    {"no Pss line", std::string(HEADER) + "Rss: 8 kB\n", std::nullopt},
    {"only Pss_ lines", "Rss: 8 kB\nPss_Anon: 4 kB\n", std::nullopt},
    {"a unit other than kB", "Rss: 8 kB\nPss: 4 MB\n", std::nullopt},
    {"no number", "Rss: 8 kB\nPss: kB\n", std::nullopt},
    {"a negative number", "Rss: 8 kB\nPss: -4 kB\n", std::nullopt},
    {"a number beyond 64 bits", "Rss: 8 kB\nPss: 99999999999999999999 kB\n", std::nullopt},
    {"a line cut short", "Rss: 8 kB\nPss: 4", std::nullopt},
};

TEST(SmapsRollup, TableOfTexts) {
  for (const RollupCase& c : ROLLUP_CASES) {
    EXPECT_EQ(parse_smaps_rollup(c.text), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace treemon::linux_proc
