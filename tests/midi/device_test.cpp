// The MIDI device layer on its own: discovery and names, hand-over, transfer
// and activation, with the service errors that whole runs seldom reach,
// checked against the service's call log, the records and the boxes shown.
#include "fixture.h"

#include <cstring>

namespace layer_test {
namespace {

constexpr UINT kErrorFlags = MB_OK | MB_ICONERROR;
constexpr UINT kServiceErrorFlags = MB_OK | MB_ICONERROR | MB_TASKMODAL;

using Strings = std::vector<std::string>;

std::string InText(MMRESULT code) {
    char text[128] = {};
    midiInGetErrorTextA(code, text, sizeof(text));
    return text;
}
std::string OutText(MMRESULT code) {
    char text[128] = {};
    midiOutGetErrorTextA(code, text, sizeof(text));
    return text;
}

// The device layer alone: the window leaves the notifications to the tests.
class DeviceLayer : public LayerFixture {
protected:
    void SetUp() override {
        LayerFixture::SetUp();
        g_route_to_test = false;
    }
};

// ---- discovery, names and errors ----

using Discovery = DeviceLayer;

TEST_F(Discovery, MissingPortsAreNamedByTheCountsAlone) {
    platform::midi::configure("");
    EXPECT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 0);
    EXPECT_EQ(MidiInDevice.uDeviceType, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiOutDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    // Only the output record given: the text still names both kinds.
    EXPECT_EQ(MidiInit(nullptr, &MidiOutDevice), 0);
    ASSERT_EQ(Boxes().size(), 2u);
    for (const auto& b : Boxes()) {
        EXPECT_EQ(b.text, "No MIDI input or output devices are present");
        EXPECT_EQ(b.caption, "MidiInit");
        EXPECT_EQ(b.flags, kErrorFlags);
        EXPECT_EQ(b.owner, nullptr);
    }
    platform::midi::configure("cable");
    EXPECT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 1);
    EXPECT_EQ(MidiInDevice.uDeviceType, static_cast<UINT>(MIDIDEV_INPUT));
    EXPECT_EQ(MidiOutDevice.uDeviceType, static_cast<UINT>(MIDIDEV_OUTPUT));
    EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(Discovery, NamesAreCopiedWholeAndAFailedQueryLeavesTheBufferAlone) {
    platform::midi::configure("cable:ports=2");
    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Input, 1, std::string(31, 'N')));
    char name[40];
    ASSERT_EQ(MidiGetDeviceName(hwnd, MIDIDEV_INPUT, 1, name), 0u);
    EXPECT_EQ(std::string(name), std::string(31, 'N'));
    ASSERT_EQ(MidiGetDeviceName(hwnd, MIDIDEV_OUTPUT, 0, name), 0u);
    EXPECT_STREQ(name, "Virtual Cable 1");
    std::strcpy(name, "kept");
    EXPECT_NE(MidiGetDeviceName(hwnd, MIDIDEV_OUTPUT, 7, name), 0u);
    EXPECT_STREQ(name, "kept");
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, "MIDI Output Error");
    EXPECT_EQ(Boxes()[0].flags, kServiceErrorFlags);
    EXPECT_EQ(MidiGetDeviceName(hwnd, 9, 0, name), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(), "\r\nMidiInit: uDeviceType bad");
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(Discovery, AnErrorTheServiceCannotExplainShowsWhyTheLookupFailed) {
    char text[128];
    ASSERT_EQ(midiInGetErrorTextA(MMSYSERR_BADERRNUM, text, sizeof text), 0u);
    MidiShowError(hwnd, 4242, MIDIDEV_INPUT);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, text);
    EXPECT_EQ(Boxes()[0].caption, "MIDI Input Error");
    MidiShowError(hwnd, 0, 77);
    EXPECT_EQ(platform::debug_output(), "MidiShowError: Bad MIDI device type\r\n");
    EXPECT_EQ(Boxes().size(), 1u);
}

