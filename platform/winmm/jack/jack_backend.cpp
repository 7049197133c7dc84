#include "winmm/jack/jack_backend.h"

#include "winmm/jack/jack_engine.h"
#include "winmm/port_names.h"

#include <exception>
#include <new>
#include <optional>

namespace platform::midi {

namespace {

class JackInput final : public InputPort {
public:
    JackInput(std::shared_ptr<jack::Client> client, int slot) : client_(std::move(client)), slot_(slot) {}
    ~JackInput() override { client_->close_input(slot_); }

private:
    std::shared_ptr<jack::Client> client_;
    int slot_;
};

class JackOutput final : public OutputPort {
public:
    JackOutput(std::shared_ptr<jack::Client> client, int slot) : client_(std::move(client)), slot_(slot) {}
    ~JackOutput() override { client_->close_output(slot_); }
    Status send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) override {
        return client_->send(slot_, bytes, ticket);
    }
    void abort() override { client_->abort(slot_); }

private:
    std::shared_ptr<jack::Client> client_;
    int slot_;
};

class JackBackend final : public PortBackend {
public:
    explicit JackBackend(std::shared_ptr<jack::Client> client) : client_(std::move(client)) {}

    std::vector<PortInfo> inputs() override { return infos(taken(ins_, true)); }
    std::vector<PortInfo> outputs() override { return infos(taken(outs_, false)); }

    Status open_input(unsigned index, InputSink& sink, std::unique_ptr<InputPort>& out) override {
        const auto& ports = taken(ins_, true);
        if (index >= ports.size()) return {MMSYSERR_BADDEVICEID, "No such JACK input port."};
        Status error;
        const int slot = client_->open_input(ports[index].full, sink, error);
        if (slot < 0) return error;
        try {
            out = std::make_unique<JackInput>(client_, slot);
        } catch (const std::bad_alloc&) {
            client_->close_input(slot);
            return {MMSYSERR_NOMEM, "There is not enough memory to open the MIDI input."};
        }
        return {};
    }

    Status open_output(unsigned index, OutputSink& sink, std::unique_ptr<OutputPort>& out) override {
        const auto& ports = taken(outs_, false);
        if (index >= ports.size()) return {MMSYSERR_BADDEVICEID, "No such JACK output port."};
        Status error;
        const int slot = client_->open_output(ports[index].full, sink, error);
        if (slot < 0) return error;
        try {
            out = std::make_unique<JackOutput>(client_, slot);
        } catch (const std::bad_alloc&) {
            client_->close_output(slot);
            return {MMSYSERR_NOMEM, "There is not enough memory to open the MIDI output."};
        }
        return {};
    }

private:
    struct Entry {
        std::string full;   // "client:port", as JACK knows it
        std::string shown;  // cut, safe and unique
    };

    // Taken once, when first counted: the device layer numbers ports once.
    const std::vector<Entry>& taken(std::optional<std::vector<Entry>>& list, bool inputs) {
        if (!list) {
            const auto full = client_->list_ports(inputs);
            const auto shown = unique_port_names(full);
            list.emplace();
            for (std::size_t i = 0; i < full.size(); ++i) list->push_back({full[i], shown[i]});
        }
        return *list;
    }

    static std::vector<PortInfo> infos(const std::vector<Entry>& ports) {
        std::vector<PortInfo> out;
        for (const auto& p : ports) out.push_back({p.shown, MMSYSERR_NOERROR});
        return out;
    }

    std::shared_ptr<jack::Client> client_;
    std::optional<std::vector<Entry>> ins_;
    std::optional<std::vector<Entry>> outs_;
};

}  // namespace

std::unique_ptr<PortBackend> make_jack_backend(std::string_view options, std::string& error) {
    if (!options.empty()) {
        error = "TAVRIN_MIDI: the jack backend takes no options (\"" + std::string(options) + "\"); no MIDI ports";
        return nullptr;
    }
    std::string why;
    try {
        auto client = jack::Client::open(why);
        if (!client) return nullptr;
        return std::make_unique<JackBackend>(std::move(client));
    } catch (const std::exception&) {  // no thread or no memory: no JACK ports
        return nullptr;
    }
}

}  // namespace platform::midi
