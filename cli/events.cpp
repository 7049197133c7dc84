#include "cli/events.h"

#include <cmath>

namespace tavrin_cli {

namespace {

constexpr UINT_PTR kDeadlineTimer = 1;
// A timer may fire a hair before its time on a millisecond clock.
constexpr double kSlackSeconds = 0.0005;

}  // namespace

EventWait::EventWait(HWND window, const InterruptWatch& interrupt) : window_(window), interrupt_(interrupt) {}

EventWait::~EventWait() {
    if (armed_) KillTimer(window_, kDeadlineTimer);
}

std::size_t EventWait::add_input(MidiInput& in) {
    inputs_.push_back(&in);
    return inputs_.size() - 1;
}

std::size_t EventWait::add_output(MidiOutput& out) {
    outputs_.push_back(&out);
    return outputs_.size() - 1;
}

void EventWait::arm(std::optional<double> deadline) {
    if (deadline == armed_) return;
    armed_ = deadline;
    if (!deadline) {
        KillTimer(window_, kDeadlineTimer);
        return;
    }
    const double ms = std::ceil(std::max(0.0, *deadline - now_seconds()) * 1000.0);
    SetTimer(window_, kDeadlineTimer, static_cast<UINT>(std::max(1.0, ms)), nullptr);
}

Event EventWait::next(std::optional<double> deadline, bool after_interrupt) {
    for (;;) {
        if (interrupt_.requested() && !after_interrupt) return Event{Event::Kind::Interrupt, 0, {}};
        if (deadline && now_seconds() + kSlackSeconds >= *deadline) return Event{Event::Kind::Deadline, 0, {}};
        arm(deadline);
        MSG msg{};
        if (!next_message(msg)) return Event{Event::Kind::Quit, 0, {}};
        if (msg.message == WM_TIMER && msg.wParam == kDeadlineTimer) {
            armed_.reset();  // re-armed from the time left, if any
            KillTimer(window_, kDeadlineTimer);
            continue;
        }
        after_interrupt_ = after_interrupt;
        if (auto e = translate(msg)) return *e;
    }
}

std::optional<Event> EventWait::translate(const MSG& msg) {
    switch (msg.message) {
    case MM_MIM_LONGDATA: {
        auto* header = reinterpret_cast<MIDIHDR*>(msg.lParam);
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            if (!inputs_[k]->take_back(header)) continue;
            const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
            bytes_.assign(data, data + header->dwBytesRecorded);
            if (inputs_[k]->recording()) inputs_[k]->requeue(header);
            return Event{Event::Kind::Arrival, k, bytes_};
        }
        return std::nullopt;
    }
    case MM_MIM_DATA:
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            if (reinterpret_cast<HMIDIIN>(msg.wParam) != inputs_[k]->handle()) continue;
            bytes_.clear();
            append_short_message(static_cast<DWORD>(msg.lParam), bytes_);
            return Event{Event::Kind::Arrival, k, bytes_};
        }
        return std::nullopt;
    case MM_MOM_DONE:
        for (std::size_t k = 0; k < outputs_.size(); ++k)
            if (outputs_[k]->take_back(reinterpret_cast<const MIDIHDR*>(msg.lParam))) return Event{Event::Kind::Sent, k, {}};
        return std::nullopt;
    case kInterruptMessage:
        if (after_interrupt_) return std::nullopt;
        return Event{Event::Kind::Interrupt, 0, {}};
    default: DispatchMessageA(&msg); return std::nullopt;
    }
}

}  // namespace tavrin_cli