// ---- transfer on closed ports ----

using ClosedPort = DeviceLayer;

TEST_F(ClosedPort, StartsSayOpenFirstAndLeaveTheStateAlone) {
    platform::midi::configure("cable");
    ASSERT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 1);
    EXPECT_EQ(MidiRecord(hwnd, &MidiInDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    // A stop outside BUF_NOTOPEN is not let through either.
    EXPECT_EQ(MidiRecord(hwnd, &MidiInDevice, FALSE), static_cast<UINT>(MIDI_FAILED));
    ASSERT_EQ(Boxes().size(), 3u);
    EXPECT_EQ(Boxes()[0].text, "Must open MIDI input device first");
    EXPECT_EQ(Boxes()[0].caption, "MidiRecord");
    EXPECT_EQ(Boxes()[1].text, "Must open MIDI output device first");
    EXPECT_EQ(Boxes()[1].caption, "MidiSendLongMsg");
    EXPECT_EQ(Boxes()[1].flags, kErrorFlags);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
}

TEST_F(ClosedPort, RefusesOnceAndThenLetsStopsAndTakeBacksPass) {
    platform::midi::configure("cable");
    MidiInit(&MidiInDevice, &MidiOutDevice);
    BYTE data[4] = {1, 2, 3, 4};
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    EXPECT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    // A second take-back finds the state idle again and says so.
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));

    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, reinterpret_cast<LPSTR>(data), 4, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiRecord(hwnd, &MidiInDevice, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    // Starting on a closed port refuses without touching the state.
    EXPECT_EQ(MidiRecord(hwnd, &MidiInDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    EXPECT_EQ(BoxTexts(), (Strings{"Must open MIDI output device first", "Must open MIDI output device first",
                                   "Must open MIDI input device first", "Must open MIDI input device first"}));
    EXPECT_EQ(Boxes()[3].caption, "MidiRecord");
}

// ---- hand-over and transfer on open ports ----

using Transfer = DeviceLayer;

TEST_F(Transfer, OneFullRoundOverTheCable) {
    OpenCable();
    AllocCapture();
    BuildTestMessage();
    const HANDLE in = MidiInDevice.hDevice;
    const HANDLE out = MidiOutDevice.hDevice;
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);

    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), InputBufferSize, TRUE), 0u);
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE),
              0u);
    EXPECT_EQ(MidiInDevice.midiHdr.lpData, reinterpret_cast<LPSTR>(InputBuffer));
    EXPECT_EQ(MidiInDevice.midiHdr.dwBufferLength, 4096u);
    EXPECT_EQ(MidiInDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(MidiOutDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED));
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));  // a hand-over leaves the state

    ASSERT_EQ(MidiRecord(hwnd, &MidiInDevice, TRUE), 0u);
    ASSERT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE), 0u);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    ASSERT_TRUE(PumpUntil([] { return (MidiInDevice.midiHdr.dwFlags & MHDR_DONE) != 0; }))
        << "the capture never came back";
    EXPECT_EQ(MidiInDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_DONE | MHDR_PREPARED));
    EXPECT_EQ(MidiInDevice.midiHdr.dwBytesRecorded, 258u);
    EXPECT_EQ(std::memcmp(InputBuffer, TestMessage, TEST_MESSAGE_LEN), 0);
    EXPECT_EQ(VerifyLoopback(InputBuffer), TEST_MESSAGE_LEN);
    for (DWORD i = TEST_MESSAGE_LEN; i < InputBufferSize; ++i) ASSERT_EQ(InputBuffer[i], 0) << i;
    // The state stays busy: the layer does not watch the transfers end.
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));

    PumpUntilQuiet();  // the send's end reaches the output header too
    EXPECT_EQ(MidiOutDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_DONE | MHDR_PREPARED));

    platform::midi::clear_call_log();
    ASSERT_EQ(MidiRecord(hwnd, &MidiInDevice, FALSE), 0u);
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, nullptr, 0, FALSE), 0u);
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE), 0u);
    // Flags 3 are not "exactly done": both ports are reset before the unprepare.
    EXPECT_EQ(Calls(), (Strings{"midiInStop", "midiInReset", "midiInUnprepareHeader", "midiOutReset",
                                "midiOutUnprepareHeader"}));
    for (const MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
        EXPECT_EQ(d->midiHdr.lpData, nullptr);
        EXPECT_EQ(d->midiHdr.dwBufferLength, 0u);
        EXPECT_EQ(d->midiHdr.dwFlags, static_cast<DWORD>(MHDR_DONE));
        EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(d->uDeviceId, 0u);
    }
    EXPECT_EQ(MidiInDevice.uDeviceType, static_cast<UINT>(MIDIDEV_INPUT));
    EXPECT_EQ(MidiOutDevice.uDeviceType, static_cast<UINT>(MIDIDEV_OUTPUT));
    EXPECT_EQ(MidiInDevice.hDevice, in);
    EXPECT_EQ(MidiOutDevice.hDevice, out);
    EXPECT_TRUE(Boxes().empty());

    // Taken back already (no data, flags exactly 1): nothing to give back, and
    // WinMM would refuse to unprepare a header without data.
    platform::midi::clear_call_log();
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, nullptr, 0, FALSE), 0u);
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE), 0u);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(Boxes().empty());
    PumpUntilQuiet();
}

