// One loop of the 258-byte test message through the WinMM functions on a real
// engine, on real time: open both ports with window notification, hand over
// a 4096-byte capture buffer, record, send, and wait for MM_MIM_LONGDATA and
// MM_MOM_DONE; then take everything back and close. Checks the bytes, the
// header flags and every result code.
//
//   winmm_loop [--through | --through-muted] [--kill-jack PID] PORT_NAME_PREFIX
//
// --through starts a JACK client of its own that loops output to input (muted:
// it swallows everything). --kill-jack kills that JACK server right after the
// send: then nothing may come back, and taking the buffers back and closing
// must still succeed, promptly.
#include "jack_through.h"

#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <mmsystem.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr UINT kHeaderSize = offsetof(MIDIHDR, dwOffset);
constexpr UINT_PTR kDeadline = 1;

bool g_in_done = false;
bool g_out_done = false;
bool g_expired = false;

LRESULT CALLBACK loop_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == MM_MIM_LONGDATA) g_in_done = true;
    if (msg == MM_MOM_DONE) g_out_done = true;
    if (msg == WM_TIMER && wp == kDeadline) g_expired = true;
    return DefWindowProcA(hwnd, msg, wp, lp);
}

template <typename Caps, typename GetCaps>
int find_port(UINT count, GetCaps get_caps, const std::string& prefix) {
    for (UINT i = 0; i < count; ++i) {
        Caps caps{};
        if (get_caps(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            std::string(caps.szPname).rfind(prefix, 0) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int fail(const char* what, MMRESULT rc) {
    char text[128] = "";
    midiInGetErrorTextA(rc, text, sizeof text);
    std::printf("winmm_loop: %s answered %u: %s\n", what, rc, text);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool through = false;
    bool muted = false;
    pid_t kill_pid = 0;
    std::string prefix;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--through") through = true;
        else if (arg == "--through-muted") through = muted = true;
        else if (arg == "--kill-jack" && i + 1 < argc) kill_pid = static_cast<pid_t>(std::atoi(argv[++i]));
        else prefix = arg;
    }
    std::unique_ptr<tavrin_test::JackThrough> cable;
    if (through) {
        cable = std::make_unique<tavrin_test::JackThrough>();
        if (!cable->ok()) {
            std::printf("winmm_loop: no JACK server for the through client\n");
            return 1;
        }
        cable->mute(muted);
    }
    auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real);
    backend->set_scripted();
    backend->set_activate_on_show(false);
    platform::install_backend(std::move(backend));
    WNDCLASSA wc{};
    wc.lpfnWndProc = loop_proc;
    wc.lpszClassName = "WinmmLoop";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, "WinmmLoop", "loop", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);

    const int in_id = find_port<MIDIINCAPSA>(midiInGetNumDevs(), midiInGetDevCapsA, prefix);
    const int out_id = find_port<MIDIOUTCAPSA>(midiOutGetNumDevs(), midiOutGetDevCapsA, prefix);
    if (in_id < 0 || out_id < 0) {
        std::printf("winmm_loop: no input and output port named \"%s...\"\n", prefix.c_str());
        return 1;
    }
    std::vector<char> capture(4096, 0);
    std::vector<char> message{static_cast<char>(0xF0)};
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 0x80; ++i) message.push_back(static_cast<char>(i));
    message.push_back(static_cast<char>(0xF7));
    MIDIHDR ih{};
    MIDIHDR oh{};
    ih.lpData = capture.data();
    ih.dwBufferLength = static_cast<DWORD>(capture.size());
    oh.lpData = message.data();
    oh.dwBufferLength = static_cast<DWORD>(message.size());

    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    const auto cb = reinterpret_cast<DWORD_PTR>(hwnd);
    if (MMRESULT rc = midiInOpen(&in, static_cast<UINT>(in_id), cb, 0, CALLBACK_WINDOW)) return fail("midiInOpen", rc);
    if (MMRESULT rc = midiOutOpen(&out, static_cast<UINT>(out_id), cb, 0, CALLBACK_WINDOW))
        return fail("midiOutOpen", rc);
    if (MMRESULT rc = midiInPrepareHeader(in, &ih, kHeaderSize)) return fail("midiInPrepareHeader", rc);
    if (MMRESULT rc = midiOutPrepareHeader(out, &oh, kHeaderSize)) return fail("midiOutPrepareHeader", rc);
    if (MMRESULT rc = midiInAddBuffer(in, &ih, kHeaderSize)) return fail("midiInAddBuffer", rc);
    if (MMRESULT rc = midiInStart(in)) return fail("midiInStart", rc);
    SetTimer(hwnd, kDeadline, 2000, nullptr);  // the program's own time-out
    if (MMRESULT rc = midiOutLongMsg(out, &oh, kHeaderSize)) return fail("midiOutLongMsg", rc);
    if (kill_pid > 0) kill(kill_pid, SIGKILL);
    MSG msg{};
    while (!(g_in_done && g_out_done) && !g_expired)
        if (platform::session().next_message(msg)) DispatchMessageA(&msg);
    KillTimer(hwnd, kDeadline);

    // The take-back that follows a time-out: the send is ended first.
    if (g_expired) {
        if (MMRESULT rc = midiOutReset(out)) return fail("midiOutReset", rc);
    }
    const bool same = ih.dwBytesRecorded == message.size() &&
                      std::memcmp(capture.data(), message.data(), message.size()) == 0;
    const bool flags = (ih.dwFlags & (MHDR_DONE | MHDR_INQUEUE)) == MHDR_DONE &&
                       (oh.dwFlags & (MHDR_DONE | MHDR_INQUEUE)) == MHDR_DONE;
    if (MMRESULT rc = midiInStop(in)) return fail("midiInStop", rc);
    if (MMRESULT rc = midiInReset(in)) return fail("midiInReset", rc);
    if (MMRESULT rc = midiInUnprepareHeader(in, &ih, kHeaderSize)) return fail("midiInUnprepareHeader", rc);
    if (MMRESULT rc = midiOutUnprepareHeader(out, &oh, kHeaderSize)) return fail("midiOutUnprepareHeader", rc);
    if (MMRESULT rc = midiInClose(in)) return fail("midiInClose", rc);
    if (MMRESULT rc = midiOutClose(out)) return fail("midiOutClose", rc);
    platform::midi::shutdown();
    cable.reset();

    if (g_expired) {
        std::printf("winmm_loop: nothing came back within 2 s; every take-back and close answered 0\n");
        std::printf("winmm_loop: %s\n", muted || kill_pid > 0 ? "time-out" : "FAILED");
        return muted || kill_pid > 0 ? 0 : 1;
    }
    if (muted || kill_pid > 0) {
        std::printf("winmm_loop: FAILED: bytes came back through a muted loop\n");
        return 1;
    }
    std::printf("winmm_loop: %lu bytes recorded, %s, header flags %s\n",
                static_cast<unsigned long>(ih.dwBytesRecorded), same ? "as sent" : "NOT as sent",
                flags ? "as WinMM leaves them" : "WRONG");
    std::printf("winmm_loop: %s\n", same && flags ? "ok" : "FAILED");
    return same && flags ? 0 : 1;
}
