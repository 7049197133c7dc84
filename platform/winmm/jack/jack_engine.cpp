#include "winmm/jack/jack_engine.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>

namespace platform::midi::jack {

namespace {

constexpr std::size_t kInputRing = 256 * 1024;
constexpr std::size_t kOutputRing = 64 * 1024;
// Bytes of one send that the process callback puts into one period.
constexpr std::size_t kBytesPerCycle = 4096;
// JACK may tell of a port that went away before its graph has lost the port:
// after each notice the worker looks again this many times, the first after
// kFirstLook, each wait twice the one before (about a third of a second in all).
constexpr int kLooksAfterNotice = 7;
constexpr std::chrono::milliseconds kFirstLook{3};

Timestamp now() {
    return std::chrono::duration_cast<Timestamp>(std::chrono::steady_clock::now().time_since_epoch());
}

void quiet_jack(const char*) {}

}  // namespace

std::shared_ptr<Client> Client::open(std::string& error) {
    // libjack reports a missing server on stderr; that is a normal answer
    // here (no JACK: no ports), and its own words would only confuse.
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    jack_status_t status{};
    jack_client_t* c = jack_client_open("Tavrin", JackNoStartServer, &status);
    if (c == nullptr) {
        error = "No JACK server is running.";
        return nullptr;
    }
    std::shared_ptr<Client> client(new Client());
    client->client_ = c;
    for (auto& s : client->inputs_) s.ring = jack_ringbuffer_create(kInputRing);
    for (auto& s : client->outputs_) s.ring = jack_ringbuffer_create(kOutputRing);
    for (auto& s : client->inputs_) if (s.ring) jack_ringbuffer_mlock(s.ring);
    for (auto& s : client->outputs_) if (s.ring) jack_ringbuffer_mlock(s.ring);
    jack_set_process_callback(c, &Client::process, client.get());
    jack_on_shutdown(c, &Client::shutdown, client.get());
    jack_set_port_registration_callback(c, &Client::port_registration, client.get());
    jack_set_client_registration_callback(c, &Client::client_registration, client.get());
    jack_set_port_connect_callback(c, &Client::port_connect, client.get());
    client->worker_ = std::thread([p = client.get()] { p->run_worker(); });
    if (jack_activate(c) != 0) {
        error = "The JACK server refused to activate Tavrin's client.";
        return nullptr;
    }
    return client;
}

Client::~Client() {
    quit_.store(true, std::memory_order_release);
    wake();
    if (worker_.joinable()) worker_.join();
    if (client_ != nullptr) {
        if (!server_stopped()) jack_deactivate(client_);
        jack_client_close(client_);  // no callback comes after this
    }
    for (auto& s : inputs_) if (s.ring) jack_ringbuffer_free(s.ring);
    for (auto& s : outputs_) if (s.ring) jack_ringbuffer_free(s.ring);
    sem_destroy(&wake_);
    sem_destroy(&connected_);
}

// ---- the real-time side ----

int Client::process(std::uint32_t nframes, void* arg) {
    auto* self = static_cast<Client*>(arg);
    // Sequentially consistent, as the loads of the ports below and release()'s
    // store and load: release() stores a null port and then reads cycle_begin_,
    // this cycle counts itself in cycle_begin_ and then reads the ports. With
    // acquire and release alone both sides may read the old values (a store
    // followed by a load of another variable may be reordered), and a port
    // would be unregistered, its ring reset, while this cycle still uses it.
    // In the one total order of these operations either this cycle sees the
    // null, or release() sees this cycle and waits for its end.
    self->cycle_begin_.fetch_add(1, std::memory_order_seq_cst);
    bool moved = false;
    const jack_nframes_t cycle = jack_last_frame_time(self->client_);
    bool reads = false;
    for (auto& slot : self->inputs_)
        if (jack_port_t* port = slot.port.load(std::memory_order_seq_cst))
            reads = reads || jack_midi_get_event_count(jack_port_get_buffer(port, nframes)) > 0;
    self->clock_.cycle(cycle, nframes, jack_get_sample_rate(self->client_), now().count(), reads);
    for (auto& slot : self->inputs_) {
        jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
        if (port == nullptr) continue;
        void* buffer = jack_port_get_buffer(port, nframes);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buffer, i) != 0) continue;
            if (jack_ringbuffer_write_space(slot.ring) < ev.size) {
                slot.dropped.fetch_add(ev.size, std::memory_order_relaxed);
                continue;
            }
            std::uint64_t none = 0;
            slot.first_at.compare_exchange_strong(none, self->frame_us(cycle + ev.time),
                                                  std::memory_order_acq_rel);
            jack_ringbuffer_write(slot.ring, reinterpret_cast<const char*>(ev.buffer), ev.size);
            moved = true;
        }
    }
    for (auto& slot : self->outputs_) {
        jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
        if (port == nullptr) continue;
        void* buffer = jack_port_get_buffer(port, nframes);
        jack_midi_clear_buffer(buffer);
        std::uint64_t consumed = slot.consumed.load(std::memory_order_relaxed);
        std::size_t available = jack_ringbuffer_read_space(slot.ring);
        const std::uint64_t discard = slot.discard_until.load(std::memory_order_acquire);
        if (consumed < discard) {
            const auto skip = static_cast<std::size_t>(std::min<std::uint64_t>(available, discard - consumed));
            jack_ringbuffer_read_advance(slot.ring, skip);
            consumed += skip;
            available -= skip;
            // Room was made: the worker may have a send waiting to be fed.
            moved = moved || skip > 0;
        }
        const std::size_t n = std::min({available, kBytesPerCycle, jack_midi_max_event_size(buffer)});
        if (n > 0) {
            if (jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, n)) {
                const std::uint64_t start = slot.job_start.load(std::memory_order_acquire);
                if (consumed <= start && start < consumed + n)
                    slot.taken_at.store(self->frame_us(cycle), std::memory_order_release);
                jack_ringbuffer_read(slot.ring, reinterpret_cast<char*>(data), n);
                consumed += n;
                moved = true;
            }
        }
        slot.consumed.store(consumed, std::memory_order_release);
    }
    self->cycle_end_.fetch_add(1, std::memory_order_acq_rel);
    // sem_post is safe here: it never blocks and allocates nothing (POSIX
    // makes it async-signal-safe); glibc's is an atomic increment that enters
    // the kernel only to wake a worker that sleeps. It is posted only in a
    // cycle that moved bytes, so quiet cycles cost nothing.
    if (moved) self->wake();
    if (self->cycle_waiters_.load(std::memory_order_acquire) > 0) sem_post(&self->connected_);
    return 0;
}

