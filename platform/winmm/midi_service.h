// The MIDI service behind the WinMM functions: handles, header flags, input
// assembly and notification over one port backend.
//
// Threads and the one lock: the program calls in on its own thread; engines
// call the sinks (MidiInPort, MidiOutPort) from theirs. Every piece of state
// below is guarded by MidiService::mutex(). Header fields are written only on
// the program's thread: a header the engine gives back becomes a Publication,
// applied when its notification is retrieved or at the next service call,
// whichever comes first. Data bytes are written by the engine under the lock,
// into a buffer the service still owns.
#pragma once

#include "winmm/input_assembly.h"
#include "winmm/port_backend.h"
#include "winmm/service.h"

#include <mmsystem.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::midi {

class MidiService;

// A change of a given-back header, made on the program's thread.
struct Publication {
    std::uint64_t seq = 0;
    MIDIHDR* header = nullptr;
    std::optional<DWORD> bytes_recorded;
};

class MidiInPort final : public InputSink, private InputAssembly::Output {
public:
    MidiInPort(MidiService& service, unsigned index, HWND window);

    // Program's thread, lock held.
    MMRESULT add_buffer(MIDIHDR* header);
    MMRESULT start();
    MMRESULT stop();
    MMRESULT reset();
    bool holds_buffers() const { return assembly_.holds_buffers(); }
    std::size_t queued() const { return assembly_.queued(); }
    void close() { closed_ = true; }
    void set_handle(HMIDIIN handle) { handle_ = handle; }
    void short_retrieved() {
        if (pending_short_ > 0) --pending_short_;
    }
    InputCounters counters() const {
        return {short_dropped_, assembly_.bytes_dropped(), pending_short_, overruns_, overrun_bytes_};
    }
    std::optional<Timestamp> last_arrival() const { return last_arrival_; }
    unsigned index() const { return index_; }
    HWND window() const { return window_; }

    // Engine's thread; take the lock.
    void on_bytes(std::span<const std::uint8_t> bytes, Timestamp at) override;
    void on_error(const Status& why) override;
    void on_overrun(std::uint64_t bytes) override;

    std::unique_ptr<InputPort> port;  // the backend's port; destroyed before this object

private:
    // InputAssembly::Output
    void give_back(const InputAssembly::Buffer& buffer) override;
    void short_message(DWORD message) override;

    MidiService& service_;
    const unsigned index_;
    const HWND window_;
    HMIDIIN handle_ = nullptr;
    bool closed_ = false;
    bool recording_ = false;
    Status failure_;
    InputAssembly assembly_{*this};
    // Short-message notifications in flight, and those lost.
    unsigned pending_short_ = 0;
    unsigned long long short_dropped_ = 0;
    unsigned long long overruns_ = 0;       // input the engine lost before taking it
    unsigned long long overrun_bytes_ = 0;
    std::optional<Timestamp> last_arrival_;  // first byte of the last SysEx given back
};

class MidiOutPort final : public OutputSink {
public:
    MidiOutPort(MidiService& service, unsigned index, HWND window);

    // Program's thread, lock held.
    MMRESULT begin_send(MIDIHDR* header, std::uint64_t ticket);
    void cancel_send(std::uint64_t ticket, DWORD old_flags);
    // Gives the header of a send under way back at once; true when there was one.
    bool abandon_send();
    bool sending() const { return sending_ != nullptr; }
    void close() { closed_ = true; }
    void set_handle(HMIDIOUT handle) { handle_ = handle; }
    unsigned index() const { return index_; }
    HWND window() const { return window_; }

    // Engine's thread; take the lock.
    void on_sent(std::uint64_t ticket, const Status& result) override;
    void on_taken(std::uint64_t ticket, Timestamp at) override;
    void on_error(const Status& why) override;

    std::optional<Timestamp> last_taken() const { return last_taken_; }

    std::unique_ptr<OutputPort> port;

private:
    MidiService& service_;
    const unsigned index_;
    const HWND window_;
    HMIDIOUT handle_ = nullptr;
    bool closed_ = false;
    Status failure_;
    MIDIHDR* sending_ = nullptr;
    std::uint64_t ticket_ = 0;
    std::optional<Timestamp> last_taken_;  // when the engine took the last send
};

class MidiService {
public:
    MidiService() = default;
    ~MidiService();
    MidiService(const MidiService&) = delete;
    MidiService& operator=(const MidiService&) = delete;

    std::mutex& mutex() { return mutex_; }

