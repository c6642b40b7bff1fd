// How many cores this process may really use: the affinity mask or the
// online processors, capped by a container's cgroup CPU quota (which Python's
// os.cpu_count() ignores). Nothing here touches Python.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace morvo {

// The usable core count for this process; never fails, at least 1.
unsigned availableCores();

// The CPU quota of this process's cgroup as seen under `root` ("/" in
// production; tests pass a fake tree): whole cores, at least 1, or nullopt
// when nothing bounds the process or the files cannot be read.
std::optional<uint64_t> cgroupQuota(const std::filesystem::path& root);

// The count from its inputs: the affinity count when above 0, else the
// online count when above 0, either capped by the quota; else 1.
unsigned coresFrom(std::optional<uint64_t> quota, unsigned affinityCount, long onlineCount);

}  // namespace morvo