std::uint64_t Client::frame_us(jack_nframes_t frame) const {
    return static_cast<std::uint64_t>(clock_.at(frame));
}

void Client::shutdown(void* arg) {
    auto* self = static_cast<Client*>(arg);
    self->stopped_.store(true, std::memory_order_release);
    self->wake();
    sem_post(&self->connected_);
}

void Client::port_registration(std::uint32_t, int registered, void* arg) {
    if (registered == 0) static_cast<Client*>(arg)->ports_changed();
}

void Client::client_registration(const char*, int registered, void* arg) {
    if (registered == 0) static_cast<Client*>(arg)->ports_changed();
}

void Client::port_connect(std::uint32_t, std::uint32_t, int connected, void* arg) {
    auto* self = static_cast<Client*>(arg);
    if (connected == 0) {
        self->ports_changed();
        return;
    }
    self->connects_.fetch_add(1, std::memory_order_acq_rel);
    sem_post(&self->connected_);
}

// A port went away or lost a connection: the worker looks whether the ports
// Tavrin is connected to are still there.
void Client::ports_changed() {
    ports_changed_.store(true, std::memory_order_release);
    wake();
}

// ---- the worker ----

void Client::feed(OutSlot& slot) {
    if (slot.offset >= slot.job.size()) return;
    const std::size_t room = jack_ringbuffer_write_space(slot.ring);
    const std::size_t n = std::min(room, slot.job.size() - slot.offset);
    if (n == 0) return;
    jack_ringbuffer_write(slot.ring, reinterpret_cast<const char*>(slot.job.data() + slot.offset), n);
    slot.offset += n;
    slot.queued += n;
}

