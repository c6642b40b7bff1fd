#include "cores.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>

namespace morvo {
namespace {

namespace fs = std::filesystem;

// A fake root with just the files a test writes, removed afterwards.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = "morvo-cores-" + std::to_string(getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    root = fs::temp_directory_path() / name;
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }

  void write(const std::string& relative, const std::string& text) {
    fs::path path = root / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  // A version-2 group "a/b" whose levels hold the given cpu.max texts
  // (empty: no file at that level).
  void v2Tree(const std::string& top, const std::string& a, const std::string& ab) {
    write("proc/self/cgroup", "0::/a/b\n");
    write("sys/fs/cgroup/a/b/cgroup.controllers", "cpu memory\n");
    if (!top.empty()) write("sys/fs/cgroup/cpu.max", top);
    if (!a.empty()) write("sys/fs/cgroup/a/cpu.max", a);
    if (!ab.empty()) write("sys/fs/cgroup/a/b/cpu.max", ab);
  }

  fs::path root;
};

TEST_F(FakeRoot, MissingProcFileMeansNoBound) { EXPECT_EQ(cgroupQuota(root), std::nullopt); }

struct V2Case {
  const char* name;
  const char* top;
  const char* a;
  const char* ab;
  std::optional<uint64_t> quota;
};

class V2Quota : public FakeRoot, public ::testing::WithParamInterface<V2Case> {};

TEST_P(V2Quota, TakesTightestParsableLevel) {
  const V2Case& c = GetParam();
  v2Tree(c.top, c.a, c.ab);
  EXPECT_EQ(cgroupQuota(root), c.quota);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, V2Quota,
    ::testing::Values(V2Case{"own_level", "", "", "400000 100000\n", 4},
                      V2Case{"parent_tighter", "", "200000 100000\n", "600000 100000\n", 2},
                      V2Case{"root_level_counts", "100000 100000\n", "", "600000 100000\n", 1},
                      V2Case{"fraction_rounds_down", "", "", "150000 100000\n", 1},
                      V2Case{"below_one_core_counts_as_one", "", "", "50000 100000\n", 1},
                      V2Case{"max_sets_no_bound", "", "", "max 100000\n", std::nullopt},
                      V2Case{"max_skipped_parent_bounds", "", "300000 100000\n", "max 100000\n", 3},
                      V2Case{"zero_period_ignored", "", "", "100000 0\n", std::nullopt},
                      V2Case{"only_first_line_read", "", "", "max 100000\n100000 100000\n", std::nullopt},
                      V2Case{"garbage_ignored", "", "", "12a 100000\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeRoot, V2WithoutControllersFileIsNotRead) {
  write("proc/self/cgroup", "0::/a\n");
  write("sys/fs/cgroup/a/cpu.max", "100000 100000\n");
  EXPECT_EQ(cgroupQuota(root), std::nullopt);
}

TEST_F(FakeRoot, GroupPathClimbingOutOfHierarchyIsNotFollowed) {
  // A tight cpu.max outside the hierarchy must not be read through "..".
  write("proc/self/cgroup", "0::/../../../outside\n");
  write("outside/cgroup.controllers", "cpu\n");
  write("outside/cpu.max", "100000 100000\n");
  write("sys/fs/cgroup/cgroup.controllers", "cpu\n");
  EXPECT_EQ(cgroupQuota(root), std::nullopt);
}

TEST_F(FakeRoot, V1LineTakesPrecedenceOverV2Line) {
  v2Tree("", "", "100000 100000\n");
  write("proc/self/cgroup", "0::/a/b\n4:cpu,cpuacct:/legacy\n");
  write("sys/fs/cgroup/cpu/legacy/cpu.cfs_quota_us", "300000\n");
  write("sys/fs/cgroup/cpu/legacy/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroupQuota(root), 3u);
}

struct V1Case {
  const char* name;
  const char* mount;  // directory under the root that holds the hierarchy
  const char* groupQuota;
  const char* parentQuota;
  std::optional<uint64_t> quota;
};

class V1Quota : public FakeRoot, public ::testing::WithParamInterface<V1Case> {};

TEST_P(V1Quota, TakesTightestLevelUnderFirstMountHoldingGroup) {
  const V1Case& c = GetParam();
  write("proc/self/cgroup", "7:memory:/x\n4:cpuacct,cpu:/p/g\n");
  write("proc/self/mountinfo",
        "20 1 0:18 / /sys/fs/cgroup/memory rw shared:7 - cgroup cgroup rw,memory\n"
        "21 1 0:19 / /custom/cpu\\040ctl rw shared:8 master:2 - cgroup cgroup rw,cpuacct,cpu\n");
  std::string mount = c.mount;
  write(mount + "/p/g/cpu.cfs_quota_us", c.groupQuota);
  write(mount + "/p/g/cpu.cfs_period_us", "100000\n");
  write(mount + "/p/cpu.cfs_quota_us", c.parentQuota);
  write(mount + "/p/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroupQuota(root), c.quota);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, V1Quota,
    ::testing::Values(V1Case{"cpu_dir", "sys/fs/cgroup/cpu", "200000\n", "-1\n", 2},
                      V1Case{"cpu_cpuacct_dir", "sys/fs/cgroup/cpu,cpuacct", " 500000 \n", "300000\n", 3},
                      V1Case{"mountinfo_escaped_point", "custom/cpu ctl", "200000\n", "-1\n", 2},
                      V1Case{"minus_one_sets_no_bound", "sys/fs/cgroup/cpu", "-1\n", "-1\n", std::nullopt},
                      V1Case{"below_one_core_counts_as_one", "sys/fs/cgroup/cpu", "20000\n", "-1\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeRoot, V1FirstExistingMountWinsOverLaterOnes) {
  write("proc/self/cgroup", "4:cpu:/g\n");
  write("sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "-1\n");
  write("sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000\n");
  write("sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_quota_us", "100000\n");
  write("sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroupQuota(root), std::nullopt);
}

TEST_F(FakeRoot, V1BindMountSubtreeIsStrippedFromGroupPath) {
  // The mount shows the hierarchy from /docker down, so group /docker/c
  // lives at <mount>/c.
  write("proc/self/cgroup", "4:cpu:/docker/c\n");
  write("proc/self/mountinfo", "30 1 0:19 /docker /mnt/cg rw - cgroup cgroup rw,cpu\n");
  write("mnt/cg/c/cpu.cfs_quota_us", "200000\n");
  write("mnt/cg/c/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroupQuota(root), 2u);
}

TEST_F(FakeRoot, V1ControllerNamedLikeCpuIsNotCpu) {
  write("proc/self/cgroup", "3:cpuset:/g\n");
  write("sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "100000\n");
  write("sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroupQuota(root), std::nullopt);
}

TEST_F(FakeRoot, QuotaCapsProcessorCountEndToEnd) {
  v2Tree("", "", "150000 100000\n");
  EXPECT_EQ(coresFrom(cgroupQuota(root), 8, 8), 1u);
  v2Tree("", "", "max 100000\n");
  EXPECT_EQ(coresFrom(cgroupQuota(root), 8, 8), 8u);
}

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

TEST(AvailableCores, AgreesWithThisProcessAffinity) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  unsigned cores = availableCores();
  EXPECT_GE(cores, 1u);
  EXPECT_LE(cores, static_cast<unsigned>(CPU_COUNT(&set)));
  EXPECT_EQ(cores, coresFrom(cgroupQuota("/"), CPU_COUNT(&set), 0));
}

}  // namespace
}  // namespace morvo