// A service error at each call of a hand-over and a take-back: the code comes
// back, its text is shown once, and the record is left as the layer promises.
TEST_F(Transfer, ServiceErrorsInAHandOverKeepTheStateAndTheHeaderFields) {
    OpenCable();
    AllocCapture();
    struct Case {
        const char* call;
        MidiDevice* device;
        bool left_prepared;
    };
    const Case cases[] = {{"midiInPrepareHeader", &MidiInDevice, false},
                          {"midiInAddBuffer", &MidiInDevice, true},
                          {"midiOutPrepareHeader", &MidiOutDevice, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        c.device->uBufferState = BUF_NOTOPEN;  // not changed by a hand-over, whatever the outcome
        const size_t before = Boxes().size();
        platform::midi::fail_next(c.call, MMSYSERR_NOMEM);
        EXPECT_EQ(MidiAssignBuffer(hwnd, c.device, reinterpret_cast<LPSTR>(InputBuffer), 100, TRUE),
                  static_cast<UINT>(MMSYSERR_NOMEM));
        ASSERT_EQ(Boxes().size(), before + 1);
        const bool input = c.device == &MidiInDevice;
        EXPECT_EQ(Boxes().back().text, input ? InText(MMSYSERR_NOMEM) : OutText(MMSYSERR_NOMEM));
        EXPECT_EQ(Boxes().back().caption, input ? "MIDI Input Error" : "MIDI Output Error");
        EXPECT_EQ(Boxes().back().flags, kServiceErrorFlags);
        EXPECT_EQ(c.device->midiHdr.lpData, reinterpret_cast<LPSTR>(InputBuffer));
        EXPECT_EQ(c.device->midiHdr.dwBufferLength, 100u);
        EXPECT_EQ((c.device->midiHdr.dwFlags & MHDR_PREPARED) != 0, c.left_prepared);
        EXPECT_EQ(c.device->uBufferState, static_cast<UINT>(BUF_NOTOPEN));
        EXPECT_NE(c.device->hDevice, nullptr);
        // A later take-back unprepares what was left prepared.
        c.device->uBufferState = BUF_ACTIVE;
        EXPECT_EQ(MidiAssignBuffer(hwnd, c.device, nullptr, 0, FALSE), 0u);
        EXPECT_EQ(c.device->midiHdr.dwFlags & MHDR_PREPARED, 0u);
        EXPECT_EQ(c.device->uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(Boxes().size(), before + 1);
    }
    PumpUntilQuiet();
}

TEST_F(Transfer, ServiceErrorsWhenStartingOrStoppingKeepTheState) {
    OpenCable();
    const struct {
        const char* call;
        bool input;
        BOOL start;
    } cases[] = {{"midiInStart", true, TRUE},
                 {"midiInStop", true, FALSE},
                 {"midiOutLongMsg", false, TRUE},
                 {"midiOutReset", false, FALSE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        MidiDevice* d = c.input ? &MidiInDevice : &MidiOutDevice;
        d->uBufferState = BUF_NOTOPEN;
        platform::midi::fail_next(c.call, MMSYSERR_ERROR);
        const UINT rc = c.input ? MidiRecord(hwnd, d, c.start) : MidiSendLongMsg(hwnd, d, c.start);
        EXPECT_EQ(rc, static_cast<UINT>(MMSYSERR_ERROR));
        EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_NOTOPEN));
        EXPECT_EQ(Boxes().back().caption, c.input ? "MIDI Input Error" : "MIDI Output Error");
        d->uBufferState = BUF_IDLE;
    }
    EXPECT_EQ(Boxes().size(), 4u);
}

TEST_F(Transfer, WrongKindsAndEmptyBuffersAreRefusedWithoutChange) {
    OpenCable();
    BYTE data[4] = {};
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 0, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 4, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.midiHdr.lpData, nullptr);
    EXPECT_EQ(MidiSendLongMsg(hwnd, &MidiInDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiRecord(hwnd, &MidiOutDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(BoxTexts(), (Strings{"Must specify a buffer and size", "Must specify a buffer and size",
                                   "Must use a MIDI output device", "Must use a MIDI input device"}));
    MidiDevice bad{};
    bad.uDeviceType = NO_DEVICE;
    EXPECT_EQ(MidiAssignBuffer(hwnd, &bad, nullptr, 0, FALSE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiActivateDevice(hwnd, &bad, ACTIVATE_OPEN), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, 0), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(),
              "\r\nMidiAssignBuffer: uDeviceType bad\r\nMidiActivateDevice: uDeviceType bad");
    EXPECT_EQ(Boxes().size(), 4u);
}

TEST_F(Transfer, TakeBackResetsUnlessTheFlagsReadExactlyDone) {
    OpenCable();
    BYTE data[8] = {0xF0, 1, 2, 0xF7};
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE), 0u);
    platform::midi::clear_call_log();
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE), 0u);  // flags 2: reset first
    EXPECT_EQ(Calls(), (Strings{"midiOutReset", "midiOutUnprepareHeader"}));
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE), 0u);
    MidiOutDevice.midiHdr.dwFlags = MHDR_DONE;  // as the service leaves a header it gave back
    platform::midi::clear_call_log();
    MidiAssignBuffer(hwnd, &MidiOutDevice, nullptr, 0, FALSE);
    EXPECT_EQ(Calls(), (Strings{"midiOutUnprepareHeader"}));
}

