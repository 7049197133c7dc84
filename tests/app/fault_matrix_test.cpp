// Every MIDI service call of every path through the program, failed in turn
// with each error code WinMM documents for it. The paths' calls come from the
// service's call log of a clean run, so a call added to a path joins the
// matrix by itself. Each cell checks what the user saw and what the program
// holds against the outcome its tables give, then a Cancel (when offered) and
// File > Exit must leave no port open, no header prepared or queued, and the
// exit code 0.
#include "program.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

namespace tavrin_test {
namespace {

using Strings = std::vector<std::string>;
using platform::midi::Holdings;

constexpr char kTimeout[] = "Midi loopback timeout, check cable!";
constexpr char kSuccess[] = "The test was successful.";
constexpr char kNothingBack[] = "Midi loopback failure!\nByte: 0x1";
constexpr UINT kServiceErrorFlags = MB_OK | MB_ICONERROR | MB_TASKMODAL;

// The codes each function may return besides success, as WinMM documents
// them. A count fails by answering 0: one cell, code 0.
const std::map<std::string, std::vector<MMRESULT>, std::less<>> kCodes = {
    {"midiInGetNumDevs", {0}},
    {"midiOutGetNumDevs", {0}},
    {"midiInGetDevCapsA", {MMSYSERR_BADDEVICEID, MMSYSERR_INVALPARAM, MMSYSERR_NODRIVER, MMSYSERR_NOMEM}},
    {"midiOutGetDevCapsA", {MMSYSERR_BADDEVICEID, MMSYSERR_INVALPARAM, MMSYSERR_NODRIVER, MMSYSERR_NOMEM}},
    {"midiInOpen",
     {MMSYSERR_ALLOCATED, MMSYSERR_BADDEVICEID, MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, MMSYSERR_NOMEM}},
    {"midiOutOpen",
     {MIDIERR_NODEVICE, MMSYSERR_ALLOCATED, MMSYSERR_BADDEVICEID, MMSYSERR_INVALPARAM, MMSYSERR_NOMEM}},
    {"midiInClose", {MIDIERR_STILLPLAYING, MMSYSERR_INVALHANDLE, MMSYSERR_NOMEM}},
    {"midiOutClose", {MIDIERR_STILLPLAYING, MMSYSERR_INVALHANDLE, MMSYSERR_NOMEM}},
    {"midiInPrepareHeader", {MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM, MMSYSERR_NOMEM}},
    {"midiOutPrepareHeader", {MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM, MMSYSERR_NOMEM}},
    {"midiInUnprepareHeader", {MIDIERR_STILLPLAYING, MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM}},
    {"midiOutUnprepareHeader", {MIDIERR_STILLPLAYING, MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM}},
    {"midiInAddBuffer", {MIDIERR_STILLPLAYING, MIDIERR_UNPREPARED, MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM}},
    {"midiInStart", {MMSYSERR_INVALHANDLE}},
    {"midiInStop", {MMSYSERR_INVALHANDLE}},
    {"midiInReset", {MMSYSERR_INVALHANDLE}},
    {"midiOutReset", {MMSYSERR_INVALHANDLE}},
    {"midiOutLongMsg", {MIDIERR_NOTREADY, MIDIERR_UNPREPARED, MMSYSERR_INVALHANDLE, MMSYSERR_INVALPARAM}},
};

bool IsInput(std::string_view call) { return call.rfind("midiIn", 0) == 0; }
bool IsCount(std::string_view call) { return call.ends_with("GetNumDevs"); }
bool IsOpen(std::string_view call) { return call.ends_with("Open"); }
bool IsClose(std::string_view call) { return call.ends_with("Close"); }

std::string ErrorText(std::string_view call, MMRESULT code) {
    char text[MAXERRORLENGTH] = {};
    if (IsInput(call)) midiInGetErrorTextA(code, text, sizeof text);
    else midiOutGetErrorTextA(code, text, sizeof text);
    return text;
}

// How the program stands once it waits for the user again.
enum class Rest { Idle, Stalled, Ended };

const char* RestName(Rest r) { return r == Rest::Idle ? "Idle" : r == Rest::Stalled ? "Stalled" : "Ended"; }

struct State {
    bool window = false;
    UINT_PTR timer = 0;
    bool test = false;
    bool cancel = false;
    MidiDevice in{};
    MidiDevice out{};
    Holdings held{};

