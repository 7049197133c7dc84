#include "winmm/rawmidi/rawmidi_backend.h"

#include "winmm/port_names.h"
#include "winmm/rawmidi/rawmidi_engine.h"

#include <exception>
#include <new>
#include <optional>

namespace platform::midi {

namespace {

class RawmidiBackend final : public PortBackend {
public:
    std::vector<PortInfo> inputs() override { return infos(taken(ins_, true)); }
    std::vector<PortInfo> outputs() override { return infos(taken(outs_, false)); }

    Status open_input(unsigned index, InputSink& sink, std::unique_ptr<InputPort>& out) override {
        return open(taken(ins_, true), index, [&](const std::string& address, Status& error) {
            out = rawmidi::Input::open(address, sink, error);
            return out != nullptr;
        });
    }

    Status open_output(unsigned index, OutputSink& sink, std::unique_ptr<OutputPort>& out) override {
        return open(taken(outs_, false), index, [&](const std::string& address, Status& error) {
            out = rawmidi::Output::open(address, sink, error);
            return out != nullptr;
        });
    }

private:
    using List = std::vector<rawmidi::DeviceEntry>;

    template <typename Open>
    static Status open(const List& devices, unsigned index, Open&& open_port) {
        if (index >= devices.size()) return {MMSYSERR_BADDEVICEID, "No such rawmidi device."};
        Status error;
        try {
            if (!open_port(devices[index].address, error)) return error;
            return {};
        } catch (const std::exception& e) {  // no thread, no eventfd or no memory
            return {MMSYSERR_NOMEM, std::string("The rawmidi device cannot be opened: ") + e.what()};
        }
    }

    // The lists stay as they were when first counted: the device layer
    // numbers ports once, at start-up.
    static const List& taken(std::optional<List>& list, bool inputs) {
        if (!list) {
            list = rawmidi::list_devices(inputs);
            std::vector<std::string> raw;
            for (const auto& d : *list) raw.push_back(d.name);
            const auto names = unique_port_names(raw);
            for (std::size_t i = 0; i < list->size(); ++i) (*list)[i].name = names[i];
        }
        return *list;
    }

    static std::vector<PortInfo> infos(const List& devices) {
        std::vector<PortInfo> out;
        for (const auto& d : devices) out.push_back({d.name, MMSYSERR_NOERROR});
        return out;
    }

    std::optional<List> ins_;
    std::optional<List> outs_;
};

}  // namespace

std::unique_ptr<PortBackend> make_rawmidi_backend(std::string_view options, std::string& error) {
    if (!options.empty()) {
        error = "TAVRIN_MIDI: the rawmidi backend takes no options (\"" + std::string(options) + "\"); no MIDI ports";
        return nullptr;
    }
    if (!rawmidi::any_card()) return nullptr;
    try {
        return std::make_unique<RawmidiBackend>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace platform::midi
