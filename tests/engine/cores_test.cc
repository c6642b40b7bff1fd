#include "cores.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace morvo {
namespace {

namespace fs = std::filesystem;

// Files of a fake root as (relative path, text) pairs; an empty text writes no file.
using Files = std::vector<std::pair<std::string, std::string>>;

// The quota read from a fake root holding just `files`.
std::optional<uint64_t> quotaOf(const Files& files) {
  fs::path root = fs::temp_directory_path() / ("morvo-cores-" + std::to_string(getpid()));
  fs::remove_all(root);
  for (const auto& [relative, text] : files) {
    if (text.empty()) continue;
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative) << text;
  }
  std::optional<uint64_t> quota = cgroupQuota(root);
  fs::remove_all(root);
  return quota;
}

// A version-2 group /a/b with the given cpu.max at the root, a and a/b.
Files v2(const char* top, const char* a, const char* ab) {
  return {{"proc/self/cgroup", "0::/a/b\n"}, {"sys/fs/cgroup/a/b/cgroup.controllers", "cpu\n"},
          {"sys/fs/cgroup/cpu.max", top}, {"sys/fs/cgroup/a/cpu.max", a}, {"sys/fs/cgroup/a/b/cpu.max", ab}};
}

// A version-1 group /p/g under `mount`, with the group's and its parent's quota.
Files v1(const std::string& mount, const char* group, const char* parent, const char* cgroup = "4:cpu:/p/g\n") {
  return {{"proc/self/cgroup", cgroup}, {mount + "/p/g/cpu.cfs_quota_us", group},
          {mount + "/p/g/cpu.cfs_period_us", "100000\n"}, {mount + "/p/cpu.cfs_quota_us", parent},
          {mount + "/p/cpu.cfs_period_us", "100000\n"}};
}

Files plus(Files files, const Files& more) {
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

struct QuotaCase {
  const char* name;
  Files files;
  std::optional<uint64_t> quota = std::nullopt;  // none: nothing bounds the process
};

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, TakesTightestLevel) { EXPECT_EQ(quotaOf(GetParam().files), GetParam().quota); }

INSTANTIATE_TEST_SUITE_P(
    Grid, CgroupQuota,
    ::testing::Values(
        QuotaCase{"no_proc_file", {}},
        QuotaCase{"v2_parent_tighter", v2("", "200000 100000\n", "600000 100000\n"), 2},
        QuotaCase{"v2_root_level_counts", v2("100000 100000\n", "", "600000 100000\n"), 1},
        QuotaCase{"v2_below_one_core_is_one", v2("", "", "50000 100000\n"), 1},
        QuotaCase{"v2_max_is_no_bound", v2("", "", "max 100000\n")},
        QuotaCase{"v2_max_skipped_for_parent", v2("", "300000 100000\n", "max 100000\n"), 3},
        QuotaCase{"v2_zero_period_ignored", v2("", "", "100000 0\n")},
        QuotaCase{"v2_only_first_line", v2("", "", "max 100000\n100000 100000\n")},
        QuotaCase{"v2_garbage_ignored", v2("", "", "12a 100000\n")},
        QuotaCase{"v2_needs_controllers_file", {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/cpu.max", "1 1"}}},
        // A tight cpu.max outside the hierarchy must not be read through "..".
        QuotaCase{"v2_dotdot_escape_not_followed",
                  {{"proc/self/cgroup", "0::/../../../outside\n"}, {"outside/cgroup.controllers", "cpu\n"},
                   {"outside/cpu.max", "1 1\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"}}},
        QuotaCase{"v1_parent_minus_one", v1("sys/fs/cgroup/cpu", "200000\n", "-1\n"), 2},
        QuotaCase{"v1_cpu_cpuacct_parent_tighter", v1("sys/fs/cgroup/cpu,cpuacct", " 500000 \n", "300000\n"), 3},
        QuotaCase{"v1_minus_one_is_no_bound", v1("sys/fs/cgroup/cpu", "-1\n", "-1\n")},
        QuotaCase{"v1_mountinfo_escaped_point",
                  plus(v1("custom/cpu ctl", "200000\n", "-1\n", "7:memory:/x\n4:cpuacct,cpu:/p/g\n"),
                       {{"proc/self/mountinfo",
                         "20 1 0:18 / /sys/fs/cgroup/memory rw shared:7 - cgroup cgroup rw,memory\n"
                         "21 1 0:19 / /custom/cpu\\040ctl rw shared:8 master:2 - cgroup cgroup rw,cpuacct,cpu\n"}}),
                  2},
        QuotaCase{"v1_precedes_v2",
                  plus(v2("", "", "100000 100000\n"),
                       v1("sys/fs/cgroup/cpu", "300000\n", "-1\n", "0::/a/b\n4:cpu,cpuacct:/p/g\n")),
                  3},
        QuotaCase{"v1_first_usual_mount_wins",
                  plus(v1("sys/fs/cgroup/cpu", "-1\n", "-1\n"), v1("sys/fs/cgroup/cpu,cpuacct", "100000\n", "-1\n"))},
        // The mount shows the hierarchy from /p down, so group /p/g lives at <mount>/g.
        QuotaCase{"v1_bind_mount_subtree_stripped",
                  {{"proc/self/cgroup", "4:cpu:/p/g\n"}, {"mnt/cg/g/cpu.cfs_quota_us", "2"},
                   {"mnt/cg/g/cpu.cfs_period_us", "1"},
                   {"proc/self/mountinfo", "30 1 0:19 /p /mnt/cg rw - cgroup cgroup rw,cpu\n"}},
                  2},
        QuotaCase{"v1_cpuset_is_not_cpu", v1("sys/fs/cgroup/cpu", "100000\n", "-1\n", "3:cpuset:/p/g\n")}),
    [](const auto& info) { return std::string(info.param.name); });

using CoresCase = std::tuple<std::optional<uint64_t>, unsigned, long, unsigned>;
class CoresRule : public ::testing::TestWithParam<CoresCase> {};

TEST_P(CoresRule, PicksAffinityThenOnlineCappedByQuota) {
  auto [quota, affinity, online, expected] = GetParam();
  EXPECT_EQ(coresFrom(quota, affinity, online), expected);
}

INSTANTIATE_TEST_SUITE_P(Grid, CoresRule,
                         ::testing::Values(CoresCase{std::nullopt, 6, 64, 6}, CoresCase{4, 6, 64, 4},
                                           CoresCase{8, 6, 64, 6}, CoresCase{std::nullopt, 0, 12, 12},
                                           CoresCase{3, 0, 12, 3}, CoresCase{std::nullopt, 0, -1, 1},
                                           CoresCase{2, 0, 0, 1}, CoresCase{0, 6, 64, 1},
                                           CoresCase{std::nullopt, 0, LONG_MAX, UINT_MAX}));

TEST(Cores, QuotaCapsProcessorCountEndToEnd) {
  EXPECT_EQ(coresFrom(quotaOf(v2("", "", "150000 100000\n")), 8, 8), 1u);
  EXPECT_EQ(coresFrom(quotaOf(v2("", "", "max 100000\n")), 8, 8), 8u);
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(availableCores(), coresFrom(cgroupQuota("/"), CPU_COUNT(&set), 0));
}

}  // namespace
}  // namespace morvo
