// A JACK server as a MIDI engine: the JACK MIDI ports of other clients, and
// ports of Tavrin's own connected to them.
//
// The process callback runs in JACK's real-time thread: it allocates nothing
// and takes no lock. It moves bytes through lock-free ring buffers; a worker
// thread of Tavrin's own feeds the output rings and hands input bytes and ends
// of sends to the service. The worker sleeps on one semaphore, posted only when
// something happened: bytes moved in a cycle, a port or the server went away,
// the client closes. An open, quiet port therefore costs no wake-up at all.
//
// No JACK callback takes a lock: some libjacks (PipeWire's) run them on their
// own thread while a caller of jack_port_unregister or jack_connect waits for
// that thread, so a lock taken there could be held by that very caller. The
// registration, connection and shutdown callbacks only set a flag and post.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <jack/ringbuffer.h>
#include <semaphore.h>

#include "winmm/jack/frame_clock.h"
#include "winmm/port_backend.h"

struct _jack_client;
struct _jack_port;

namespace platform::midi::jack {

inline const std::string kServerStopped = "The JACK server stopped; MIDI ports of JACK cannot be used any more.";

class Client : public std::enable_shared_from_this<Client> {
public:
    static constexpr std::size_t kSlots = 16;

    // Connects to a running server, never starting one. Null and `error` set
    // when no server runs.
    static std::shared_ptr<Client> open(std::string& error);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Full names ("client:port") of the other clients' MIDI ports: their
    // outputs are Tavrin's inputs (inputs = true) and their inputs its outputs.
    std::vector<std::string> list_ports(bool inputs);
    bool server_stopped() const { return stopped_.load(std::memory_order_acquire); }
    bool port_exists(const std::string& name);

    // Slot numbers, or -1 with `error` set. After close_*, no call into the
    // slot's sink is running or will come.
    int open_input(const std::string& source, InputSink& sink, Status& error);
    void close_input(int slot);
    int open_output(const std::string& destination, OutputSink& sink, Status& error);
    void close_output(int slot);
    // Copies `bytes` and starts sending them; the sink hears of the end.
    Status send(int slot, std::span<const std::uint8_t> bytes, std::uint64_t ticket);
    // Ends a send at once; the sink hears nothing of it.
    void abort(int slot);
    // Cycles the process callback has run (for tests and benchmarks).
    std::uint64_t cycles() const { return cycle_end_.load(std::memory_order_acquire); }
    // Called on the opening thread just before a port is connected (tests
    // use it to act while an open is under way); empty: nothing is called.
    void set_connecting_hook(std::function<void()> hook) { connecting_hook_ = std::move(hook); }

private:
    struct InSlot {
        std::atomic<_jack_port*> port{nullptr};  // read by the process callback
        jack_ringbuffer_t* ring = nullptr;
        std::atomic<std::uint64_t> dropped{0};
        std::atomic<std::uint64_t> first_at{0};  // JACK time of the first event not yet delivered, 0: none
        bool used = false;  // the rest under mutex_
        bool reserved = false;  // taken by an open or a close under way
        bool failed = false;
        std::uint64_t opened = 0;  // opens of this slot so far
        InputSink* sink = nullptr;
        std::string source;
        _jack_port* registered = nullptr;
    };
    struct OutSlot {
        std::atomic<_jack_port*> port{nullptr};
        jack_ringbuffer_t* ring = nullptr;
        std::atomic<std::uint64_t> consumed{0};      // bytes taken by the process callback
        std::atomic<std::uint64_t> discard_until{0};  // bytes before this position are dropped
        std::atomic<std::uint64_t> job_start{0};      // position of the send's first byte
        std::atomic<std::uint64_t> taken_at{0};       // JACK time of the cycle that took it, 0: not yet
        bool used = false;  // the rest under mutex_
        bool reserved = false;
        std::uint64_t opened = 0;
        std::uint64_t queued = 0;  // bytes written into the ring so far
        std::uint64_t job_end = 0;
        std::vector<std::uint8_t> job;
        std::size_t offset = 0;
        bool pending = false;  // a send is under way
        bool failed = false;
        std::uint64_t ticket = 0;
        OutputSink* sink = nullptr;
        std::string destination;
        _jack_port* registered = nullptr;
    };

    Client() {
        sem_init(&wake_, 0, 0);
        sem_init(&connected_, 0, 0);
    }
    static int process(std::uint32_t nframes, void* arg);
    // The process callback's: a frame's time on the steady clock (clock_).
    std::uint64_t frame_us(std::uint32_t frame) const;
    static void shutdown(void* arg);
    static void port_registration(std::uint32_t id, int registered, void* arg);
    static void client_registration(const char* name, int registered, void* arg);
    static void port_connect(std::uint32_t a, std::uint32_t b, int connected, void* arg);
    void ports_changed();
    struct Peer {
        bool input;
        std::size_t index;
        std::uint64_t opened;
        std::string name;
    };
    std::vector<Peer> lost_peers();
    template <class Slot>
    int reserve(std::array<Slot, kSlots>& slots, bool input, Status& error);
    template <class Slot>
    void publish(Slot& slot, _jack_port* port);
    // Wakes the worker; safe from any thread, the process callback included.
    void wake() { sem_post(&wake_); }
    // Until JACK tells of a connection made after `before` (connects_) and two
    // whole process cycles have run since, the server stops, or a second has
    // passed.
    void wait_connected(std::uint64_t before);
    void run_worker();
    void feed(OutSlot& slot);
    void wait_cycle_end();
    void unregister(_jack_port* port);
    template <class Slot>
    void release(Slot& slot);
    // Registers our port number `index + 1` and connects it from (input) or
    // to (output) the peer port; on failure nothing stays registered.
    _jack_port* register_connected(bool input, int index, const std::string& peer, Status& error);

    _jack_client* client_ = nullptr;
    std::array<InSlot, kSlots> inputs_;
    std::array<OutSlot, kSlots> outputs_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> ports_changed_{false};  // the worker looks for lost ports
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> connects_{0};  // connections JACK told of
    std::atomic<int> cycle_waiters_{0};       // the process callback posts connected_
    std::atomic<std::uint64_t> cycle_begin_{0};
    std::atomic<std::uint64_t> cycle_end_{0};
    FrameClock clock_;  // the process callback's own

    sem_t wake_;
    sem_t connected_;  // posted with connects_, at a cycle's end for cycle_waiters_, when the server stops
    std::mutex mutex_;
    std::mutex deliver_mutex_;  // held while the worker calls a sink
    std::thread worker_;
    std::function<void()> connecting_hook_;
};

}  // namespace platform::midi::jack
