// The JACK engine under races: ports released while cycles run, a port taken
// away under an open port, a send straight after an aborted long one, ports
// opened while others deliver, the server dying with bytes in hand. Runs on
// the JACK that TAVRIN_TEST_JACK_LIB names (scripts/test.d/50-engines-jack.sh),
// under the tsan preset as well.
#include "jack_server.h"
#include "jack_through.h"
#include "test_sink.h"
#include "winmm/jack/jack_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform::midi;
using namespace std::chrono_literals;
using Client = platform::midi::jack::Client;

using Sink = tavrin_test::TestSink;

// The loop test's message: F0, 256 data bytes, F7.
std::vector<std::uint8_t> message(int round) {
    std::vector<std::uint8_t> m(258);
    m.front() = 0xF0;
    m.back() = 0xF7;
    for (std::size_t i = 1; i + 1 < m.size(); ++i) m[i] = static_cast<std::uint8_t>((round + i) & 0x7F);
    return m;
}

std::shared_ptr<Client> open_client() {
    std::string error;
    return Client::open(error);
}

// Both ports of one client on a through client: `out` writes to its "in",
// `in` reads from its "out".
struct Pair {
    Client& client;
    int in = -1, out = -1;
    Pair(Client& c, const tavrin_test::JackThrough& through, Sink& in_sink, Sink& out_sink) : client(c) {
        Status error;
        in = client.open_input(through.out_name(), in_sink, error);
        out = client.open_output(through.in_name(), out_sink, error);
    }
    ~Pair() {
        if (out >= 0) client.close_output(out);
        if (in >= 0) client.close_input(in);
    }
    bool ok() const { return in >= 0 && out >= 0; }
};

// One server and through client for the cases that keep the server alive.
class JackRaces : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<tavrin_test::JackServer>(64, true);
        if (server_->running()) through_ = std::make_unique<tavrin_test::JackThrough>();
    }
    static void TearDownTestSuite() {
        through_.reset();
        server_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(server_->running()) << "the JACK server did not start";
        ASSERT_TRUE(through_ && through_->ok()) << "the through client did not start";
        client_ = open_client();
        ASSERT_TRUE(client_) << "Tavrin's JACK client did not open";
    }
    // PipeWire (0.3.65) now and then loses an event between two clients
    // without an xrun: there only what must not depend on it is counted.
    static bool counts_bytes() { return !server_->pipewire(); }

    static inline std::unique_ptr<tavrin_test::JackServer> server_;
    static inline std::unique_ptr<tavrin_test::JackThrough> through_;
    std::shared_ptr<Client> client_;
};

// A port closed while the process callback runs, its slot opened again at
// once: no cycle uses the old port or its ring once the close has returned,
// so each round's message comes back once and intact.
TEST_F(JackRaces, PortsReleasedWhileCyclesRunHandOverCleanly) {
    for (int round = 0; round < 150; ++round) {
        Sink in_sink, out_sink;
        Pair p(*client_, *through_, in_sink, out_sink);
        ASSERT_TRUE(p.ok()) << "round " << round << ": the ports did not open";
        const auto m = message(round);
        ASSERT_TRUE(client_->send(p.out, m, 1)) << "round " << round;
        ASSERT_TRUE(out_sink.wait([&] { return out_sink.sends == 1; })) << "round " << round << ": no end of send";
        if (!counts_bytes()) continue;
        ASSERT_TRUE(in_sink.wait([&] { return in_sink.got.size() >= m.size(); }))
            << "round " << round << ": the message did not come back";
        EXPECT_EQ(in_sink.got, m) << "round " << round << ": the message came back changed or twice";
    }
}

// The through client's ports vanish while Tavrin is connected to them: both
// ports hear "gone" every time, however early JACK's notice came.
TEST_F(JackRaces, APortTakenAwayIsReportedGoneEveryTime) {
    for (int round = 0; round < 40; ++round) {
        tavrin_test::JackThrough peer("vanishing");
        ASSERT_TRUE(peer.ok()) << "round " << round << ": the peer client did not start";
        Sink in_sink, out_sink;
        Pair p(*client_, peer, in_sink, out_sink);
        ASSERT_TRUE(p.ok()) << "round " << round << ": the ports did not open";
        ASSERT_TRUE(peer.unregister_ports()) << "round " << round;
        ASSERT_TRUE(in_sink.wait([&] { return in_sink.in_error.has_value(); }))
            << "round " << round << ": the input never heard that its port is gone";
        ASSERT_TRUE(out_sink.wait([&] { return out_sink.in_error.has_value(); }))
            << "round " << round << ": the output never heard that its port is gone";
        EXPECT_NE(in_sink.in_error->text.find("gone"), std::string::npos) << in_sink.in_error->text;
        const Status later = client_->send(p.out, message(round), 2);
        EXPECT_EQ(later.code, static_cast<MMRESULT>(MMSYSERR_NODRIVER)) << later.text;
    }
}