// The open ports whose peers are gone. Their names are taken under mutex_,
// the graph is asked with no engine lock held: libjack may wait on the server.
std::vector<Client::Peer> Client::lost_peers() {
    std::vector<Peer> peers;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < kSlots; ++i) {
            if (inputs_[i].used && !inputs_[i].failed) peers.push_back({true, i, inputs_[i].opened, inputs_[i].source});
            if (outputs_[i].used && !outputs_[i].failed)
                peers.push_back({false, i, outputs_[i].opened, outputs_[i].destination});
        }
    }
    std::erase_if(peers, [&](const Peer& p) { return port_exists(p.name); });
    return peers;
}

void Client::run_worker() {
    pthread_setname_np(pthread_self(), "tavrin-jack");
    std::vector<std::uint8_t> bytes(4096);
    struct Sent {
        OutputSink* sink;
        std::uint64_t ticket;
        Status result;
        std::uint64_t taken_at = 0;  // JACK time of the cycle that carried the first byte
    };
    struct Failed {
        InputSink* in;
        OutputSink* out;
    };
    std::vector<Sent> sent;
    std::vector<Failed> failed;
    const Status stopped_status{MMSYSERR_NODRIVER, kServerStopped};
    const Status gone_status{MMSYSERR_NODRIVER, "The JACK port this MIDI port was connected to is gone."};
    int looks_left = 0;  // looks for lost ports still due after the last notice
    auto look_wait = kFirstLook;
    while (true) {
        bool look = false;
        if (looks_left == 0) {
            while (sem_wait(&wake_) != 0) {  // EINTR only
            }
        } else {
            // Only after a notice, and a bounded number of times: an idle
            // port is never looked at on a timer.
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            const auto ns = deadline.tv_nsec + std::chrono::nanoseconds(look_wait).count();
            deadline.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
            deadline.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            while (sem_clockwait(&wake_, CLOCK_MONOTONIC, &deadline) != 0) {
                if (errno == ETIMEDOUT) {
                    look = true;
                    --looks_left;
                    look_wait *= 2;
                    break;
                }
            }
        }
        // One round answers every post made so far: the posts come after
        // the changes they announce, and the round reads state after this.
        while (sem_trywait(&wake_) == 0) {
        }
        if (quit_.load(std::memory_order_acquire)) break;
        if (ports_changed_.exchange(false, std::memory_order_acq_rel)) {
            look = true;
            looks_left = kLooksAfterNotice;
            look_wait = kFirstLook;
        }
        const std::vector<Peer> lost = look && !server_stopped() ? lost_peers() : std::vector<Peer>{};
        const auto is_lost = [&](bool input, std::size_t index, std::uint64_t opened) {
            return std::any_of(lost.begin(), lost.end(), [&](const Peer& p) {
                return p.input == input && p.index == index && p.opened == opened;
            });
        };
        // Lock order: deliver_mutex_, then mutex_ (as in release()).
        std::unique_lock deliver(deliver_mutex_);
        // What the input rings hold arrived before a loss seen now: it is
        // delivered first, then the loss is told.
        const bool stopped = server_stopped();
        for (auto& slot : inputs_) {
            // `used`, `failed` and `sink` change only under deliver_mutex_ as well.
            if (!slot.used || slot.failed || slot.sink == nullptr) continue;
            // The time of the first event not yet delivered stamps what is read
            // now: exact for a message on its own, early for later ones of a burst.
            const std::uint64_t first = slot.first_at.exchange(0, std::memory_order_acq_rel);
            const Timestamp at = first != 0 ? Timestamp(first) : now();
            while (std::size_t n = jack_ringbuffer_read(slot.ring, reinterpret_cast<char*>(bytes.data()), bytes.size()))
                slot.sink->on_bytes({bytes.data(), n}, at);
            if (const std::uint64_t lost = slot.dropped.exchange(0, std::memory_order_relaxed)) slot.sink->on_overrun(lost);
        }
        std::unique_lock lock(mutex_);
        for (std::size_t i = 0; i < kSlots; ++i) {
            OutSlot& slot = outputs_[i];
            if (!slot.used || slot.failed) continue;
            if (stopped || is_lost(false, i, slot.opened)) {
                slot.failed = true;
                if (slot.pending) sent.push_back({slot.sink, slot.ticket, stopped ? stopped_status : gone_status});
                else failed.push_back({nullptr, slot.sink});
                slot.pending = false;
                continue;
            }
            if (!slot.pending) continue;
            feed(slot);
            if (slot.offset >= slot.job.size() && slot.consumed.load(std::memory_order_acquire) >= slot.job_end) {
                slot.pending = false;
                sent.push_back({slot.sink, slot.ticket, {}, slot.taken_at.load(std::memory_order_acquire)});
            }
        }
        for (std::size_t i = 0; i < kSlots; ++i) {
            InSlot& slot = inputs_[i];
            if (!slot.used || slot.failed) continue;
            if (stopped || is_lost(true, i, slot.opened)) {
                slot.failed = true;
                failed.push_back({slot.sink, nullptr});
            }
        }
        // Sinks are called with mutex_ released (they take the service's lock);
        // deliver_mutex_ lets a closing port wait until its sink is no longer used.
        lock.unlock();
        for (const auto& s : sent) {
            if (s.taken_at != 0) s.sink->on_taken(s.ticket, Timestamp(s.taken_at));
            s.sink->on_sent(s.ticket, s.result);
        }
        for (const auto& f : failed) {
            if (f.in != nullptr) f.in->on_error(stopped ? stopped_status : gone_status);
            if (f.out != nullptr) f.out->on_error(stopped ? stopped_status : gone_status);
        }
        if (stopped) looks_left = 0;
        sent.clear();
        failed.clear();
    }
}

