#include "winmm/cable/cable.h"

#include "user/session.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace platform::midi {

// ---- options ------------------------------------------------------------------------

namespace {

bool parse_number(std::string_view s, unsigned long long max, unsigned long long& out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return ec == std::errc() && end == s.data() + s.size() && out <= max;
}

constexpr unsigned long long kMaxIndex = 1ULL << 30;

}  // namespace

std::optional<CableOptions> parse_cable_options(std::string_view text, std::string& error) {
    CableOptions o;
    auto bad = [&](std::string_view item, std::string_view expected) {
        error = "TAVRIN_MIDI: bad cable option \"" + std::string(item) + "\" (expected " + std::string(expected) +
                "); no MIDI ports";
        return std::nullopt;
    };
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) continue;
        const auto eq = item.find('=');
        const std::string_view key = item.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        const bool has_value = eq != std::string_view::npos;
        unsigned long long n = 0;
        if (key == "unplugged") {
            if (has_value) return bad(item, "unplugged, without a value");
            o.unplugged = true;
        } else if (key == "ports") {
            if (!parse_number(value, 16, n) || n < 1) return bad(item, "ports=N, N from 1 to 16");
            o.ports = static_cast<unsigned>(n);
        } else if (key == "corrupt") {
            const auto colon = value.find(':');
            unsigned long long v = 0;
            if (colon == std::string_view::npos || !parse_number(value.substr(0, colon), kMaxIndex, n) ||
                !parse_number(value.substr(colon + 1), 0xFF, v))
                return bad(item, "corrupt=INDEX:VALUE, VALUE from 0 to 255");
            o.corrupt.emplace_back(static_cast<std::size_t>(n), static_cast<std::uint8_t>(v));
        } else if (key == "drop") {
            if (!parse_number(value, kMaxIndex, n)) return bad(item, "drop=INDEX");
            o.drop.push_back(static_cast<std::size_t>(n));
        } else if (key == "cut") {
            if (!parse_number(value, kMaxIndex, n)) return bad(item, "cut=N");
            o.cut = static_cast<std::size_t>(n);
        } else if (key == "delay") {
            if (!parse_number(value, 3'600'000, n)) return bad(item, "delay=MS, at most 3600000");
            o.delay = std::chrono::milliseconds(n);
        } else if (key == "baud") {
            if (!parse_number(value, 100'000'000, n) || n < 1) return bad(item, "baud=N, N at least 1");
            o.baud = static_cast<unsigned>(n);
        } else if (key == "repeat") {
            if (!parse_number(value, 1000, n) || n < 1) return bad(item, "repeat=N, N from 1 to 1000");
            o.repeat = static_cast<unsigned>(n);
        } else if (key == "wire") {
            const auto colon = value.find(':');
            unsigned long long j = 0;
            if (colon == std::string_view::npos || !parse_number(value.substr(0, colon), 15, n))
                return bad(item, "wire=OUTPUT:INPUT or wire=OUTPUT:none, ports counted from 0");
            if (value.substr(colon + 1) == "none") {
                o.unwired.push_back(static_cast<unsigned>(n));
            } else {
                if (!parse_number(value.substr(colon + 1), 15, j))
                    return bad(item, "wire=OUTPUT:INPUT or wire=OUTPUT:none, ports counted from 0");
                o.wires.emplace_back(static_cast<unsigned>(n), static_cast<unsigned>(j));
            }
        } else {
            return bad(item, "ports, unplugged, corrupt, drop, cut, delay, baud, repeat or wire");
        }
    }
    for (const auto& [k, j] : o.wires)
        if (k >= o.ports || j >= o.ports) return bad("wire=" + std::to_string(k) + ":" + std::to_string(j), "ports below ports=N");
    for (unsigned k : o.unwired)
        if (k >= o.ports) return bad("wire=" + std::to_string(k) + ":none", "ports below ports=N");
    return o;
}

std::vector<unsigned> cable_targets(const CableOptions& options, unsigned k) {
    std::vector<unsigned> out;
    bool named = false;
    for (unsigned u : options.unwired) named = named || u == k;
    for (const auto& [from, to] : options.wires) {
        if (from != k) continue;
        named = true;
        if (std::find(out.begin(), out.end(), to) == out.end()) out.push_back(to);
    }
    if (!named) out.push_back(k);
    return out;
}

std::vector<std::uint8_t> cable_arrival(const CableOptions& options, std::span<const std::uint8_t> sent) {
    std::vector<std::uint8_t> one;
    if (options.unplugged) return one;
    one.reserve(sent.size() + 1);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        bool dropped = false;
        for (std::size_t d : options.drop) dropped = dropped || d == i;
        if (dropped) continue;
        std::uint8_t b = sent[i];
        for (const auto& [index, value] : options.corrupt)
            if (index == i) b = value;
        one.push_back(b);
    }
    if (options.cut && one.size() > *options.cut) {
        one.resize(*options.cut);
        one.push_back(0xF7);
    }
    std::vector<std::uint8_t> all;
    all.reserve(one.size() * options.repeat);
    for (unsigned r = 0; r < options.repeat; ++r) all.insert(all.end(), one.begin(), one.end());
    return all;
}

