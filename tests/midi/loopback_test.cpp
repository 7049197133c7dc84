// The verification of a capture, byte by byte.
#include "fixture.h"

#include <cstring>

namespace {

struct Capture {
    BYTE bytes[INPUT_BUFFER_SIZE] = {};
    Capture() {
        BuildTestMessage();
        std::memcpy(bytes, TestMessage, TEST_MESSAGE_LEN);
    }
};

TEST(VerifyLoopback, FindsTheFirstBadByteWithItsTwoExceptions) {
    Capture perfect;
    EXPECT_EQ(VerifyLoopback(perfect.bytes), 258);
    std::memset(perfect.bytes + 258, 0x99, 100);  // what follows is never looked at
    EXPECT_EQ(VerifyLoopback(perfect.bytes), 258);

    BYTE zeros[INPUT_BUFFER_SIZE] = {};
    EXPECT_EQ(VerifyLoopback(zeros), 1);  // nothing arrived: 1, not 0

    BYTE early[INPUT_BUFFER_SIZE] = {0xF0, 0x00, 0x7F};
    EXPECT_EQ(VerifyLoopback(early), 2);
    BYTE ended[INPUT_BUFFER_SIZE] = {0xF0, 0xF7};
    EXPECT_EQ(VerifyLoopback(ended), 2);  // an early F7 counts one further
    BYTE start_only[INPUT_BUFFER_SIZE] = {0xF0};
    EXPECT_EQ(VerifyLoopback(start_only), 2);

    Capture cut;
    cut.bytes[17] = 0xF7;
    std::memset(cut.bytes + 18, 0, INPUT_BUFFER_SIZE - 18);
    EXPECT_EQ(VerifyLoopback(cut.bytes), 0x12);

    Capture half;
    std::memset(half.bytes + 129, 0, INPUT_BUFFER_SIZE - 129);
    EXPECT_EQ(VerifyLoopback(half.bytes), 0x82);  // the zero fill matches the expected 0x00

    Capture no_end;
    no_end.bytes[257] = 0x00;
    EXPECT_EQ(VerifyLoopback(no_end.bytes), 0x101);

    Capture corrupt;
    corrupt.bytes[5] = 0x44;
    EXPECT_EQ(VerifyLoopback(corrupt.bytes), 5);
}

TEST(TestMessage, IsOneValidSysExOf258Bytes) {
    EXPECT_EQ(BuildTestMessage(), 258u);
    EXPECT_EQ(TestMessage[0], 0xF0);
    EXPECT_EQ(TestMessage[257], 0xF7);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(TestMessage[1 + i], i & 0x7F) << i;
}

}  // namespace
