#include "cores.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace morvo {
namespace {

namespace fs = std::filesystem;

// A group path as a list of names below a hierarchy's root.
using Components = std::vector<std::string>;

std::optional<std::string> readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::nullopt;
  return text;
}

std::optional<uint64_t> parseUnsigned(std::string_view text) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view SPACE = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(SPACE);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(SPACE) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// The path's names, with "." dropped and ".." applied. A path that climbs
// above its start (as a group outside a cgroup namespace's root can) gives
// nullopt, so that nothing outside the hierarchy is ever read.
std::optional<Components> components(std::string_view path) {
  Components names;
  for (std::string_view name : split(path, '/')) {
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (names.empty()) return std::nullopt;
      names.pop_back();
    } else {
      names.emplace_back(name);
    }
  }
  return names;
}

fs::path join(const fs::path& base, const Components& names) {
  fs::path path = base;
  for (const std::string& name : names) path /= name;
  return path;
}

bool isThere(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// mountinfo writes space, tab, newline and backslash in paths as "\ooo".
std::string unescapeMountPath(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      std::string_view digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) | (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

struct Group {
  Components path;
  bool v1;
};

// The process's group from /proc/self/cgroup: a line listing the "cpu"
// controller (version 1) wins over the unified line (version 2).
std::optional<Group> findGroup(std::string_view text) {
  std::optional<Group> unified;
  for (std::string_view line : split(text, '\n')) {
    size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    bool v1 = false;
    if (!controllers.empty()) {
      auto names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
      v1 = true;
    } else if (unified) {
      continue;
    }
    std::optional<Components> path = components(line.substr(second + 1));
    if (!path) continue;
    if (v1) return Group{std::move(*path), true};
    unified = Group{std::move(*path), false};
  }
  return unified;
}

void lower(std::optional<uint64_t>& quota, std::optional<uint64_t> limit, std::optional<uint64_t> period) {
  if (!limit || !period || *period == 0) return;
  uint64_t bound = *limit / *period;
  quota = quota ? std::min(*quota, bound) : bound;
}

// Version 2: the tightest cpu.max from the group up to the hierarchy's root.
std::optional<uint64_t> quotaV2(const fs::path& mount, Components group) {
  if (!isThere(join(mount, group) / "cgroup.controllers")) return std::nullopt;
  std::optional<uint64_t> quota;
  while (true) {
    if (std::optional<std::string> text = readText(join(mount, group) / "cpu.max")) {
      std::string_view line = split(*text, '\n').front();
      std::vector<std::string_view> fields = split(line, ' ');
      if (fields.size() >= 2) lower(quota, parseUnsigned(fields[0]), parseUnsigned(fields[1]));
    }
    if (group.empty()) return quota;
    group.pop_back();
  }
}

std::optional<uint64_t> readNumber(const fs::path& path) {
  std::optional<std::string> text = readText(path);
  if (!text) return std::nullopt;
  return parseUnsigned(trim(*text));
}

// The cpu controller's version 1 mount from mountinfo, with the group path
// made relative to the mounted subtree (a bind mount shows only part of the
// hierarchy).
std::optional<std::pair<fs::path, Components>> cpuMount(const fs::path& root, const Components& group) {
  std::optional<std::string> text = readText(root / "proc/self/mountinfo");
  if (!text) return std::nullopt;
  for (std::string_view line : split(*text, '\n')) {
    std::vector<std::string_view> fields = split(trim(line), ' ');
    // Optional fields vary in number, so the type and options are counted
    // from the end.
    if (fields.size() < 7) continue;
    std::string_view type = fields[fields.size() - 3];
    std::vector<std::string_view> options = split(fields.back(), ',');
    if (type != "cgroup" || std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
    std::optional<Components> subtree = components(unescapeMountPath(fields[3]));
    std::optional<Components> point = components(unescapeMountPath(fields[4]));
    if (!subtree || !point) continue;
    if (subtree->size() > group.size() || !std::equal(subtree->begin(), subtree->end(), group.begin())) continue;
    return std::pair{join(root, *point), Components(group.begin() + subtree->size(), group.end())};
  }
  return std::nullopt;
}

// Version 1: the tightest cpu.cfs_quota_us / cpu.cfs_period_us from the
// group up to the mount.
std::optional<uint64_t> quotaV1Under(const fs::path& mount, Components group) {
  std::optional<uint64_t> quota;
  while (true) {
    fs::path dir = join(mount, group);
    lower(quota, readNumber(dir / "cpu.cfs_quota_us"), readNumber(dir / "cpu.cfs_period_us"));
    if (group.empty()) return quota;
    group.pop_back();
  }
}

// The first of the usual mounts that holds the group, else the one named in
// mountinfo (read only then: it can be long).
std::optional<uint64_t> quotaV1(const fs::path& root, const Components& group) {
  for (const char* mount : {"sys/fs/cgroup/cpu", "sys/fs/cgroup/cpu,cpuacct"}) {
    if (isThere(join(root / mount, group))) return quotaV1Under(root / mount, group);
  }
  std::optional<std::pair<fs::path, Components>> found = cpuMount(root, group);
  if (!found || !isThere(join(found->first, found->second))) return std::nullopt;
  return quotaV1Under(found->first, found->second);
}

}  // namespace

std::optional<uint64_t> cgroupQuota(const fs::path& root) {
  std::optional<std::string> text = readText(root / "proc/self/cgroup");
  if (!text) return std::nullopt;
  std::optional<Group> group = findGroup(*text);
  if (!group) return std::nullopt;
  std::optional<uint64_t> quota =
      group->v1 ? quotaV1(root, group->path) : quotaV2(root / "sys/fs/cgroup", group->path);
  // A quota of less than one core still lets the process run on one.
  if (quota) quota = std::max<uint64_t>(*quota, 1);
  return quota;
}

unsigned coresFrom(std::optional<uint64_t> quota, unsigned affinityCount, long onlineCount) {
  uint64_t cap = quota ? std::max<uint64_t>(*quota, 1) : UINT64_MAX;
  if (affinityCount > 0) return static_cast<unsigned>(std::min<uint64_t>(affinityCount, cap));
  if (onlineCount > 0) return static_cast<unsigned>(std::min({static_cast<uint64_t>(onlineCount), cap, uint64_t{UINT_MAX}}));
  return 1;
}

unsigned availableCores() {
  std::optional<uint64_t> quota;
  try {
    quota = cgroupQuota("/");
  } catch (const std::exception&) {
    // Unreadable cgroup files only mean that no quota is known.
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  unsigned affinity = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) affinity = static_cast<unsigned>(CPU_COUNT(&set));
  long online = affinity > 0 ? 0 : sysconf(_SC_NPROCESSORS_ONLN);
  return coresFrom(quota, affinity, online);
}

}  // namespace morvo
