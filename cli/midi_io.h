// tavrin-cli's MIDI I/O: the WinMM calls, notifications to a message-only
// window, time from the performance counter. The same code on Windows and on
// the portable layer. Errors are returned as text, never shown in boxes.
#pragma once

#include "cli/report.h"

#include <windows.h>
#include <mmsystem.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrin_cli {

// Posted to the window when the user asks to stop (Ctrl-C).
inline constexpr UINT kInterruptMessage = WM_USER + 1;

std::string engine_in_use();
PortList list_ports();
// The service's words for a WinMM code, with the code.
std::string input_error_text(MMRESULT code);
std::string output_error_text(MMRESULT code);

// Seconds on the performance counter.
double now_seconds();

// A message-only window: the target of every MIDI notification.
class MessageWindow {
public:
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    HWND hwnd() const { return hwnd_; }
    explicit operator bool() const { return hwnd_ != nullptr; }

private:
    HWND hwnd_ = nullptr;
};

// Waits for the next message of the thread; false on WM_QUIT or an error.
bool next_message(MSG& msg);

// What the program's own side lost of an input so far, counted since it
// opened: short messages past the notification limit, bytes that found no
// buffer queued, and the times the engine could not take input in time
// (overruns) with the bytes it could count. Always zero on Windows, whose
// drivers do not say.
struct InputLosses {
    unsigned long long short_messages = 0, bytes = 0, overruns = 0, overrun_bytes = 0;
};
// What `after` lost beyond `before`, in words; empty when nothing.
std::string losses_text(const InputLosses& before, const InputLosses& after);

// An open input with its buffers, all prepared while it is open.
class MidiInput {
public:
    MidiInput() = default;  // closed; open() gives an open one
    static std::unique_ptr<MidiInput> open(unsigned index, HWND window, std::size_t buffers, std::size_t bytes,
                                           std::string& error);
    ~MidiInput();
    MidiInput(const MidiInput&) = delete;
    MidiInput& operator=(const MidiInput&) = delete;

    HMIDIIN handle() const { return handle_; }
    // The engine's own time (seconds on now_seconds()'s clock) at which the
    // first byte of the last SysEx given back reached it; none on Windows.
    std::optional<double> engine_arrival_s() const;
    InputLosses losses() const;
    // Queues every buffer that is not queued, and starts recording.
    MMRESULT start();
    bool recording() const { return recording_; }
    // Queues one buffer again after its data was read.
    MMRESULT requeue(MIDIHDR* header);
    // Stops recording and gives every buffer back.
    MMRESULT reset();
    // True when `header` is one of this input's buffers; it is then no longer queued.
    bool take_back(const MIDIHDR* header);
    std::size_t queued() const { return queued_; }

private:
    HMIDIIN handle_ = nullptr;
    std::vector<std::vector<char>> data_;
    std::vector<std::unique_ptr<MIDIHDR>> headers_;
    std::vector<bool> in_queue_;
    std::size_t queued_ = 0;
    bool recording_ = false;
};

// An open output with one prepared header per message it sends.
class MidiOutput {
public:
    MidiOutput() = default;
    static std::unique_ptr<MidiOutput> open(unsigned index, HWND window, const std::vector<Bytes>& messages,
                                            std::string& error);
    ~MidiOutput();
    MidiOutput(const MidiOutput&) = delete;
    MidiOutput& operator=(const MidiOutput&) = delete;

    HMIDIOUT handle() const { return handle_; }
    // The engine's own time (seconds on now_seconds()'s clock) at which it
    // took the first bytes of the last send that completed; none on Windows.
    std::optional<double> engine_taken_s() const;
    std::size_t messages() const { return headers_.size(); }
    MMRESULT send(std::size_t message);
    // Writes `bytes` over the start of a message that is not under way.
    void overwrite(std::size_t message, std::span<const std::uint8_t> bytes);
    MMRESULT reset();
    // True when `header` is the send under way; the send is then over.
    bool take_back(const MIDIHDR* header);
    bool sending() const { return sending_; }

private:
    HMIDIOUT handle_ = nullptr;
    std::vector<std::vector<char>> data_;
    std::vector<std::unique_ptr<MIDIHDR>> headers_;
    const MIDIHDR* under_way_ = nullptr;
    bool sending_ = false;
};

// The bytes a MM_MIM_DATA message carries, as they were on the wire.
void append_short_message(DWORD message, Bytes& out);

}  // namespace tavrin_cli
