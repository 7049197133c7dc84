#include "winmm/alsa/alsa_engine.h"

#include "winmm/midi_wire.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <chrono>

namespace platform::midi::alsa {

namespace {

constexpr const char* kClientName = "Tavrin";
// Bytes per sequencer event of a long send: far below the pool's limit, and
// small enough that a receiver's pool keeps up.
constexpr std::size_t kPieceBytes = 256;
// After this many pieces in a row the sender lets the receivers drain.
constexpr int kPiecesPerBurst = 8;
constexpr int kBurstPauseMs = 1;
constexpr std::chrono::microseconds kWireByteTime = midi_wire::kByteTime;
// What a hardware port may hold ahead of its wire: a quarter of the output
// buffer the sequencer's MIDI driver (snd-seq-midi) gives a card's port by
// default (4,096 bytes), which a message that does not fit is dropped from.
constexpr std::size_t kWireLeadBytes = 1024;
const std::string kStopped = "The send was stopped.";
const std::string kRemoved = "The ALSA sequencer port of this MIDI output was removed.";

Timestamp now() {
    return std::chrono::duration_cast<Timestamp>(std::chrono::steady_clock::now().time_since_epoch());
}

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

void signal_fd(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

void drain_fd(int fd) {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
}

// Waits for the sequencer's descriptors (events `what`) or the stop fd.
// Returns 1 when the sequencer is ready, 0 on the time-out, -1 when stopped.
// With no `seq`, waits for the stop alone.
int wait_seq(snd_seq_t* seq, short what, int stop_fd, int timeout_ms) {
    const int n = seq != nullptr ? snd_seq_poll_descriptors_count(seq, what) : 0;
    std::vector<pollfd> fds(static_cast<std::size_t>(std::max(n, 0)) + 1);
    const int got = n > 0 ? snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(n), what) : 0;
    fds[static_cast<std::size_t>(got)] = {stop_fd, POLLIN, 0};
    fds.resize(static_cast<std::size_t>(got) + 1);
    for (;;) {
        const int r = ::poll(fds.data(), fds.size(), timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        if (fds.back().revents != 0) return -1;
        return 1;
    }
}

}  // namespace

SeqHandle& SeqHandle::operator=(SeqHandle&& other) noexcept {
    if (this != &other) {
        if (seq_ != nullptr) snd_seq_close(seq_);
        seq_ = other.seq_;
        other.seq_ = nullptr;
    }
    return *this;
}

SeqHandle::~SeqHandle() {
    if (seq_ != nullptr) snd_seq_close(seq_);
}

std::string alsa_error(const char* what, int err) {
    return std::string(what) + ": " + snd_strerror(err);
}

SeqHandle open_client(int mode, std::string& error) {
    snd_seq_t* seq = nullptr;
    // The library writes its own complaint to stderr when /dev/snd/seq is
    // missing; that is a normal answer here (JACK may be used instead).
    snd_lib_error_set_handler(quiet_alsa);
    if (int err = snd_seq_open(&seq, "default", mode, SND_SEQ_NONBLOCK); err < 0) {
        error = alsa_error("The ALSA sequencer cannot be opened", err);
        return {};
    }
    snd_seq_set_client_name(seq, kClientName);
    return SeqHandle(seq);
}

std::vector<PortEntry> list_ports(snd_seq_t* seq, bool inputs) {
    const unsigned want = inputs ? (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)
                                 : (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    std::vector<PortEntry> ports;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM) continue;  // Timer and Announce
        if (std::string_view(snd_seq_client_info_get_name(client)) == kClientName) continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(port);
            if ((caps & want) != want || (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) continue;
            const unsigned type = snd_seq_port_info_get_type(port);
            if ((type & (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE |
                         SND_SEQ_PORT_TYPE_SYNTHESIZER | SND_SEQ_PORT_TYPE_APPLICATION)) == 0)
                continue;
            ports.push_back({{id, snd_seq_port_info_get_port(port)}, snd_seq_port_info_get_name(port)});
        }
    }
    return ports;
}

bool port_exists(snd_seq_t* seq, Address address) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    return snd_seq_get_any_port_info(seq, address.client, address.port, info) >= 0;
}

// ---- input ----

