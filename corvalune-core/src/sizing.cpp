#include "sizing.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace corvalune::core {
namespace {

// The CPUs this process may run on. Only Linux says (macOS has no affinity
// masks): elsewhere the online count stands.
std::optional<std::uint64_t> affinity_cpus() {
#if defined(__linux__)
  // Grow the mask until the kernel accepts it (machines with > 1024 CPUs).
  for (std::size_t ncpu = 1024; ncpu <= (1u << 20); ncpu *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpu);
    if (set == nullptr) return std::nullopt;
    const std::size_t size = CPU_ALLOC_SIZE(ncpu);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    if (rc == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      if (count > 0) return static_cast<std::uint64_t>(count);
      return std::nullopt;
    }
    CPU_FREE(set);
    if (errno != EINVAL) return std::nullopt;
  }
#endif
  return std::nullopt;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  return out;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

// A mount of a cgroup hierarchy: where it is mounted and which cgroup path
// its root corresponds to.
struct CgroupMount {
  std::string root;
  std::string mount_point;
};

// Finds the mount of the v2 hierarchy (fs type "cgroup2") or of the v1
// hierarchy carrying the "cpu" controller.
std::optional<CgroupMount> find_cgroup_mount(bool v2) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream head(line.substr(0, dash));
    std::string id, parent, dev, root, mount_point;
    head >> id >> parent >> dev >> root >> mount_point;
    std::istringstream tail(line.substr(dash + 3));
    std::string fstype, source, super_options;
    tail >> fstype >> source >> super_options;
    if (v2 && fstype == "cgroup2") return CgroupMount{root, mount_point};
    if (!v2 && fstype == "cgroup") {
      for (const auto& opt : split(super_options, ','))
        if (opt == "cpu") return CgroupMount{root, mount_point};
    }
  }
  return std::nullopt;
}

// The quota of one cgroup directory, as a whole number of CPUs (at least 1).
std::optional<std::uint64_t> quota_at(const std::string& dir, bool v2) {
  std::string text;
  long long quota = 0, period = 0;
  if (v2) {
    if (!read_file(dir + "/cpu.max", text)) return std::nullopt;
    std::istringstream in(text);
    std::string q;
    in >> q >> period;
    if (q == "max" || !in) return std::nullopt;
    quota = std::atoll(q.c_str());
  } else {
    std::string p;
    if (!read_file(dir + "/cpu.cfs_quota_us", text) || !read_file(dir + "/cpu.cfs_period_us", p))
      return std::nullopt;
    quota = std::atoll(text.c_str());
    period = std::atoll(p.c_str());
  }
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(quota / period));
}

// The smallest CPU quota on the way from the process's cgroup up to the root
// of the mounted hierarchy.
std::optional<std::uint64_t> cgroup_quota() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  std::optional<std::uint64_t> best;
  while (std::getline(in, line)) {
    // hierarchy-id:controllers:path
    auto c1 = line.find(':');
    auto c2 = line.find(':', c1 == std::string::npos ? c1 : c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos) continue;
    const std::string hier = line.substr(0, c1);
    const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
    const std::string path = line.substr(c2 + 1);
    bool v2 = hier == "0" && controllers.empty();
    bool v1cpu = false;
    for (const auto& c : split(controllers, ',')) v1cpu = v1cpu || c == "cpu";
    if (!v2 && !v1cpu) continue;
    auto mount = find_cgroup_mount(v2);
    if (!mount) continue;
    std::string rel = path;
    if (mount->root != "/" && rel.rfind(mount->root, 0) == 0) rel = rel.substr(mount->root.size());
    std::string dir = mount->mount_point + rel;
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    // Walk up to the mount point, keeping the lowest quota.
    for (;;) {
      if (auto q = quota_at(dir.empty() ? "/" : dir, v2)) best = best ? std::min(*best, *q) : *q;
      if (dir.size() <= mount->mount_point.size()) break;
      auto slash = dir.rfind('/');
      if (slash == std::string::npos || slash < mount->mount_point.size()) break;
      dir.resize(slash);
    }
  }
  return best;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Strict UTF-8 decoding (no overlongs, no surrogates, at most U+10FFFF).
bool decode_utf8(std::string_view s, std::vector<char32_t>& out) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int len;
    char32_t cp;
    if (b0 < 0x80) { len = 1; cp = b0; }
    else if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; }
    else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; }
    else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; }
    else return false;
    if (i + static_cast<std::size_t>(len) > s.size()) return false;
    for (int k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.push_back(cp);
    i += static_cast<std::size_t>(len);
  }
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::optional<std::uint64_t> available_cpus() {
  std::optional<std::uint64_t> cpus = affinity_cpus();
  if (!cpus) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) cpus = static_cast<std::uint64_t>(online);
  }
  if (!cpus) return std::nullopt;
  if (auto quota = cgroup_quota()) cpus = std::min(*cpus, *quota);
  return cpus;
}

std::uint64_t automatic_count_for(std::optional<std::uint64_t> cpus) noexcept {
  const std::uint64_t c = cpus.value_or(4);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t plus = c > kMax - 4 ? kMax : c + 4;
  return std::max(c, std::min<std::uint64_t>(plus, 32));
}

std::uint64_t automatic_pool_size() { return automatic_count_for(available_cpus()); }

EnvWorkers parse_workers_env(std::string_view raw) {
  std::vector<char32_t> cps;
  if (!decode_utf8(raw, cps)) return {EnvWorkers::Kind::Unset};
  std::size_t b = 0, e = cps.size();
  while (b < e && is_unicode_white_space(cps[b])) ++b;
  while (e > b && is_unicode_white_space(cps[e - 1])) --e;
  if (b < e && cps[b] == U'+') ++b;
  if (b == e) return {EnvWorkers::Kind::Invalid};
  std::uint64_t value = 0;
  for (std::size_t i = b; i < e; ++i) {
    const char32_t c = cps[i];
    if (c < U'0' || c > U'9') return {EnvWorkers::Kind::Invalid};
    const std::uint64_t digit = c - U'0';
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return {EnvWorkers::Kind::Invalid};
    value = value * 10 + digit;
  }
  if (value == 0) return {EnvWorkers::Kind::Automatic};
  // A size no pool can have is reported and ignored like any invalid value.
  if (value > kMaxWorkers) return {EnvWorkers::Kind::Invalid};
  return {EnvWorkers::Kind::Explicit, value};
}

std::string invalid_workers_warning(std::string_view raw) {
  std::string out = "corvalune: ignoring ";
  out += kWorkersEnvVar;
  out += "=\"";
  std::vector<char32_t> cps;
  decode_utf8(raw, cps);  // only called for valid UTF-8
  for (char32_t c : cps) {
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += "\"; expected a positive integer (using the default worker count)\n";
  return out;
}

std::uint64_t resolve_pool_size(std::uint64_t requested) {
  if (requested != 0) return requested;
  const char* raw = std::getenv(kWorkersEnvVar);
  if (raw == nullptr) return automatic_pool_size();
  const EnvWorkers parsed = parse_workers_env(raw);
  switch (parsed.kind) {
    case EnvWorkers::Kind::Explicit:
      return parsed.value;
    case EnvWorkers::Kind::Invalid: {
      const std::string line = invalid_workers_warning(raw);
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
      return automatic_pool_size();
    }
    case EnvWorkers::Kind::Unset:
    case EnvWorkers::Kind::Automatic:
      break;
  }
  return automatic_pool_size();
}

}  // namespace corvalune::core