// ---- the program's side ----

std::vector<std::string> Client::list_ports(bool inputs) {
    std::vector<std::string> names;
    if (server_stopped()) return names;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                        inputs ? JackPortIsOutput : JackPortIsInput);
    if (ports == nullptr) return names;
    for (const char** p = ports; *p != nullptr; ++p) {
        jack_port_t* port = jack_port_by_name(client_, *p);
        if (port != nullptr && jack_port_is_mine(client_, port)) continue;
        names.emplace_back(*p);
    }
    jack_free(ports);
    return names;
}

bool Client::port_exists(const std::string& name) {
    return !server_stopped() && jack_port_by_name(client_, name.c_str()) != nullptr;
}

void Client::wait_cycle_end() {
    // A process cycle that began before the caller unpublished a port may
    // still use it; wait for that cycle to end (a fraction of a period).
    const std::uint64_t begun = cycle_begin_.load(std::memory_order_seq_cst);  // see process()
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (cycle_end_.load(std::memory_order_acquire) < begun && !server_stopped() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void Client::unregister(jack_port_t* port) {
    if (port != nullptr && !server_stopped()) jack_port_unregister(client_, port);
}

jack_port_t* Client::register_connected(bool input, int index, const std::string& peer, Status& error) {
    const std::string name = (input ? "in_" : "out_") + std::to_string(index + 1);
    jack_port_t* port =
        jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, input ? JackPortIsInput : JackPortIsOutput, 0);
    if (port == nullptr) {
        error = {MMSYSERR_ERROR, input ? "JACK refused to register Tavrin's input port."
                                       : "JACK refused to register Tavrin's output port."};
        return nullptr;
    }
    const char* from = input ? peer.c_str() : jack_port_name(port);
    const char* to = input ? jack_port_name(port) : peer.c_str();
    if (connecting_hook_) connecting_hook_();
    const std::uint64_t before = connects_.load(std::memory_order_acquire);
    if (jack_connect(client_, from, to) != 0) {
        jack_port_unregister(client_, port);
        if (port_exists(peer))
            error = {MMSYSERR_ERROR, input ? "JACK refused to connect the MIDI input port."
                                           : "JACK refused to connect the MIDI output port."};
        else
            error = {MMSYSERR_NODRIVER, input ? "The JACK port of this MIDI input is gone."
                                              : "The JACK port of this MIDI output is gone."};
        return nullptr;
    }
    wait_connected(before);
    return port;
}

// jack_connect may return before the connection carries data: PipeWire's
// libjack readies the link up to a hundred periods later and tells of it only
// then, so a message sent at once after opening was lost. jackd tells of it
// within a few milliseconds. The notice says nothing of which ports: another
// connection made meanwhile ends the wait early, as before.
void Client::wait_connected(std::uint64_t before) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 1;
    const auto wait_until = [&](auto done) {
        while (!done() && !server_stopped())
            if (sem_clockwait(&connected_, CLOCK_MONOTONIC, &deadline) != 0 && errno == ETIMEDOUT) return false;
        return true;
    };
    if (!wait_until([&] { return connects_.load(std::memory_order_acquire) != before; })) return;
    // The link may carry data only from the cycle after the notice on: let
    // two whole cycles begin and end after it.
    cycle_waiters_.fetch_add(1, std::memory_order_acq_rel);
    const std::uint64_t cycle = cycle_begin_.load(std::memory_order_acquire) + 1;
    wait_until([&] { return cycle_end_.load(std::memory_order_acquire) >= cycle + 1; });
    cycle_waiters_.fetch_sub(1, std::memory_order_acq_rel);
}

