// Tavrin on the desktop beside the least Qt Widgets program of its shape:
// time from process start to the first paint of the main window, resident
// memory once it is shown and active, and what 10 s of idle cost (CPU time
// and wake-ups, thread by thread). Both programs carry the same probe
// (qt_probe.cpp), which reports through TAVRIN_BENCH_FD; Tavrin runs on the
// virtual cable with both ports open.
//
//   desktop_qt <tavrin_probed> <qt_minimal>   (needs DISPLAY; bench/desktop_qt.sh)
//
// BENCH_ROUNDS (default 3) rounds of each, alternating, after one warm-up
// round each. Exits 1 if Tavrin's own threads woke while idle.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kIdleSeconds = 10;
constexpr int kSettleSeconds = 1;
constexpr int kStartDeadlineMs = 30'000;

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

void pause_s(int seconds) {
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A folder of this run's own for Tavrin's single-instance socket, so that a
// Tavrin the user has open neither meets nor disturbs the benchmark.
const std::string& instance_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/desktop_qt.XXXXXX";
        return std::string(mkdtemp(name) != nullptr ? name : "");
    }();
    return dir;
}

using bench::read_file;
using bench::sample_threads;
using bench::status_field;

struct Run {
    double first_paint_ms = 0;  // any window (Tavrin: its start-up warning box)
    double main_paint_ms = 0;
    double rss_mib = 0;
    double idle_cpu_ms = 0;     // the whole process
    double own_cpu_ms = 0;      // the main thread and threads named tavrin-*
    long long own_wakeups = 0;
    std::map<std::string, long long> wakeups;  // by thread name, main thread as "main"
};

class Child {
public:
    Child(const char* program, long long& started_ns) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        started_ns = now_ns();
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = fcntl(fds[1], F_DUPFD, 10);
            setenv("TAVRIN_BENCH_FD", std::to_string(fd).c_str(), 1);
            setenv("TAVRIN_MIDI", "cable", 1);
            setenv("TAVRIN_INSTANCE_DIR", instance_dir().c_str(), 1);
            execl(program, program, static_cast<char*>(nullptr));
            std::fprintf(stderr, "desktop_qt: cannot start %s: %s\n", program, std::strerror(errno));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    // The probe's next line, or nothing once the deadline passes.
    std::optional<std::string> line(long long deadline_ns) {
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            const long long left_ms = (deadline_ns - now_ns()) / 1'000'000;
            if (left_ms <= 0 || fd_ < 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left_ms)) <= 0) continue;
            char chunk[256];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

