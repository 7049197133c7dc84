// The service over an engine the test drives by hand: byte streams split
// anyhow, dead ports, failed opens and sends, completions overtaken by resets.
#include "fixture.h"

#include "winmm/port_backend.h"

namespace winmm_test {
namespace {

using platform::midi::InputSink;
using platform::midi::OutputSink;
using platform::midi::Status;

struct Engine {
    InputSink* in = nullptr;
    OutputSink* out = nullptr;
    Status open_result;
    Status send_result;
    std::vector<std::uint64_t> tickets;
    int aborts = 0;
};

class HandEngine final : public platform::midi::PortBackend {
public:
    explicit HandEngine(std::shared_ptr<Engine> e) : e_(std::move(e)) {}
    std::vector<platform::midi::PortInfo> inputs() override { return {{"Hand In"}}; }
    std::vector<platform::midi::PortInfo> outputs() override { return {{"Hand Out"}}; }
    Status open_input(unsigned, InputSink& sink, std::unique_ptr<platform::midi::InputPort>& out) override {
        if (!e_->open_result) return e_->open_result;
        e_->in = &sink;
        out = std::make_unique<In>(e_);
        return {};
    }
    Status open_output(unsigned, OutputSink& sink, std::unique_ptr<platform::midi::OutputPort>& out) override {
        if (!e_->open_result) return e_->open_result;
        e_->out = &sink;
        out = std::make_unique<Out>(e_);
        return {};
    }

private:
    struct In final : platform::midi::InputPort {
        explicit In(std::shared_ptr<Engine> e) : e(std::move(e)) {}
        ~In() override { e->in = nullptr; }
        std::shared_ptr<Engine> e;
    };
    struct Out final : platform::midi::OutputPort {
        explicit Out(std::shared_ptr<Engine> e) : e(std::move(e)) {}
        ~Out() override { e->out = nullptr; }
        Status send(std::span<const std::uint8_t>, std::uint64_t ticket) override {
            if (e->send_result) e->tickets.push_back(ticket);
            return e->send_result;
        }
        void abort() override { ++e->aborts; }
        std::shared_ptr<Engine> e;
    };
    std::shared_ptr<Engine> e_;
};

class Engines : public MidiFixture {
protected:
    void SetUp() override {
        MidiFixture::SetUp();
        platform::midi::use_backend(std::make_unique<HandEngine>(engine));
    }
    void feed(std::initializer_list<int> bytes, long long at_us = 0) {
        std::vector<std::uint8_t> v;
        for (int b : bytes) v.push_back(static_cast<std::uint8_t>(b));
        engine->in->on_bytes(v, platform::midi::Timestamp{at_us});
    }
    std::vector<LPARAM> shorts() const {
        std::vector<LPARAM> out;
        for (const auto& n : notes)
            if (n.msg == MM_MIM_DATA) out.push_back(n.lp);
        return out;
    }
    // A loop recording into two 8-byte buffers: the loop's own, then `second`.
    void open_with_two_buffers(Loop& loop, MIDIHDR& second, std::vector<char>& spare) {
        ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
        loop.in_length = 8;
        ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
        second.lpData = spare.data();
        second.dwBufferLength = static_cast<DWORD>(spare.size());
        ASSERT_EQ(midiInPrepareHeader(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    }
    std::shared_ptr<Engine> engine = std::make_shared<Engine>();
};

TEST_F(Engines, StreamsAreParsedWhateverTheirChunks) {
    Loop loop;
    MIDIHDR second{};
    std::vector<char> spare(8);
    ASSERT_NO_FATAL_FAILURE(open_with_two_buffers(loop, second, spare));
    // Running status, a clock byte inside a note, a program change.
    feed({0x90, 0x40});
    feed({0xF8, 0x7F, 0x41, 0x00, 0xC3});
    feed({0x05});
    // A 12-byte SysEx over two 8-byte buffers, with a clock inside; then one
    // cut short by a status byte.
    feed({0xF0, 1, 2, 3, 4, 5});
    feed({0xF8, 6, 7, 8, 9, 10, 0xF7});
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 2; }));
    EXPECT_EQ(shorts(), (std::vector<LPARAM>{0xF8, 0x7F4090, 0x004190, 0x05C3, 0xF8}));
    EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 8u);
    EXPECT_EQ(second.dwBytesRecorded, 4u);
    EXPECT_EQ(std::vector<char>(spare.begin(), spare.begin() + 4), (std::vector<char>{8, 9, 10, static_cast<char>(0xF7)}));

