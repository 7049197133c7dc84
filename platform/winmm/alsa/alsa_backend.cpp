#include "winmm/alsa/alsa_backend.h"

#include "winmm/alsa/alsa_engine.h"
#include "winmm/port_names.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>

namespace platform::midi {

namespace {

class AlsaBackend final : public PortBackend {
public:
    explicit AlsaBackend(alsa::SeqHandle seq) : seq_(std::move(seq)) {}

    std::vector<PortInfo> inputs() override { return infos(taken(ins_, true)); }
    std::vector<PortInfo> outputs() override { return infos(taken(outs_, false)); }

    Status open_input(unsigned index, InputSink& sink, std::unique_ptr<InputPort>& out) override {
        const auto& ports = taken(ins_, true);
        if (index >= ports.size()) return {MMSYSERR_BADDEVICEID, "No such ALSA input port."};
        std::string error;
        try {
            int refused = 0;
            auto port = alsa::Input::open(ports[index].address, sink, error, &refused);
            if (!port) return {code_for(ports[index].address, refused), error};
            out = std::move(port);
            return {};
        } catch (const std::exception& e) {  // no thread or no memory
            return {MMSYSERR_NOMEM, std::string("The MIDI input cannot be opened: ") + e.what()};
        }
    }

    Status open_output(unsigned index, OutputSink& sink, std::unique_ptr<OutputPort>& out) override {
        const auto& ports = taken(outs_, false);
        if (index >= ports.size()) return {MMSYSERR_BADDEVICEID, "No such ALSA output port."};
        std::string error;
        try {
            int refused = 0;
            auto port = alsa::Output::open(ports[index].address, sink, error, &refused);
            if (!port) return {code_for(ports[index].address, refused), error};
            out = std::move(port);
            return {};
        } catch (const std::exception& e) {  // no thread or no memory
            return {MMSYSERR_NOMEM, std::string("The MIDI output cannot be opened: ") + e.what()};
        }
    }

private:
    // The lists stay as they were when first counted: the device layer
    // numbers ports once, at start-up.
    const std::vector<alsa::PortEntry>& taken(std::optional<std::vector<alsa::PortEntry>>& list, bool inputs) {
        if (!list) {
            list = alsa::list_ports(seq_.get(), inputs);
            std::vector<std::string> raw;
            for (const auto& p : *list) raw.push_back(p.name);
            const auto names = unique_port_names(raw);
            for (std::size_t i = 0; i < list->size(); ++i) (*list)[i].name = names[i];
        }
        return *list;
    }

    static std::vector<PortInfo> infos(const std::vector<alsa::PortEntry>& ports) {
        std::vector<PortInfo> out;
        for (const auto& p : ports) out.push_back({p.name, MMSYSERR_NOERROR});
        return out;
    }

    // A hardware port whose device another program holds refuses the
    // subscription as busy: in use, as WinMM says of a taken device.
    MMRESULT code_for(alsa::Address address, int refused) {
        if (!alsa::port_exists(seq_.get(), address)) return MMSYSERR_NODRIVER;
        return refused == -EBUSY || refused == -EAGAIN ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR;
    }

    alsa::SeqHandle seq_;
    std::optional<std::vector<alsa::PortEntry>> ins_;
    std::optional<std::vector<alsa::PortEntry>> outs_;
};

}  // namespace

std::unique_ptr<PortBackend> make_alsa_backend(std::string_view options, std::string& error) {
    if (!options.empty()) {
        error = "TAVRIN_MIDI: the alsa backend takes no options (\"" + std::string(options) + "\"); no MIDI ports";
        return nullptr;
    }
    std::string why;
    auto seq = alsa::open_client(SND_SEQ_OPEN_DUPLEX, why);
    if (!seq) return nullptr;
    try {
        return std::make_unique<AlsaBackend>(std::move(seq));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace platform::midi
