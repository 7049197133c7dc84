#include "winmm/input_assembly.h"

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

void InputAssembly::reset_parser() {
    in_sysex_ = false;
    status_ = 0;
    need_ = 0;
    have_ = 0;
}

void InputAssembly::give_back_partial() {
    if (!queue_.empty() && queue_.front().recorded > 0) give_back_front();
}

void InputAssembly::give_back_all() {
    while (!queue_.empty()) give_back_front();
}

void InputAssembly::take_byte(std::uint8_t b) {
    if (b >= 0xF8) {  // real-time bytes may come anywhere, even inside SysEx
        out_.short_message(b);
        return;
    }
    if (in_sysex_) {
        if (b < 0x80 || b == 0xF7) {
            store(b);
            if (b == 0xF7) {
                in_sysex_ = false;
                give_back_partial();  // the message ended
            }
            return;
        }
        // Any other status byte ends the message unterminated.
        in_sysex_ = false;
        give_back_partial();  // the message ended
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
            if (b == 0xF6) out_.short_message(b);
            status_ = 0;
        }
        return;
    }
    if (status_ == 0) return;  // data without a status: nothing to attach it to
    data_[have_++] = b;
    if (have_ < need_) return;
    out_.short_message(static_cast<DWORD>(status_) | static_cast<DWORD>(data_[0]) << 8 |
                       (need_ > 1 ? static_cast<DWORD>(data_[1]) << 16 : 0));
    have_ = 0;
    if (status_ >= 0xF0) status_ = 0;  // running status holds for channel messages only
}

void InputAssembly::store(std::uint8_t b) {
    if (queue_.empty()) {
        ++bytes_dropped_;
        return;
    }
    Buffer& buf = queue_.front();
    if (buf.recorded == 0) buf.first_at = at_;
    buf.data[buf.recorded++] = b;
    if (buf.recorded == buf.data.size()) give_back_front();
}

void InputAssembly::give_back_front() {
    const Buffer buf = queue_.front();
    queue_.pop_front();
    out_.give_back(buf);
}

}  // namespace platform::midi
