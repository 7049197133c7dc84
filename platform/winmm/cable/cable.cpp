#include "winmm/cable/cable.h"

#include "user/session.h"
#include "winmm/midi_wire.h"

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
        } else if (key == "corrupt" || key == "drop" || key == "dup" || key == "swap" || key == "overrun") {
            // INDEX (corrupt: INDEX:VALUE), then /N for every Nth message.
            std::string_view setting = value;
            unsigned long long every = 0, v = 0;
            const auto slash = setting.find('/');
            bool ok = slash == std::string_view::npos ||
                      (parse_number(setting.substr(slash + 1), 1'000'000, every) && every >= 1);
            setting = setting.substr(0, slash);
            const auto colon = setting.find(':');
            if (key == "corrupt")
                ok = ok && colon != std::string_view::npos && parse_number(setting.substr(colon + 1), 0xFF, v);
            else
                ok = ok && colon == std::string_view::npos;
            ok = ok && parse_number(setting.substr(0, colon), kMaxIndex, n);
            if (!ok)
                return bad(item, key == "corrupt" ? "corrupt=INDEX:VALUE or INDEX:VALUE/N, VALUE from 0 to 255"
                                                  : std::string(key) + "=INDEX or " + std::string(key) + "=INDEX/N");
            auto& list = key == "corrupt" ? o.corrupt
                         : key == "drop"  ? o.drop
                         : key == "dup"   ? o.duplicate
                         : key == "swap"  ? o.swap
                                          : o.overrun;
            list.push_back({static_cast<std::size_t>(n), static_cast<std::uint8_t>(v), static_cast<unsigned>(every)});
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
        } else if (key == "every") {
            if (!parse_number(value, 1'000'000, n) || n < 1) return bad(item, "every=N, N from 1 to 1000000");
            o.every = static_cast<unsigned>(n);
        } else if (key == "unplug") {
            if (!parse_number(value, 1'000'000'000, n) || n < 1) return bad(item, "unplug=N, N at least 1");
            o.unplug = static_cast<unsigned>(n);
        } else if (key == "stray") {
            const auto colon = value.find(':');
            unsigned long long ms = 0;
            if (colon == std::string_view::npos || !parse_number(value.substr(0, colon), 0xFF, n) || n < 0x80 ||
                !parse_number(value.substr(colon + 1), 3'600'000, ms) || ms < 1)
                return bad(item, "stray=BYTE:MS, a status byte from 0x80, MS from 1");
            o.stray.emplace(static_cast<std::uint8_t>(n), std::chrono::milliseconds(ms));
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
        } else if (key == "leak") {
            const auto colon = value.find(':');
            const auto slash = value.find('/');
            unsigned long long j = 0, every = 1;
            const bool ok = colon != std::string_view::npos && parse_number(value.substr(0, colon), 15, n) &&
                            parse_number(value.substr(colon + 1, slash == std::string_view::npos ? slash : slash - colon - 1), 15, j) &&
                            (slash == std::string_view::npos ||
                             (parse_number(value.substr(slash + 1), 1'000'000, every) && every >= 1));
            if (!ok || slash < colon) return bad(item, "leak=OUTPUT:INPUT or OUTPUT:INPUT/N, ports counted from 0");
            o.leaks.push_back({static_cast<unsigned>(n), static_cast<unsigned>(j), static_cast<unsigned>(every)});
        } else {
            return bad(item, "ports, unplugged, corrupt, drop, dup, swap, overrun, cut, every, delay, baud, repeat, "
                             "stray, unplug, wire or leak");
        }
    }
    for (const auto& [k, j] : o.wires)
        if (k >= o.ports || j >= o.ports) return bad("wire=" + std::to_string(k) + ":" + std::to_string(j), "ports below ports=N");
    for (unsigned k : o.unwired)
        if (k >= o.ports) return bad("wire=" + std::to_string(k) + ":none", "ports below ports=N");
    for (const auto& l : o.leaks)
        if (l.from >= o.ports || l.to >= o.ports)
            return bad("leak=" + std::to_string(l.from) + ":" + std::to_string(l.to), "ports below ports=N");
    return o;
}

std::vector<unsigned> cable_targets(const CableOptions& options, unsigned k, std::uint64_t number) {
    std::vector<unsigned> out;
    bool named = false;
    for (unsigned u : options.unwired) named = named || u == k;
    for (const auto& [from, to] : options.wires) {
        if (from != k) continue;
        named = true;
        if (std::find(out.begin(), out.end(), to) == out.end()) out.push_back(to);
    }
    if (!named) out.push_back(k);
    for (const auto& l : options.leaks)
        if (l.from == k && number % l.every == 0 && std::find(out.begin(), out.end(), l.to) == out.end())
            out.push_back(l.to);
    return out;
}