    // Lock held: queues a publication and posts its notification, whose
    // retrieval applies it (and every one before it).
    void give_back(HWND window, UINT message, WPARAM wp, MIDIHDR* header, std::optional<DWORD> recorded);
    // Lock held: posts MM_MIM_DATA; false when it could not be posted.
    bool post_short(HWND window, HMIDIIN handle, DWORD message);
    void post_plain(HWND window, UINT message, WPARAM wp, LPARAM lp);

    // ---- WinMM ----
    UINT in_count();
    UINT out_count();
    MMRESULT in_caps(UINT_PTR index, MIDIINCAPSA* caps, UINT size);
    MMRESULT out_caps(UINT_PTR index, MIDIOUTCAPSA* caps, UINT size);
    MMRESULT error_text(const char* call, MMRESULT code, LPSTR text, UINT size);
    MMRESULT in_open(HMIDIIN* out, UINT index, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
    MMRESULT in_close(HMIDIIN handle);
    MMRESULT in_prepare(HMIDIIN handle, MIDIHDR* header, UINT size);
    MMRESULT in_unprepare(HMIDIIN handle, MIDIHDR* header, UINT size);
    MMRESULT in_add_buffer(HMIDIIN handle, MIDIHDR* header, UINT size);
    MMRESULT in_start(HMIDIIN handle);
    MMRESULT in_stop(HMIDIIN handle);
    MMRESULT in_reset(HMIDIIN handle);
    MMRESULT out_open(HMIDIOUT* out, UINT index, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
    MMRESULT out_close(HMIDIOUT handle);
    MMRESULT out_prepare(HMIDIOUT handle, MIDIHDR* header, UINT size);
    MMRESULT out_unprepare(HMIDIOUT handle, MIDIHDR* header, UINT size);
    MMRESULT out_long_msg(HMIDIOUT handle, MIDIHDR* header, UINT size);
    MMRESULT out_reset(HMIDIOUT handle);

    // ---- powers ----
    void configure(std::string_view setting);
    void use_backend(std::unique_ptr<PortBackend> backend);
    void fail_next(std::string_view call, MMRESULT code, int times);
    void fail_call(std::size_t index, MMRESULT code);
    void clear_faults();
    Holdings holdings();
    std::vector<std::string> call_log();
    void clear_call_log();
    void shutdown();
    bool set_port_name(PortKind kind, unsigned index, std::optional<std::string> name);
    std::optional<InputCounters> input_counters(HMIDIIN handle);
    std::optional<Timestamp> last_arrival(HMIDIIN handle);
    std::optional<Timestamp> last_taken(HMIDIOUT handle);
    std::string engine_name();

private:
    using Lock = std::unique_lock<std::mutex>;
    // Every WinMM entry: choose the backend on first use, log the call, apply
    // what engines gave back. Returns the locked service.
    Lock enter(const char* call);
    std::optional<MMRESULT> fault(std::string_view call);
    void publish_through(std::uint64_t seq);  // lock held
    void publish_all() { publish_through(UINT64_MAX); }
    // Tears everything down; the lock is released while ports and the
    // backend are destroyed, since their engines may be waiting for it.
    void teardown(Lock& lock);
    void choose_backend(Lock& lock, std::string_view setting);
    void choose_from_environment(Lock& lock);  // TAVRIN_MIDI, on first use
    void install(Lock& lock, std::unique_ptr<PortBackend> backend);  // lock released meanwhile
    MidiInPort* find_in(HMIDIIN handle);
    MidiOutPort* find_out(HMIDIOUT handle);
    MMRESULT check_header(const MIDIHDR* header, UINT size) const;
    MMRESULT check_callback(DWORD_PTR callback, DWORD flags) const;

    std::mutex mutex_;
    bool configured_ = false;
    std::unique_ptr<PortBackend> backend_;
    std::string engine_ = "none";
    std::vector<PortInfo> in_ports_;
    std::vector<PortInfo> out_ports_;
    std::map<std::uintptr_t, std::unique_ptr<MidiInPort>> ins_;
    std::map<std::uintptr_t, std::unique_ptr<MidiOutPort>> outs_;
    std::uintptr_t next_handle_ = 0x4D10;  // never reused, so a stale handle stays unknown
    std::uint64_t next_seq_ = 1;
    std::uint64_t next_ticket_ = 1;
    std::deque<Publication> pending_;
    std::map<std::string, std::pair<MMRESULT, int>, std::less<>> faults_;
    std::optional<std::pair<std::size_t, MMRESULT>> call_fault_;  // call's index since the last clear, code
    std::deque<const char*> log_;  // names of the WinMM functions: literals, the last kCallLogMax
    std::size_t calls_ = 0;  // calls since the last clear, also past kCallLogMax
};

MidiService& service();

}  // namespace platform::midi
