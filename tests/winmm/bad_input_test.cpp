// What the service does with bad input: long names, unknown handles, missing
// headers, oversized SysEx, floods; and its error texts and injected faults.
#include "fixture.h"

#include <algorithm>

namespace winmm_test {
namespace {

using BadInput = MidiFixture;

TEST_F(BadInput, LongPortNameIsCutTo31AndAMissingNameIsAnError) {
    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Input, 0, std::string(200, 'n')));
    MIDIINCAPSA caps;
    std::memset(&caps, 0x5A, sizeof caps);
    ASSERT_EQ(midiInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(caps.szPname), std::string(31, 'n'));

    // A name that ends inside a UTF-8 sequence at the cut loses the whole character.
    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Output, 0,
                                              std::string(30, 'o') + "\xC3\xA9tude"));
    MIDIOUTCAPSA ocaps{};
    ASSERT_EQ(midiOutGetDevCapsA(0, &ocaps, sizeof ocaps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(ocaps.szPname), std::string(30, 'o'));

    // A size smaller than the record: only that much is written.
    std::memset(&caps, 0x5A, sizeof caps);
    ASSERT_EQ(midiInGetDevCapsA(0, &caps, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.szPname[0], 'n');
    EXPECT_EQ(caps.szPname[2], 0x5A);

    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Input, 0, std::nullopt));
    std::memset(&caps, 0x5A, sizeof caps);
    EXPECT_EQ(midiInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NODRIVER);
    EXPECT_EQ(caps.szPname[0], 0x5A);
    EXPECT_EQ(midiInGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiOutGetDevCapsA(0, nullptr, sizeof ocaps), MMSYSERR_INVALPARAM);
    EXPECT_FALSE(platform::midi::set_port_name(platform::midi::PortKind::Input, 5, "x"));
}

TEST_F(BadInput, UnknownHandlesAreRefusedByEveryCall) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    MIDIHDR h{};
    char byte = 0;
    h.lpData = &byte;
    h.dwBufferLength = 1;
    const auto bogus_in = reinterpret_cast<HMIDIIN>(std::uintptr_t{0xDEADBEEF});
    const auto bogus_out = reinterpret_cast<HMIDIOUT>(std::uintptr_t{0xDEADBEEF});
    // A handle of the other kind is as unknown as a made-up one.
    const auto out_as_in = reinterpret_cast<HMIDIIN>(loop.out);
    const auto in_as_out = reinterpret_cast<HMIDIOUT>(loop.in);
    for (HMIDIIN in : {bogus_in, out_as_in, static_cast<HMIDIIN>(nullptr)}) {
        EXPECT_EQ(midiInPrepareHeader(in, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInUnprepareHeader(in, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInAddBuffer(in, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInStart(in), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInStop(in), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInReset(in), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInClose(in), MMSYSERR_INVALHANDLE);
    }
    for (HMIDIOUT out : {bogus_out, in_as_out, static_cast<HMIDIOUT>(nullptr)}) {
        EXPECT_EQ(midiOutPrepareHeader(out, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutUnprepareHeader(out, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutLongMsg(out, &h, kHeaderSize), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutReset(out), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutClose(out), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(h.dwFlags, 0u);
    // A closed handle stays unknown, even after the port is opened again.
    const HMIDIIN old = loop.in;
    ASSERT_EQ(midiInClose(loop.in), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&loop.in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    EXPECT_NE(loop.in, old);
    EXPECT_EQ(midiInStart(old), MMSYSERR_INVALHANDLE);
    loop.close();
}

TEST_F(BadInput, MissingOrShortHeadersAndBuffersAreInvalidParameters) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    std::vector<char> buf(16);
    MIDIHDR h{};
    h.lpData = buf.data();
    h.dwBufferLength = 16;
    EXPECT_EQ(midiInPrepareHeader(loop.in, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutPrepareHeader(loop.out, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInAddBuffer(loop.in, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInUnprepareHeader(loop.in, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutUnprepareHeader(loop.out, nullptr, kHeaderSize), MMSYSERR_INVALPARAM);
    // 28 on a 32-bit build: the seven-field header is enough, anything shorter is not.
    EXPECT_EQ(midiInPrepareHeader(loop.in, &h, kHeaderSize - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutPrepareHeader(loop.out, &h, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(h.dwFlags, 0u);
    h.lpData = nullptr;
    EXPECT_EQ(midiInPrepareHeader(loop.in, &h, kHeaderSize), MMSYSERR_INVALPARAM);
    h.lpData = buf.data();
    h.dwBufferLength = 0;
    EXPECT_EQ(midiOutPrepareHeader(loop.out, &h, kHeaderSize), MMSYSERR_INVALPARAM);
    h.dwBufferLength = 16;
    ASSERT_EQ(midiInPrepareHeader(loop.in, &h, kHeaderSize), MMSYSERR_NOERROR);
    h.lpData = nullptr;  // changed after preparing
    EXPECT_EQ(midiInAddBuffer(loop.in, &h, kHeaderSize), MMSYSERR_INVALPARAM);
    h.lpData = buf.data();
    EXPECT_EQ(midiInUnprepareHeader(loop.in, &h, kHeaderSize), MMSYSERR_NOERROR);
    loop.close();
}

TEST_F(BadInput, OversizedSysExFillsOneBufferAndDropsTheRest) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    // 4096 bytes for the service, then a guard it must never touch.
    loop.capture.assign(4096 + 256, 0);
    loop.message.assign(10000, 0x11);
    loop.message.front() = static_cast<char>(0xF0);
    loop.message.back() = static_cast<char>(0xF7);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == 1; }));
    ASSERT_EQ(count(MM_MIM_LONGDATA), 1);
    EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 4096u);
    EXPECT_EQ(static_cast<unsigned char>(loop.capture[0]), 0xF0);
    EXPECT_TRUE(std::all_of(loop.capture.begin() + 1, loop.capture.begin() + 4096, [](char c) { return c == 0x11; }));
    EXPECT_TRUE(std::all_of(loop.capture.begin() + 4096, loop.capture.end(), [](char c) { return c == 0; }));
    const auto counters = platform::midi::input_counters(loop.in);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->bytes_dropped, 10000u - 4096u);
    loop.close();
}

TEST_F(BadInput, FloodOfShortMessagesIsCappedAndLeavesSysExIntact) {
    constexpr int kShort = 100000;
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    const auto sysex = test_message();
    loop.message.clear();
    for (int i = 0; i < kShort; ++i) {
        loop.message.push_back(static_cast<char>(0x90));
        loop.message.push_back(static_cast<char>(i % 128));
        loop.message.push_back(0x40);
    }
    // Real-time bytes inside the SysEx are passed on, not stored.
    std::vector<char> with_clock = sysex;
    with_clock.insert(with_clock.begin() + 100, static_cast<char>(0xF8));
    loop.message.insert(loop.message.end(), with_clock.begin(), with_clock.end());
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1 && count(MM_MOM_DONE) == 1; }));
    EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 258u);
    EXPECT_TRUE(std::equal(sysex.begin(), sysex.end(), loop.capture.begin()));
    const int shorts = count(MM_MIM_DATA);
    EXPECT_EQ(shorts, static_cast<int>(platform::midi::kMaxPendingShortMessages));
    EXPECT_EQ(first(MM_MIM_DATA)->lp, LPARAM{0x400090});
    const auto counters = platform::midi::input_counters(loop.in);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->pending_short, 0u);
    EXPECT_EQ(counters->short_dropped, static_cast<unsigned long long>(kShort + 1 - shorts));
    // Once the program caught up, short messages get through again.
    loop.message.assign({static_cast<char>(0xC5), 0x07});
    loop.out_hdr.dwBufferLength = 2;
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == 2; }));
    EXPECT_EQ(notes[notes.size() - 2].msg, UINT{MM_MIM_DATA});
    EXPECT_EQ(notes[notes.size() - 2].lp, LPARAM{0x07C5});
    loop.close();
}