std::unique_ptr<Input> Input::open(Address source, InputSink& sink, std::string& error, int* subscribe_error) {
    std::unique_ptr<Input> in(new Input());
    in->seq_ = open_client(SND_SEQ_OPEN_INPUT, error);
    if (!in->seq_) return nullptr;
    snd_seq_t* seq = in->seq_.get();
    in->source_ = source;
    in->sink_ = &sink;
    if (!port_exists(seq, source)) {
        error = "The MIDI input port is no longer there.";
        return nullptr;
    }
    // Room for a flood without loss while the thread catches up.
    snd_seq_set_client_pool_input(seq, 2000);
    snd_seq_set_input_buffer_size(seq, 64 * 1024);
    in->own_port_ = snd_seq_create_simple_port(seq, "Tavrin Input",
                                               SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (in->own_port_ < 0) {
        error = alsa_error("Tavrin's input port cannot be created", in->own_port_);
        return nullptr;
    }
    // The System announcements tell when the source port goes away. They are
    // subscribed to first: a source that goes away once it is subscribed is
    // then always told of, and one that went before fails the subscription.
    snd_seq_connect_from(seq, in->own_port_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (int err = in->subscribe_stamped(); err < 0) {
        if (subscribe_error != nullptr) *subscribe_error = err;
        error = alsa_error("The MIDI input port cannot be subscribed", err);
        return nullptr;
    }
    if (int err = snd_midi_event_new(kPieceBytes, &in->decoder_); err < 0) {
        error = alsa_error("The MIDI decoder cannot be created", err);
        return nullptr;
    }
    snd_midi_event_no_status(in->decoder_, 1);  // every message with its status byte
    in->stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (in->stop_fd_ < 0) {
        error = "The MIDI input thread cannot be started.";
        return nullptr;
    }
    in->thread_ = std::thread([p = in.get()] { p->run(); });
    return in;
}

// Subscribes our port to the source with the arrival of every event stamped
// in real time by a queue of our own, whose time zero is found on the steady
// clock; without a queue (no timer), the events come unstamped.
int Input::subscribe_stamped() {
    snd_seq_t* seq = seq_.get();
    snd_seq_addr_t sender{static_cast<unsigned char>(source_.client), static_cast<unsigned char>(source_.port)};
    snd_seq_addr_t dest{static_cast<unsigned char>(snd_seq_client_id(seq)), static_cast<unsigned char>(own_port_)};
    snd_seq_port_subscribe_t* sub;
    snd_seq_port_subscribe_alloca(&sub);
    snd_seq_port_subscribe_set_sender(sub, &sender);
    snd_seq_port_subscribe_set_dest(sub, &dest);
    const int queue = snd_seq_alloc_queue(seq);
    if (queue >= 0) {
        snd_seq_port_subscribe_set_queue(sub, queue);
        snd_seq_port_subscribe_set_time_update(sub, 1);
        snd_seq_port_subscribe_set_time_real(sub, 1);
        snd_seq_queue_status_t* status;
        snd_seq_queue_status_alloca(&status);
        if (snd_seq_start_queue(seq, queue, nullptr) >= 0 && snd_seq_drain_output(seq) >= 0 &&
            snd_seq_get_queue_status(seq, queue, status) >= 0) {
            const snd_seq_real_time_t* t = snd_seq_queue_status_get_real_time(status);
            queue_zero_ = now() - std::chrono::duration_cast<Timestamp>(std::chrono::seconds(t->tv_sec) +
                                                                        std::chrono::nanoseconds(t->tv_nsec));
        } else {
            snd_seq_port_subscribe_set_queue(sub, 0);
            snd_seq_port_subscribe_set_time_update(sub, 0);
        }
    }
    return snd_seq_subscribe_port(seq, sub);
}

Timestamp Input::arrival(const snd_seq_event_t& ev) const {
    if (queue_zero_ == Timestamp::min() || (ev.flags & SND_SEQ_TIME_STAMP_MASK) != SND_SEQ_TIME_STAMP_REAL)
        return now();
    return queue_zero_ + std::chrono::duration_cast<Timestamp>(std::chrono::seconds(ev.time.time.tv_sec) +
                                                               std::chrono::nanoseconds(ev.time.time.tv_nsec));
}

Input::~Input() {
    if (thread_.joinable()) {
        signal_fd(stop_fd_);
        thread_.join();
    }
    if (stop_fd_ >= 0) ::close(stop_fd_);
    if (decoder_ != nullptr) snd_midi_event_free(decoder_);
}

void Input::run() {
    pthread_setname_np(pthread_self(), "tavrin-alsa-in");
    snd_seq_t* seq = seq_.get();
    std::uint8_t bytes[kPieceBytes];
    for (;;) {
        if (wait_seq(seq, POLLIN, stop_fd_, -1) < 0) return;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq, &ev);
            if (r == -EAGAIN || r == -EINTR) break;
            if (r == -ENOSPC) {  // the kernel dropped events that found Tavrin's queue full
                sink_->on_overrun(0);
                continue;
            }
            if (r < 0) {
                // The sequencer itself failed: its descriptor would stay ready
                // and the next poll return at once, so the input ends here.
                if (!gone_.exchange(true))
                    sink_->on_error({MMSYSERR_NODRIVER, alsa_error("The ALSA sequencer stopped reading this MIDI input", r)});
                wait_seq(nullptr, 0, stop_fd_, -1);
                return;
            }
            if (ev == nullptr) break;
            if (ev->source.client == SND_SEQ_CLIENT_SYSTEM) {
                // A port that goes away first ends its subscriptions, and the
                // subscriber hears of its own at once; the announcement of the
                // port's exit may come seconds later, once a card's driver has
                // given up draining the output of the same device.
                const snd_seq_connect_t& link = ev->data.connect;
                if ((ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED && link.sender.client == source_.client &&
                     link.sender.port == source_.port && link.dest.client == snd_seq_client_id(seq) &&
                     link.dest.port == own_port_) ||
                    (ev->type == SND_SEQ_EVENT_PORT_EXIT &&
                     ev->data.addr.client == source_.client && ev->data.addr.port == source_.port) ||
                    (ev->type == SND_SEQ_EVENT_CLIENT_EXIT && ev->data.addr.client == source_.client)) {
                    if (!gone_.exchange(true))
                        sink_->on_error({MMSYSERR_NODRIVER, "The ALSA sequencer port of this MIDI input was removed."});
                }
                continue;
            }
            if (gone_.load()) continue;
            if (ev->type == SND_SEQ_EVENT_SYSEX) {
                sink_->on_bytes({static_cast<const std::uint8_t*>(ev->data.ext.ptr), ev->data.ext.len}, arrival(*ev));
                continue;
            }
            const long n = snd_midi_event_decode(decoder_, bytes, sizeof bytes, ev);
            if (n > 0) sink_->on_bytes({bytes, static_cast<std::size_t>(n)}, arrival(*ev));
        }
    }
}

