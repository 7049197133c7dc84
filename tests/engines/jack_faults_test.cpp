// The JACK backend under faults of a real server: the server dies during a
// send, a port Tavrin is connected to goes away. Needs jackd (each test starts
// a private server on the dummy driver and stops it).
#include "jack_server.h"
#include "jack_through.h"
#include "test_sink.h"
#include "winmm/port_backend.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <algorithm>
#include <optional>
#include <vector>

namespace {

using namespace platform::midi;
using namespace std::chrono_literals;

using Sink = tavrin_test::TestSink;

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Open {
    std::unique_ptr<PortBackend> backend;
    std::unique_ptr<InputPort> in;
    std::unique_ptr<OutputPort> out;
};

Open open_all(Sink& in_sink, Sink& out_sink) {
    Open o;
    std::string error;
    o.backend = make_backend("jack", error);
    if (!o.backend) return o;
    if (o.backend->inputs().empty() || o.backend->outputs().empty()) return o;
    o.backend->open_input(0, in_sink, o.in);
    o.backend->open_output(0, out_sink, o.out);
    return o;
}

TEST(JackFaults, ServerDeathEndsTheSendStopsInputAndLaterCallsSaySo) {
    tavrin_test::JackServer server;
    ASSERT_TRUE(server.running()) << "jackd did not start";
    auto through = std::make_unique<tavrin_test::JackThrough>();
    ASSERT_TRUE(through->ok());
    through->mute(true);
    Sink in_sink, out_sink;
    Open o = open_all(in_sink, out_sink);
    ASSERT_TRUE(o.in && o.out) << "ports did not open";

    // A send long enough to be under way when the server dies.
    std::vector<std::uint8_t> big(1 << 20, 0x11);
    big.front() = 0xF0;
    big.back() = 0xF7;
    ASSERT_TRUE(o.out->send(big, 7));
    server.stop(SIGKILL);

    ASSERT_TRUE(out_sink.wait([&] { return out_sink.sent.has_value(); })) << "the send never ended";
    EXPECT_EQ(out_sink.sent->code, static_cast<MMRESULT>(MMSYSERR_NODRIVER));
    EXPECT_NE(out_sink.sent->text.find("JACK server stopped"), std::string::npos) << out_sink.sent->text;
    ASSERT_TRUE(in_sink.wait([&] { return in_sink.in_error.has_value(); })) << "the input never heard";
    EXPECT_NE(in_sink.in_error->text.find("JACK server stopped"), std::string::npos);

    const Status later = o.out->send(big, 8);
    EXPECT_EQ(later.code, static_cast<MMRESULT>(MMSYSERR_NODRIVER));
    EXPECT_NE(later.text.find("JACK server stopped"), std::string::npos);

    // Nothing spins once the server is gone: one idle second costs little CPU.
    const double before = cpu_seconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpu_seconds() - before, 0.2);