// Takes a free slot for an open under way; -1 and `error` set when none is left.
template <class Slot>
int Client::reserve(std::array<Slot, kSlots>& slots, bool input, Status& error) {
    std::lock_guard lock(mutex_);
    if (server_stopped()) {
        error = {MMSYSERR_NODRIVER, kServerStopped};
        return -1;
    }
    auto it = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return !s.used && !s.reserved; });
    if (it == slots.end() || it->ring == nullptr) {
        error = {MMSYSERR_ALLOCATED, input ? "Tavrin has too many JACK input ports open."
                                           : "Tavrin has too many JACK output ports open."};
        return -1;
    }
    it->reserved = true;
    return static_cast<int>(it - slots.begin());
}

// The port is registered and connected with no engine lock held: these
// libjack calls wait on the server, and the wait for the connection lasts up
// to a second, while other ports go on delivering. The slot stays reserved.
int Client::open_input(const std::string& source, InputSink& sink, Status& error) {
    const int index = reserve(inputs_, true, error);
    if (index < 0) return -1;
    InSlot& s = inputs_[static_cast<std::size_t>(index)];
    jack_port_t* port = register_connected(true, index, source, error);
    std::lock_guard deliver(deliver_mutex_);
    std::lock_guard lock(mutex_);
    s.reserved = false;
    if (port == nullptr) return -1;
    s.sink = &sink;
    s.source = source;
    s.first_at.store(0, std::memory_order_release);
    publish(s, port);
    return index;
}

// Locks held: the slot is open, its new port handed to the process callback
// with the ring empty (it may hold bytes of an earlier port).
template <class Slot>
void Client::publish(Slot& s, jack_port_t* port) {
    jack_ringbuffer_reset(s.ring);
    s.used = true;
    s.failed = false;
    ++s.opened;
    s.registered = port;
    s.port.store(port, std::memory_order_seq_cst);  // see process()
}