// ---- output ----

std::unique_ptr<Output> Output::open(Address destination, OutputSink& sink, std::string& error,
                                     int* subscribe_error) {
    std::unique_ptr<Output> out(new Output());
    out->sink_ = &sink;
    out->seq_ = open_client(SND_SEQ_OPEN_DUPLEX, error);
    if (!out->seq_) return nullptr;
    snd_seq_t* seq = out->seq_.get();
    out->destination_ = destination;
    if (!port_exists(seq, destination)) {
        error = "The MIDI output port is no longer there.";
        return nullptr;
    }
    out->own_port_ = snd_seq_create_simple_port(seq, "Tavrin Output",
                                                SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (out->own_port_ < 0) {
        error = alsa_error("Tavrin's output port cannot be created", out->own_port_);
        return nullptr;
    }
    {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_any_port_info(seq, destination.client, destination.port, info) >= 0)
            out->wire_paced_ = (snd_seq_port_info_get_type(info) & SND_SEQ_PORT_TYPE_HARDWARE) != 0;
    }
    if (int err = snd_seq_connect_to(seq, out->own_port_, destination.client, destination.port); err < 0) {
        if (subscribe_error != nullptr) *subscribe_error = err;
        error = alsa_error("The MIDI output port cannot be subscribed", err);
        return nullptr;
    }
    if (int err = snd_midi_event_new(kPieceBytes, &out->encoder_); err < 0) {
        error = alsa_error("The MIDI encoder cannot be created", err);
        return nullptr;
    }
    out->stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (out->stop_fd_ < 0) {
        error = "The MIDI output thread cannot be started.";
        return nullptr;
    }
    out->thread_ = std::thread([p = out.get()] { p->run(); });
    return out;
}

Output::~Output() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            abort_.store(true);
        }
        cv_.notify_all();
        signal_fd(stop_fd_);
        thread_.join();
    }
    if (stop_fd_ >= 0) ::close(stop_fd_);
    if (encoder_ != nullptr) snd_midi_event_free(encoder_);
}

bool Output::gone() const { return !port_exists(seq_.get(), destination_); }

Status Output::send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) {
    if (gone()) return {MMSYSERR_NODRIVER, kRemoved};
    std::lock_guard lock(mutex_);
    if (queued_ || transmitting_) return {MIDIERR_NOTREADY, "A send is still under way on this MIDI output."};
    abort_.store(false);
    try {
        job_.assign(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        return {MMSYSERR_NOMEM, "There is not enough memory to copy the message for sending."};
    }
    ticket_ = ticket;
    queued_ = true;
    cv_.notify_all();
    return {};
}

void Output::abort() {
    std::unique_lock lock(mutex_);
    abort_.store(true);
    queued_ = false;
    if (!transmitting_) return;
    signal_fd(stop_fd_);
    // At most the piece on its way: the thread checks between pieces.
    cv_.wait(lock, [this] { return !transmitting_; });
}

void Output::run() {
    pthread_setname_np(pthread_self(), "tavrin-alsa-out");
    std::vector<std::uint8_t> job;
    for (;;) {
        std::uint64_t ticket = 0;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return quit_ || queued_; });
            if (quit_) return;
            job.swap(job_);
            ticket = ticket_;
            queued_ = false;
            transmitting_ = true;
            drain_fd(stop_fd_);
        }
        const std::string error = abort_.load() ? kStopped : transmit(job);
        const Timestamp taken = taken_;
        bool aborted = false;
        {
            std::lock_guard lock(mutex_);
            transmitting_ = false;
            aborted = abort_.load();
        }
        cv_.notify_all();
        if (aborted) continue;
        // Events sent to a port that has gone reach no one, and the sequencer
        // does not say so: a send during which the port went away has failed.
        Status result;
        if (!error.empty()) result = {static_cast<MMRESULT>(gone() ? MMSYSERR_NODRIVER : MMSYSERR_ERROR), error};
        else if (gone()) result = {MMSYSERR_NODRIVER, kRemoved};
        else sink_->on_taken(ticket, taken);
        sink_->on_sent(ticket, result);
    }
}