    Rest rest() const {
        if (!window) return Rest::Ended;
        return test && !cancel ? Rest::Idle : Rest::Stalled;
    }
};

// One run of a path: the calls and boxes of its window (from where the path's
// own action starts until the program waits for the user again or ends).
struct Outcome {
    Strings log;
    Strings boxes;
    std::vector<BoxRecord> box_records;
    std::vector<std::size_t> box_at;  // the log's length when each box came up
    std::size_t acted = 0;            // the log's length when the action itself returned
    State after;                      // at the end of the window
    State cancelled;                  // after the following Cancel, when one was offered
    bool cancel_offered = false;
    State exited;                     // after File > Exit
    int exit_code = -1;
};

// What the tables give for one cell.
struct Expected {
    Strings boxes;
    Rest rest;
};

class FaultMatrix;

struct Path {
    const char* name;
    const char* cable;
    Strings clean;  // the boxes of the clean run's window
    // Runs when the program first waits for the user (never for the start-up
    // path, whose window opens with WinMain); calls Open() where its own calls begin.
    std::function<void(FaultMatrix&)> act;
    // The outcome of failing clean.log[k], from the clean run.
    std::function<Expected(const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell)>
        expect;
};

class FaultMatrix : public Program {
public:
    // Opens the window of the path's calls, with call k of it failing.
    void Open() {
        platform::midi::clear_call_log();
        if (fault_) platform::midi::fail_call(fault_->first, fault_->second);
        window_open_ = true;
        box_base_ = hb->boxes().size();
    }
    void Acted() { outcome_.acted = platform::midi::call_log().size(); }
    void Click(int id) { platform::click_button(Button(id)); }
    // A menu command as the menu's posted WM_COMMAND arrives, so that its
    // calls end before the notifications it causes are handled.
    void Command(UINT id) { SendMessageA(Main(), WM_COMMAND, id, 0); }
    void Exit() { ChooseExit(); }
    // Test, then the menu item `id` while the test runs.
    void TakeDuringATest(UINT id) {
        Click(IDC_TEST);
        Later(300, [this, id] {
            Open();
            Command(id);
            Acted();
        });
    }
    void Inactive() { hb->set_activate_on_show(false); }
    void Later(int ms, std::function<void()> fn) { After(ms, std::move(fn)); }

    Outcome Play(const Path& path, std::optional<std::pair<std::size_t, MMRESULT>> fault) {
        End();
        Begin();
        fault_ = fault;
        window_open_ = false;
        outcome_ = Outcome{};
        platform::midi::configure(path.cable);
        answer = [this](const BoxRecord& box) {
            if (window_open_) outcome_.box_at.push_back(platform::midi::call_log().size());
            return box.text == kAbandonInput || box.text == kAbandonOutput ? IDYES : 0;
        };
        const bool from_start = !path.act;
        if (from_start) Open();
        Then([this, &path, from_start] {
            if (!from_start) path.act(*this);
            Then([this] {
                CloseWindow();
                outcome_.cancel_offered = Enabled(IDC_CANCEL);
                if (outcome_.cancel_offered) Click(IDC_CANCEL);
                Then([this] {
                    outcome_.cancelled = Snap();
                    ChooseExit();
                });
            });
        });
        outcome_.exit_code = Run();
        CloseWindow();
        outcome_.exited = Snap();
        platform::midi::clear_faults();
        return outcome_;
    }

private:
    void CloseWindow() {
        if (!window_open_) return;
        window_open_ = false;
        outcome_.log = platform::midi::call_log();
        for (std::size_t i = box_base_; i < hb->boxes().size(); ++i) {
            outcome_.boxes.push_back(hb->boxes()[i].text);
            outcome_.box_records.push_back(hb->boxes()[i]);
        }
        outcome_.after = Snap();
        platform::midi::clear_faults();
    }
    State Snap() const {
        State s;
        HWND main = Main();
        s.window = main != nullptr && IsWindowVisible(main);
        s.timer = TestTimer;
        if (main != nullptr) {
            s.test = Enabled(IDC_TEST);
            s.cancel = Enabled(IDC_CANCEL);
        }
        s.in = MidiInDevice;
        s.out = MidiOutDevice;
        s.held = platform::midi::holdings();
        return s;
    }

