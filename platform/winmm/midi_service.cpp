#include "winmm/midi_service.h"

#include "user/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform::midi {

namespace {

constexpr UINT kSevenFieldHeader = offsetof(MIDIHDR, dwOffset);

// A product name as the A-variant capability record holds it: at most
// MAXPNAMELEN - 1 bytes, never ending inside a UTF-8 sequence.
void copy_name(CHAR (&dest)[MAXPNAMELEN], const std::string& name) {
    std::size_t n = std::min<std::size_t>(name.size(), MAXPNAMELEN - 1);
    if (n < name.size()) {
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dest, name.data(), n);
    std::memset(dest + n, 0, MAXPNAMELEN - n);
}

template <typename Caps>
void copy_caps(const Caps& full, void* out, UINT size) {
    std::memcpy(out, &full, std::min<std::size_t>(size, sizeof(Caps)));
}

}  // namespace

MidiService& service() {
    static MidiService instance;
    return instance;
}

MidiService::~MidiService() { shutdown(); }

// ---- notifications -----------------------------------------------------------

void MidiService::give_back(HWND window, UINT message, WPARAM wp, MIDIHDR* header,
                            std::optional<DWORD> recorded) {
    const std::uint64_t seq = next_seq_++;
    pending_.push_back(Publication{seq, header, recorded});
    if (window == nullptr) return;
    post_message_with(window, message, wp, reinterpret_cast<LPARAM>(header),
                      [this, seq] {
                          std::lock_guard lock(mutex_);
                          publish_through(seq);
                      });
}

bool MidiService::post_short(HWND window, HMIDIIN handle, DWORD message) {
    const auto id = handle_id(handle);
    return post_message_with(window, MM_MIM_DATA, reinterpret_cast<WPARAM>(handle), static_cast<LPARAM>(message),
                             [this, id] {
                                 std::lock_guard lock(mutex_);
                                 auto it = ins_.find(id);
                                 if (it != ins_.end()) it->second->short_retrieved();
                             });
}

void MidiService::post_plain(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (window != nullptr) post_message_with(window, message, wp, lp, {});
}

void MidiService::publish_through(std::uint64_t seq) {
    while (!pending_.empty() && pending_.front().seq <= seq) {
        const Publication p = pending_.front();
        pending_.pop_front();
        if (p.bytes_recorded) p.header->dwBytesRecorded = *p.bytes_recorded;
        p.header->dwFlags = (p.header->dwFlags | MHDR_DONE) & ~static_cast<DWORD>(MHDR_INQUEUE);
    }
}

// ---- entry, faults, configuration ---------------------------------------------

MidiService::Lock MidiService::enter(const char* call) {
    Lock lock(mutex_);
    if (!configured_) choose_from_environment(lock);
    if (log_.size() == kCallLogMax) log_.pop_front();  // a long run keeps no growing record
    log_.push_back(call);
    ++calls_;
    publish_all();
    return lock;
}

std::optional<MMRESULT> MidiService::fault(std::string_view call) {
    if (call_fault_ && call_fault_->first + 1 == calls_) {
        const MMRESULT code = call_fault_->second;
        call_fault_.reset();
        return code;
    }
    auto it = faults_.find(call);
    if (it == faults_.end()) return std::nullopt;
    const MMRESULT code = it->second.first;
    if (--it->second.second <= 0) faults_.erase(it);
    return code;
}

void MidiService::teardown(Lock& lock) {
    std::vector<std::unique_ptr<MidiInPort>> ins;
    std::vector<std::unique_ptr<MidiOutPort>> outs;
    for (auto& [id, p] : ins_) {
        p->close();
        ins.push_back(std::move(p));
    }
    for (auto& [id, p] : outs_) {
        p->close();
        outs.push_back(std::move(p));
    }
    ins_.clear();
    outs_.clear();
    pending_.clear();
    in_ports_.clear();
    out_ports_.clear();
    auto backend = std::move(backend_);
    configured_ = false;
    lock.unlock();
    for (auto& p : ins) p->port.reset();
    for (auto& p : outs) p->port.reset();
    ins.clear();
    outs.clear();
    backend.reset();
    lock.lock();
}

void MidiService::choose_from_environment(Lock& lock) {
    const char* env = std::getenv("TAVRIN_MIDI");
    choose_backend(lock, env != nullptr ? env : "");
}

void MidiService::choose_backend(Lock& lock, std::string_view setting) {
    teardown(lock);
    std::string error;
    std::string engine;
    lock.unlock();
    auto backend = make_backend(setting, error, &engine);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    lock.lock();
    install(lock, std::move(backend));
    engine_ = backend_ ? engine : "none";
}

