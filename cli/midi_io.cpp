#include "cli/midi_io.h"

#ifndef _WIN32
#include "winmm/service.h"
#endif

#include <algorithm>

namespace tavrin_cli {

namespace {

constexpr const char* kWindowClass = "TavrinCliWindow";

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcA(hwnd, msg, wp, lp); }

std::string port_name(const char* raw) { return std::string(raw, strnlen(raw, MAXPNAMELEN)); }

template <typename Text>
std::string error_text(MMRESULT code, Text text) {
    char buf[MAXERRORLENGTH] = {};
    if (text(code, buf, sizeof buf) != MMSYSERR_NOERROR) return "MIDI error " + std::to_string(code);
    return std::string(buf) + " (MIDI error " + std::to_string(code) + ")";
}

}  // namespace

std::string engine_in_use() {
#ifdef _WIN32
    return "winmm";
#else
    return platform::midi::engine_name();
#endif
}

std::string input_error_text(MMRESULT code) { return error_text(code, midiInGetErrorTextA); }
std::string output_error_text(MMRESULT code) { return error_text(code, midiOutGetErrorTextA); }

PortList list_ports() {
    PortList list;
    list.engine = engine_in_use();
    const UINT ins = midiInGetNumDevs();
    for (UINT i = 0; i < ins; ++i) {
        MIDIINCAPSA caps{};
        const MMRESULT r = midiInGetDevCapsA(i, &caps, sizeof caps);
        list.inputs.push_back({i, r == MMSYSERR_NOERROR ? port_name(caps.szPname) : std::string(),
                               r == MMSYSERR_NOERROR ? std::string() : input_error_text(r)});
    }
    const UINT outs = midiOutGetNumDevs();
    for (UINT i = 0; i < outs; ++i) {
        MIDIOUTCAPSA caps{};
        const MMRESULT r = midiOutGetDevCapsA(i, &caps, sizeof caps);
        list.outputs.push_back({i, r == MMSYSERR_NOERROR ? port_name(caps.szPname) : std::string(),
                                r == MMSYSERR_NOERROR ? std::string() : output_error_text(r)});
    }
    return list;
}

// Engine times are on the portable layer's performance counter (the steady
// clock); WinMM gives none.
std::string losses_text(const InputLosses& before, const InputLosses& after) {
    std::string text;
    const auto add = [&](unsigned long long now, unsigned long long then, const char* one, const char* many,
                         const char* what) {
        if (now <= then) return;
        text += (text.empty() ? "" : ", ") + std::to_string(now - then) + (now - then == 1 ? one : many) + what;
    };
    add(after.short_messages, before.short_messages, " short message", " short messages",
        " past the input's notification limit");
    add(after.bytes, before.bytes, " byte", " bytes", " with no input buffer queued");
    add(after.overruns, before.overruns, " overrun", " overruns", " of the engine's input queue");
    if (after.overrun_bytes > before.overrun_bytes) {
        const unsigned long long n = after.overrun_bytes - before.overrun_bytes;
        text += " (" + std::to_string(n) + (n == 1 ? " byte" : " bytes") + " lost)";
    }
    return text;
}

#ifdef _WIN32
InputLosses MidiInput::losses() const { return {}; }
std::optional<double> MidiInput::engine_arrival_s() const { return std::nullopt; }
std::optional<double> MidiOutput::engine_taken_s() const { return std::nullopt; }
#else
namespace {
std::optional<double> seconds(std::optional<platform::midi::Timestamp> at) {
    if (!at) return std::nullopt;
    return static_cast<double>(at->count()) / 1e6;
}
}  // namespace
std::optional<double> MidiInput::engine_arrival_s() const { return seconds(platform::midi::last_arrival(handle_)); }
InputLosses MidiInput::losses() const {
    const auto c = platform::midi::input_counters(handle_);
    if (!c) return {};
    return {c->short_dropped, c->bytes_dropped, c->overruns, c->overrun_bytes};
}
std::optional<double> MidiOutput::engine_taken_s() const { return seconds(platform::midi::last_taken(handle_)); }
#endif

double now_seconds() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// ---- the window ---------------------------------------------------------------

MessageWindow::MessageWindow() {
#ifdef _WIN32
    HINSTANCE instance = GetModuleHandleA(nullptr);
#else
    HINSTANCE instance = nullptr;  // the portable layer keeps one module
#endif
    WNDCLASSA wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);  // a second window of the process finds it registered
    hwnd_ = CreateWindowExA(0, kWindowClass, "tavrin-cli", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

MessageWindow::~MessageWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

bool next_message(MSG& msg) { return GetMessageA(&msg, nullptr, 0, 0) > 0; }

void append_short_message(DWORD message, Bytes& out) {
    const auto status = static_cast<std::uint8_t>(message & 0xFF);
    const std::size_t n = short_message_length(status);
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>((message >> (8 * i)) & 0xFF));
}