    std::optional<std::pair<std::size_t, MMRESULT>> fault_;
    bool window_open_ = false;
    std::size_t box_base_ = 0;
    Outcome outcome_;
};

// ---- what the tables give ----

// The clean run's boxes with the error's box where the failed call stood.
Strings WithError(const Outcome& clean, std::size_t k, const std::string& error) {
    Strings out;
    std::size_t i = 0;
    for (; i < clean.boxes.size() && clean.box_at[i] <= k; ++i) out.push_back(clean.boxes[i]);
    out.push_back(error);
    for (; i < clean.boxes.size(); ++i) out.push_back(clean.boxes[i]);
    return out;
}

// Was the input port reset before call k: its buffer then comes back with a
// notification.
bool InputResetBefore(const Outcome& clean, std::size_t k) {
    return std::find(clean.log.begin(), clean.log.begin() + static_cast<long>(k), "midiInReset") !=
           clean.log.begin() + static_cast<long>(k);
}

// A failed tear-down stalls the test, unless the input port was reset all
// the same (from the action on, before or after the failed call): the
// notification of its buffer then tears the test down and the buttons go back
// to rest.
Rest StalledUnlessReset(const Outcome& cell, std::size_t from, std::size_t k) {
    for (std::size_t i = from; i < cell.log.size(); ++i)
        if (i != k && cell.log[i] == "midiInReset") return Rest::Idle;
    return Rest::Stalled;
}

// The calls of Test: one failing step leaves everything as before, with its one message.
Expected StartFails(const std::string& error) { return {{error}, Rest::Idle}; }

std::size_t FirstBox(const Outcome& clean, const std::string& text) {
    for (std::size_t i = 0; i < clean.boxes.size(); ++i)
        if (clean.boxes[i] == text) return clean.box_at[i];
    return clean.log.size();
}

// A port of the running test taken away through the menus, with Yes to the
// question: its reset, take-back and close, then the cancel of the run over
// the other port, and the opening of a port chosen instead.
Expected TakenDuringATest(bool input, const Outcome& clean, std::size_t k, const std::string& error,
                          const Outcome& cell) {
    const std::string& call = clean.log[k];
    std::size_t closing = 0;  // the calls that close the port taken away
    while (closing < clean.log.size() && IsInput(clean.log[closing]) == input) ++closing;
    if (k >= clean.acted || IsOpen(call)) return {WithError(clean, k, error), Rest::Idle};
    if (k < closing) {
        // The port stays and the test goes on: to its time-out, or, once the
        // input port was reset, to the verdict on the buffer it gave back.
        const bool given_back = input && InputResetBefore(clean, k);
        return {{input ? kAbandonInput : kAbandonOutput, error, given_back ? kNothingBack : kTimeout}, Rest::Idle};
    }
    return {WithError(clean, k, error), StalledUnlessReset(cell, 0, k)};
}

std::vector<Path> Paths() {
    return {
        {"start-up", "cable", {kWarning}, nullptr,
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome&) -> Expected {
             const std::string& call = clean.log[k];
             if (call == "midiInGetNumDevs") return {{kWarning, "No MIDI input devices are present"}, Rest::Ended};
             if (call == "midiOutGetNumDevs") return {{kWarning, "No MIDI output devices are present"}, Rest::Ended};
             return {WithError(clean, k, error), Rest::Idle};
         }},
        {"test passes", "cable", {kSuccess},
         [](FaultMatrix& m) {
             m.Open();
             m.Click(IDC_TEST);
             m.Acted();
         },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome&) -> Expected {
             if (k < clean.acted) return StartFails(error);
             // The completion's tear-down failed: the timer runs on and ends the test.
             return {{error, kTimeout}, Rest::Idle};
         }},
        {"test times out", "cable:unplugged", {kTimeout},
         [](FaultMatrix& m) {
             m.Open();
             m.Click(IDC_TEST);
             m.Acted();
         },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell) -> Expected {
             if (k < clean.acted) return StartFails(error);
             // The time-out's tear-down failed: the timer is gone, Cancel finishes.
             if (k < FirstBox(clean, kTimeout)) return {{error}, StalledUnlessReset(cell, clean.acted, k)};
             // The notification of the buffer given back at the time-out.
             return {WithError(clean, k, error), Rest::Idle};
         }},
        {"test cancelled", "cable:unplugged", {},
         [](FaultMatrix& m) {
             m.Click(IDC_TEST);
             m.Later(500, [&m] {
                 m.Open();
                 m.Click(IDC_CANCEL);
                 m.Acted();
             });
         },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell) -> Expected {
             if (k < clean.acted) return {{error}, StalledUnlessReset(cell, 0, k)};
             return {{error}, Rest::Idle};
         }},
        {"switch away and back", "cable", {},
         [](FaultMatrix& m) {
             // A box shown while another application is active does not take
             // the activation back, as the foreground stays with the user's choice.
             m.Inactive();
             m.Open();
             platform::set_app_active(false);
             platform::set_app_active(true);
         },
         [](const Outcome&, std::size_t, const std::string& error, const Outcome&) -> Expected { return {{error}, Rest::Idle}; }},
        {"choose another input", "cable:ports=2", {},
         [](FaultMatrix& m) {
             m.Open();
             m.Command(IDM_INPUT_FIRST + 1);
         },
         [](const Outcome&, std::size_t, const std::string& error, const Outcome&) -> Expected { return {{error}, Rest::Idle}; }},
        {"switch the input during a test", "cable:ports=2,unplugged", {kAbandonInput},
         [](FaultMatrix& m) { m.TakeDuringATest(IDM_INPUT_FIRST + 1); },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell) {
             return TakenDuringATest(true, clean, k, error, cell);
         }},
        {"deselect the input during a test", "cable:unplugged", {kAbandonInput},
         [](FaultMatrix& m) { m.TakeDuringATest(IDM_INPUT_FIRST); },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell) {
             return TakenDuringATest(true, clean, k, error, cell);
         }},
        {"deselect the output during a test", "cable:unplugged", {kAbandonOutput},
         [](FaultMatrix& m) { m.TakeDuringATest(IDM_OUTPUT_FIRST); },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome& cell) {
             return TakenDuringATest(false, clean, k, error, cell);
         }},
        {"exit while idle", "cable", {kCaution},
         [](FaultMatrix& m) {
             m.Open();
             m.Exit();
         },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome&) -> Expected {
             return {WithError(clean, k, error), Rest::Ended};
         }},
        {"exit during a test", "cable:unplugged", {kCaution, kAbandonInput, kAbandonOutput},
         [](FaultMatrix& m) {
             m.Click(IDC_TEST);
             m.Later(300, [&m] {
                 m.Open();
                 m.Exit();
             });
         },
         [](const Outcome& clean, std::size_t k, const std::string& error, const Outcome&) -> Expected {
             return {WithError(clean, k, error), Rest::Ended};
         }},
    };
}

