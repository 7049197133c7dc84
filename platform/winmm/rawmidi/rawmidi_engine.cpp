#include "winmm/rawmidi/rawmidi_engine.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>

namespace platform::midi::rawmidi {

namespace {

// Room for a burst while the input thread catches up, the most the kernel
// takes: 32,768 chunks of up to 16 bytes in framing mode. Nothing paces a
// device whose other end is software (snd-virmidi sends at memory speed), and
// what overflows the buffer is lost.
constexpr std::size_t kInputBuffer = 1024 * 1024;
constexpr short kLost = POLLERR | POLLHUP | POLLNVAL;
const char* const kGone = "The rawmidi device of this MIDI port was removed.";

Timestamp now() {
    return std::chrono::duration_cast<Timestamp>(std::chrono::steady_clock::now().time_since_epoch());
}

std::string alsa_error(const char* what, int err) { return std::string(what) + ": " + snd_strerror(err); }

// The WinMM code for a device that would not open or failed.
MMRESULT code_for(int err) {
    switch (-err) {
    case EBUSY: return MMSYSERR_ALLOCATED;
    case ENODEV:
    case ENOENT:
    case ENXIO: return MMSYSERR_NODRIVER;
    case ENOMEM: return MMSYSERR_NOMEM;
    default: return MMSYSERR_ERROR;
    }
}

std::vector<pollfd> descriptors(snd_rawmidi_t* handle, short events) {
    const int n = snd_rawmidi_poll_descriptors_count(handle);
    std::vector<pollfd> fds(static_cast<std::size_t>(n > 0 ? n : 0));
    const int got = snd_rawmidi_poll_descriptors(handle, fds.data(), static_cast<unsigned>(fds.size()));
    fds.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    for (auto& fd : fds) fd.events = events;
    return fds;
}

// Waits for any of `fds`; false when poll itself failed.
bool wait(std::vector<pollfd>& fds) {
    for (;;) {
        for (auto& fd : fds) fd.revents = 0;
        if (::poll(fds.data(), fds.size(), -1) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

short device_events(const std::vector<pollfd>& fds) {
    short events = 0;
    for (std::size_t i = 1; i < fds.size(); ++i) events = static_cast<short>(events | fds[i].revents);
    return events;
}

struct Params {
    Params() {
        if (snd_rawmidi_params_malloc(&p) < 0) throw std::bad_alloc();
    }
    ~Params() { snd_rawmidi_params_free(p); }
    Params(const Params&) = delete;
    Params& operator=(const Params&) = delete;
    snd_rawmidi_params_t* p = nullptr;
};

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

Handle open_handle(const std::string& address, bool input, Status& error) {
    // The library writes its own complaints to stderr (a status request of a
    // removed card, say); the engine reports failures itself.
    snd_lib_error_set_handler(quiet_alsa);
    snd_rawmidi_t* raw = nullptr;
    const int err = input ? snd_rawmidi_open(&raw, nullptr, address.c_str(), SND_RAWMIDI_NONBLOCK)
                          : snd_rawmidi_open(nullptr, &raw, address.c_str(), SND_RAWMIDI_NONBLOCK);
    if (err < 0) {
        error = {code_for(err), alsa_error(input ? "The rawmidi input cannot be opened"
                                                 : "The rawmidi output cannot be opened", err)};
        return {};
    }
    return Handle(raw);
}

}  // namespace

void RawmidiClose::operator()(snd_rawmidi_t* handle) const { snd_rawmidi_close(handle); }

WakeFd::WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeFd::~WakeFd() { ::close(fd_); }

void WakeFd::signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
}

void WakeFd::drain() const {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(fd_, &value, sizeof value);
}

// ---- the devices ----

bool any_card() {
    int card = -1;
    return snd_card_next(&card) >= 0 && card >= 0;
}

namespace {

void list_device(snd_ctl_t* ctl, int card, int device, bool inputs, std::vector<DeviceEntry>& out) {
    snd_rawmidi_info_t* info;
    snd_rawmidi_info_alloca(&info);
    snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
    snd_rawmidi_info_set_stream(info, inputs ? SND_RAWMIDI_STREAM_INPUT : SND_RAWMIDI_STREAM_OUTPUT);
    const std::string base = "hw:" + std::to_string(card) + "," + std::to_string(device);
    for (unsigned sub = 0;; ++sub) {
        snd_rawmidi_info_set_subdevice(info, sub);
        if (snd_ctl_rawmidi_info(ctl, info) < 0) return;
        const std::string sub_name = snd_rawmidi_info_get_subdevice_name(info);
        if (sub == 0 && sub_name.empty()) {
            // Unnamed substreams are one line for the whole device.
            out.push_back({base, snd_rawmidi_info_get_name(info), card, device});
            return;
        }
        out.push_back({base + "," + std::to_string(sub), sub_name, card, device});
        if (sub + 1 >= snd_rawmidi_info_get_subdevices_count(info)) return;
    }
}

}  // namespace

std::vector<DeviceEntry> list_devices(bool inputs) {
    std::vector<DeviceEntry> out;
    int card = -1;
    while (snd_card_next(&card) >= 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
        int device = -1;
        while (snd_ctl_rawmidi_next_device(ctl, &device) >= 0 && device >= 0)
            list_device(ctl, card, device, inputs, out);
        snd_ctl_close(ctl);
    }
    return out;
}

// ---- input ----

std::unique_ptr<Input> Input::open(const std::string& address, InputSink& sink, Status& error) {
    std::unique_ptr<Input> in(new Input());
    in->sink_ = &sink;
    in->handle_ = open_handle(address, true, error);
    if (!in->handle_) return nullptr;
    snd_rawmidi_t* h = in->handle_.get();
    Params params;
    snd_rawmidi_params_current(h, params.p);
    snd_rawmidi_params_set_buffer_size(h, params.p, kInputBuffer);
    snd_rawmidi_params_set_avail_min(h, params.p, 1);
    // The kernel's time stamp of each chunk, on the clock of steady_clock;
    // kernels before 5.14 know no framing and give plain bytes.
    snd_rawmidi_params_set_read_mode(h, params.p, SND_RAWMIDI_READ_TSTAMP);
    snd_rawmidi_params_set_clock_type(h, params.p, SND_RAWMIDI_CLOCK_MONOTONIC);
    in->stamped_ = snd_rawmidi_params(h, params.p) >= 0;
    if (!in->stamped_) {
        snd_rawmidi_params_set_read_mode(h, params.p, SND_RAWMIDI_READ_STANDARD);
        snd_rawmidi_params_set_clock_type(h, params.p, SND_RAWMIDI_CLOCK_NONE);
        if (int err = snd_rawmidi_params(h, params.p); err < 0) {
            error = {code_for(err), alsa_error("The rawmidi input cannot be set up", err)};
            return nullptr;
        }
    }
    // A substream takes input only once it is triggered, which a poll or a
    // read does: before open returns, so that what is sent next is not lost
    // while the thread starts (snd-virmidi drops it; USB leaves it unread).
    auto fds = descriptors(h, POLLIN);
    ::poll(fds.data(), fds.size(), 0);
    in->thread_ = std::thread([p = in.get()] { p->run(); });
    return in;
}

Input::~Input() {
    if (thread_.joinable()) {
        stop_.signal();
        thread_.join();
    }
}

void Input::run() {
    pthread_setname_np(pthread_self(), "tavrin-raw-in");
    snd_rawmidi_t* h = handle_.get();
    std::vector<pollfd> fds{{stop_.fd(), POLLIN, 0}};
    for (const auto& fd : descriptors(h, POLLIN)) fds.push_back(fd);
    std::uint8_t bytes[4096];
    bool lost = false;
    while (wait(fds)) {
        if (fds[0].revents != 0) return;
        for (;;) {
            Timestamp at;
            ssize_t n;
            if (stamped_) {
                timespec ts{};
                n = snd_rawmidi_tread(h, &ts, bytes, sizeof bytes);
                at = std::chrono::duration_cast<Timestamp>(std::chrono::seconds(ts.tv_sec) +
                                                           std::chrono::nanoseconds(ts.tv_nsec));
            } else {
                n = snd_rawmidi_read(h, bytes, sizeof bytes);
                at = now();
            }
            if (n == -EAGAIN || n == -EINTR || n == 0) break;
            if (n < 0) {
                lost = true;
                break;
            }
            sink_->on_bytes({bytes, static_cast<std::size_t>(n)}, at);
        }
        // Bytes the kernel's buffer had no room for; reading the status clears the count.
        snd_rawmidi_status_t* status;
        snd_rawmidi_status_alloca(&status);
        if (!lost && snd_rawmidi_status(h, status) == 0 && snd_rawmidi_status_get_xruns(status) > 0)
            sink_->on_overrun(snd_rawmidi_status_get_xruns(status));
        if (lost || (device_events(fds) & kLost) != 0) {
            sink_->on_error({MMSYSERR_NODRIVER, kGone});
            fds.resize(1);  // only the stop signal from now on
        }
        lost = false;
    }
}

// ---- output ----

std::unique_ptr<Output> Output::open(const std::string& address, OutputSink& sink, Status& error) {
    std::unique_ptr<Output> out(new Output());
    out->sink_ = &sink;
    out->handle_ = open_handle(address, false, error);
    if (!out->handle_) return nullptr;
    snd_rawmidi_t* h = out->handle_.get();
    Params params;
    snd_rawmidi_params_current(h, params.p);
    out->buffer_size_ = snd_rawmidi_params_get_buffer_size(params.p);
    const auto fds = descriptors(h, 0);
    if (int err = fds.empty() ? -EBADF : wake_when_empty(fds.front().fd, out->buffer_size_); err < 0) {
        error = {code_for(err), alsa_error("The rawmidi output cannot be set up", err)};
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
        }
        wake_.signal();
        thread_.join();
    }
    // A send cut short leaves nothing behind for close() to wait for.
    if (handle_ && !gone_.load()) snd_rawmidi_drop(handle_.get());
}

Status Output::send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) {
    // An idle output is not woken when its card goes away; the kernel
    // answers a status request of a removed device with ENODEV.
    snd_rawmidi_status_t* status;
    snd_rawmidi_status_alloca(&status);
    if (gone_.load(std::memory_order_acquire) || snd_rawmidi_status(handle_.get(), status) == -ENODEV) {
        gone_.store(true, std::memory_order_release);
        return {MMSYSERR_NODRIVER, kGone};
    }
    std::lock_guard lock(mutex_);
    if (busy_) return {MIDIERR_NOTREADY, "A send is still under way on this MIDI output."};
    try {
        job_.assign(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        return {MMSYSERR_NOMEM, "There is not enough memory to copy the message for sending."};
    }
    ticket_ = ticket;
    queued_ = busy_ = true;
    abort_ = false;
    wake_.signal();
    return {};
}

void Output::abort() {
    std::unique_lock lock(mutex_);
    if (!busy_) return;
    abort_ = true;
    wake_.signal();
    cv_.wait(lock, [this] { return !busy_; });
}

bool Output::pump(std::span<const std::uint8_t> job, std::size_t& done, Status& result) {
    snd_rawmidi_t* h = handle_.get();
    while (done < job.size()) {
        // Taken when handed to the kernel: its driver may pass the bytes on
        // before the call returns.
        if (done == 0) taken_ = now();
        const ssize_t n = snd_rawmidi_write(h, job.data() + done, job.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == -EINTR) continue;
        if (n == -EAGAIN || n == 0) return false;  // full: wait for room
        result = {code_for(static_cast<int>(n)), alsa_error("The rawmidi output refused the data", static_cast<int>(n))};
        return true;
    }
    snd_rawmidi_status_t* status;
    snd_rawmidi_status_alloca(&status);
    if (int err = snd_rawmidi_status(h, status); err < 0) {
        result = {code_for(err), alsa_error("The rawmidi output cannot be read", err)};
        return true;
    }
    return snd_rawmidi_status_get_avail(status) >= buffer_size_;
}

void Output::run() {
    pthread_setname_np(pthread_self(), "tavrin-raw-out");
    std::vector<pollfd> fds{{wake_.fd(), POLLIN, 0}};
    for (const auto& fd : descriptors(handle_.get(), 0)) fds.push_back(fd);
    std::vector<std::uint8_t> job;
    std::size_t done = 0;
    std::uint64_t ticket = 0;
    bool active = false;
    bool lost = false;
    for (;;) {
        // A device whose card went away answers POLLERR whatever is asked.
        for (std::size_t i = 1; i < fds.size(); ++i) fds[i].events = active ? POLLOUT : 0;
        if (!wait(fds)) return;
        if (fds[0].revents != 0) {
            wake_.drain();
            std::lock_guard lock(mutex_);
            if (quit_) return;
            if (abort_) {
                if (!lost) snd_rawmidi_drop(handle_.get());
                active = queued_ = busy_ = abort_ = false;
                cv_.notify_all();
            }
            if (queued_) {
                job.swap(job_);
                ticket = ticket_;
                queued_ = false;
                active = true;
                done = 0;
            }
        }
        if (!lost && (device_events(fds) & kLost) != 0) {
            lost = true;
            gone_.store(true, std::memory_order_release);
            fds.resize(1);
            if (!active) sink_->on_error({MMSYSERR_NODRIVER, kGone});
        }
        if (!active) continue;
        Status result;
        if (lost)
            result = {MMSYSERR_NODRIVER, kGone};
        else if (!pump(job, done, result))
            continue;
        if (result.code == MMSYSERR_NODRIVER) {
            lost = true;
            gone_.store(true, std::memory_order_release);
            fds.resize(1);
        }
        active = false;
        bool aborted = false;
        {
            std::lock_guard lock(mutex_);
            aborted = abort_;
            busy_ = abort_ = false;
        }
        cv_.notify_all();
        if (aborted) continue;
        if (result) sink_->on_taken(ticket, taken_);
        sink_->on_sent(ticket, result);
    }
}

}  // namespace platform::midi::rawmidi