// Takes the port away from the process callback, waits until no cycle and
// no delivery uses it, then unregisters it (no engine lock held: libjack
// waits on the server) and frees the slot.
template <class Slot>
void Client::release(Slot& s) {
    jack_port_t* port = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!s.used) return;
        // seq_cst: see process().
        s.port.store(nullptr, std::memory_order_seq_cst);
        port = s.registered;
        s.registered = nullptr;
    }
    wait_cycle_end();
    {
        std::lock_guard deliver(deliver_mutex_);  // the worker is not inside this sink
        std::lock_guard lock(mutex_);
        s.used = false;
        s.reserved = true;  // until the port's name is free again
        s.sink = nullptr;
    }
    unregister(port);
    std::lock_guard lock(mutex_);
    s.reserved = false;
}

void Client::close_input(int slot) {
    if (slot < 0 || slot >= static_cast<int>(kSlots)) return;
    release(inputs_[static_cast<std::size_t>(slot)]);
}

int Client::open_output(const std::string& destination, OutputSink& sink, Status& error) {
    const int index = reserve(outputs_, false, error);
    if (index < 0) return -1;
    OutSlot& s = outputs_[static_cast<std::size_t>(index)];
    jack_port_t* port = register_connected(false, index, destination, error);
    std::lock_guard lock(mutex_);
    s.reserved = false;
    if (port == nullptr) return -1;
    s.queued = 0;
    s.job_end = 0;
    s.consumed.store(0, std::memory_order_release);
    s.discard_until.store(0, std::memory_order_release);
    s.pending = false;
    s.sink = &sink;
    s.destination = destination;
    publish(s, port);
    return index;
}

void Client::close_output(int slot) {
    if (slot < 0 || slot >= static_cast<int>(kSlots)) return;
    abort(slot);
    release(outputs_[static_cast<std::size_t>(slot)]);
}

Status Client::send(int slot, std::span<const std::uint8_t> bytes, std::uint64_t ticket) {
    const Status gone{MMSYSERR_NODRIVER, "The JACK port of this MIDI output is gone."};
    std::string destination;
    {
        std::lock_guard lock(mutex_);
        if (server_stopped()) return {MMSYSERR_NODRIVER, kServerStopped};
        if (slot < 0 || slot >= static_cast<int>(kSlots) || !outputs_[static_cast<std::size_t>(slot)].used)
            return {MMSYSERR_INVALHANDLE, "The JACK output port is not open."};
        destination = outputs_[static_cast<std::size_t>(slot)].destination;
    }
    // A notice of the loss may still be on its way, or have come before the
    // graph lost the port: ask the graph (with no engine lock held), and let
    // the worker tell the sink.
    if (!port_exists(destination)) {
        ports_changed();
        return gone;
    }
    std::lock_guard lock(mutex_);
    OutSlot& s = outputs_[static_cast<std::size_t>(slot)];
    if (!s.used) return {MMSYSERR_INVALHANDLE, "The JACK output port is not open."};
    if (s.failed) return gone;
    if (s.pending) return {MIDIERR_NOTREADY, "A send is still under way on this MIDI output."};
    try {
        s.job.assign(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        return {MMSYSERR_NOMEM, "There is not enough memory to copy the message for sending."};
    }
    s.offset = 0;
    s.taken_at.store(0, std::memory_order_relaxed);
    s.job_start.store(s.queued, std::memory_order_release);
    s.job_end = s.queued + bytes.size();
    s.ticket = ticket;
    s.pending = true;
    // The process callback wakes the worker once it has taken or discarded
    // bytes; an empty send is over at once.
    feed(s);
    if (bytes.empty()) wake();
    return {};
}

void Client::abort(int slot) {
    if (slot < 0 || slot >= static_cast<int>(kSlots)) return;
    std::lock_guard lock(mutex_);
    OutSlot& s = outputs_[static_cast<std::size_t>(slot)];
    if (!s.pending) return;
    // What is still in the ring is skipped by the process callback.
    s.pending = false;
    s.offset = s.job.size();
    s.job_end = s.queued;
    s.discard_until.store(s.queued, std::memory_order_release);
}

}  // namespace platform::midi::jack