std::string Describe(const Strings& texts) {
    std::ostringstream out;
    for (const auto& t : texts) out << "[" << t << "] ";
    return out.str();
}

// ---- the checks of one cell ----

// Each kind's record and the service agree on the port held.
void PortsAgree(const State& s) {
    EXPECT_EQ(s.in.hDevice != nullptr, s.held.inputs == 1) << s.held.inputs;
    EXPECT_EQ(s.out.hDevice != nullptr, s.held.outputs == 1) << s.held.outputs;
    EXPECT_LE(s.held.inputs, 1u);
    EXPECT_LE(s.held.outputs, 1u);
}

// Idle: no timer, and neither port holds a buffer.
void HoldsNothing(const State& s) {
    EXPECT_EQ(s.timer, 0u);
    for (const MidiDevice* d : {&s.in, &s.out}) {
        EXPECT_NE(d->uBufferState, static_cast<UINT>(BUF_ACTIVE));
        EXPECT_EQ(d->midiHdr.dwFlags & (MHDR_PREPARED | MHDR_INQUEUE), 0u) << d->midiHdr.dwFlags;
    }
    EXPECT_EQ(s.held.queued, 0u);
    EXPECT_EQ(s.held.sending, 0u);
}

// A program that waits for its user: no test timed, the ports as the records
// say, a selected port open; a Cancel, when offered, finishes the test, and
// File > Exit lets go of every port and header with the exit code 0.
void RestsAndLetsGo(const Outcome& o) {
    const State& s = o.after;
    PortsAgree(s);
    EXPECT_EQ(s.timer, 0u);
    if (s.rest() == Rest::Idle) HoldsNothing(s);
    for (const MidiDevice* d : {&s.in, &s.out}) {
        if (d->uDeviceId != NO_DEVICE) {
            EXPECT_NE(d->hDevice, nullptr);
        }
    }
    if (o.cancel_offered) {
        EXPECT_EQ(o.cancelled.rest(), Rest::Idle);
        HoldsNothing(o.cancelled);
    }
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.exited.rest(), Rest::Ended);
    EXPECT_EQ(o.exited.held.inputs + o.exited.held.outputs, 0u);
    EXPECT_EQ(o.exited.held.queued, 0u);
    for (const MidiDevice* d : {&o.exited.in, &o.exited.out}) {
        EXPECT_EQ(d->hDevice, nullptr);
        EXPECT_EQ(d->midiHdr.dwFlags & (MHDR_PREPARED | MHDR_INQUEUE), 0u) << d->midiHdr.dwFlags;
    }
}

