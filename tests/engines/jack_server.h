// A private JACK server on the dummy driver for one test: started with a name
// of its own, waited for by polling with a deadline, stopped (only it) at the
// end. The test's JACK clients find it through JACK_DEFAULT_SERVER.
#pragma once

#include <jack/jack.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

namespace tavrin_test {

class JackServer {
public:
    explicit JackServer(int period = 256) {
        jack_set_error_function([](const char*) {});
        // One fixed name: JACK keeps a small table of servers in shared memory
        // and reuses an entry only for the same name, so a name per run
        // would fill it with servers that were killed. TAVRIN_TEST_JACK_TAG
        // keeps apart the servers of test runs in several work trees.
        name_ = "tavrin-test-faults";
        if (const char* tag = std::getenv("TAVRIN_TEST_JACK_TAG"); tag && *tag) name_ += std::string("-") + tag;
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        const std::string p = std::to_string(period);
        const char* argv[] = {"jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy",
                              "-r", "48000", "-p", p.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "jackd", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (jack_client_t* c = jack_client_open("probe", JackNoStartServer, nullptr)) {
                jack_client_close(c);
                running_ = true;
                break;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~JackServer() { stop(SIGTERM); }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool running() const { return running_; }
    // Ends the server as a crash would (SIGKILL) or politely (SIGTERM).
    void stop(int signal) {
        if (pid_ <= 0) return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
        running_ = false;
    }

private:
    std::string name_;
    pid_t pid_ = 0;
    bool running_ = false;
};

}  // namespace tavrin_test