std::optional<Run> measure(const char* program, bool idle) {
    long long started = 0;
    Child child(program, started);
    if (child.pid() <= 0) return std::nullopt;
    Run run;
    const long long deadline = now_ns() + kStartDeadlineMs * 1'000'000LL;
    bool ready = false;
    while (!ready) {
        const auto l = child.line(deadline);
        if (!l) {
            std::fprintf(stderr, "desktop_qt: %s: the main window did not come and settle within %d s\n", program,
                         kStartDeadlineMs / 1000);
            return std::nullopt;
        }
        const auto ms_since_start = [&](const std::string& rest) { return (std::atoll(rest.c_str()) - started) / 1e6; };
        if (l->rfind("first ", 0) == 0) run.first_paint_ms = ms_since_start(l->substr(6));
        else if (l->rfind("main ", 0) == 0) run.main_paint_ms = ms_since_start(l->substr(5));
        else if (*l == "ready") ready = true;
    }
    const std::string proc = "/proc/" + std::to_string(child.pid());
    run.rss_mib = status_field(read_file(proc + "/status"), "VmRSS") / 1024.0;
    if (!idle) return run;

    // What follows activation (repaints, the ports opening) settles first.
    pause_s(kSettleSeconds);
    const auto before = sample_threads(child.pid());
    pause_s(kIdleSeconds);
    const auto after = sample_threads(child.pid());
    for (const auto& [tid, a] : after) {
        const auto b = before.find(tid);
        const long long cpu = a.cpu_ns - (b == before.end() ? 0 : b->second.cpu_ns);
        const long long woke = a.switches - (b == before.end() ? 0 : b->second.switches);
        const bool main_thread = tid == child.pid();
        const bool own = bench::own_thread(child.pid(), tid, a.name);
        run.idle_cpu_ms += cpu / 1e6;
        if (own) {
            run.own_cpu_ms += cpu / 1e6;
            run.own_wakeups += woke;
        }
        run.wakeups[main_thread ? "main" : a.name] += woke;
    }
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void print_ratio(const char* what, double tavrin, double base, const char* unit) {
    if (base == 0 && tavrin == 0)
        std::printf("  %-40s Tavrin %9.2f %s   baseline %9.2f %s   (both zero)\n", what, tavrin, unit, base, unit);
    else if (base > 0)
        std::printf("  %-40s Tavrin %9.2f %s   baseline %9.2f %s   ratio %.2f\n", what, tavrin, unit, base, unit,
                    tavrin / base);
    else
        std::printf("  %-40s Tavrin %9.2f %s   baseline %9.2f %s   ratio n/a\n", what, tavrin, unit, base, unit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "usage: DISPLAY=... desktop_qt <tavrin_probed> <qt_minimal>\n");
        return 2;
    }
    const char* tavrin = argv[1];
    const char* base = argv[2];
    const int rounds = std::max(1, std::atoi(std::getenv("BENCH_ROUNDS") ? std::getenv("BENCH_ROUNDS") : "3"));

    if (instance_dir().empty()) {
        std::fprintf(stderr, "desktop_qt: cannot make a folder under /tmp\n");
        return 1;
    }
    // Warm-up: libraries into the page cache, fontconfig's cache built.
    if (!measure(tavrin, false) || !measure(base, false)) return 1;

    std::vector<Run> t_runs, b_runs;
    for (int r = 0; r < rounds; ++r) {
        const bool tavrin_first = r % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool is_tavrin = (k == 0) == tavrin_first;
            const auto run = measure(is_tavrin ? tavrin : base, true);
            if (!run) return 1;
            (is_tavrin ? t_runs : b_runs).push_back(*run);
        }
    }

    const auto med = [](const std::vector<Run>& runs, double Run::*field) {
        std::vector<double> v;
        for (const Run& r : runs) v.push_back(r.*field);
        return median(v);
    };
    std::printf("desktop: Tavrin (virtual cable, both ports open) beside a minimal Qt Widgets window, "
                "median of %d rounds\n", rounds);
    print_ratio("start to first paint of any window", med(t_runs, &Run::first_paint_ms),
                med(b_runs, &Run::first_paint_ms), "ms ");
    print_ratio("start to first paint of the main window", med(t_runs, &Run::main_paint_ms),
                med(b_runs, &Run::main_paint_ms), "ms ");
    print_ratio("resident memory, shown and active", med(t_runs, &Run::rss_mib), med(b_runs, &Run::rss_mib), "MiB");
    print_ratio("CPU time in 10 s idle, whole process", med(t_runs, &Run::idle_cpu_ms), med(b_runs, &Run::idle_cpu_ms),
                "ms ");
    print_ratio("CPU time in 10 s idle, own threads", med(t_runs, &Run::own_cpu_ms), med(b_runs, &Run::own_cpu_ms),
                "ms ");

    long long own_wakeups = 0;
    for (const auto* runs : {&t_runs, &b_runs}) {
        std::map<std::string, long long> total;
        for (const Run& r : *runs) {
            for (const auto& [name, n] : r.wakeups) total[name] += n;
            if (runs == &t_runs) own_wakeups += r.own_wakeups;
        }
        std::printf("  wake-ups in %d x 10 s idle, %s:", rounds, runs == &t_runs ? "Tavrin  " : "baseline");
        for (const auto& [name, n] : total) std::printf(" %s %lld,", name.c_str(), n);
        std::printf("\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(instance_dir(), ignored);
    if (own_wakeups != 0) {
        std::printf("desktop: FAIL: Tavrin's own threads (main, tavrin-*) woke %lld times while idle\n", own_wakeups);
        return 1;
    }
    std::printf("desktop: Tavrin's own threads (main, tavrin-*) did not wake while idle\n");
    return 0;
}
