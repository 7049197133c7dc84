// The virtual cable's options: each changes what arrives as it says; a bad
// one leaves no ports and names itself on stderr.
#include "fixture.h"
#include "winmm/cable/cable.h"

#include <algorithm>

namespace winmm_test {
namespace {

// Sends the test message once over port 0 with `setting` and returns what the
// 4096-byte input buffer holds once given back (empty when nothing came).
struct Arrival {
    std::vector<unsigned char> bytes;
    long long at_ms = -1;
    int buffers = 0;
};

class CableOptions : public MidiFixture {
protected:
    Arrival round(std::string_view setting, platform::Ms wait = platform::Ms(3000)) {
        platform::midi::configure(setting);
        notes.clear();
        Loop loop;
        Arrival a;
        const long long sent_at = platform::session().clock().now().count();
        if (loop.open(cb()) != MMSYSERR_NOERROR || loop.arm() != MMSYSERR_NOERROR || loop.send() != MMSYSERR_NOERROR) {
            ADD_FAILURE() << "could not start a round with " << setting;
            return a;
        }
        pump_until([&] { return count(MM_MOM_DONE) == 1 && count(MM_MIM_LONGDATA) >= 1; }, wait);
        if (const Note* n = first(MM_MIM_LONGDATA)) {
            a.at_ms = n->at_ms - sent_at;
            a.bytes.assign(loop.capture.begin(), loop.capture.begin() + n->recorded);
        }
        a.buffers = count(MM_MIM_LONGDATA);
        loop.close();
        return a;
    }
    static std::vector<unsigned char> sent() {
        const auto m = test_message();
        return {m.begin(), m.end()};
    }
};

TEST_F(CableOptions, PlainCableCarriesTheMessageUnchangedAtOnce) {
    const Arrival a = round("cable");
    EXPECT_EQ(a.bytes, sent());
    EXPECT_EQ(a.at_ms, 0);
}

TEST_F(CableOptions, CorruptReplacesOneByte) {
    auto expected = sent();
    expected[5] = 0x44;
    EXPECT_EQ(round("cable:corrupt=5:0x44").bytes, expected);
    // Without its F0 the message is no SysEx: nothing is stored.
    EXPECT_EQ(round("cable:corrupt=0:7").buffers, 0);
}

TEST_F(CableOptions, DropLosesOneByte) {
    auto expected = sent();
    expected.erase(expected.begin() + 3);
    EXPECT_EQ(round("cable:drop=3").bytes, expected);
}

TEST_F(CableOptions, CutEndsTheMessageEarlyWithF7) {
    auto expected = sent();
    expected.resize(10);
    expected.push_back(0xF7);
    EXPECT_EQ(round("cable:cut=10").bytes, expected);
    EXPECT_EQ(round("cable:cut=1000").bytes, sent());
}

TEST_F(CableOptions, UnpluggedDeliversNothingButTheSendEnds) {
    const Arrival a = round("cable:unplugged");
    EXPECT_EQ(a.buffers, 0);
    EXPECT_EQ(count(MM_MOM_DONE), 1);
}

TEST_F(CableOptions, DelayAndBaudSetTheArrivalTime) {
    EXPECT_EQ(round("cable:delay=250").at_ms, 250);
    // 258 bytes of ten bits at 31250 baud: 82.56 ms on the wire.
    const Arrival a = round("cable:baud=31250");
    EXPECT_EQ(a.bytes, sent());
    EXPECT_EQ(a.at_ms, 83);
    EXPECT_EQ(round("cable:delay=1000,baud=31250").at_ms, 1083);
}

TEST_F(CableOptions, RepeatDeliversTheMessageAgainIntoTheNextBuffers) {
    platform::midi::configure("cable:repeat=3");
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    std::vector<char> more(2 * 300);
    MIDIHDR h2{}, h3{};
    h2.lpData = more.data();
    h3.lpData = more.data() + 300;
    h2.dwBufferLength = h3.dwBufferLength = 300;
    for (MIDIHDR* h : {&h2, &h3}) {
        ASSERT_EQ(midiInPrepareHeader(loop.in, h, kHeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(loop.in, h, kHeaderSize), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 3; }));
    EXPECT_EQ(h2.dwBytesRecorded, 258u);
    EXPECT_EQ(h3.dwBytesRecorded, 258u);
    EXPECT_EQ(std::vector<char>(more.begin() + 300, more.begin() + 558), loop.message);
    for (MIDIHDR* h : {&h2, &h3}) EXPECT_EQ(midiInUnprepareHeader(loop.in, h, kHeaderSize), MMSYSERR_NOERROR);
    loop.close();
}

TEST_F(CableOptions, PortsAreNamedAndWiredOutputKToInputK) {
    platform::midi::configure("cable:ports=3");
    ASSERT_EQ(midiInGetNumDevs(), 3u);
    ASSERT_EQ(midiOutGetNumDevs(), 3u);
    MIDIINCAPSA ic{};
    MIDIOUTCAPSA oc{};
    ASSERT_EQ(midiInGetDevCapsA(2, &ic, sizeof ic), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutGetDevCapsA(0, &oc, sizeof oc), MMSYSERR_NOERROR);
    EXPECT_STREQ(ic.szPname, "Virtual Cable 3");
    EXPECT_STREQ(oc.szPname, "Virtual Cable 1");

    // Output 1 reaches input 1, not input 0.
    Loop a;
    Loop b;
    ASSERT_EQ(midiInOpen(&a.in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_EQ(b.open(cb(), 1), MMSYSERR_NOERROR);
    a.in_hdr.lpData = a.capture.data();
    a.in_hdr.dwBufferLength = 4096;
    ASSERT_EQ(midiInPrepareHeader(a.in, &a.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(a.in, &a.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(a.in), MMSYSERR_NOERROR);
    ASSERT_EQ(b.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(b.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1; }));
    EXPECT_EQ(first(MM_MIM_LONGDATA)->wp, reinterpret_cast<WPARAM>(b.in));
    a.close();
    b.close();
}

TEST_F(CableOptions, BadOptionsLeaveNoPortsAndNameTheOption) {
    const char* bad[][2] = {
        {"cable:ports=0", "ports=0"},       {"cable:ports=17", "ports=17"}, {"cable:bogus", "bogus"},
        {"cable:corrupt=5", "corrupt=5"},   {"cable:corrupt=1:256", "corrupt=1:256"},
        {"cable:baud=fast", "baud=fast"},   {"cable:repeat=0", "repeat=0"}, {"cable:unplugged=1", "unplugged=1"},
        {"cable:delay=-5", "delay=-5"},     {"cable:drop=0x", "drop=0x"},
        {"cable:ports=2,wire=0:2", "wire=0:2"}, {"cable:wire=1", "wire=1"},
        {"cable:dup=3:1", "dup=3:1"},       {"cable:swap=1/0", "swap=1/0"}, {"cable:every=0", "every=0"},
        {"cable:stray=0x12:300", "stray=0x12:300"}, {"cable:stray=0xFE", "stray=0xFE"}, {"cable:unplug=0", "unplug=0"},
    };
    for (const auto& [setting, option] : bad) {
        ::testing::internal::CaptureStderr();
        platform::midi::configure(setting);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(midiInGetNumDevs(), 0u) << setting;
        EXPECT_EQ(midiOutGetNumDevs(), 0u) << setting;
        EXPECT_NE(err.find(std::string("\"") + option + "\""), std::string::npos) << setting << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    // Hex values are accepted wherever a number is.
    ::testing::internal::CaptureStderr();
    platform::midi::configure("cable:ports=0x2,delay=0x10");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(midiInGetNumDevs(), 2u);
}

// What arrives of the nth message for each fault, with its own period or every='s.
TEST_F(CableOptions, FaultsTouchTheMessagesTheirPeriodNames) {
    const std::vector<std::uint8_t> sent = {0xF0, 1, 2, 3, 0xF7};
    struct Case {
        const char* options;
        std::uint64_t number;
        std::vector<std::uint8_t> arrives;
    };
    const Case cases[] = {
        {"dup=2", 1, {0xF0, 1, 2, 2, 3, 0xF7}},
        {"swap=1", 1, {0xF0, 2, 1, 3, 0xF7}},
        {"corrupt=3:0x13/3", 2, sent},
        {"corrupt=3:0x13/3", 3, {0xF0, 1, 2, 0x13, 0xF7}},
        {"drop=1,every=2", 3, sent},
        {"drop=1,every=2", 4, {0xF0, 2, 3, 0xF7}},
        {"drop=1/5,dup=1,every=2", 2, {0xF0, 1, 1, 2, 3, 0xF7}},
        {"drop=1/5,dup=1,every=2", 5, {0xF0, 2, 3, 0xF7}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto o = platform::midi::parse_cable_options(c.options, error);
        ASSERT_TRUE(o) << c.options << ": " << error;
        EXPECT_EQ(platform::midi::cable_arrival(*o, sent, c.number), c.arrives) << c.options << " #" << c.number;
    }
}

TEST_F(CableOptions, WireSendsAnOutputToTheInputsItNames) {
    std::string error;
    const auto o = platform::midi::parse_cable_options("ports=4,wire=0:2,wire=0:1,wire=3:none", error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(platform::midi::cable_targets(*o, 0), (std::vector<unsigned>{2, 1}));
    EXPECT_EQ(platform::midi::cable_targets(*o, 1), (std::vector<unsigned>{1}));
    EXPECT_TRUE(platform::midi::cable_targets(*o, 3).empty());

    // Output 0 reaches input 1 only.
    platform::midi::configure("cable:ports=2,wire=0:1");
    EXPECT_EQ(platform::midi::engine_name(), "cable");
    Loop a;
    Loop b;
    ASSERT_EQ(a.open(cb(), 0), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&b.in, 1, cb(), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    b.in_hdr.lpData = b.capture.data();
    b.in_hdr.dwBufferLength = 4096;
    ASSERT_EQ(midiInPrepareHeader(b.in, &b.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(b.in, &b.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(b.in), MMSYSERR_NOERROR);
    ASSERT_EQ(a.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(a.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 1 && count(MM_MOM_DONE) == 1; }));
    EXPECT_EQ(first(MM_MIM_LONGDATA)->wp, reinterpret_cast<WPARAM>(b.in));
    a.close();
    b.close();
}

TEST_F(CableOptions, OtherBackendsOfferNoPortsForNow) {
    for (const char* setting : {"", "none"}) {
        platform::midi::configure(setting);
        EXPECT_EQ(midiInGetNumDevs(), 0u) << setting;
        EXPECT_EQ(midiOutGetNumDevs(), 0u) << setting;
    }
    HMIDIIN in = nullptr;
    EXPECT_EQ(midiInOpen(&in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
}

}  // namespace
}  // namespace winmm_test
