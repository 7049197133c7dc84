// The MIDI service over a running JACK server (dummy driver): 1,000 loop
// tests, midiOutLongMsg -> dispatch of MM_MIM_LONGDATA, beside a bare libjack
// client that sends and receives the same bytes through a through client of
// the same kind in the same run, in alternating blocks of ten. Then 10 s of
// idle with both ports open: the CPU time and wake-ups of Tavrin's own
// threads, which must not wake at all (JACK's client threads are counted
// apart, as they wake every period by design).
// Exits 1 when a message is lost or a Tavrin thread woke while idle.
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
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 1000;
constexpr int kWarmUp = 20;
constexpr int kBlock = 10;
constexpr int kIdleSeconds = 10;
using bench::Figures;
using bench::figures;
using bench::test_message;

// A bare libjack client: the same bytes out of its own port, through a
// through client, into its own input port; the process callback posts a
// semaphore on arrival. It counts every byte at each step, so that a lost
// message says where it was lost.
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
        jack_set_xrun_callback(client_, [](void* arg) {
            static_cast<Bare*>(arg)->xruns_.fetch_add(1);
            return 0;
        }, this);
        jack_set_port_connect_callback(client_, [](jack_port_id_t, jack_port_id_t, int connected, void* arg) {
            if (connected) static_cast<Bare*>(arg)->connects_.fetch_add(1);
        }, this);
        if (jack_activate(client_) != 0) return false;
        if (jack_connect(client_, jack_port_name(out_), through.in_name().c_str()) != 0 ||
            jack_connect(client_, through.out_name().c_str(), jack_port_name(in_)) != 0)
            return false;
        // PipeWire's libjack returns from jack_connect before the link carries
        // data and tells of the connection only once it does: wait for both
        // notices and two whole cycles after them, polling up to 5 s.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (connects_.load() < 2)
            if (Clock::now() > deadline) return false;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::uint64_t cycle = cycles_.load() + 2;
        while (cycles_.load() <= cycle)
            if (Clock::now() > deadline) return false;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    ~Bare() {
        if (client_ != nullptr) jack_client_close(client_);
        if (ring_ != nullptr) jack_ringbuffer_free(ring_);
        sem_destroy(&arrived_);
    }

    // `warm_up` untimed rounds, then `rounds` timed ones (microseconds).
    bool rounds(int warm_up, int rounds, std::vector<double>& times, const tavrin_test::JackThrough& through) {
        const std::vector<char> message = test_message();
        for (int i = 0; i < warm_up + rounds; ++i, ++round_) {
            const auto t0 = Clock::now();
            jack_ringbuffer_write(ring_, message.data(), message.size());
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 5;
            int waited;
            while ((waited = sem_timedwait(&arrived_, &deadline)) != 0 && errno == EINTR) {
            }
            if (waited != 0) {
                std::fprintf(stderr,
                             "engines_jack: bare client, round %d: 258 bytes did not come back within 5 s\n"
                             "  bytes in all: %llu sent by the bare client, %llu seen by the through client "
                             "(%llu it could not pass on), %llu back at the bare client; xruns: %llu\n",
                             round_, static_cast<unsigned long long>(sent_.load()),
                             static_cast<unsigned long long>(through.bytes_in()),
                             static_cast<unsigned long long>(through.bytes_refused()),
                             static_cast<unsigned long long>(received_.load()),
                             static_cast<unsigned long long>(xruns_.load()));
                return false;
            }
            const auto t1 = Clock::now();
            if (i >= warm_up) times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        return true;
    }

private:
    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<Bare*>(arg);
        self->cycles_.fetch_add(1, std::memory_order_relaxed);
        void* out = jack_port_get_buffer(self->out_, nframes);
        jack_midi_clear_buffer(out);
        // Whole messages only: jack_ringbuffer_write publishes a message that
        // wraps around the ring's end in two steps.
        if (const std::size_t n = jack_ringbuffer_read_space(self->ring_); n >= kMessage) {
            if (jack_midi_data_t* data = jack_midi_event_reserve(out, 0, kMessage)) {
                jack_ringbuffer_read(self->ring_, reinterpret_cast<char*>(data), kMessage);
                self->sent_.fetch_add(kMessage, std::memory_order_relaxed);
            }
        }
        void* in = jack_port_get_buffer(self->in_, nframes);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, in, i) == 0) {
                self->received_.fetch_add(ev.size, std::memory_order_relaxed);
                self->got_ += ev.size;
                if (self->got_ >= kMessage) {
                    self->got_ = 0;
                    sem_post(&self->arrived_);
                }
            }
        }
        return 0;
    }

    static constexpr std::size_t kMessage = 258;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    sem_t arrived_;
    std::size_t got_ = 0;
    int round_ = 0;
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> xruns_{0};
    std::atomic<int> connects_{0};
    std::atomic<std::uint64_t> cycles_{0};
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

    // Tavrin on `through`, the bare client on a through client of its own,
    // both open at once; their rounds alternate in blocks of ten, so that
    // both see the same machine while other work comes and goes.
    bench::ServiceLoop service;
    if (!service.open("jack", "engines_jack")) return 1;
    tavrin_test::JackThrough bare_through("bare-through");
    Bare bare;
    if (!bare_through.ok() || !bare.open(bare_through)) {
        std::fputs("engines_jack: the bare client cannot start\n", stderr);
        return 1;
    }
    std::vector<double> service_us, bare_us;
    const auto tavrin_lost = [&](int block) {
        std::fprintf(stderr, "  block %d: the through client saw %llu bytes of Tavrin's in all (%llu it could not pass "
                     "on); xruns: %llu\n", block, static_cast<unsigned long long>(through.bytes_in()),
                     static_cast<unsigned long long>(through.bytes_refused()),
                     static_cast<unsigned long long>(through.xruns()));
        return 1;
    };
    for (int block = 0; block < kRounds / kBlock; ++block) {
        // A block's first round is not timed: it starts out of step with the
        // cycle, right after the other client's arrival.
        const int warm_up = block == 0 ? kWarmUp : 1;
        if (!bare.rounds(warm_up, kBlock, bare_us, bare_through)) return 1;
        if (!service.rounds(warm_up, kBlock, service_us)) return tavrin_lost(block);
    }

    const Figures s = figures(service_us);
    const Figures b = figures(bare_us);
    std::printf("JACK dummy engine, period %u at %u Hz (%.2f ms), %d loop tests of a 258-byte SysEx:\n", period, rate,
                rate ? 1000.0 * period / rate : 0.0, kRounds);
    std::printf("  Tavrin: midiOutLongMsg -> MM_MIM_LONGDATA dispatched: median %8.1f us, p99 %8.1f us\n",
                s.median_us, s.p99_us);
    std::printf("  bare libjack client, same bytes and path (baseline):  median %8.1f us, p99 %8.1f us\n",
                b.median_us, b.p99_us);
    std::printf("  ratio Tavrin / bare: median %.2f, p99 %.2f (goal: at most 1.02, 1.05); xruns: %llu\n",
                s.median_us / b.median_us, s.p99_us / b.p99_us, static_cast<unsigned long long>(through.xruns()));

    // The program waits in its message loop for 12 s; a thread of the
    // benchmark's own samples the threads 1 s in and 11 s in, so that neither
    // the start nor the end of the wait falls inside the window.
    std::map<int, bench::ThreadSample> before, after;
    std::thread sampler([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        before = bench::sample_threads(getpid());
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        after = bench::sample_threads(getpid());
    });
    service.idle(kIdleSeconds + 2);
    sampler.join();
    double own = 0, jack = 0;
    long long own_wakeups = 0;
    std::string woke;
    for (const auto& [tid, a] : after) {
        const auto b = before.find(tid);
        const double used = (a.cpu_ns - (b == before.end() ? 0 : b->second.cpu_ns)) / 1e9;
        const long long switches = a.switches - (b == before.end() ? 0 : b->second.switches);
        if (!bench::own_thread(getpid(), tid, a.name)) {
            jack += used;
            continue;
        }
        own += used;
        own_wakeups += switches;
        if (switches != 0) woke += " " + (tid == getpid() ? std::string("main") : a.name) + " " + std::to_string(switches);
    }
    std::printf("  idle %d s, both ports open: Tavrin's threads %.3f s CPU, %lld wake-ups; "
                "JACK client threads %.3f s\n", kIdleSeconds, own, own_wakeups, jack);
    service.close();
    if (own_wakeups != 0) {
        std::printf("engines_jack: FAIL: Tavrin's own threads woke while idle:%s\n", woke.c_str());
        return 1;
    }
    return 0;
}