// ---- the cable ------------------------------------------------------------------------

namespace {

using Steady = std::chrono::steady_clock;

// What the cable carries for one port at one moment.
struct Delivery {
    unsigned port = 0;
    std::uint64_t ticket = 0;
    std::vector<std::uint8_t> bytes;
    bool last = false;  // the send ends with it
    Timestamp taken{};  // when the cable took the send
};

// The wiring shared by the backend, its open ports and the events it
// scheduled on a virtual clock (which hold it weakly).
class CableCore : public std::enable_shared_from_this<CableCore> {
public:
    explicit CableCore(CableOptions options)
        : options_(std::move(options)),
          inputs_(options_.ports, nullptr),
          outputs_(options_.ports, nullptr),
          sending_(options_.ports, 0) {
        for (unsigned k = 0; k < options_.ports; ++k) targets_.push_back(cable_targets(options_, k));
    }
    ~CableCore() { stop(); }

    const CableOptions& options() const { return options_; }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    Status attach_input(unsigned k, InputSink& sink) {
        std::lock_guard lock(mutex_);
        if (inputs_[k] != nullptr) return {MMSYSERR_ALLOCATED, {}};
        inputs_[k] = &sink;
        return {};
    }
    Status attach_output(unsigned k, OutputSink& sink) {
        std::lock_guard lock(mutex_);
        if (outputs_[k] != nullptr) return {MMSYSERR_ALLOCATED, {}};
        outputs_[k] = &sink;
        return {};
    }
    // Both wait until the cable's thread no longer runs a sink call, so the
    // sink may go away on return.
    void detach_input(unsigned k) {
        std::unique_lock lock(mutex_);
        inputs_[k] = nullptr;
        cv_.wait(lock, [this] { return !busy_; });
    }
    void detach_output(unsigned k) {
        std::unique_lock lock(mutex_);
        outputs_[k] = nullptr;
        sending_[k] = 0;
        std::erase_if(queue_, [k](const auto& entry) { return entry.second.port == k; });
        cv_.wait(lock, [this] { return !busy_; });
    }

    void abort(unsigned k) {
        std::lock_guard lock(mutex_);
        sending_[k] = 0;
        std::erase_if(queue_, [k](const auto& entry) { return entry.second.port == k; });
    }

    Status send(unsigned k, std::span<const std::uint8_t> sent, std::uint64_t ticket);

private:
    void deliver_now(Delivery d);  // on a virtual clock's event
    std::vector<InputSink*> inputs_for(unsigned k) const;  // lock held
    void hand_over(const std::vector<InputSink*>& ins, OutputSink* out, const Delivery& d);
    void run();

    static Timestamp stamp() { return std::chrono::duration_cast<Timestamp>(Steady::now().time_since_epoch()); }

    const CableOptions options_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<InputSink*> inputs_;
    std::vector<OutputSink*> outputs_;
    std::vector<std::vector<unsigned>> targets_;  // the inputs each output reaches
    std::vector<std::uint64_t> sending_;  // ticket of the send under way per output, 0 for none
    std::multimap<Steady::time_point, Delivery> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::jthread thread_;  // started by the first send on a real clock; last, so it goes first
};

Status CableCore::send(unsigned k, std::span<const std::uint8_t> sent, std::uint64_t ticket) {
    const std::vector<std::uint8_t> arriving = cable_arrival(options_, sent);

    // Cut what arrives into chunks per millisecond of the wire's pace. A send
    // where nothing arrives still takes its time on the wire.
    std::vector<std::pair<std::chrono::milliseconds, Delivery>> chunks;
    auto due_ms = [&](std::size_t bytes_out) {
        long long us = 0;
        if (options_.baud != 0) us = static_cast<long long>(bytes_out) * 10'000'000LL / options_.baud;
        return options_.delay + std::chrono::milliseconds((us + 999) / 1000);
    };
    for (std::size_t i = 0; i < arriving.size(); ++i) {
        const auto at = due_ms(i + 1);
        if (chunks.empty() || chunks.back().first != at) chunks.push_back({at, Delivery{k, ticket, {}, false}});
        chunks.back().second.bytes.push_back(arriving[i]);
    }
    if (chunks.empty()) chunks.push_back({due_ms(sent.size()), Delivery{k, ticket, {}, false}});
    chunks.back().second.last = true;
    chunks.back().second.taken = stamp();

    {
        std::lock_guard lock(mutex_);
        if (stopping_) return {MMSYSERR_NODRIVER, "the virtual cable is stopped"};
        if (sending_[k] != 0) return {MIDIERR_NOTREADY, {}};
        sending_[k] = ticket;
    }

    Clock& clock = session().clock();
    const auto now = clock.now();
    const std::weak_ptr<CableCore> weak = weak_from_this();
    bool on_virtual_clock = true;
    for (auto& [at, d] : chunks) {
        auto event = [weak, d = d]() mutable {
            if (auto core = weak.lock()) core->deliver_now(std::move(d));
        };
        if (!clock.schedule(now + at, std::move(event))) {
            on_virtual_clock = false;
            break;
        }
    }
    if (on_virtual_clock) return {};

    const auto start = Steady::now();
    {
        std::lock_guard lock(mutex_);
        for (auto& [at, d] : chunks) queue_.emplace(start + at, std::move(d));
        if (!thread_.joinable()) thread_ = std::jthread([this] {
            pthread_setname_np(pthread_self(), "tavrin-cable");
            run();
        });
    }
    cv_.notify_all();
    return {};
}

void CableCore::deliver_now(Delivery d) {
    std::vector<InputSink*> ins;
    OutputSink* out = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || sending_[d.port] != d.ticket) return;  // aborted
        ins = inputs_for(d.port);
        out = outputs_[d.port];
        if (d.last) sending_[d.port] = 0;
    }
    hand_over(ins, out, d);
}