    // Closing after the death neither hangs nor crashes.
    const auto t0 = std::chrono::steady_clock::now();
    o.out.reset();
    o.in.reset();
    o.backend.reset();
    through.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(JackFaults, APortThatGoesAwayFailsItsCallsWithAClearText) {
    tavrin_test::JackServer server;
    ASSERT_TRUE(server.running()) << "jackd did not start";
    auto through = std::make_unique<tavrin_test::JackThrough>();
    ASSERT_TRUE(through->ok());
    Sink in_sink, out_sink;
    Open o = open_all(in_sink, out_sink);
    ASSERT_TRUE(o.in && o.out) << "ports did not open";

    through.reset();  // the device is unplugged
    ASSERT_TRUE(in_sink.wait([&] { return in_sink.in_error.has_value(); }));
    ASSERT_TRUE(out_sink.wait([&] { return out_sink.in_error.has_value(); }));  // first error slot
    EXPECT_NE(in_sink.in_error->text.find("gone"), std::string::npos) << in_sink.in_error->text;
    const std::vector<std::uint8_t> msg{0xF0, 1, 2, 0xF7};
    const Status s = o.out->send(msg, 1);
    EXPECT_EQ(s.code, static_cast<MMRESULT>(MMSYSERR_NODRIVER));
    EXPECT_NE(s.text.find("gone"), std::string::npos);
}

TEST(JackFaults, APortIndexPastTheEndIsAnErrorNotACrash) {
    tavrin_test::JackServer server;
    ASSERT_TRUE(server.running()) << "jackd did not start";
    Sink sink;
    std::string error;
    auto backend = make_backend("jack", error);
    ASSERT_TRUE(backend);
    std::unique_ptr<InputPort> in;
    std::unique_ptr<OutputPort> out;
    EXPECT_EQ(backend->open_input(99, sink, in).code, static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(backend->open_output(99, sink, out).code, static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    EXPECT_FALSE(in);
    EXPECT_FALSE(out);
}

// A synchronous server (in its default mode jackd drops the cycle of a client
// that runs late on a busy machine, and the bytes with it), a through client,
// and both ports open on it.
struct SyncLoop {
    struct Parts {
        Sink in_sink, out_sink;
        tavrin_test::JackThrough through;
        Open o;
    };
    explicit SyncLoop(int period) : server(period, true) {
        if (server.running() && !server.pipewire()) p = std::make_unique<Parts>();
        if (p && p->through.ok()) p->o = open_all(p->in_sink, p->out_sink);
    }
    bool ok() const { return p && p->o.in && p->o.out; }
    // PipeWire (0.3.65, Dummy-Driver) now and then loses an event between two
    // clients without an xrun, some once in thousands of rounds here, Tavrin's
    // and the bare benchmark client's alike: every byte is counted on jackd.
    bool skipped() const { return server.pipewire(); }
    Parts& parts() { return *p; }

    tavrin_test::JackServer server;
    std::unique_ptr<Parts> p;
};

// Every message of many loop rounds in a row comes back once, intact: a wake-up
// of the engine's worker that went missing would leave a message waiting.
TEST(JackFaults, ManyRoundsInARowEveryMessageComesBackOnce) {
    SyncLoop loop(64);
    if (loop.skipped()) GTEST_SKIP() << "PipeWire loses an event now and then; counted on jackd";
    ASSERT_TRUE(loop.ok()) << "jackd, the through client or the ports did not start";
    auto& [in_sink, out_sink, through, o] = loop.parts();
    std::size_t expected = 0;
    for (int round = 0; round < 500; ++round) {
        std::vector<std::uint8_t> m(258);
        m.front() = 0xF0;
        m.back() = 0xF7;
        for (std::size_t i = 1; i + 1 < m.size(); ++i) m[i] = static_cast<std::uint8_t>((round >> (i % 2 * 7)) & 0x7F);
        ASSERT_TRUE(o.out->send(m, static_cast<std::uint64_t>(round)));
        expected += m.size();
        const bool back = in_sink.wait([&] { return in_sink.bytes >= expected; }, 5s);
        ASSERT_TRUE(out_sink.wait([&] { return out_sink.sends == round + 1; }, 5s)) << "round " << round << ": no end of send";
        std::lock_guard lock(in_sink.mutex);
        ASSERT_TRUE(back) << "round " << round << ": " << in_sink.bytes - (expected - m.size())
                          << " of 258 bytes came back; the through client saw " << through.bytes_in()
                          << " bytes in all of " << expected << "; xruns: " << through.xruns();
        ASSERT_EQ(in_sink.bytes, expected) << "round " << round << ": more came back than was sent";
        ASSERT_TRUE(std::equal(m.begin(), m.end(), in_sink.got.end() - static_cast<std::ptrdiff_t>(m.size())))
            << "round " << round << ": the message came back changed";
    }
}

// A message sent the moment the ports are open arrives: PipeWire's libjack
// returns from jack_connect before the link carries data, and lost about one
// such message in six.
TEST(JackFaults, AMessageSentAtOnceAfterOpeningArrives) {
    tavrin_test::JackServer server(64, true);
    ASSERT_TRUE(server.running()) << "the JACK server did not start";
    tavrin_test::JackThrough through;
    ASSERT_TRUE(through.ok());
    const std::vector<std::uint8_t> m{0xF0, 0x7D, 1, 2, 3, 0xF7};
    for (int open = 0; open < 12; ++open) {
        Sink in_sink, out_sink;
        Open o = open_all(in_sink, out_sink);
        ASSERT_TRUE(o.in && o.out) << "opening " << open << ": the ports did not open";
        ASSERT_TRUE(o.out->send(m, 1));
        ASSERT_TRUE(in_sink.wait([&] { return in_sink.bytes >= m.size(); }, 5s))
            << "opening " << open << ": the message did not come back";
        ASSERT_TRUE(out_sink.wait([&] { return out_sink.sends == 1; }, 5s));
    }
}

TEST(JackFaults, AFloodOfShortMessagesIsDeliveredWithBoundedMemory) {
    SyncLoop loop(256);
    if (loop.skipped()) GTEST_SKIP() << "PipeWire loses an event now and then; counted on jackd";
    ASSERT_TRUE(loop.ok()) << "jackd, the through client or the ports did not start";
    auto& [in_sink, out_sink, through, o] = loop.parts();
    // 100,000 note-ons, three bytes each, as one send: the engine paces them
    // period by period, and they all arrive.
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < 100000; ++i) flood.insert(flood.end(), {0x90, static_cast<std::uint8_t>(i & 0x7F), 0x40});
    ASSERT_TRUE(o.out->send(flood, 1));
    ASSERT_TRUE(out_sink.wait([&] { return out_sink.sent.has_value(); }, 60s));
    EXPECT_TRUE(*out_sink.sent);
    EXPECT_TRUE(in_sink.wait([&] { return in_sink.bytes >= flood.size(); }, 60s)) << in_sink.bytes;
}

}  // namespace
