// VerifyLoopback against a plain reading of its rule: the position of the
// first byte that differs from the test message, except that a bad first byte
// reports 1 and a differing byte that is itself F7 reports its position plus 1.
// The capture is exactly 258 bytes long, so a read past them is caught.
#include "loopback/loopback.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BuildTestMessage();
    // Even first byte: the rest is laid over the test message (near misses);
    // odd: the rest is the capture itself.
    const bool over = size == 0 || (data[0] & 1) == 0;
    std::vector<BYTE> capture(TEST_MESSAGE_LEN, 0);
    for (std::size_t i = 0; i < TEST_MESSAGE_LEN; ++i) {
        const BYTE b = i + 1 < size ? data[i + 1] : 0;
        capture[i] = over ? static_cast<BYTE>(TestMessage[i] ^ b) : b;
    }
    std::size_t first = 0;
    while (first < TEST_MESSAGE_LEN && capture[first] == TestMessage[first]) ++first;
    unsigned expected = static_cast<unsigned>(first);
    if (first == 0)
        expected = 1;
    else if (first < TEST_MESSAGE_LEN && capture[first] == 0xF7)
        expected = static_cast<unsigned>(first) + 1;

    const WORD got = VerifyLoopback(capture.data());
    if (got != expected) {
        std::fprintf(stderr, "VerifyLoopback: %u, the rule gives %u\n", got, expected);
        std::abort();
    }
    return 0;
}
