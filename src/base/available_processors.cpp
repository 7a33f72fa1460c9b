#include "base/available_processors.hpp"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace tarnix::base {
namespace {

std::optional<std::size_t> cgroup_v2_limit(const std::string& relative_path) {
    std::optional<std::size_t> limit;
    std::string path = relative_path;
    for (;;) {
        std::ifstream file("/sys/fs/cgroup" + path + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (file >> quota >> period && quota != "max" && period > 0) {
            try {
                const long long cpus = std::max(1LL, std::stoll(quota) / period);
                limit = std::min(limit.value_or(cpus), static_cast<std::size_t>(cpus));
            } catch (const std::exception&) {
            }
        }
        if (path.empty() || path == "/") break;
        path = path.substr(0, path.rfind('/'));
    }
    return limit;
}

std::optional<std::size_t> cgroup_v1_limit(const std::string& relative_path) {
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        for (const std::string& dir : {std::string(mount) + relative_path, std::string(mount)}) {
            std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
            std::ifstream period_file(dir + "/cpu.cfs_period_us");
            long long quota = 0;
            long long period = 0;
            if (quota_file >> quota && period_file >> period) {
                if (quota <= 0 || period <= 0) return std::nullopt;
                return static_cast<std::size_t>(std::max(1LL, quota / period));
            }
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> limit;
    while (std::getline(cgroups, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        std::optional<std::size_t> found;
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            found = cgroup_v2_limit(path == "/" ? std::string() : path);
        } else {
            std::stringstream names(controllers);
            std::string name;
            while (std::getline(names, name, ',')) {
                if (name == "cpu") found = cgroup_v1_limit(path == "/" ? std::string() : path);
            }
        }
        if (found) limit = std::min(limit.value_or(*found), *found);
    }
    return limit;
}

}  // namespace

std::size_t available_processors() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) count = static_cast<std::size_t>(CPU_COUNT(&set));
    if (count == 0) return 1;
    if (const auto quota = cgroup_cpu_limit()) count = std::min(count, *quota);
    return std::max<std::size_t>(count, 1);
}

}  // namespace tarnix::base