void MidiService::install(Lock& lock, std::unique_ptr<PortBackend> backend) {
    lock.unlock();
    std::vector<PortInfo> ins;
    std::vector<PortInfo> outs;
    if (backend) {
        ins = backend->inputs();
        outs = backend->outputs();
    }
    lock.lock();
    backend_ = std::move(backend);
    in_ports_ = std::move(ins);
    out_ports_ = std::move(outs);
    configured_ = true;
}

void MidiService::configure(std::string_view setting) {
    Lock lock(mutex_);
    choose_backend(lock, setting);
}

void MidiService::use_backend(std::unique_ptr<PortBackend> backend) {
    Lock lock(mutex_);
    teardown(lock);
    install(lock, std::move(backend));
    engine_ = backend_ ? "custom" : "none";
}

std::string MidiService::engine_name() {
    Lock lock(mutex_);
    if (!configured_) choose_from_environment(lock);
    return engine_;
}

void MidiService::shutdown() {
    Lock lock(mutex_);
    teardown(lock);
}

void MidiService::fail_next(std::string_view call, MMRESULT code, int times) {
    std::lock_guard lock(mutex_);
    if (times <= 0) {
        faults_.erase(std::string(call));
        return;
    }
    faults_[std::string(call)] = {code, times};
}

void MidiService::fail_call(std::size_t index, MMRESULT code) {
    std::lock_guard lock(mutex_);
    call_fault_.emplace(index, code);
}

void MidiService::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
    call_fault_.reset();
}

Holdings MidiService::holdings() {
    std::lock_guard lock(mutex_);
    Holdings h;
    h.inputs = ins_.size();
    h.outputs = outs_.size();
    for (const auto& [id, p] : ins_) h.queued += p->queued();
    for (const auto& [id, p] : outs_) h.sending += p->sending() ? 1 : 0;
    return h;
}