void CheckCell(const Path& path, const Outcome& clean, std::size_t k, MMRESULT code, const Outcome& o) {
    const std::string& call = clean.log[k];
    const std::string error = ErrorText(call, code);
    SCOPED_TRACE(std::string(path.name) + ": call " + std::to_string(k) + " " + call + " fails with " +
                 std::to_string(code));
    // The same path up to the failed call.
    ASSERT_GT(o.log.size(), k);
    ASSERT_TRUE(std::equal(clean.log.begin(), clean.log.begin() + static_cast<long>(k) + 1, o.log.begin()));

    SCOPED_TRACE("calls: " + Describe(o.log) + "\nclean: " + Describe(clean.log));
    const Expected e = path.expect(clean, k, IsCount(call) ? std::string() : error, o);
    EXPECT_EQ(o.boxes, e.boxes) << Describe(o.boxes);
    if (!IsCount(call)) {
        // The service's error, shown once, where it was met.
        for (const BoxRecord& b : o.box_records) {
            if (b.text != error) continue;
            EXPECT_EQ(b.caption, IsInput(call) ? "MIDI Input Error" : "MIDI Output Error");
            EXPECT_EQ(b.flags, kServiceErrorFlags);
        }
    }
    const State& s = o.after;
    EXPECT_EQ(RestName(s.rest()), std::string(RestName(e.rest)));
    MidiDevice State::*kind = IsInput(call) ? &State::in : &State::out;
    if (s.rest() != Rest::Ended) {
        RestsAndLetsGo(o);
        if (IsOpen(call)) {
            EXPECT_EQ((s.*kind).uDeviceId, static_cast<UINT>(NO_DEVICE));
        } else if (IsClose(call)) {
            EXPECT_NE((s.*kind).hDevice, nullptr);  // a failed close keeps the port
        }
        return;
    }
    EXPECT_EQ(o.exit_code, 0);
    // The program ended within the path: a port whose close failed is still
    // held (the window goes all the same); every other port is closed.
    PortsAgree(s);
    const bool kept = !IsCount(call) && !IsOpen(call) && (s.*kind).hDevice != nullptr;
    if (IsCount(call)) {
        EXPECT_EQ(s.held.inputs + s.held.outputs, 0u);
    } else {
        EXPECT_TRUE(kept) << "the port whose close failed was released";
        const MidiDevice& other = IsInput(call) ? s.out : s.in;
        EXPECT_EQ(other.hDevice, nullptr);
    }
}

TEST_F(FaultMatrix, EveryServiceCallOfEveryPathFailsCleanly) {
    std::size_t cells = 0;
    const std::vector<Path> paths = Paths();
    for (const Path& path : paths) {
        const Outcome clean = Play(path, std::nullopt);
        SCOPED_TRACE(path.name);
        ASSERT_FALSE(clean.log.empty()) << "the path calls no MIDI service";
        ASSERT_EQ(clean.boxes, path.clean) << Describe(clean.boxes);
        if (clean.after.rest() == Rest::Ended) {
            ASSERT_EQ(clean.exit_code, 0);
            ASSERT_EQ(clean.after.held.inputs + clean.after.held.outputs, 0u);
        } else {
            ASSERT_EQ(clean.after.rest(), Rest::Idle);
            RestsAndLetsGo(clean);
            ASSERT_FALSE(HasFailure());
        }
        for (std::size_t k = 0; k < clean.log.size(); ++k) {
            const auto codes = kCodes.find(clean.log[k]);
            ASSERT_NE(codes, kCodes.end()) << "no WinMM error codes listed for " << clean.log[k];
            for (MMRESULT code : codes->second) {
                CheckCell(path, clean, k, code, Play(path, std::make_pair(k, code)));
                ++cells;
            }
        }
    }
    std::cout << "fault matrix: " << cells << " cells over " << paths.size() << " paths\n";
    RecordProperty("cells", static_cast<int>(cells));
}

}  // namespace
}  // namespace tavrin_test
