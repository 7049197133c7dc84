// A window that records the MIDI service's notifications, on the headless
// backend's virtual clock, with the service on a fresh virtual cable.
#pragma once

#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <gtest/gtest.h>
#include <mmsystem.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winmm_test {

inline constexpr UINT kHeaderSize = offsetof(MIDIHDR, dwOffset);

struct Note {
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    DWORD flags;     // the header's dwFlags when the notification was dispatched
    DWORD recorded;  // its dwBytesRecorded then
    long long at_ms;
};

inline std::vector<Note>* g_notes = nullptr;

inline LRESULT CALLBACK note_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (g_notes != nullptr && msg >= MM_MIM_OPEN && msg <= MM_MOM_DONE) {
        Note n{msg, wp, lp, 0, 0, platform::session().clock().now().count()};
        if (msg == MM_MIM_LONGDATA || msg == MM_MOM_DONE) {
            const auto* h = reinterpret_cast<const MIDIHDR*>(lp);
            n.flags = h->dwFlags;
            n.recorded = h->dwBytesRecorded;
        }
        g_notes->push_back(n);
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// The loopback test message: F0, 00..7F, 00..7F, F7.
inline std::vector<char> test_message() {
    std::vector<char> m;
    m.push_back(static_cast<char>(0xF0));
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 0x80; ++i) m.push_back(static_cast<char>(i));
    m.push_back(static_cast<char>(0xF7));
    return m;
}

class MidiFixture : public ::testing::Test {
protected:
    void SetUp() override { start(platform::HeadlessBackend::Time::Virtual, "cable"); }
    void TearDown() override {
        g_notes = nullptr;
        platform::midi::clear_faults();
        platform::midi::shutdown();
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
    }

    void start(platform::HeadlessBackend::Time time, std::string_view setting) {
        auto backend = std::make_unique<platform::HeadlessBackend>(time);
        backend->set_activate_on_show(false);
        backend->set_scripted();
        hb = backend.get();
        platform::install_backend(std::move(backend));
        g_notes = &notes;
        WNDCLASSA wc{};
        wc.lpfnWndProc = note_proc;
        wc.lpszClassName = "WinmmTest";
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = CreateWindowExA(0, "WinmmTest", "midi", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        platform::midi::configure(setting);
        notes.clear();
    }

    DWORD_PTR cb() const { return reinterpret_cast<DWORD_PTR>(hwnd); }

    // Dispatches messages until `done` answers true; false when the virtual
    // clock reached `limit` (or, on real time, a timer of that length fired) first.
    bool pump_until(const std::function<bool()>& done, platform::Ms limit = platform::Ms(5000)) {
        // The clock event may outlive this call: it holds its flag itself.
        auto expired_flag = std::make_shared<bool>(false);
        bool& expired = *expired_flag;
        const bool virtual_clock = hb->is_virtual();
        if (virtual_clock) hb->after(limit, [expired_flag] { *expired_flag = true; });
        else SetTimer(hwnd, kDeadlineTimer, static_cast<UINT>(limit.count()), nullptr);
        MSG msg{};
        while (!done() && !expired) {
            if (!platform::session().next_message(msg, [&] { return done() || expired; })) break;
            if (msg.message == WM_TIMER && msg.wParam == kDeadlineTimer) {
                expired = true;
                break;
            }
            DispatchMessageA(&msg);
        }
        if (!virtual_clock) KillTimer(hwnd, kDeadlineTimer);
        return done();
    }
    // Runs the clock for `span` more and dispatches everything on the way.
    void pump_for(platform::Ms span) {
        pump_until([] { return false; }, span);
    }

    int count(UINT msg) const {
        int n = 0;
        for (const auto& note : notes) n += note.msg == msg ? 1 : 0;
        return n;
    }
    const Note* first(UINT msg) const {
        for (const auto& note : notes)
            if (note.msg == msg) return &note;
        return nullptr;
    }

    static constexpr UINT_PTR kDeadlineTimer = 0x7E57;
    platform::HeadlessBackend* hb = nullptr;
    HWND hwnd = nullptr;
    std::vector<Note> notes;
};

// An input and an output handle of cable port 0, with headers over buffers.
struct Loop {
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    MIDIHDR in_hdr{};
    MIDIHDR out_hdr{};
    std::vector<char> capture = std::vector<char>(4096, 0);
    DWORD in_length = 4096;  // what the input header offers of `capture`
    std::vector<char> message = test_message();

    MMRESULT open(DWORD_PTR callback, UINT port = 0) {
        if (MMRESULT rc = midiInOpen(&in, port, callback, 0, CALLBACK_WINDOW)) return rc;
        return midiOutOpen(&out, port, callback, 0, CALLBACK_WINDOW);
    }
    MMRESULT arm() {
        in_hdr.lpData = capture.data();
        in_hdr.dwBufferLength = in_length;
        out_hdr.lpData = message.data();
        out_hdr.dwBufferLength = static_cast<DWORD>(message.size());
        if (MMRESULT rc = midiInPrepareHeader(in, &in_hdr, kHeaderSize)) return rc;
        if (MMRESULT rc = midiInAddBuffer(in, &in_hdr, kHeaderSize)) return rc;
        if (MMRESULT rc = midiOutPrepareHeader(out, &out_hdr, kHeaderSize)) return rc;
        return midiInStart(in);
    }
    MMRESULT send() { return midiOutLongMsg(out, &out_hdr, kHeaderSize); }
    void close() {
        if (in != nullptr) {
            midiInReset(in);
            midiInUnprepareHeader(in, &in_hdr, kHeaderSize);
            midiInClose(in);
        }
        if (out != nullptr) {
            midiOutReset(out);
            midiOutUnprepareHeader(out, &out_hdr, kHeaderSize);
            midiOutClose(out);
        }
    }
};

}  // namespace winmm_test
