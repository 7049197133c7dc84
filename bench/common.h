// What the benchmarks share: the bytes they loop and how they summarise times.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// The loopback test's 258-byte SysEx message.
inline std::vector<char> test_message() {
    std::vector<char> m{static_cast<char>(0xF0)};
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 0x80; ++i) m.push_back(static_cast<char>(i));
    m.push_back(static_cast<char>(0xF7));
    return m;
}

struct Figures {
    double median_us;
    double p99_us;
};

inline Figures figures(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A number from a /proc status file ("VmRSS", "voluntary_ctxt_switches", ...).
inline long long status_field(const std::string& status, const std::string& key) {
    const auto at = status.find(key + ":");
    return at == std::string::npos ? 0 : std::atoll(status.c_str() + at + key.size() + 1);
}

// One thread as /proc shows it at a moment.
struct ThreadSample {
    std::string name;
    long long cpu_ns = 0;    // time on a CPU so far
    long long switches = 0;  // voluntary and involuntary: each one is a wake-up
};

// Every thread of process `pid`, by thread id.
inline std::map<int, ThreadSample> sample_threads(pid_t pid) {
    std::map<int, ThreadSample> threads;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return threads;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = dir + "/" + e->d_name;
        ThreadSample t;
        t.name = read_file(base + "/comm");
        if (!t.name.empty() && t.name.back() == '\n') t.name.pop_back();
        t.cpu_ns = std::atoll(read_file(base + "/schedstat").c_str());
        const std::string status = read_file(base + "/status");
        t.switches = status_field(status, "voluntary_ctxt_switches") + status_field(status, "nonvoluntary_ctxt_switches");
        threads[std::atoi(e->d_name)] = t;
    }
    closedir(d);
    return threads;
}

// Tavrin's own threads: the program's thread (thread id = process id) and the
// threads it names "tavrin-..."; libraries' threads (Qt's, libjack's) are not.
inline bool own_thread(pid_t pid, int tid, const std::string& name) {
    return tid == pid || name.rfind("tavrin-", 0) == 0;
}

}  // namespace bench