    ASSERT_EQ(midiInAddBuffer(loop.in, &loop.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    feed({0xF0, 0x11, 0x22, 0x80, 0x40, 0x00});
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 3 && count(MM_MIM_DATA) == 6; }));
    EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 3u);
    EXPECT_EQ(shorts().back(), LPARAM{0x4080});
    EXPECT_EQ(midiInUnprepareHeader(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    loop.close();
}

TEST_F(Engines, NothingIsStoredWhileNotRecordingOrWithoutABuffer) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    feed({0xF0, 1, 0xF7, 0x90, 1, 1});  // not started: ignored
    ASSERT_EQ(midiInStart(loop.in), MMSYSERR_NOERROR);
    feed({0xF0, 1, 2, 0xF7});  // no buffer: dropped
    pump_for(platform::Ms(10));
    EXPECT_EQ(count(MM_MIM_LONGDATA), 0);
    EXPECT_EQ(count(MM_MIM_DATA), 0);
    EXPECT_EQ(platform::midi::input_counters(loop.in)->bytes_dropped, 4u);
    loop.close();
}

TEST_F(Engines, ADeadPortRefusesNewWorkButLetsTheProgramCleanUp) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ::testing::internal::CaptureStderr();
    engine->in->on_error({MMSYSERR_NODRIVER, "hand input unplugged"});
    engine->out->on_error({MIDIERR_NODEVICE, "hand output unplugged"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("hand input unplugged"), std::string::npos) << err;
    EXPECT_NE(err.find("hand output unplugged"), std::string::npos) << err;
    // The send under way ended with the engine.
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == 1; }));
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    EXPECT_EQ(loop.send(), MIDIERR_NODEVICE);
    EXPECT_EQ(midiInStart(loop.in), MMSYSERR_NODRIVER);
    feed({0xF0, 1, 0xF7});
    EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    loop.close();
    EXPECT_EQ(engine->in, nullptr);
    EXPECT_EQ(engine->out, nullptr);
}

TEST_F(Engines, FailedOpensAndSendsAnswerTheEnginesCode) {
    engine->open_result = {MMSYSERR_ALLOCATED, "held by another program"};
    HMIDIIN in = nullptr;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(midiInOpen(&in, 0, cb(), 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("held by another program"), std::string::npos);
    EXPECT_EQ(in, nullptr);
    engine->open_result = {};

    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    engine->send_result = {MMSYSERR_NOMEM, {}};
    EXPECT_EQ(loop.send(), MMSYSERR_NOMEM);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_PREPARED});
    EXPECT_EQ(midiOutClose(loop.out), MMSYSERR_NOERROR);  // nothing under way
    loop.out = nullptr;
    loop.close();
}

TEST_F(Engines, ACompletionOvertakenByAResetIsNotAppliedAgain) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutReset(loop.out), MMSYSERR_NOERROR);
    EXPECT_EQ(engine->aborts, 1);
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_EQ(engine->tickets.size(), 2u);
    engine->out->on_sent(engine->tickets[0], {});  // late: the first send was reset
    pump_for(platform::Ms(10));
    EXPECT_EQ(count(MM_MOM_DONE), 1);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_PREPARED | MHDR_INQUEUE});
    engine->out->on_sent(engine->tickets[1], {});
    engine->out->on_sent(engine->tickets[1], {});  // twice from a confused engine: once
    pump_for(platform::Ms(10));
    EXPECT_EQ(count(MM_MOM_DONE), 2);
    EXPECT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    EXPECT_EQ(midiOutReset(loop.out), MMSYSERR_NOERROR);
    EXPECT_EQ(engine->aborts, 1);  // nothing was under way
    loop.close();
}

// The engine's own times: a message is dated by its first byte, not by the
// buffer it ended in nor by a real-time byte ahead of it; a send by the
// engine's taking of it, not a stale send's.
TEST_F(Engines, EngineTimesDateAMessageByItsFirstByte) {
    using platform::midi::Timestamp;
    Loop loop;
    MIDIHDR second{};
    std::vector<char> spare(8);
    ASSERT_NO_FATAL_FAILURE(open_with_two_buffers(loop, second, spare));
    EXPECT_EQ(platform::midi::last_arrival(loop.in), std::nullopt);
    feed({0xF8}, 50);
    feed({0x90, 0x40, 0x7F}, 60);
    feed({0xF0, 1, 2}, 100);
    feed({3, 4, 5, 6, 7, 8, 9, 0xF7}, 200);
    ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == 2; }));
    EXPECT_EQ(platform::midi::last_arrival(loop.in), Timestamp{100});

    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    engine->out->on_taken(engine->tickets[0] + 1, Timestamp{30});  // no such send
    engine->out->on_taken(engine->tickets[0], Timestamp{40});
    engine->out->on_sent(engine->tickets[0], {});
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == 1; }));
    EXPECT_EQ(platform::midi::last_taken(loop.out), Timestamp{40});
    EXPECT_EQ(midiInUnprepareHeader(loop.in, &second, kHeaderSize), MMSYSERR_NOERROR);
    loop.close();
}

}  // namespace
}  // namespace winmm_test
