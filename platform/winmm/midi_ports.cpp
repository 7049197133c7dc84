// An open input handle (SysEx assembly into the queued buffers, short
// messages) and an open output handle (one send at a time).
#include "winmm/midi_service.h"

#include <cstdio>

namespace platform::midi {

namespace {

// Data bytes that follow a status byte of a channel or system common message.
unsigned data_length(std::uint8_t status) {
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 1;
    case 0xF0: break;
    default: return 2;
    }
    switch (status) {
    case 0xF1:
    case 0xF3: return 1;
    case 0xF2: return 2;
    default: return 0;
    }
}

}  // namespace

// ---- input ------------------------------------------------------------------------

MidiInPort::MidiInPort(MidiService& service, unsigned index, HWND window)
    : service_(service), index_(index), window_(window) {}

MMRESULT MidiInPort::add_buffer(MIDIHDR* header) {
    if (failure_.code != MMSYSERR_NOERROR) return failure_.code;
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~static_cast<DWORD>(MHDR_DONE);
    queue_.push_back(Buffer{header,
                            std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(header->lpData),
                                                    header->dwBufferLength),
                            0});
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::start() {
    if (failure_.code != MMSYSERR_NOERROR) return failure_.code;
    if (!recording_) reset_parser();
    recording_ = true;
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::stop() {
    recording_ = false;
    reset_parser();
    // A partly filled buffer comes back; empty ones stay queued.
    if (!queue_.empty() && queue_.front().recorded > 0) give_back_front();
    return MMSYSERR_NOERROR;
}

MMRESULT MidiInPort::reset() {
    recording_ = false;
    reset_parser();
    while (!queue_.empty()) give_back_front();
    return MMSYSERR_NOERROR;
}

void MidiInPort::reset_parser() {
    in_sysex_ = false;
    status_ = 0;
    need_ = 0;
    have_ = 0;
}

void MidiInPort::on_bytes(std::span<const std::uint8_t> bytes, Timestamp at) {
    std::lock_guard lock(service_.mutex());
    if (closed_ || !recording_) return;
    arriving_at_ = at;
    for (std::uint8_t b : bytes) take_byte(b);
}

void MidiInPort::on_error(const Status& why) {
    std::lock_guard lock(service_.mutex());
    if (closed_) return;
    failure_ = why.code != MMSYSERR_NOERROR ? why : Status{MMSYSERR_NODRIVER, why.text};
    recording_ = false;
    std::fprintf(stderr, "MIDI input %u: %s\n", index_, why.text.c_str());
}

void MidiInPort::take_byte(std::uint8_t b) {
    if (b >= 0xF8) {  // real-time bytes may come anywhere, even inside SysEx
        post_short(b);
        return;
    }
    if (in_sysex_) {
        if (b < 0x80 || b == 0xF7) {
            store(b);
            if (b == 0xF7) {
                in_sysex_ = false;
                end_sysex();
            }
            return;
        }
        // Any other status byte ends the message unterminated.
        in_sysex_ = false;
        end_sysex();
    }
    if (b == 0xF0) {
        in_sysex_ = true;
        status_ = 0;
        store(b);
        return;
    }
    if (b >= 0x80) {
        if (b == 0xF7) return;  // an end without a start
        status_ = b;
        need_ = data_length(b);
        have_ = 0;
        if (need_ == 0) {
            if (b == 0xF6) post_short(b);
            status_ = 0;
        }
        return;
    }
    if (status_ == 0) return;  // data without a status: nothing to attach it to
    data_[have_++] = b;
    if (have_ < need_) return;
    post_short(static_cast<DWORD>(status_) | static_cast<DWORD>(data_[0]) << 8 |
               (need_ > 1 ? static_cast<DWORD>(data_[1]) << 16 : 0));
    have_ = 0;
    if (status_ >= 0xF0) status_ = 0;  // running status holds for channel messages only
}

void MidiInPort::store(std::uint8_t b) {
    if (queue_.empty()) {
        ++bytes_dropped_;
        return;
    }
    Buffer& buf = queue_.front();
    if (buf.recorded == 0) buf.first_at = arriving_at_;
    buf.data[buf.recorded++] = b;
    if (buf.recorded == buf.data.size()) give_back_front();
}

void MidiInPort::end_sysex() {
    if (!queue_.empty() && queue_.front().recorded > 0) give_back_front();
}

void MidiInPort::give_back_front() {
    const Buffer buf = queue_.front();
    queue_.pop_front();
    if (buf.recorded > 0) last_arrival_ = buf.first_at;
    service_.give_back(window_, MM_MIM_LONGDATA, reinterpret_cast<WPARAM>(handle_), buf.header, buf.recorded);
}

void MidiInPort::post_short(DWORD message) {
    if (window_ == nullptr) return;
    if (pending_short_ >= kMaxPendingShortMessages) {
        ++short_dropped_;
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
    if (!result) std::fprintf(stderr, "MIDI output %u: %s\n", index_, result.text.c_str());
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
    std::fprintf(stderr, "MIDI output %u: %s\n", index_, why.text.c_str());
    // A send under way has ended as far as it ever will.
    if (sending_ != nullptr) {
        service_.give_back(window_, MM_MOM_DONE, reinterpret_cast<WPARAM>(handle_), sending_, std::nullopt);
        sending_ = nullptr;
        ticket_ = 0;
    }
}

}  // namespace platform::midi
