// The MIDI service's input assembly: raw bytes in arbitrary chunks into queued
// buffers of arbitrary sizes.
//
// Input: a count of buffers and their sizes, then operations that deliver a
// literal chunk or a run of one byte repeated (0xFF: a megabyte of it, so that
// a megabyte of SysEx without F7 fits in a short input). Checked: nothing is recorded beyond a
// buffer (AddressSanitizer watches the exact-size buffers), the recorded bytes
// in queue order are the SysEx bytes of the stream in order, and a well-formed
// SysEx that starts in an empty buffer large enough for it comes back whole,
// alone in its buffer.
#include "fuzz/reader.h"
#include "winmm/service.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using platform::midi::InputPort;
using platform::midi::InputSink;
using platform::midi::OutputPort;
using platform::midi::OutputSink;
using platform::midi::PortInfo;
using platform::midi::Status;

// One input port whose sink the fuzzer drives directly.
struct FuzzBackend final : platform::midi::PortBackend {
    InputSink* sink = nullptr;
    std::vector<PortInfo> inputs() override { return {{"Fuzz In"}}; }
    std::vector<PortInfo> outputs() override { return {}; }
    Status open_input(unsigned, InputSink& s, std::unique_ptr<InputPort>& out) override {
        sink = &s;
        out = std::make_unique<InputPort>();
        return {};
    }
    Status open_output(unsigned, OutputSink&, std::unique_ptr<OutputPort>&) override {
        return {MMSYSERR_BADDEVICEID, {}};
    }
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
    const unsigned nbuffers = 1 + in.byte() % 8;
    std::vector<std::vector<std::uint8_t>> buffers;
    for (unsigned i = 0; i < nbuffers; ++i) buffers.emplace_back(1 + in.u16() % 8192);

    // The stream and its chunks, built before any delivery.
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> cuts;
    bool megabyte = false;  // one run of a megabyte at most: it is slow to deliver
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        if (op == 0xFF && !megabyte) {
            megabyte = true;
            stream.insert(stream.end(), std::size_t{1} << 20, in.byte());
        } else if (op & 0x80) {
            const std::uint8_t value = in.byte();
            stream.insert(stream.end(), std::size_t{op & 0x7Fu} * 16 + 1, value);
        } else {
            const auto chunk = in.bytes(std::size_t{op} + 1);
            stream.insert(stream.end(), chunk.begin(), chunk.end());
        }
        cuts.push_back(stream.size());
    }

    auto owned = std::make_unique<FuzzBackend>();
    FuzzBackend* backend = owned.get();
    platform::midi::use_backend(std::move(owned));
    HMIDIIN handle = nullptr;
    if (midiInOpen(&handle, 0, 0, 0, CALLBACK_WINDOW) != MMSYSERR_NOERROR || backend->sink == nullptr)
        fail("the port does not open");
    std::vector<MIDIHDR> headers(nbuffers);
    for (unsigned i = 0; i < nbuffers; ++i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(buffers[i].data());
        headers[i].dwBufferLength = static_cast<DWORD>(buffers[i].size());
        if (midiInPrepareHeader(handle, &headers[i], sizeof(MIDIHDR)) != MMSYSERR_NOERROR ||
            midiInAddBuffer(handle, &headers[i], sizeof(MIDIHDR)) != MMSYSERR_NOERROR)
            fail("a buffer is refused");
    }
    if (midiInStart(handle) != MMSYSERR_NOERROR) fail("recording does not start");
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        backend->sink->on_bytes(std::span(stream).subspan(from, to - from), {});
        from = to;
    }
    if (midiInReset(handle) != MMSYSERR_NOERROR) fail("the reset fails");

    const std::vector<std::uint8_t> expected = sysex_bytes(stream);
    std::size_t at = 0;  // position in `expected` of each buffer's first byte
    for (unsigned i = 0; i < nbuffers; ++i) {
        const MIDIHDR& h = headers[i];
        if ((h.dwFlags & (MHDR_DONE | MHDR_INQUEUE)) != MHDR_DONE) fail("a buffer is not given back by the reset");
        if (h.dwBytesRecorded > h.dwBufferLength) fail("more recorded than the buffer holds");
        if (at + h.dwBytesRecorded > expected.size() ||
            (h.dwBytesRecorded > 0 && std::memcmp(buffers[i].data(), expected.data() + at, h.dwBytesRecorded) != 0))
            fail("recorded bytes are not the stream's SysEx bytes in order");
        // A complete SysEx starting here that fits must be all this buffer holds.
        if (at < expected.size() && expected[at] == 0xF0) {
            std::size_t end = at + 1;
            while (end < expected.size() && expected[end] < 0x80) ++end;
            const bool terminated = end < expected.size() && expected[end] == 0xF7;
            if (terminated && end + 1 - at <= h.dwBufferLength && h.dwBytesRecorded != end + 1 - at)
                fail("a SysEx that fits does not arrive whole");
        }
        for (DWORD k = 1; k < h.dwBytesRecorded; ++k)
            if (buffers[i][k] == 0xF0) fail("a buffer holds the start of a second SysEx");
        at += h.dwBytesRecorded;
        if (midiInUnprepareHeader(handle, &headers[i], sizeof(MIDIHDR)) != MMSYSERR_NOERROR)
            fail("a given-back buffer cannot be unprepared");
    }
    if (midiInClose(handle) != MMSYSERR_NOERROR) fail("the port does not close");
    platform::midi::clear_call_log();
    return 0;
}
