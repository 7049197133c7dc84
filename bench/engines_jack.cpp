// The MIDI service over a running JACK server (dummy driver): 1,000 loop
// tests, midiOutLongMsg -> dispatch of MM_MIM_LONGDATA, beside a bare libjack
// client that sends and receives the same bytes through the same through
// client in the same run. Then the CPU time of Tavrin's own threads in 10 s
// of idle with both ports open; JACK's client threads are counted apart, as
// they wake every period by design.
//
// Run by bench/engines_jack.sh, which starts the server at each period.
#include "service_loop.h"

#include "../tests/engines/jack_through.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 1000;
constexpr int kWarmUp = 20;
using bench::Figures;
using bench::figures;
using bench::test_message;

// A bare libjack client: the same bytes out of its own port, through the same
// through client, into its own input port; the process callback posts a
// semaphore on arrival.
class Bare {
public:
    bool open(const tavrin_test::JackThrough& through) {
        client_ = jack_client_open("bare", JackNoStartServer, nullptr);
        if (client_ == nullptr) return false;
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ring_ = jack_ringbuffer_create(8192);
        sem_init(&arrived_, 0, 0);
        jack_set_process_callback(client_, &Bare::process, this);
        if (jack_activate(client_) != 0) return false;
        return jack_connect(client_, jack_port_name(out_), through.in_name().c_str()) == 0 &&
               jack_connect(client_, through.out_name().c_str(), jack_port_name(in_)) == 0;
    }
    ~Bare() {
        if (client_ != nullptr) jack_client_close(client_);
        if (ring_ != nullptr) jack_ringbuffer_free(ring_);
        sem_destroy(&arrived_);
    }

    bool rounds(std::vector<double>& times) {
        const std::vector<char> message = test_message();
        for (int i = 0; i < kWarmUp + kRounds; ++i) {
            const auto t0 = Clock::now();
            jack_ringbuffer_write(ring_, message.data(), message.size());
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 5;
            int waited;
            while ((waited = sem_timedwait(&arrived_, &deadline)) != 0 && errno == EINTR) {
            }
            if (waited != 0) {
                std::fprintf(stderr, "engines_jack: bare client, round %d: 258 bytes did not come back within 5 s\n", i);
                return false;
            }
            const auto t1 = Clock::now();
            if (i >= kWarmUp) times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        return true;
    }

private:
    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<Bare*>(arg);
        void* out = jack_port_get_buffer(self->out_, nframes);
        jack_midi_clear_buffer(out);
        if (const std::size_t n = jack_ringbuffer_read_space(self->ring_)) {
            if (jack_midi_data_t* data = jack_midi_event_reserve(out, 0, n))
                jack_ringbuffer_read(self->ring_, reinterpret_cast<char*>(data), n);
        }
        void* in = jack_port_get_buffer(self->in_, nframes);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, in, i) == 0) {
                self->got_ += ev.size;
                if (self->got_ >= 258) {
                    self->got_ = 0;
                    sem_post(&self->arrived_);
                }
            }
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    sem_t arrived_;
    std::size_t got_ = 0;
};

}  // namespace

int main() {
    tavrin_test::JackThrough through;
    if (!through.ok()) {
        std::fputs("engines_jack: no JACK server runs\n", stderr);
        return 1;
    }
    jack_client_t* probe = jack_client_open("probe", JackNoStartServer, nullptr);
    const unsigned period = probe ? jack_get_buffer_size(probe) : 0;
    const unsigned rate = probe ? jack_get_sample_rate(probe) : 0;
    if (probe) jack_client_close(probe);

    std::vector<double> service_us, bare_us;
    {
        Bare bare;
        if (!bare.open(through)) {
            std::fputs("engines_jack: the bare client cannot start\n", stderr);
            return 1;
        }
        if (!bare.rounds(bare_us)) return 1;
    }
    bench::ServiceLoop service;
    if (!service.open("jack", "engines_jack") || !service.rounds(kWarmUp, kRounds, service_us)) return 1;

    const Figures s = figures(service_us);
    const Figures b = figures(bare_us);
    std::printf("JACK dummy engine, period %u at %u Hz (%.2f ms), %d loop tests of a 258-byte SysEx:\n", period, rate,
                rate ? 1000.0 * period / rate : 0.0, kRounds);
    std::printf("  Tavrin: midiOutLongMsg -> MM_MIM_LONGDATA dispatched: median %8.1f us, p99 %8.1f us\n",
                s.median_us, s.p99_us);
    std::printf("  bare libjack client, same bytes and path (baseline):  median %8.1f us, p99 %8.1f us\n",
                b.median_us, b.p99_us);
    std::printf("  ratio Tavrin / bare: median %.2f, p99 %.2f\n", s.median_us / b.median_us, s.p99_us / b.p99_us);

    const auto before = bench::sample_threads(getpid());
    service.idle(10);
    const auto after = bench::sample_threads(getpid());
    double own = 0, jack = 0;
    for (const auto& [tid, a] : after) {
        const auto b = before.find(tid);
        const double used = (a.cpu_ns - (b == before.end() ? 0 : b->second.cpu_ns)) / 1e9;
        (bench::own_thread(getpid(), tid, a.name) ? own : jack) += used;
    }
    std::printf("  idle 10 s, both ports open: Tavrin's threads %.3f s CPU (%.2f %% of a core), "
                "JACK client threads %.3f s\n", own, own * 10.0, jack);
    service.close();
    return 0;
}