std::vector<InputSink*> CableCore::inputs_for(unsigned k) const {
    std::vector<InputSink*> out;
    for (unsigned j : targets_[k])
        if (inputs_[j] != nullptr) out.push_back(inputs_[j]);
    return out;
}

void CableCore::hand_over(const std::vector<InputSink*>& ins, OutputSink* out, const Delivery& d) {
    if (!d.bytes.empty())
        for (InputSink* in : ins) in->on_bytes(d.bytes, stamp());
    if (d.last && out != nullptr) {
        out->on_taken(d.ticket, d.taken);
        out->on_sent(d.ticket, {});
    }
}

void CableCore::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            cv_.wait(lock);
            continue;
        }
        const auto due = queue_.begin()->first;
        if (Steady::now() < due) {
            cv_.wait_until(lock, due);
            continue;
        }
        Delivery d = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        if (sending_[d.port] != d.ticket) continue;
        const std::vector<InputSink*> ins = inputs_for(d.port);
        OutputSink* out = outputs_[d.port];
        if (d.last) sending_[d.port] = 0;
        busy_ = true;
        lock.unlock();
        hand_over(ins, out, d);
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

class CableInputPort final : public InputPort {
public:
    CableInputPort(std::shared_ptr<CableCore> core, unsigned k) : core_(std::move(core)), k_(k) {}
    ~CableInputPort() override { core_->detach_input(k_); }

private:
    std::shared_ptr<CableCore> core_;
    unsigned k_;
};

class CableOutputPort final : public OutputPort {
public:
    CableOutputPort(std::shared_ptr<CableCore> core, unsigned k) : core_(std::move(core)), k_(k) {}
    ~CableOutputPort() override { core_->detach_output(k_); }
    Status send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) override {
        return core_->send(k_, bytes, ticket);
    }
    void abort() override { core_->abort(k_); }

private:
    std::shared_ptr<CableCore> core_;
    unsigned k_;
};

class Cable final : public PortBackend {
public:
    explicit Cable(CableOptions options) : core_(std::make_shared<CableCore>(std::move(options))) {}
    ~Cable() override { core_->stop(); }

    std::vector<PortInfo> inputs() override { return names(); }
    std::vector<PortInfo> outputs() override { return names(); }

    Status open_input(unsigned index, InputSink& sink, std::unique_ptr<InputPort>& out) override {
        if (index >= core_->options().ports) return {MMSYSERR_BADDEVICEID, {}};
        Status s = core_->attach_input(index, sink);
        if (s) out = std::make_unique<CableInputPort>(core_, index);
        return s;
    }
    Status open_output(unsigned index, OutputSink& sink, std::unique_ptr<OutputPort>& out) override {
        if (index >= core_->options().ports) return {MMSYSERR_BADDEVICEID, {}};
        Status s = core_->attach_output(index, sink);
        if (s) out = std::make_unique<CableOutputPort>(core_, index);
        return s;
    }

private:
    std::vector<PortInfo> names() const {
        std::vector<PortInfo> out;
        for (unsigned k = 1; k <= core_->options().ports; ++k) out.push_back({"Virtual Cable " + std::to_string(k)});
        return out;
    }
    std::shared_ptr<CableCore> core_;
};

}  // namespace

std::unique_ptr<PortBackend> make_cable_backend(std::string_view options, std::string& error) {
    auto parsed = parse_cable_options(options, error);
    if (!parsed) return nullptr;
    return std::make_unique<Cable>(std::move(*parsed));
}

}  // namespace platform::midi
