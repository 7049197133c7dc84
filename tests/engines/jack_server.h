// A private JACK server on the dummy driver for one test: started with a name
// of its own, waited for by polling with a deadline, stopped (only it) at the
// end. The test's JACK clients find it through JACK_DEFAULT_SERVER.
//
// With TAVRIN_TEST_JACK_LIB=pipewire (the process then runs on PipeWire's
// libjack, see scripts/test.d/lib/jack.sh) it is a private `pipewire` daemon
// instead, in a runtime folder of its own (XDG_RUNTIME_DIR), its quantum
// forced to the period with pw-metadata.
#pragma once

#include <jack/jack.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrin_test {

class JackServer {
public:
    // A synchronous jackd (`sync`) waits for a late client instead of
    // dropping its cycle; PipeWire has no such mode and ignores it.
    explicit JackServer(int period = 256, bool sync = false) {
        jack_set_error_function([](const char*) {});
        const std::string p = std::to_string(period);
        const char* lib = std::getenv("TAVRIN_TEST_JACK_LIB");
        pipewire_ = lib != nullptr && std::string(lib) == "pipewire";
        if (pipewire_) {
            char dir[] = "/tmp/tavrin-pipewire.XXXXXX";
            if (mkdtemp(dir) == nullptr) return;
            runtime_dir_ = dir;
            setenv("XDG_RUNTIME_DIR", dir, 1);
            pid_ = spawn({"pipewire"});
        } else {
            // One fixed name: JACK keeps a small table of servers in shared
            // memory and reuses an entry only for the same name, so a name per
            // run would fill it with servers that were killed.
            // The working folder is part of it, so that test runs of several
            // work trees of one machine never meet on one server;
            // TAVRIN_TEST_JACK_TAG sets it instead.
            name_ = "tavrin-test-faults-";
            if (const char* tag = std::getenv("TAVRIN_TEST_JACK_TAG"); tag && *tag) name_ += tag;
            else name_ += std::to_string(std::hash<std::string>{}(std::filesystem::current_path().string()) % 1000000007);
            setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
            setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
            // A server of that name left over from an earlier run would take
            // this test's clients, and killing ours would leave them alive.
            if (jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr)) {
                jack_client_close(c);
                std::fprintf(stderr, "a JACK server named %s already runs; this test starts its own\n", name_.c_str());
                return;
            }
            std::vector<const char*> argv{"jackd", "--no-realtime", "-n", name_.c_str()};
            if (sync) argv.push_back("-S");
            argv.insert(argv.end(), {"-d", "dummy", "-r", "48000", "-p", p.c_str()});
            pid_ = spawn(argv);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool quantum_set = !pipewire_;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (!quantum_set)
                quantum_set =
                    run({"timeout", "5", "pw-metadata", "-n", "settings", "0", "clock.force-quantum", p.c_str()}) &&
                    run({"timeout", "5", "pw-metadata", "-n", "settings", "0", "clock.force-rate", "48000"});
            if (quantum_set) {
                if (jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr)) {
                    jack_client_close(c);
                    running_ = true;
                    break;
                }
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~JackServer() {
        stop(SIGTERM);
        std::error_code ignored;
        if (!runtime_dir_.empty()) std::filesystem::remove_all(runtime_dir_, ignored);
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool running() const { return running_; }
    bool pipewire() const { return pipewire_; }
    // Ends the server as a crash would (SIGKILL) or politely (SIGTERM).
    void stop(int signal) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
        running_ = false;
    }

private:
    // Starts `argv` with its output thrown away; 0 when it cannot start.
    // It is killed when the test process ends, however it ends: a test that
    // crashed leaves no server behind to meet the next run.
    static pid_t spawn(std::vector<const char*> argv) {
        argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Runs `argv` to its end; true when it exited with 0.
    static bool run(std::vector<const char*> argv) {
        const pid_t pid = spawn(std::move(argv));
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string name_;
    std::string runtime_dir_;
    bool pipewire_ = false;
    pid_t pid_ = 0;
    bool running_ = false;
};

}  // namespace tavrin_test