std::vector<std::uint8_t> cable_arrival(const CableOptions& options, std::span<const std::uint8_t> sent,
                                        std::uint64_t number, std::size_t* overrun) {
    std::vector<std::uint8_t> one;
    if (options.unplugged) return one;
    const bool on_this = number % options.every == 0;
    auto fault_at = [&](const std::vector<ByteFault>& list, std::size_t i) -> const ByteFault* {
        for (const ByteFault& f : list)
            if (f.index == i && (f.every != 0 ? number % f.every == 0 : on_this)) return &f;
        return nullptr;
    };
    one.reserve(sent.size() + options.duplicate.size() + 1);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (fault_at(options.drop, i)) continue;
        if (fault_at(options.overrun, i)) {
            if (overrun != nullptr) ++*overrun;
            continue;
        }
        std::uint8_t b = sent[i];
        if (fault_at(options.swap, i) && i + 1 < sent.size()) b = sent[i + 1];
        else if (i > 0 && fault_at(options.swap, i - 1)) b = sent[i - 1];
        if (const ByteFault* f = fault_at(options.corrupt, i)) b = f->value;
        one.push_back(b);
        if (fault_at(options.duplicate, i)) one.push_back(b);
    }
    if (on_this && options.cut && one.size() > *options.cut) {
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

// What the cable carries for one port at one moment: bytes of a send; a
// stray byte of the device for input `port` (its ticket: the input's
// attachment); or the moment the cable is pulled out.
struct Delivery {
    enum class What { Bytes, Stray, Unplug };
    unsigned port = 0;
    std::uint64_t ticket = 0;
    std::vector<std::uint8_t> bytes;
    bool last = false;  // the send ends with it
    What what = What::Bytes;
    Timestamp taken{};  // when the cable took the send
    std::uint64_t number = 0;  // of the send at its output, from 1
    std::size_t overrun = 0;   // bytes lost on the way into the input (overrun=)
};

// The wiring shared by the backend, its open ports and the events it
// scheduled on a virtual clock (which hold it weakly).
class CableCore : public std::enable_shared_from_this<CableCore> {
public:
    explicit CableCore(CableOptions options)
        : options_(std::move(options)),
          inputs_(options_.ports, nullptr),
          outputs_(options_.ports, nullptr),
          sending_(options_.ports, 0),
          sent_count_(options_.ports, 0),
          attached_(options_.ports, 0) {
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
        // The device's own bytes come on a real clock only: on a virtual
        // one they would keep its time from ever standing still.
        const bool real_clock = !session().clock().schedule(session().clock().now(), [] {});
        std::lock_guard lock(mutex_);
        if (inputs_[k] != nullptr) return {MMSYSERR_ALLOCATED, {}};
        inputs_[k] = &sink;
        ++attached_[k];
        if (options_.stray && real_clock) {
            Delivery d{k, attached_[k], {options_.stray->first}, false, Delivery::What::Stray};
            queue_.emplace(Steady::now() + options_.stray->second, std::move(d));
            start_thread();
            cv_.notify_all();
        }
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
        std::erase_if(queue_, [k](const auto& e) { return e.second.what == Delivery::What::Stray && e.second.port == k; });
        cv_.wait(lock, [this] { return !busy_; });
    }
    void detach_output(unsigned k) {
        std::unique_lock lock(mutex_);
        outputs_[k] = nullptr;
        sending_[k] = 0;
        erase_sends(k);
        cv_.wait(lock, [this] { return !busy_; });
    }

    void abort(unsigned k) {
        std::lock_guard lock(mutex_);
        sending_[k] = 0;
        erase_sends(k);
    }

    Status send(unsigned k, std::span<const std::uint8_t> sent, std::uint64_t ticket);

private:
    void erase_sends(unsigned k) {  // lock held
        std::erase_if(queue_, [k](const auto& e) { return e.second.what != Delivery::What::Stray && e.second.port == k; });
    }
    void start_thread() {  // lock held
        if (!thread_.joinable()) thread_ = std::jthread([this] {
            pthread_setname_np(pthread_self(), "tavrin-cable");
            run();
        });
    }
    // Takes a delivery that is due; false when it is void (aborted, or for
    // a port that went). Lock held.
    bool accept(const Delivery& d, std::vector<InputSink*>& ins, OutputSink*& out);
    void deliver_now(Delivery d);  // on a virtual clock's event
    std::vector<InputSink*> inputs_for(const Delivery& d) const;  // lock held
    void hand_over(const std::vector<InputSink*>& ins, OutputSink* out, const Delivery& d);
    void run();

    static Timestamp stamp() { return std::chrono::duration_cast<Timestamp>(Steady::now().time_since_epoch()); }

    const CableOptions options_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<InputSink*> inputs_;
    std::vector<OutputSink*> outputs_;
    std::vector<std::uint64_t> sending_;  // ticket of the send under way per output, 0 for none
    std::vector<std::uint64_t> sent_count_;  // messages sent per output
    std::vector<std::uint64_t> attached_;    // attachments per input, for its stray bytes
    bool pulled_ = false;                    // unplugged by unplug=N
    std::vector<OutputSink*> unplugged_outputs_;  // the outputs to tell of it
    std::multimap<Steady::time_point, Delivery> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::jthread thread_;  // started by the first send on a real clock; last, so it goes first
};

Status CableCore::send(unsigned k, std::span<const std::uint8_t> sent, std::uint64_t ticket) {
    std::uint64_t number = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return {MMSYSERR_NODRIVER, "the virtual cable is stopped"};
        if (pulled_) return {MMSYSERR_NODRIVER, "the virtual cable is unplugged"};
        if (sending_[k] != 0) return {MIDIERR_NOTREADY, {}};
        sending_[k] = ticket;
        number = ++sent_count_[k];
    }
    std::size_t overrun = 0;
    const std::vector<std::uint8_t> arriving = cable_arrival(options_, sent, number, &overrun);

    // Cut what arrives into chunks per millisecond of the wire's pace. A send
    // where nothing arrives still takes its time on the wire.
    std::vector<std::pair<std::chrono::milliseconds, Delivery>> chunks;
    auto due_ms = [&](std::size_t bytes_out) {
        long long us = 0;
        if (options_.baud != 0) us = static_cast<long long>(bytes_out) * midi_wire::kBitsPerByte * 1'000'000LL / options_.baud;
        const auto delay = number % options_.every == 0 ? options_.delay : std::chrono::milliseconds(0);
        return delay + std::chrono::milliseconds((us + 999) / 1000);
    };
    if (number == options_.unplug) {
        chunks.push_back({due_ms(sent.size() / 2), Delivery{k, ticket, {}, true, Delivery::What::Unplug}});
    } else {
        for (std::size_t i = 0; i < arriving.size(); ++i) {
            const auto at = due_ms(i + 1);
            if (chunks.empty() || chunks.back().first != at) chunks.push_back({at, Delivery{k, ticket, {}, false}});
            chunks.back().second.bytes.push_back(arriving[i]);
        }
        if (chunks.empty()) chunks.push_back({due_ms(sent.size()), Delivery{k, ticket, {}, false}});
        chunks.back().second.last = true;
        chunks.back().second.taken = stamp();
        chunks.back().second.overrun = overrun;
    }
    for (auto& chunk : chunks) chunk.second.number = number;

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
        start_thread();
    }
    cv_.notify_all();
    return {};
}

