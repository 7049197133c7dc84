// An input port's assembly (platform/winmm/input_assembly.h): raw bytes in
// arbitrary chunks into queued buffers of arbitrary sizes, driven as the
// function of the bytes it is, without the service's locks, threads or
// window messages.
//
// Input: a count of buffers and their sizes, then operations that deliver a
// literal chunk or a run of one byte repeated (FF FF: a run longer than all
// buffers together, which is what a megabyte of SysEx without F7 does to
// them: past that, every byte is one more dropped; two bytes, so that not
// every long input pays for one). The stream ends 4 KiB
// past what the buffers hold: every input costs time per byte, and the
// buffers are gone by then or hold what they will. Checked: nothing is recorded beyond a
// buffer (AddressSanitizer watches the exact-size buffers), the recorded bytes
// in queue order are the SysEx bytes of the stream in order, every SysEx byte
// is recorded or counted as dropped, and a well-formed SysEx that starts in an
// empty buffer large enough for it comes back whole, alone in its buffer.
#include "fuzz/reader.h"
#include "winmm/input_assembly.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using platform::midi::InputAssembly;

constexpr unsigned kMaxBuffers = 8;
// Buffers past the loop test's message in size; larger ones take the same
// paths, only slower.
constexpr std::size_t kMaxBufferBytes = 1024;

// The buffers in the order they come back.
struct GivenBack final : InputAssembly::Output {
    std::vector<InputAssembly::Buffer> buffers;
    void give_back(const InputAssembly::Buffer& buffer) override { buffers.push_back(buffer); }
    void short_message(DWORD) override {}
};

// The SysEx bytes a stream carries, as a plain reading of the wire: F0 opens,
// data bytes and F7 belong to it, real-time bytes are invisible, any other
// status byte ends it unterminated.
std::vector<std::uint8_t> sysex_bytes(const std::vector<std::uint8_t>& stream) {
    std::vector<std::uint8_t> out;
    bool in = false;
    for (std::uint8_t b : stream) {
        if (b >= 0xF8) continue;
        if (in && (b < 0x80 || b == 0xF7)) {
            out.push_back(b);
            in = b != 0xF7;
            continue;
        }
        in = b == 0xF0;
        if (in) out.push_back(b);
    }
    return out;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "input assembly: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const unsigned nbuffers = 1 + in.byte() % kMaxBuffers;
    std::vector<std::vector<std::uint8_t>> buffers;
    std::size_t capacity = 0;
    for (unsigned i = 0; i < nbuffers; ++i) capacity += buffers.emplace_back(1 + in.u16() % kMaxBufferBytes).size();
    const std::size_t max_stream = capacity + 4096;

    // The stream and its chunks, built before any delivery.
    std::vector<std::uint8_t> stream;
    stream.reserve(max_stream + kMaxBuffers * kMaxBufferBytes + 256);  // the last operation may pass the end
    std::vector<std::size_t> cuts;
    bool long_run = false;  // one at most
    while (!in.empty() && stream.size() < max_stream) {
        const std::uint8_t op = in.byte();
        if (op & 0x80) {
            std::uint8_t value = in.byte();
            std::size_t length = std::size_t{op & 0x7Fu} / 8 + 1;
            if (op == 0xFF && value == 0xFF && !long_run) {
                long_run = true;
                length = capacity + 1;
                value = in.byte();
            }
            stream.insert(stream.end(), length, value);
        } else {
            const auto chunk = in.bytes(std::size_t{op} + 1);
            stream.insert(stream.end(), chunk.begin(), chunk.end());
        }
        cuts.push_back(stream.size());
    }

    GivenBack back;
    InputAssembly assembly(back);
    std::vector<MIDIHDR> headers(nbuffers);
    for (unsigned i = 0; i < nbuffers; ++i) assembly.add({&headers[i], buffers[i]});
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        assembly.take(std::span(stream).subspan(from, to - from));
        from = to;
    }
    assembly.give_back_all();  // a reset

    if (back.buffers.size() != nbuffers) fail("a buffer is not given back by the reset");
    const std::vector<std::uint8_t> expected = sysex_bytes(stream);
    std::size_t at = 0;  // position in `expected` of each buffer's first byte
    for (unsigned i = 0; i < nbuffers; ++i) {
        const InputAssembly::Buffer& b = back.buffers[i];
        if (b.header != &headers[i]) fail("the buffers come back out of queue order");
        if (b.recorded > b.data.size()) fail("more recorded than the buffer holds");
        if (at + b.recorded > expected.size() ||
            (b.recorded > 0 && std::memcmp(b.data.data(), expected.data() + at, b.recorded) != 0))
            fail("recorded bytes are not the stream's SysEx bytes in order");
        // A complete SysEx starting here that fits must be all this buffer holds.
        if (at < expected.size() && expected[at] == 0xF0) {
            std::size_t end = at + 1;
            while (end < expected.size() && expected[end] < 0x80) ++end;
            const bool terminated = end < expected.size() && expected[end] == 0xF7;
            if (terminated && end + 1 - at <= b.data.size() && b.recorded != end + 1 - at)
                fail("a SysEx that fits does not arrive whole");
        }
        for (DWORD k = 1; k < b.recorded; ++k)
            if (b.data[k] == 0xF0) fail("a buffer holds the start of a second SysEx");
        at += b.recorded;
    }
    if (at + assembly.bytes_dropped() != expected.size()) fail("SysEx bytes were neither recorded nor counted as dropped");
    return 0;
}