// ---- input --------------------------------------------------------------------

std::unique_ptr<MidiInput> MidiInput::open(unsigned index, HWND window, std::size_t buffers, std::size_t bytes,
                                           std::string& error) {
    auto in = std::make_unique<MidiInput>();
    MMRESULT r = midiInOpen(&in->handle_, index, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
        in->handle_ = nullptr;
        error = input_error_text(r);
        return nullptr;
    }
    for (std::size_t i = 0; i < buffers; ++i) {
        in->data_.emplace_back(bytes);
        auto header = std::make_unique<MIDIHDR>();
        header->lpData = in->data_.back().data();
        header->dwBufferLength = static_cast<DWORD>(bytes);
        r = midiInPrepareHeader(in->handle_, header.get(), sizeof(MIDIHDR));
        if (r != MMSYSERR_NOERROR) {
            error = input_error_text(r);
            return nullptr;  // the destructor closes what is open
        }
        in->headers_.push_back(std::move(header));
        in->in_queue_.push_back(false);
    }
    return in;
}

MidiInput::~MidiInput() {
    if (handle_ == nullptr) return;
    midiInReset(handle_);
    for (auto& h : headers_) midiInUnprepareHeader(handle_, h.get(), sizeof(MIDIHDR));
    midiInClose(handle_);
}

MMRESULT MidiInput::start() {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        if (in_queue_[i]) continue;
        const MMRESULT r = midiInAddBuffer(handle_, headers_[i].get(), sizeof(MIDIHDR));
        if (r != MMSYSERR_NOERROR) return r;
        in_queue_[i] = true;
        ++queued_;
    }
    const MMRESULT r = midiInStart(handle_);
    recording_ = r == MMSYSERR_NOERROR;
    return r;
}

MMRESULT MidiInput::requeue(MIDIHDR* header) {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        if (headers_[i].get() != header || in_queue_[i]) continue;
        const MMRESULT r = midiInAddBuffer(handle_, header, sizeof(MIDIHDR));
        if (r == MMSYSERR_NOERROR) {
            in_queue_[i] = true;
            ++queued_;
        }
        return r;
    }
    return MMSYSERR_INVALPARAM;
}

MMRESULT MidiInput::reset() {
    recording_ = false;
    return midiInReset(handle_);
}

bool MidiInput::take_back(const MIDIHDR* header) {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        if (headers_[i].get() != header) continue;
        if (in_queue_[i]) {
            in_queue_[i] = false;
            --queued_;
        }
        return true;
    }
    return false;
}

// ---- output -------------------------------------------------------------------

std::unique_ptr<MidiOutput> MidiOutput::open(unsigned index, HWND window, const std::vector<Bytes>& messages,
                                             std::string& error) {
    auto out = std::make_unique<MidiOutput>();
    MMRESULT r = midiOutOpen(&out->handle_, index, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
        out->handle_ = nullptr;
        error = output_error_text(r);
        return nullptr;
    }
    for (const Bytes& m : messages) {
        out->data_.emplace_back(m.begin(), m.end());
        auto header = std::make_unique<MIDIHDR>();
        header->lpData = out->data_.back().data();
        header->dwBufferLength = static_cast<DWORD>(m.size());
        header->dwBytesRecorded = static_cast<DWORD>(m.size());
        r = midiOutPrepareHeader(out->handle_, header.get(), sizeof(MIDIHDR));
        if (r != MMSYSERR_NOERROR) {
            error = output_error_text(r);
            return nullptr;
        }
        out->headers_.push_back(std::move(header));
    }
    return out;
}

MidiOutput::~MidiOutput() {
    if (handle_ == nullptr) return;
    midiOutReset(handle_);
    for (auto& h : headers_) midiOutUnprepareHeader(handle_, h.get(), sizeof(MIDIHDR));
    midiOutClose(handle_);
}

MMRESULT MidiOutput::send(std::size_t message) {
    const MMRESULT r = midiOutLongMsg(handle_, headers_[message].get(), sizeof(MIDIHDR));
    if (r == MMSYSERR_NOERROR) {
        under_way_ = headers_[message].get();
        sending_ = true;
    }
    return r;
}

void MidiOutput::overwrite(std::size_t message, std::span<const std::uint8_t> bytes) {
    std::vector<char>& data = data_[message];
    std::copy_n(bytes.begin(), std::min(bytes.size(), data.size()), data.begin());
}

MMRESULT MidiOutput::reset() { return midiOutReset(handle_); }

bool MidiOutput::take_back(const MIDIHDR* header) {
    if (!sending_ || header != under_way_) return false;
    sending_ = false;
    under_way_ = nullptr;
    return true;
}

}  // namespace tavrin_cli
