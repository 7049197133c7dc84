// A JACK through client as a process of its own, for suites that drive
// tavrin-cli: what arrives at NAME:in leaves by NAME:out. It runs until
// SIGTERM or SIGINT. With "sensing" it adds Active Sensing every 300 ms,
// with "notes" a note every 500 ms too, as a device does.
//   jack_through_client [NAME [sensing|notes]]
#include "jack_through.h"

#include <csignal>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before JACK starts its threads
    tavrin_test::JackThrough through(argc > 1 ? argv[1] : "through");
    if (!through.ok()) {
        std::fprintf(stderr, "jack_through_client: cannot open a client on the JACK server\n");
        return 1;
    }
    const std::string mode = argc > 2 ? argv[2] : "";
    if (mode == "sensing" || mode == "notes") through.chatter(mode == "notes");
    std::printf("jack_through_client: %s -> %s\n", through.in_name().c_str(), through.out_name().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}
