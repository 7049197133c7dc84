// An open input handle (SysEx assembly into the queued buffers, short
// messages) and an open output handle (one send at a time).
#include "winmm/midi_service.h"

#include <cerrno>
#include <cstdio>

namespace platform::midi {

// ---- input ------------------------------------------------------------------------

MidiInPort::MidiInPort(MidiService& service, unsigned index, HWND window)
    : service_(service), index_(index), window_(window) {}

MMRESULT MidiInPort::add_buffer(MIDIHDR* header) {
    if (failure_.code != MMSYSERR_NOERROR) return failure_.code;
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~static_cast<DWORD>(MHDR_DONE);
    assembly_.add({header, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(header->lpData),
                                                   header->dwBufferLength)});
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::start() {
    if (failure_.code != MMSYSERR_NOERROR) return failure_.code;
    if (!recording_) assembly_.reset_parser();
    recording_ = true;
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::stop() {
    recording_ = false;
    assembly_.reset_parser();
    assembly_.give_back_partial();
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::reset() {
    recording_ = false;
    assembly_.reset_parser();
    assembly_.give_back_all();
    return MMSYSERR_NOERROR;
}

void MidiInPort::on_bytes(std::span<const std::uint8_t> bytes, Timestamp at) {
    std::lock_guard lock(service_.mutex());
    if (closed_ || !recording_) return;
    assembly_.take(bytes, at);
}

void MidiInPort::on_error(const Status& why) {
    std::lock_guard lock(service_.mutex());
    if (closed_) return;
    failure_ = why.code != MMSYSERR_NOERROR ? why : Status{MMSYSERR_NODRIVER, why.text};
    recording_ = false;
    std::fprintf(stderr, "%s: MIDI input %u: %s\n", program_invocation_short_name, index_, why.text.c_str());
}

void MidiInPort::on_overrun(std::uint64_t bytes) {
    std::lock_guard lock(service_.mutex());
    ++overruns_;
    overrun_bytes_ += bytes;
}

void MidiInPort::give_back(const InputAssembly::Buffer& buffer) {
    // A buffer that begins a SysEx message dates the message; one that
    // continues it does not.
    if (buffer.recorded > 0 && buffer.data[0] == 0xF0) last_arrival_ = buffer.first_at;
    service_.give_back(window_, MM_MIM_LONGDATA, reinterpret_cast<WPARAM>(handle_), buffer.header, buffer.recorded);
}

void MidiInPort::short_message(DWORD message) {
    if (window_ == nullptr) return;
    if (pending_short_ >= kMaxPendingShortMessages) {
        // Said once: a loss here is the program's, not the cable's.
        if (short_dropped_++ == 0)
            std::fprintf(stderr, "%s: MIDI input %u: more than %u short messages wait unread; those that come meanwhile are dropped\n",
                         program_invocation_short_name, index_, kMaxPendingShortMessages);
        return;
    }
    if (service_.post_short(window_, handle_, message)) ++pending_short_;
}

// ---- output -----------------------------------------------------------------------

MidiOutPort::MidiOutPort(MidiService& service, unsigned index, HWND window)
    : service_(service), index_(index), window_(window) {}

MMRESULT MidiOutPort::begin_send(MIDIHDR* header, std::uint64_t ticket) {
    if (failure_.code != MMSYSERR_NOERROR) return failure_.code;
    if (sending_ != nullptr) return MIDIERR_NOTREADY;
    sending_ = header;
    ticket_ = ticket;
    header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~static_cast<DWORD>(MHDR_DONE);
    return MMSYSERR_NOERROR;
}

void MidiOutPort::cancel_send(std::uint64_t ticket, DWORD old_flags) {
    if (ticket_ != ticket || sending_ == nullptr) return;
    sending_->dwFlags = old_flags;
    sending_ = nullptr;
    ticket_ = 0;
}

bool MidiOutPort::abandon_send() {
    if (sending_ == nullptr) return false;
    service_.give_back(window_, MM_MOM_DONE, reinterpret_cast<WPARAM>(handle_), sending_, std::nullopt);
    sending_ = nullptr;
    ticket_ = 0;
    return true;
}

void MidiOutPort::on_sent(std::uint64_t ticket, const Status& result) {
    std::lock_guard lock(service_.mutex());
    if (closed_ || sending_ == nullptr || ticket != ticket_) return;  // overtaken by a reset
    if (!result) std::fprintf(stderr, "%s: MIDI output %u: %s\n", program_invocation_short_name, index_, result.text.c_str());
    service_.give_back(window_, MM_MOM_DONE, reinterpret_cast<WPARAM>(handle_), sending_, std::nullopt);
    sending_ = nullptr;
    ticket_ = 0;
}

void MidiOutPort::on_taken(std::uint64_t ticket, Timestamp at) {
    std::lock_guard lock(service_.mutex());
    if (closed_ || sending_ == nullptr || ticket != ticket_) return;
    last_taken_ = at;
}

void MidiOutPort::on_error(const Status& why) {
    std::lock_guard lock(service_.mutex());
    if (closed_) return;
    failure_ = why.code != MMSYSERR_NOERROR ? why : Status{MMSYSERR_NODRIVER, why.text};
    std::fprintf(stderr, "%s: MIDI output %u: %s\n", program_invocation_short_name, index_, why.text.c_str());
    // A send under way has ended as far as it ever will.
    if (sending_ != nullptr) {
        service_.give_back(window_, MM_MOM_DONE, reinterpret_cast<WPARAM>(handle_), sending_, std::nullopt);
        sending_ = nullptr;
        ticket_ = 0;
    }
}

}  // namespace platform::midi