bool CableCore::accept(const Delivery& d, std::vector<InputSink*>& ins, OutputSink*& out) {
    if (stopping_) return false;
    if (d.what == Delivery::What::Stray) {
        if (inputs_[d.port] == nullptr || attached_[d.port] != d.ticket) return false;
        ins = {inputs_[d.port]};
        Delivery next = d;
        queue_.emplace(Steady::now() + options_.stray->second, std::move(next));
        return true;
    }
    if (sending_[d.port] != d.ticket) return false;  // aborted
    ins = inputs_for(d);
    out = outputs_[d.port];
    if (d.last) sending_[d.port] = 0;
    if (d.what == Delivery::What::Unplug) {
        pulled_ = true;
        ins = inputs_;
        std::erase(ins, nullptr);
        out = nullptr;
        unplugged_outputs_ = outputs_;
        std::erase(unplugged_outputs_, nullptr);
    }
    return true;
}

void CableCore::deliver_now(Delivery d) {
    std::vector<InputSink*> ins;
    OutputSink* out = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!accept(d, ins, out)) return;
    }
    hand_over(ins, out, d);
}

std::vector<InputSink*> CableCore::inputs_for(const Delivery& d) const {
    std::vector<InputSink*> out;
    for (unsigned j : cable_targets(options_, d.port, d.number))
        if (inputs_[j] != nullptr) out.push_back(inputs_[j]);
    return out;
}

void CableCore::hand_over(const std::vector<InputSink*>& ins, OutputSink* out, const Delivery& d) {
    if (d.what == Delivery::What::Unplug) {
        const Status gone{MMSYSERR_NODRIVER, "the virtual cable was unplugged"};
        for (InputSink* in : ins) in->on_error(gone);
        for (OutputSink* o : unplugged_outputs_) o->on_error(gone);
        return;
    }
    if (!d.bytes.empty())
        for (InputSink* in : ins) in->on_bytes(d.bytes, stamp());
    if (d.overrun != 0)
        for (InputSink* in : ins) in->on_overrun(d.overrun);
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
        std::vector<InputSink*> ins;
        OutputSink* out = nullptr;
        if (!accept(d, ins, out)) continue;
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