TEST_F(Transfer, StoppingASendResetsUnlessTheFlagsReadExactlyDone) {
    OpenCable("cable:delay=500");
    BuildTestMessage();
    MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE);
    ASSERT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE), 0u);
    platform::midi::clear_call_log();
    ASSERT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, FALSE), 0u);
    EXPECT_EQ(Calls(), (Strings{"midiOutReset"}));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    MidiOutDevice.midiHdr.dwFlags = MHDR_DONE;
    MidiOutDevice.uBufferState = BUF_ACTIVE;
    platform::midi::clear_call_log();
    ASSERT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, FALSE), 0u);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
}

TEST_F(Transfer, ServiceErrorsInATakeBackKeepTheRecordAsItWas) {
    OpenCable();
    BYTE data[16] = {};
    LPSTR p = reinterpret_cast<LPSTR>(data);
    const struct {
        const char* call;
        MidiDevice* record;
    } cases[] = {{"midiOutReset", &MidiOutDevice},
                 {"midiOutUnprepareHeader", &MidiOutDevice},
                 {"midiInReset", &MidiInDevice},
                 {"midiInUnprepareHeader", &MidiInDevice}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(MidiAssignBuffer(hwnd, c.record, p, 16, TRUE), 0u);
        const MidiDevice before = *c.record;
        const size_t boxes = Boxes().size();
        platform::midi::fail_next(c.call, MMSYSERR_NOMEM);
        EXPECT_EQ(MidiAssignBuffer(hwnd, c.record, nullptr, 0, FALSE), static_cast<UINT>(MMSYSERR_NOMEM));
        ASSERT_EQ(Boxes().size(), boxes + 1);
        EXPECT_EQ(Boxes().back().caption, c.record == &MidiInDevice ? "MIDI Input Error" : "MIDI Output Error");
        EXPECT_EQ(c.record->uBufferState, before.uBufferState);
        EXPECT_EQ(c.record->hDevice, before.hDevice);
        EXPECT_EQ(c.record->midiHdr.lpData, p);
        EXPECT_EQ(c.record->midiHdr.dwBufferLength, 16u);
        ASSERT_EQ(MidiAssignBuffer(hwnd, c.record, nullptr, 0, FALSE), 0u);
    }
}