std::vector<std::string> MidiService::call_log() {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

void MidiService::clear_call_log() {
    std::lock_guard lock(mutex_);
    log_.clear();
    calls_ = 0;
}

bool MidiService::set_port_name(PortKind kind, unsigned index, std::optional<std::string> name) {
    Lock lock(mutex_);
    if (!configured_) choose_from_environment(lock);
    auto& ports = kind == PortKind::Input ? in_ports_ : out_ports_;
    if (index >= ports.size()) return false;
    ports[index].name = name.value_or(std::string());
    ports[index].name_error = name ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    return true;
}

std::optional<InputCounters> MidiService::input_counters(HMIDIIN handle) {
    std::lock_guard lock(mutex_);
    MidiInPort* p = find_in(handle);
    if (p == nullptr) return std::nullopt;
    return p->counters();
}

std::optional<Timestamp> MidiService::last_arrival(HMIDIIN handle) {
    std::lock_guard lock(mutex_);
    MidiInPort* p = find_in(handle);
    return p != nullptr ? p->last_arrival() : std::nullopt;
}

std::optional<Timestamp> MidiService::last_taken(HMIDIOUT handle) {
    std::lock_guard lock(mutex_);
    MidiOutPort* p = find_out(handle);
    return p != nullptr ? p->last_taken() : std::nullopt;
}

// ---- checks -------------------------------------------------------------------

MidiInPort* MidiService::find_in(HMIDIIN handle) {
    auto it = ins_.find(handle_id(handle));
    return it == ins_.end() ? nullptr : it->second.get();
}

MidiOutPort* MidiService::find_out(HMIDIOUT handle) {
    auto it = outs_.find(handle_id(handle));
    return it == outs_.end() ? nullptr : it->second.get();
}

MMRESULT MidiService::check_header(const MIDIHDR* header, UINT size) const {
    if (header == nullptr || size < kSevenFieldHeader) return MMSYSERR_INVALPARAM;
    if (header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::check_callback(DWORD_PTR callback, DWORD flags) const {
    // Tavrin is notified through its window; other callback kinds are not offered.
    if ((flags & ~static_cast<DWORD>(CALLBACK_TYPEMASK)) != 0) return MMSYSERR_INVALFLAG;
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
    const HWND window = reinterpret_cast<HWND>(callback);
    if (window != nullptr && !IsWindow(window)) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

// ---- counts, capabilities, texts ------------------------------------------------

UINT MidiService::in_count() {
    auto lock = enter("midiInGetNumDevs");
    if (fault("midiInGetNumDevs")) return 0;
    return static_cast<UINT>(in_ports_.size());
}

UINT MidiService::out_count() {
    auto lock = enter("midiOutGetNumDevs");
    if (fault("midiOutGetNumDevs")) return 0;
    return static_cast<UINT>(out_ports_.size());
}

MMRESULT MidiService::in_caps(UINT_PTR index, MIDIINCAPSA* caps, UINT size) {
    auto lock = enter("midiInGetDevCapsA");
    if (auto f = fault("midiInGetDevCapsA")) return *f;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    if (index >= in_ports_.size()) return MMSYSERR_BADDEVICEID;
    const PortInfo& port = in_ports_[index];
    if (port.name_error != MMSYSERR_NOERROR) return port.name_error;
    MIDIINCAPSA full{};
    full.wMid = 0xFFFF;  // no registered manufacturer
    full.wPid = 0xFFFF;
    full.vDriverVersion = 0x0100;
    copy_name(full.szPname, port.name);
    copy_caps(full, caps, size);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_caps(UINT_PTR index, MIDIOUTCAPSA* caps, UINT size) {
    auto lock = enter("midiOutGetDevCapsA");
    if (auto f = fault("midiOutGetDevCapsA")) return *f;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    if (index >= out_ports_.size()) return MMSYSERR_BADDEVICEID;
    const PortInfo& port = out_ports_[index];
    if (port.name_error != MMSYSERR_NOERROR) return port.name_error;
    MIDIOUTCAPSA full{};
    full.wMid = 0xFFFF;
    full.wPid = 0xFFFF;
    full.vDriverVersion = 0x0100;
    copy_name(full.szPname, port.name);
    full.wTechnology = MOD_MIDIPORT;
    full.wChannelMask = 0xFFFF;
    copy_caps(full, caps, size);
    return MMSYSERR_NOERROR;
}

// ---- input ------------------------------------------------------------------------

MMRESULT MidiService::in_open(HMIDIIN* out, UINT index, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    (void)instance;  // only handed to callback functions, which are not offered
    auto lock = enter("midiInOpen");
    if (auto f = fault("midiInOpen")) return *f;
    if (out == nullptr) return MMSYSERR_INVALPARAM;
    if (index >= in_ports_.size() || !backend_) return MMSYSERR_BADDEVICEID;
    if (MMRESULT rc = check_callback(callback, flags)) return rc;
    for (const auto& [id, p] : ins_)
        if (p->index() == index) return MMSYSERR_ALLOCATED;

    const HWND window = reinterpret_cast<HWND>(callback);
    auto port = std::make_unique<MidiInPort>(*this, index, window);
    PortBackend* backend = backend_.get();
    lock.unlock();
    std::unique_ptr<InputPort> engine_port;
    const Status opened = backend->open_input(index, *port, engine_port);
    lock.lock();
    if (!opened) {
        if (opened.code != MMSYSERR_NOERROR && !opened.text.empty())
            std::fprintf(stderr, "MIDI input %u: %s\n", index, opened.text.c_str());
        return opened.code;
    }
    port->port = std::move(engine_port);
    const std::uintptr_t id = next_handle_;
    next_handle_ += 0x10;
    const HMIDIIN handle = to_handle<HMIDIIN>(id);
    port->set_handle(handle);
    ins_[id] = std::move(port);
    *out = handle;
    post_plain(window, MM_MIM_OPEN, reinterpret_cast<WPARAM>(handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::in_close(HMIDIIN handle) {
    auto lock = enter("midiInClose");
    if (auto f = fault("midiInClose")) return *f;
    auto it = ins_.find(handle_id(handle));
    if (it == ins_.end()) return MMSYSERR_INVALHANDLE;
    if (it->second->holds_buffers()) return MIDIERR_STILLPLAYING;
    auto port = std::move(it->second);
    ins_.erase(it);
    port->close();
    lock.unlock();
    port->port.reset();  // no engine call into `port` after this
    lock.lock();
    post_plain(port->window(), MM_MIM_CLOSE, reinterpret_cast<WPARAM>(handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::in_prepare(HMIDIIN handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiInPrepareHeader");
    if (auto f = fault("midiInPrepareHeader")) return *f;
    if (find_in(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (MMRESULT rc = check_header(header, size)) return rc;
    if (header->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
    header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~static_cast<DWORD>(MHDR_DONE | MHDR_INQUEUE);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::in_unprepare(HMIDIIN handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiInUnprepareHeader");
    if (auto f = fault("midiInUnprepareHeader")) return *f;
    if (find_in(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kSevenFieldHeader) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::in_add_buffer(HMIDIIN handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiInAddBuffer");
    if (auto f = fault("midiInAddBuffer")) return *f;
    MidiInPort* port = find_in(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (MMRESULT rc = check_header(header, size)) return rc;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    return port->add_buffer(header);
}

MMRESULT MidiService::in_start(HMIDIIN handle) {
    auto lock = enter("midiInStart");
    if (auto f = fault("midiInStart")) return *f;
    MidiInPort* port = find_in(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    return port->start();
}

MMRESULT MidiService::in_stop(HMIDIIN handle) {
    auto lock = enter("midiInStop");
    if (auto f = fault("midiInStop")) return *f;
    MidiInPort* port = find_in(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    const MMRESULT rc = port->stop();
    publish_all();
    return rc;
}

MMRESULT MidiService::in_reset(HMIDIIN handle) {
    auto lock = enter("midiInReset");
    if (auto f = fault("midiInReset")) return *f;
    MidiInPort* port = find_in(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    const MMRESULT rc = port->reset();
    publish_all();
    return rc;
}

// ---- output -----------------------------------------------------------------------

MMRESULT MidiService::out_open(HMIDIOUT* out, UINT index, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    (void)instance;
    auto lock = enter("midiOutOpen");
    if (auto f = fault("midiOutOpen")) return *f;
    if (out == nullptr) return MMSYSERR_INVALPARAM;
    if (index >= out_ports_.size() || !backend_) return MMSYSERR_BADDEVICEID;
    if (MMRESULT rc = check_callback(callback, flags)) return rc;
    for (const auto& [id, p] : outs_)
        if (p->index() == index) return MMSYSERR_ALLOCATED;

    const HWND window = reinterpret_cast<HWND>(callback);
    auto port = std::make_unique<MidiOutPort>(*this, index, window);
    PortBackend* backend = backend_.get();
    lock.unlock();
    std::unique_ptr<OutputPort> engine_port;
    const Status opened = backend->open_output(index, *port, engine_port);
    lock.lock();
    if (!opened) {
        if (!opened.text.empty()) std::fprintf(stderr, "MIDI output %u: %s\n", index, opened.text.c_str());
        return opened.code;
    }
    port->port = std::move(engine_port);
    const std::uintptr_t id = next_handle_;
    next_handle_ += 0x10;
    const HMIDIOUT handle = to_handle<HMIDIOUT>(id);
    port->set_handle(handle);
    outs_[id] = std::move(port);
    *out = handle;
    post_plain(window, MM_MOM_OPEN, reinterpret_cast<WPARAM>(handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_close(HMIDIOUT handle) {
    auto lock = enter("midiOutClose");
    if (auto f = fault("midiOutClose")) return *f;
    auto it = outs_.find(handle_id(handle));
    if (it == outs_.end()) return MMSYSERR_INVALHANDLE;
    if (it->second->sending()) return MIDIERR_STILLPLAYING;
    auto port = std::move(it->second);
    outs_.erase(it);
    port->close();
    lock.unlock();
    port->port.reset();
    lock.lock();
    post_plain(port->window(), MM_MOM_CLOSE, reinterpret_cast<WPARAM>(handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_prepare(HMIDIOUT handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiOutPrepareHeader");
    if (auto f = fault("midiOutPrepareHeader")) return *f;
    if (find_out(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (MMRESULT rc = check_header(header, size)) return rc;
    if (header->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
    header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~static_cast<DWORD>(MHDR_DONE | MHDR_INQUEUE);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_unprepare(HMIDIOUT handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiOutUnprepareHeader");
    if (auto f = fault("midiOutUnprepareHeader")) return *f;
    if (find_out(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < kSevenFieldHeader) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_long_msg(HMIDIOUT handle, MIDIHDR* header, UINT size) {
    auto lock = enter("midiOutLongMsg");
    if (auto f = fault("midiOutLongMsg")) return *f;
    MidiOutPort* port = find_out(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (MMRESULT rc = check_header(header, size)) return rc;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    const DWORD old_flags = header->dwFlags;
    const std::uint64_t ticket = next_ticket_++;
    if (MMRESULT rc = port->begin_send(header, ticket)) return rc;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(header->lpData),
                                              header->dwBufferLength);
    const std::uintptr_t id = handle_id(handle);
    lock.unlock();
    const Status sent = port->port->send(bytes, ticket);
    lock.lock();
    if (!sent) {
        // The port may have been closed meanwhile only by this thread, which is here.
        auto it = outs_.find(id);
        if (it != outs_.end()) it->second->cancel_send(ticket, old_flags);
        if (!sent.text.empty()) std::fprintf(stderr, "MIDI output: %s\n", sent.text.c_str());
        return sent.code;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT MidiService::out_reset(HMIDIOUT handle) {
    auto lock = enter("midiOutReset");
    if (auto f = fault("midiOutReset")) return *f;
    MidiOutPort* port = find_out(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (!port->abandon_send()) return MMSYSERR_NOERROR;
    publish_all();
    OutputPort* engine_port = port->port.get();
    lock.unlock();
    engine_port->abort();
    return MMSYSERR_NOERROR;
}

}  // namespace platform::midi