// A send of a megabyte fills the 64 KiB output ring; aborted at once, the
// standard message sent next is still fed, sent and received.
TEST_F(JackRaces, ASendStraightAfterAnAbortedLongSendArrives) {
    for (int round = 0; round < 10; ++round) {
        Sink in_sink, out_sink;
        Pair p(*client_, *through_, in_sink, out_sink);
        ASSERT_TRUE(p.ok()) << "round " << round << ": the ports did not open";
        std::vector<std::uint8_t> big(1 << 20, 0x11);
        big.front() = 0xF0;
        ASSERT_TRUE(client_->send(p.out, big, 1));
        client_->abort(p.out);
        const auto m = message(round);
        ASSERT_TRUE(client_->send(p.out, m, 2));
        ASSERT_TRUE(out_sink.wait([&] { return out_sink.sends == 1; }))
            << "round " << round << ": the send after the abort never ended";
        if (!counts_bytes()) continue;
        EXPECT_TRUE(in_sink.wait([&] { return in_sink.got.size() >= m.size(); }) && in_sink.ends_with(m))
            << "round " << round << ": the message after the abort did not come back";
    }
}

// While a port is being connected (libjack calls that wait on the server),
// a port already open sends and receives: the engine holds no lock meanwhile.
TEST_F(JackRaces, PortsOpenedMeanwhileDoNotStallOtherPorts) {
    Sink in_sink, out_sink, other_sink;
    Pair p(*client_, *through_, in_sink, out_sink);
    ASSERT_TRUE(p.ok()) << "the ports did not open";
    std::future<bool> round_trip;
    std::optional<bool> in_time;
    client_->set_connecting_hook([&] {
        if (round_trip.valid()) return;
        round_trip = std::async(std::launch::async, [&] {
            const auto m = message(7);
            if (!client_->send(p.out, m, 1)) return false;
            return out_sink.wait([&] { return out_sink.sends == 1; }) &&
                   (!counts_bytes() || in_sink.wait([&] { return in_sink.got.size() >= m.size(); }));
        });
        in_time = round_trip.wait_for(3s) == std::future_status::ready;
    });
    Status error;
    const int other = client_->open_output(through_->in_name(), other_sink, error);
    client_->set_connecting_hook({});
    ASSERT_GE(other, 0) << error.text;
    client_->close_output(other);
    ASSERT_TRUE(in_time.has_value()) << "the engine connected no port";
    EXPECT_TRUE(*in_time) << "a send and its echo on an open port waited for another port's connection";
    EXPECT_TRUE(round_trip.get()) << "the round trip on the open port failed";
}

// The server dies while an input's ring holds bytes the worker has not yet
// handed on: they are delivered, then the input hears of the loss.
TEST(JackRacesServerDeath, BytesThatArrivedAreDeliveredBeforeTheLoss) {
    // The case needs each message to come back, and PipeWire loses an event
    // between two clients now and then (see JackRaces::counts_bytes).
    if (const char* lib = std::getenv("TAVRIN_TEST_JACK_LIB"); lib != nullptr && std::string(lib) == "pipewire")
        GTEST_SKIP() << "needs every event delivered, which PipeWire does not promise";
    // The sinks outlive the client, and the gate opens before the client
    // goes, whichever assertion ends the case: the client's end waits for
    // its worker, which may be held at the gate.
    Sink first, second, out_sink, out2_sink;
    tavrin_test::JackServer server(64, true);
    ASSERT_TRUE(server.running()) << "the JACK server did not start";
    auto through = std::make_unique<tavrin_test::JackThrough>();
    ASSERT_TRUE(through->ok());
    auto client = open_client();
    ASSERT_TRUE(client);
    const std::unique_ptr<Sink, void (*)(Sink*)> open_gate(&second, [](Sink* s) { s->set_gate(true); });
    // Two inputs on the same source; the worker drains them in slot order,
    // so holding it in the second one's delivery leaves the first one's ring
    // to the next round, which finds the server gone. The worker that is
    // held also tells of ended sends, so the second message goes out of an
    // output of its own.
    Status error;
    const int in_first = client->open_input(through->out_name(), first, error);
    const int in_second = client->open_input(through->out_name(), second, error);
    const int out = client->open_output(through->in_name(), out_sink, error);
    const int out2 = client->open_output(through->in_name(), out2_sink, error);
    ASSERT_TRUE(in_first >= 0 && in_second > in_first && out >= 0 && out2 >= 0) << error.text;
    second.set_gate(false);
    const auto m1 = message(1), m2 = message(2);
    ASSERT_TRUE(client->send(out, m1, 1));
    ASSERT_TRUE(second.wait([&] { return second.held; })) << "the first message never came back";
    ASSERT_TRUE(client->send(out2, m2, 2));
    // Until the through client has passed the second message on and Tavrin's
    // process callback has run twice more: it is in the rings.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (through->bytes_in() < m1.size() + m2.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_GE(through->bytes_in(), m1.size() + m2.size()) << "the second message never reached the through client";
    const std::uint64_t cycles = client->cycles();
    while (client->cycles() < cycles + 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_GE(client->cycles(), cycles + 3) << "the process callback stopped running";
    server.stop(SIGKILL);
    while (!client->server_stopped() && std::chrono::steady_clock::now() < deadline + 5s)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(client->server_stopped()) << "the engine never heard that the server died";
    second.set_gate(true);
    ASSERT_TRUE(first.wait([&] { return first.in_error.has_value(); })) << "the first input never heard of the loss";
    {
        std::lock_guard lock(first.mutex);
        EXPECT_EQ(first.bytes_at_error, m1.size() + m2.size())
            << "bytes that had arrived before the server died were not delivered before the loss";
    }
    client->close_output(out2);
    client->close_output(out);
    client->close_input(in_second);
    client->close_input(in_first);
}

}  // namespace