// ---- activation ----

using Activation = DeviceLayer;

TEST_F(Activation, OpenAndReleaseDoOnlyWhatTheStateAsks) {
    platform::midi::configure("cable");
    MidiInit(&MidiInDevice, &MidiOutDevice);
    MidiInDevice.uDeviceId = 0;
    platform::midi::fail_next("midiInOpen", MMSYSERR_ALLOCATED);
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_OPEN), static_cast<UINT>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(MidiInDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(BoxTexts(), Strings{InText(MMSYSERR_ALLOCATED)});

    MidiInDevice.uDeviceId = 0;
    MidiOutDevice.uDeviceId = 0;
    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_OPEN), 0u);
    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_OPEN), 0u);
    const HANDLE h = MidiInDevice.hDevice;
    platform::midi::clear_call_log();
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_OPEN), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, h);
    EXPECT_TRUE(Calls().empty());

    MidiInDevice.uBufferState = BUF_ACTIVE;  // a test under way
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_RELEASE), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, h);
    EXPECT_TRUE(Calls().empty());
    MidiInDevice.uBufferState = BUF_NOTOPEN;
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_RELEASE), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(Calls(), Strings{"midiInClose"});
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_RELEASE), 0u);

    platform::midi::fail_next("midiOutClose", MMSYSERR_ERROR);
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_RELEASE), static_cast<UINT>(MMSYSERR_ERROR));
    EXPECT_NE(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(BoxTexts(), (Strings{InText(MMSYSERR_ALLOCATED), OutText(MMSYSERR_ERROR)}));
}

TEST_F(Activation, ClosingABusyPortAsksFirstAndADeclinedInputSparesTheOutput) {
    OpenCable("cable:unplugged");
    AllocCapture();
    BuildTestMessage();
    MidiAssignBuffer(hwnd, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), InputBufferSize, TRUE);
    MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE);
    MidiRecord(hwnd, &MidiInDevice, TRUE);
    MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE);

    answer = [](const BoxRecord&) { return IDNO; };
    EXPECT_FALSE(MidiCloseAll(hwnd, &MidiInDevice, &MidiOutDevice));
    EXPECT_EQ(BoxTexts(), Strings{"MIDI input still in use - abandon it?"});
    EXPECT_EQ(Boxes()[0].caption, "MidiActivateDevice");
    EXPECT_EQ(Boxes()[0].flags, static_cast<UINT>(MB_YESNO));
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));

    answer = [](const BoxRecord&) { return IDYES; };
    EXPECT_TRUE(MidiCloseAll(hwnd, &MidiInDevice, &MidiOutDevice));
    EXPECT_EQ(BoxTexts(), (Strings{"MIDI input still in use - abandon it?", "MIDI input still in use - abandon it?",
                                   "MIDI output still in use - abandon it?"}));
    for (MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
        EXPECT_EQ(d->hDevice, nullptr);
        EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(d->midiHdr.lpData, nullptr);
    }
}