bool Output::wait_writable(int timeout_ms) {
    return wait_seq(seq_.get(), POLLOUT, stop_fd_, timeout_ms) >= 0 && !abort_.load();
}

bool Output::pause(int ms) {
    pollfd fd{stop_fd_, POLLIN, 0};
    while (::poll(&fd, 1, ms) < 0 && errno == EINTR) {}
    return !abort_.load();
}

// Waits, on a hardware port, until `bytes` more fit within the lead the
// port may hold ahead of its wire.
bool Output::wait_for_wire(std::size_t bytes, bool& waited) {
    if (!wire_paced_) return true;
    const auto now = std::chrono::steady_clock::now();
    wire_free_ = std::max(wire_free_, now);
    const auto due = wire_free_ + kWireByteTime * static_cast<long>(bytes) - kWireByteTime * static_cast<long>(kWireLeadBytes);
    if (due > now) {
        waited = true;
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
        const timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
        pollfd fd{stop_fd_, POLLIN, 0};
        while (::ppoll(&fd, 1, &ts, nullptr) < 0 && errno == EINTR) {}
        if (abort_.load()) return false;
    }
    wire_free_ += kWireByteTime * static_cast<long>(bytes);
    return true;
}

std::string Output::put(snd_seq_event_t& ev, std::size_t bytes) {
    bool waited = false;
    if (!wait_for_wire(bytes, waited)) return kStopped;
    // A paced send can last minutes: a port that went away meanwhile ends it
    // rather than have the rest go out to no one.
    if (waited && gone()) return kRemoved;
    snd_seq_ev_set_source(&ev, own_port_);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    for (;;) {
        // Taken when handed to the sequencer, which delivers a direct event
        // (and may stamp its arrival) before the call returns.
        const Timestamp handed = now();
        const int r = snd_seq_event_output_direct(seq_.get(), &ev);
        if (r >= 0) {
            if (taken_ == Timestamp::min()) taken_ = handed;
            return {};
        }
        if (r != -EAGAIN && r != -ENOMEM) return alsa_error("The MIDI output port refused the data", r);
        // The pool is full: wait until the kernel has room again.
        if (!wait_writable(100)) return kStopped;
    }
}

std::string Output::transmit(std::span<const std::uint8_t> bytes) {
    snd_midi_event_reset_encode(encoder_);
    taken_ = Timestamp::min();
    int pieces = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (abort_.load()) return kStopped;
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        if (bytes[i] == 0xF0) {
            // SysEx goes out as it stands, in pieces, even when this buffer
            // holds only part of it.
            std::size_t n = 0;
            while (i + n < bytes.size() && n < kPieceBytes) {
                if (bytes[i + n++] == 0xF7) break;
            }
            snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<std::uint8_t*>(bytes.data() + i));
            if (auto err = put(ev, n); !err.empty()) return err;
            const bool ended = bytes[i + n - 1] == 0xF7;
            i += n;
            // Continue the same SysEx in the next piece.
            while (!ended && i < bytes.size() && bytes[i] != 0xF0) {
                std::size_t m = 0;
                bool end = false;
                while (i + m < bytes.size() && m < kPieceBytes && !end) end = bytes[i + m++] == 0xF7;
                snd_seq_ev_clear(&ev);
                snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(m), const_cast<std::uint8_t*>(bytes.data() + i));
                if (auto err = put(ev, m); !err.empty()) return err;
                i += m;
                if (++pieces % kPiecesPerBurst == 0 && i < bytes.size() && !pause(kBurstPauseMs)) return kStopped;
                if (end) break;
            }
            ++pieces;
            continue;
        }
        if (snd_midi_event_encode_byte(encoder_, bytes[i++], &ev) == 1) {
            // (at most a status byte and two data bytes reach the wire)
            if (auto err = put(ev, 3); !err.empty()) return err;
            if (++pieces % kPiecesPerBurst == 0 && i < bytes.size() && !pause(kBurstPauseMs)) return kStopped;
        }
    }
    return {};
}

}  // namespace platform::midi::alsa
