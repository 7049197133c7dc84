// Global memory, debugger output and wsprintfA.
#include "kernel/kernel.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

TEST(GlobalMemory, MovableBlocksAreZeroedAndStayInPlaceWhileLocked) {
    const size_t before = platform::global_blocks_in_use();
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
    ASSERT_NE(h, nullptr);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 0xAB, 4096);
    EXPECT_EQ(GlobalLock(h), p);  // a second lock: same address
    EXPECT_TRUE(GlobalUnlock(h));   // still locked once
    EXPECT_FALSE(GlobalUnlock(h));  // now unlocked
    EXPECT_FALSE(GlobalUnlock(h));  // unlocking an unlocked block is harmless
    EXPECT_EQ(GlobalFree(h), nullptr);
    EXPECT_EQ(GlobalFree(h), h);  // a second free fails and hands the handle back
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), before);
}

TEST(GlobalMemory, InjectedFailuresHitOnce) {
    platform::fail_next_global_alloc();
    EXPECT_EQ(GlobalAlloc(GHND, 16), nullptr);
    HGLOBAL h = GlobalAlloc(GHND, 16);
    ASSERT_NE(h, nullptr);
    platform::fail_next_global_lock();
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_NE(GlobalLock(h), nullptr);
    GlobalUnlock(h);
    GlobalFree(h);
}

TEST(DebugOutput, IsKeptForTests) {
    platform::clear_debug_output();
    OutputDebugStringA("\r\nMidiActivateDevice: uDeviceType bad");
    OutputDebugStringA(nullptr);
    EXPECT_EQ(platform::debug_output(), "\r\nMidiActivateDevice: uDeviceType bad");
}

TEST(Wsprintf, ConversionsTavrinUses) {
    char buf[1100];
    EXPECT_EQ(wsprintfA(buf, "%X", 257), 3);
    EXPECT_STREQ(buf, "101");
    wsprintfA(buf, "Midi loopback failure!\nByte: 0x%X", 0x12);
    EXPECT_STREQ(buf, "Midi loopback failure!\nByte: 0x12");
    wsprintfA(buf, "No MIDI %s%s%sdevices are present", "input ", "or ", "output ");
    EXPECT_STREQ(buf, "No MIDI input or output devices are present");
    wsprintfA(buf, "%d %u %x %c %%", -42, 4000000000u, 0xBEEFu, 'Z');
    EXPECT_STREQ(buf, "-42 4000000000 beef Z %");
    wsprintfA(buf, "[%5d|%-4s|%04X|%.2s]", 7, "ab", 0x1F, "xyz");
    EXPECT_STREQ(buf, "[    7|ab  |001F|xy]");
    wsprintfA(buf, "%s", static_cast<const char*>(nullptr));
    EXPECT_STREQ(buf, "(null)");
}

TEST(Wsprintf, ANumbersPrecisionIsItsFewestDigits) {
    char buf[1100];
    wsprintfA(buf, "[%.5d|%8.3X|%-6.4u|%.0u|%.d|%08.3d]", -42, 0xAu, 7u, 0u, 0, 5);
    EXPECT_STREQ(buf, "[-00042|     00A|0007  |0|0|     005]");
}

TEST(Wsprintf, NeverWritesPastTheLimit) {
    std::string big(2000, 'x');
    char buf[1100];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(wsprintfA(buf, "%s%s", big.c_str(), big.c_str()), 1023);
    EXPECT_EQ(std::strlen(buf), 1023u);
    EXPECT_EQ(buf[1023], '\0');
    for (size_t i = 1024; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << i;
}

TEST(Wsprintf, AFieldWiderThanAnyCountEndsAtTheLimit) {
    char buf[1100];
    EXPECT_EQ(wsprintfA(buf, "%99999999999999999999999d", 1), 1023);
    EXPECT_EQ(wsprintfA(buf, "%.99999999999999999999999u", 1u), 1023);
    EXPECT_EQ(buf[1022], '1');  // the leading zeros gave way, not the digit
}

// At the limit a field keeps its text and loses its padding, then a number's
// leading zeros (as Wine's wsprintfA writes these very fields).
TEST(Wsprintf, AtTheLimitPaddingGivesWayBeforeText) {
    const std::string long_text(1025, 's');
    const struct {
        const char* format;
        const char* text;
        int number;
        std::string want;
    } cases[] = {
        {"q%1056sq", long_text.c_str(), 0, "q" + long_text.substr(0, 1022)},
        {"q%1056sq", "abc", 0, "q" + std::string(1019, ' ') + "abc"},
        {"%-1100s", "abc", 0, "abc" + std::string(1020, ' ')},
        {"%1100d", nullptr, -77, std::string(1020, ' ') + "-77"},
        {"%01100d", nullptr, -77, "-" + std::string(1020, '0') + "77"},
        {"q%-.1030d", nullptr, -77, "q-" + std::string(1019, '0') + "77"},
    };
    char buf[1100];
    for (const auto& c : cases) {
        const int n = c.text ? wsprintfA(buf, c.format, c.text) : wsprintfA(buf, c.format, c.number);
        EXPECT_EQ(n, 1023) << c.format;
        EXPECT_EQ(std::string(buf), c.want) << c.format;
    }
}

}  // namespace