TEST_F(BadInput, ErrorTextsAreCutToTheBufferAndUnknownCodesRefused) {
    char text[128];
    for (MMRESULT code : {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_ALLOCATED,
                          MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM, MMSYSERR_BADERRNUM,
                          MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, MIDIERR_UNPREPARED, MIDIERR_STILLPLAYING,
                          MIDIERR_NOTREADY, MIDIERR_NODEVICE}) {
        text[0] = 0;
        EXPECT_EQ(midiInGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
        EXPECT_LT(std::strlen(text), 128u) << code;
    }
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(midiOutGetErrorTextA(MIDIERR_STILLPLAYING, text, 8), MMSYSERR_NOERROR);
    EXPECT_EQ(std::strlen(text), 7u);
    EXPECT_EQ(text[8], 'x');
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(midiInGetErrorTextA(999, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_EQ(midiInGetErrorTextA(MMSYSERR_LASTERROR, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(midiInGetErrorTextA(MMSYSERR_ERROR, nullptr, 128), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutGetErrorTextA(MMSYSERR_ERROR, text, 0), MMSYSERR_INVALPARAM);
}

TEST_F(BadInput, InjectedFaultsAnswerTheCodeAndDoNothingElse) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    platform::midi::clear_call_log();
    platform::midi::fail_next("midiInReset", MMSYSERR_NOMEM, 2);
    EXPECT_EQ(midiInReset(loop.in), MMSYSERR_NOMEM);
    EXPECT_EQ(midiInReset(loop.in), MMSYSERR_NOMEM);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});  // still queued
    EXPECT_EQ(midiInReset(loop.in), MMSYSERR_NOERROR);
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});

    platform::midi::fail_next("midiOutLongMsg", MIDIERR_NOTREADY);
    EXPECT_EQ(loop.send(), MIDIERR_NOTREADY);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_PREPARED});
    platform::midi::fail_next("midiInGetErrorTextA", MMSYSERR_BADERRNUM);
    char text[128] = "unchanged";
    EXPECT_EQ(midiInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_STREQ(text, "unchanged");
    platform::midi::fail_next("midiInGetDevCapsA", MMSYSERR_NODRIVER);
    MIDIINCAPSA caps{};
    EXPECT_EQ(midiInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NODRIVER);
    EXPECT_EQ(caps.szPname[0], 0);
    platform::midi::fail_next("midiOutOpen", MMSYSERR_ALLOCATED);
    platform::midi::clear_faults();
    EXPECT_EQ(midiOutReset(loop.out), MMSYSERR_NOERROR);

    const std::vector<std::string> expected = {"midiInReset",       "midiInReset",         "midiInReset",
                                               "midiOutLongMsg",    "midiInGetErrorTextA", "midiInGetDevCapsA",
                                               "midiOutReset"};
    EXPECT_EQ(platform::midi::call_log(), expected);
    loop.close();
}

TEST_F(BadInput, TheCallLogKeepsOnlyTheLastCallsSoALongRunDoesNotGrow) {
    platform::midi::clear_call_log();
    midiOutGetNumDevs();
    for (std::size_t i = 0; i < platform::midi::kCallLogMax; ++i) midiInGetNumDevs();
    const auto log = platform::midi::call_log();
    ASSERT_EQ(log.size(), platform::midi::kCallLogMax);
    EXPECT_EQ(log.front(), "midiInGetNumDevs");  // the oldest call has gone
}

}  // namespace
}  // namespace winmm_test