TEST_F(Activation, ClosingABusyOutputAbandonsTheSendWhenTheUserAgrees) {
    OpenCable("cable:unplugged,delay=5000");
    BuildTestMessage();
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE),
              0u);
    ASSERT_EQ(MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE), 0u);
    platform::midi::clear_call_log();
    answer = [](const BoxRecord&) { return IDYES; };
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_CLOSE), 0u);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, "MIDI output still in use - abandon it?");
    EXPECT_EQ(Boxes()[0].caption, "MidiActivateDevice");
    EXPECT_EQ(Boxes()[0].flags, static_cast<UINT>(MB_YESNO));
    // The reset gives the header back prepared (flags 3), so the take-back resets once more.
    EXPECT_EQ(Calls(), (Strings{"midiOutReset", "midiOutReset", "midiOutUnprepareHeader", "midiOutClose"}));
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    EXPECT_EQ(MidiOutDevice.midiHdr.lpData, nullptr);
    PumpUntilQuiet();
}

TEST_F(Activation, AFailedTakeBackDuringACloseKeepsThePortOpen) {
    OpenCable();
    AllocCapture();
    BuildTestMessage();
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), InputBufferSize, TRUE), 0u);
    ASSERT_EQ(MidiAssignBuffer(hwnd, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE),
              0u);
    MidiInDevice.uBufferState = BUF_ACTIVE;
    MidiOutDevice.uBufferState = BUF_ACTIVE;
    answer = [](const BoxRecord&) { return IDYES; };

    platform::midi::fail_next("midiInUnprepareHeader", MMSYSERR_ERROR);
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_CLOSE), static_cast<UINT>(MMSYSERR_ERROR));
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));

    platform::midi::fail_next("midiOutUnprepareHeader", MMSYSERR_ERROR);
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_CLOSE), static_cast<UINT>(MMSYSERR_ERROR));
    EXPECT_NE(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));

    // One question and one error box each; the take-back's error is not shown twice.
    EXPECT_EQ(BoxTexts(), (Strings{"MIDI input still in use - abandon it?", InText(MMSYSERR_ERROR),
                                   "MIDI output still in use - abandon it?", OutText(MMSYSERR_ERROR)}));

    // A refused reset stops the close as well.
    platform::midi::fail_next("midiInReset", MMSYSERR_NOTENABLED);
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_CLOSE), static_cast<UINT>(MMSYSERR_NOTENABLED));
    EXPECT_EQ(MidiInDevice.midiHdr.lpData, reinterpret_cast<LPSTR>(InputBuffer));

    // A failed close does not stop MidiCloseAll; the output is closed (not busy: no question).
    platform::midi::fail_next("midiInReset", MMSYSERR_ERROR);
    const size_t before = Boxes().size();
    EXPECT_TRUE(MidiCloseAll(hwnd, &MidiInDevice, &MidiOutDevice));
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(Boxes().size(), before + 2);
    PumpUntilQuiet();
}

TEST_F(Activation, BadCommandsAndBadRecordsFailQuietly) {
    OpenCable();
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, 0), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, 2), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(), "");
    MidiDevice none{};
    none.uDeviceType = NO_DEVICE;
    EXPECT_EQ(MidiActivateDevice(hwnd, &none, ACTIVATE_OPEN), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(), "\r\nMidiActivateDevice: uDeviceType bad");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(Calls().empty());

    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_CLOSE), 0u);
    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_CLOSE), 0u);
    platform::midi::clear_call_log();
    EXPECT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_CLOSE), 0u);
    EXPECT_TRUE(MidiCloseAll(hwnd, &MidiInDevice, &MidiOutDevice));
    EXPECT_TRUE(MidiCloseAll(hwnd, nullptr, nullptr));
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace layer_test
