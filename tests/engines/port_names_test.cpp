// Port names as shown, and the choice of engine when none is there.
#include "winmm/port_backend.h"
#include "winmm/port_names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <string>

namespace {

using platform::midi::safe_port_name;
using platform::midi::unique_port_names;

bool valid_utf8_printable(const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7F) return false;
        if (b < 0x80) continue;
        const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n - 1;
    }
    return true;
}

TEST(PortNames, LongNamesAreCutToFitSzPname) {
    const std::string name = safe_port_name(std::string(200, 'x'));
    EXPECT_EQ(name, std::string(31, 'x'));
}

TEST(PortNames, CutNeverSplitsACharacter) {
    // 15 two-byte letters, then one more: 32 bytes would be needed.
    std::string raw;
    for (int i = 0; i < 16; ++i) raw += "\xC3\xA9";
    const std::string name = safe_port_name(raw);
    EXPECT_EQ(name.size(), 30u);
    EXPECT_TRUE(valid_utf8_printable(name));
}

TEST(PortNames, BadBytesAndControlsBecomeQuestionMarks) {
    EXPECT_EQ(safe_port_name("A\xFF\xC3" "(B\x01\n"), "A??" "(B??");
    EXPECT_EQ(safe_port_name("\xED\xA0\x80"), "???");  // a surrogate is no character
    EXPECT_EQ(safe_port_name("%s%n %d"), "%s%n %d");     // text, never a format
}

TEST(PortNames, DuplicatesAreMadeUniqueWithinTheLimit) {
    const std::string long_name(40, 'M');
    const auto names = unique_port_names({"Port", "Port", long_name, long_name + "x", "Port"});
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], "Port");
    EXPECT_EQ(names[1], "Port #2");
    EXPECT_EQ(names[2], std::string(31, 'M'));
    EXPECT_EQ(names[3], std::string(28, 'M') + " #2");
    EXPECT_EQ(names[4], "Port #3");
    for (const auto& n : names) EXPECT_LE(n.size(), 31u);
}

TEST(PortNames, AGeneratedSuffixDoesNotCollideWithARealName) {
    const auto names = unique_port_names({"A #2", "A", "A"});
    EXPECT_EQ(names[0], "A #2");
    EXPECT_EQ(names[1], "A");
    EXPECT_EQ(names[2], "A #3");
}

// This machine has no sequencer device, and no JACK server runs under the
// name chosen here: every engine answers "not there", never an error.
class NoEngine : public ::testing::Test {
protected:
    void SetUp() override { setenv("JACK_DEFAULT_SERVER", "tavrin-no-such-server", 1); }
    void TearDown() override { unsetenv("JACK_DEFAULT_SERVER"); }
};

TEST_F(NoEngine, AutoOffersNoPortsAndStartsNoServer) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
    for (const char* setting : {"", "auto", "alsa", "rawmidi", "jack"}) {
        std::string error = "unset";
        EXPECT_EQ(platform::midi::make_backend(setting, error), nullptr) << setting;
        EXPECT_EQ(error, "") << setting;
    }
}

TEST_F(NoEngine, OptionsAreRefusedWithAMessage) {
    for (const char* setting : {"alsa:ports=2", "rawmidi:x", "jack:x", "auto:1"}) {
        std::string error;
        EXPECT_EQ(platform::midi::make_backend(setting, error), nullptr) << setting;
        EXPECT_NE(error.find("no MIDI ports"), std::string::npos) << setting;
    }
}

}  // namespace
