// WinMM's contract over the virtual cable: one full round, header flags,
// resets, closes.
#include "fixture.h"

#include <algorithm>

namespace winmm_test {
namespace {

using Service = MidiFixture;

TEST_F(Service, FullRoundCapturesTheMessageAndGivesTheBufferBack) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_PREPARED});
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    // Nothing arrives inside the call: the send goes on after it returns.
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});

    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1 && count(MM_MOM_DONE) == 1; }));
    const Note* in = first(MM_MIM_LONGDATA);
    EXPECT_EQ(in->wp, reinterpret_cast<WPARAM>(loop.in));
    EXPECT_EQ(in->lp, reinterpret_cast<LPARAM>(&loop.in_hdr));
    EXPECT_EQ(in->flags, DWORD{MHDR_DONE | MHDR_PREPARED});  // already set when the program sees the message
    EXPECT_EQ(in->recorded, 258u);
    const Note* out = first(MM_MOM_DONE);
    EXPECT_EQ(out->wp, reinterpret_cast<WPARAM>(loop.out));
    EXPECT_EQ(out->lp, reinterpret_cast<LPARAM>(&loop.out_hdr));
    EXPECT_EQ(out->flags, DWORD{MHDR_DONE | MHDR_PREPARED});

    EXPECT_TRUE(std::equal(loop.message.begin(), loop.message.end(), loop.capture.begin()));
    EXPECT_TRUE(std::all_of(loop.capture.begin() + 258, loop.capture.end(), [](char c) { return c == 0; }));

    // The program's take-back: stop, then unprepare (flags 3 are reset first).
    EXPECT_EQ(midiInStop(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInReset(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInUnprepareHeader(loop.in, &loop.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_DONE});
    EXPECT_EQ(midiOutUnprepareHeader(loop.out, &loop.out_hdr, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_DONE});
    EXPECT_EQ(midiInClose(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(loop.out), MMSYSERR_NOERROR);
    EXPECT_EQ(count(MM_MIM_LONGDATA), 1);  // the reset had nothing more to give back
}

TEST_F(Service, InputHeaderFlagsFollowWinmm) {
    HMIDIIN in = nullptr;
    ASSERT_EQ(midiInOpen(&in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    std::vector<char> buf(64);
    MIDIHDR h{};
    h.lpData = buf.data();
    h.dwBufferLength = 64;
    h.dwFlags = MHDR_DONE;
    EXPECT_EQ(midiInAddBuffer(in, &h, kHeaderSize), MIDIERR_UNPREPARED);
    ASSERT_EQ(midiInPrepareHeader(in, &h, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_PREPARED});
    EXPECT_EQ(midiInPrepareHeader(in, &h, kHeaderSize), MMSYSERR_NOERROR);  // harmless
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_PREPARED});
    ASSERT_EQ(midiInAddBuffer(in, &h, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    EXPECT_EQ(midiInAddBuffer(in, &h, kHeaderSize), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiInUnprepareHeader(in, &h, kHeaderSize), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiInClose(in), MIDIERR_STILLPLAYING);
    // Reset gives the empty buffer back at once; the window hears of it.
    ASSERT_EQ(midiInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    EXPECT_EQ(h.dwBytesRecorded, 0u);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1; }));
    ASSERT_EQ(midiInUnprepareHeader(in, &h, kHeaderSize), MMSYSERR_NOERROR);
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_DONE});
    EXPECT_EQ(midiInUnprepareHeader(in, &h, kHeaderSize), MMSYSERR_NOERROR);  // not prepared: nothing
    EXPECT_EQ(h.dwFlags, DWORD{MHDR_DONE});
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_INVALHANDLE);
}

TEST_F(Service, ResetGivesBackEveryQueuedBufferAndStopOnlyAPartOne) {
    platform::midi::configure("cable:drop=257");  // the F7 never comes
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    std::vector<char> spare(300);
    MIDIHDR second{};
    second.lpData = spare.data();
    second.dwBufferLength = 300;
    ASSERT_EQ(midiInPrepareHeader(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == 1; }));
    EXPECT_EQ(count(MM_MIM_LONGDATA), 0);  // unterminated: still being filled

    ASSERT_EQ(midiInStop(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 257u);
    EXPECT_EQ(second.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});  // empty buffers stay queued
    ASSERT_EQ(midiInReset(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(second.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 2; }));
    EXPECT_EQ(notes.back().lp, reinterpret_cast<LPARAM>(&second));
    EXPECT_EQ(midiInUnprepareHeader(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    loop.close();
}

TEST_F(Service, OutputResetEndsTheSendOnceAndNothingMoreArrives) {
    platform::midi::configure("cable:delay=100");
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutLongMsg(loop.out, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    MIDIHDR unprepared = loop.out_hdr;
    unprepared.dwFlags = 0;
    EXPECT_EQ(midiOutLongMsg(loop.out, &unprepared, kHeaderSize), MIDIERR_UNPREPARED);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.send(), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutUnprepareHeader(loop.out, &loop.out_hdr, kHeaderSize), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutClose(loop.out), MIDIERR_STILLPLAYING);
    pump_for(platform::Ms(50));
    ASSERT_EQ(midiOutReset(loop.out), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    pump_for(platform::Ms(500));  // well past the aborted delivery
    EXPECT_EQ(count(MM_MOM_DONE), 1);
    EXPECT_EQ(count(MM_MIM_LONGDATA), 0);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    // The port sends again after a reset.
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1; }));
    EXPECT_EQ(first(MM_MIM_LONGDATA)->recorded, 258u);
    loop.close();
}

TEST_F(Service, OpenNotifiesTheWindowAndRefusesWhatItCannotDo) {
    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    EXPECT_EQ(midiInOpen(nullptr, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInOpen(&in, 1, cb(), 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiOutOpen(&out, 7, cb(), 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInOpen(&in, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALFLAG);
    EXPECT_EQ(midiOutOpen(&out, 0, cb(), 0, 0x30000 /* a callback function */), MMSYSERR_INVALFLAG);
    EXPECT_EQ(midiInOpen(&in, 0, 0x12345678, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);  // no such window
    EXPECT_EQ(in, nullptr);
    ASSERT_EQ(midiInOpen(&in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    HMIDIIN again = nullptr;
    EXPECT_EQ(midiInOpen(&again, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
    ASSERT_EQ(midiOutOpen(&out, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return notes.size() == 4; }));
    EXPECT_EQ(notes[0].msg, UINT{MM_MIM_OPEN});
    EXPECT_EQ(notes[1].msg, UINT{MM_MOM_OPEN});
    EXPECT_EQ(notes[2].msg, UINT{MM_MIM_CLOSE});
    EXPECT_EQ(notes[3].msg, UINT{MM_MOM_CLOSE});
}

}  // namespace
}  // namespace winmm_test
