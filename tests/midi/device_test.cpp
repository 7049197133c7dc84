// Device records, discovery, hand-over, transfer and activation.
#include "fixture.h"

#include <cstring>

namespace {

using platform::midi::call_log;
using platform::midi::clear_call_log;
using platform::midi::configure;
using platform::midi::fail_next;

TEST_F(DeviceLayer, MissingPortsAreNamedByTheCountsAlone) {
    configure("");
    EXPECT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 0);
    EXPECT_EQ(MidiInDevice.uDeviceType, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiOutDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    // Only the output record given: the text still names both kinds.
    EXPECT_EQ(MidiInit(nullptr, &MidiOutDevice), 0);
    ASSERT_EQ(hb->boxes().size(), 2u);
    for (const auto& b : hb->boxes()) {
        EXPECT_EQ(b.text, "No MIDI input or output devices are present");
        EXPECT_EQ(b.caption, "MidiInit");
        EXPECT_EQ(b.flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(b.owner, nullptr);
    }
    configure("cable");
    EXPECT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 1);
    EXPECT_EQ(MidiInDevice.uDeviceType, static_cast<UINT>(MIDIDEV_INPUT));
    EXPECT_EQ(MidiOutDevice.uDeviceType, static_cast<UINT>(MIDIDEV_OUTPUT));
    EXPECT_EQ(hb->boxes().size(), 2u);
}

TEST_F(DeviceLayer, NamesAreCopiedWholeAndAFailedQueryLeavesTheBufferAlone) {
    configure("cable:ports=2");
    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Input, 1, std::string(31, 'N')));
    char name[40];
    ASSERT_EQ(MidiGetDeviceName(owner, MIDIDEV_INPUT, 1, name), 0u);
    EXPECT_EQ(std::string(name), std::string(31, 'N'));
    ASSERT_EQ(MidiGetDeviceName(owner, MIDIDEV_OUTPUT, 0, name), 0u);
    EXPECT_STREQ(name, "Virtual Cable 1");
    std::strcpy(name, "kept");
    EXPECT_NE(MidiGetDeviceName(owner, MIDIDEV_OUTPUT, 7, name), 0u);
    EXPECT_STREQ(name, "kept");
    ASSERT_EQ(hb->boxes().size(), 1u);
    EXPECT_EQ(hb->boxes()[0].caption, "MIDI Output Error");
    EXPECT_EQ(hb->boxes()[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR | MB_TASKMODAL));
    EXPECT_EQ(MidiGetDeviceName(owner, 9, 0, name), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(), "\r\nMidiInit: uDeviceType bad");
    EXPECT_EQ(hb->boxes().size(), 1u);
}

TEST_F(DeviceLayer, AnErrorTheServiceCannotExplainShowsWhyTheLookupFailed) {
    char text[128];
    ASSERT_EQ(midiInGetErrorTextA(MMSYSERR_BADERRNUM, text, sizeof text), 0u);
    MidiShowError(owner, 4242, MIDIDEV_INPUT);
    ASSERT_EQ(hb->boxes().size(), 1u);
    EXPECT_EQ(hb->boxes()[0].text, text);
    EXPECT_EQ(hb->boxes()[0].caption, "MIDI Input Error");
    MidiShowError(owner, 0, 77);
    EXPECT_EQ(platform::debug_output(), "MidiShowError: Bad MIDI device type\r\n");
    EXPECT_EQ(hb->boxes().size(), 1u);
}

TEST_F(DeviceLayer, ClosedPortsRefuseOnceAndThenLetStopsAndTakeBacksPass) {
    configure("cable");
    MidiInit(&MidiInDevice, &MidiOutDevice);
    BYTE data[4] = {1, 2, 3, 4};
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    EXPECT_EQ(MidiSendLongMsg(owner, &MidiOutDevice, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    // A second take-back finds the state idle again and says so.
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 0, FALSE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));

    EXPECT_EQ(MidiAssignBuffer(owner, &MidiInDevice, reinterpret_cast<LPSTR>(data), 4, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiRecord(owner, &MidiInDevice, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiInDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiInDevice, nullptr, 0, FALSE), 0u);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    // Starting on a closed port refuses without touching the state.
    EXPECT_EQ(MidiRecord(owner, &MidiInDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Must open MIDI output device first",
                                                 "Must open MIDI output device first",
                                                 "Must open MIDI input device first",
                                                 "Must open MIDI input device first"}));
    EXPECT_EQ(hb->boxes()[3].caption, "MidiRecord");
}

TEST_F(DeviceLayer, WrongKindsAndEmptyBuffersAreRefusedWithoutChange) {
    OpenBoth();
    BYTE data[4] = {};
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 0, TRUE),
              static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 4, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiOutDevice.midiHdr.lpData, nullptr);
    EXPECT_EQ(MidiSendLongMsg(owner, &MidiInDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiRecord(owner, &MidiOutDevice, TRUE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Must specify a buffer and size", "Must specify a buffer and size",
                                                 "Must use a MIDI output device", "Must use a MIDI input device"}));
    MidiDevice bad{};
    bad.uDeviceType = NO_DEVICE;
    EXPECT_EQ(MidiAssignBuffer(owner, &bad, nullptr, 0, FALSE), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiActivateDevice(owner, &bad, ACTIVATE_OPEN), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, 0), static_cast<UINT>(MIDI_FAILED));
    EXPECT_EQ(platform::debug_output(),
              "\r\nMidiAssignBuffer: uDeviceType bad\r\nMidiActivateDevice: uDeviceType bad");
    EXPECT_EQ(hb->boxes().size(), 4u);
}

TEST_F(DeviceLayer, OneRoundOverTheCable) {
    OpenBoth();
    ASSERT_TRUE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    InputBufferSize = INPUT_BUFFER_SIZE;
    BuildTestMessage();
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), InputBufferSize, TRUE), 0u);
    EXPECT_EQ(MidiInDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_INQUEUE));
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE),
              0u);
    EXPECT_EQ(MidiOutDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED));
    ASSERT_EQ(MidiRecord(owner, &MidiInDevice, TRUE), 0u);
    ASSERT_EQ(MidiSendLongMsg(owner, &MidiOutDevice, TRUE), 0u);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    Drain();
    EXPECT_EQ(MidiInDevice.midiHdr.dwFlags, static_cast<DWORD>(MHDR_DONE | MHDR_PREPARED));
    EXPECT_EQ(MidiInDevice.midiHdr.dwBytesRecorded, static_cast<DWORD>(TEST_MESSAGE_LEN));
    EXPECT_EQ(std::memcmp(InputBuffer, TestMessage, TEST_MESSAGE_LEN), 0);
    EXPECT_EQ(VerifyLoopback(InputBuffer), TEST_MESSAGE_LEN);
    ASSERT_EQ(MidiRecord(owner, &MidiInDevice, FALSE), 0u);
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiInDevice, nullptr, 0, FALSE), 0u);
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 0, FALSE), 0u);
    for (MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
        EXPECT_EQ(d->midiHdr.dwFlags, static_cast<DWORD>(MHDR_DONE));
        EXPECT_EQ(d->midiHdr.lpData, nullptr);
        EXPECT_EQ(d->midiHdr.dwBufferLength, 0u);
        EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_NE(d->hDevice, nullptr);
        EXPECT_EQ(d->uDeviceId, 0u);
    }
    EXPECT_TRUE(hb->boxes().empty());
}

TEST_F(DeviceLayer, TakeBackResetsUnlessTheFlagsReadExactlyDone) {
    OpenBoth();
    BYTE data[8] = {0xF0, 1, 2, 0xF7};
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE), 0u);
    clear_call_log();
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 0, FALSE), 0u);  // flags 2: reset first
    EXPECT_EQ(call_log(), (std::vector<std::string>{"midiOutReset", "midiOutUnprepareHeader"}));
    ASSERT_EQ(MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(data), 4, TRUE), 0u);
    MidiOutDevice.midiHdr.dwFlags = MHDR_DONE;  // as the service leaves a header it gave back
    clear_call_log();
    MidiAssignBuffer(owner, &MidiOutDevice, nullptr, 0, FALSE);
    EXPECT_EQ(call_log(), (std::vector<std::string>{"midiOutUnprepareHeader"}));
}

TEST_F(DeviceLayer, StoppingASendResetsUnlessTheFlagsReadExactlyDone) {
    OpenBoth("cable:delay=500");
    BuildTestMessage();
    MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE);
    ASSERT_EQ(MidiSendLongMsg(owner, &MidiOutDevice, TRUE), 0u);
    clear_call_log();
    ASSERT_EQ(MidiSendLongMsg(owner, &MidiOutDevice, FALSE), 0u);
    EXPECT_EQ(call_log(), (std::vector<std::string>{"midiOutReset"}));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_NOTOPEN));
    MidiOutDevice.midiHdr.dwFlags = MHDR_DONE;
    MidiOutDevice.uBufferState = BUF_ACTIVE;
    clear_call_log();
    ASSERT_EQ(MidiSendLongMsg(owner, &MidiOutDevice, FALSE), 0u);
    EXPECT_TRUE(call_log().empty());
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
}

// A service error at each call of a hand-over and a take-back: one box with
// the service's caption, the code returned, the record as the table says.
TEST_F(DeviceLayer, ServiceErrorsLeaveTheRecordAsItWas) {
    OpenBoth();
    BYTE data[16] = {};
    LPSTR p = reinterpret_cast<LPSTR>(data);
    struct Case {
        const char* call;
        MidiDevice* record;
        bool assign;
    };
    const Case cases[] = {
        {"midiOutPrepareHeader", &MidiOutDevice, true}, {"midiInPrepareHeader", &MidiInDevice, true},
        {"midiInAddBuffer", &MidiInDevice, true},       {"midiOutReset", &MidiOutDevice, false},
        {"midiOutUnprepareHeader", &MidiOutDevice, false}, {"midiInReset", &MidiInDevice, false},
        {"midiInUnprepareHeader", &MidiInDevice, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        if (!c.assign) {
            ASSERT_EQ(MidiAssignBuffer(owner, c.record, p, 16, TRUE), 0u);
        }
        const MidiDevice before = *c.record;
        const size_t boxes = hb->boxes().size();
        fail_next(c.call, MMSYSERR_NOMEM);
        EXPECT_EQ(MidiAssignBuffer(owner, c.record, p, 16, c.assign ? TRUE : FALSE),
                  static_cast<UINT>(MMSYSERR_NOMEM));
        ASSERT_EQ(hb->boxes().size(), boxes + 1);
        EXPECT_EQ(hb->boxes().back().caption,
                  c.record == &MidiInDevice ? "MIDI Input Error" : "MIDI Output Error");
        EXPECT_EQ(c.record->uBufferState, before.uBufferState);
        EXPECT_EQ(c.record->hDevice, before.hDevice);
        // A failed hand-over leaves its data set; a failed take-back keeps everything.
        EXPECT_EQ(c.record->midiHdr.lpData, p);
        EXPECT_EQ(c.record->midiHdr.dwBufferLength, 16u);
        ASSERT_EQ(MidiAssignBuffer(owner, c.record, nullptr, 0, FALSE), 0u);
    }
}

TEST_F(DeviceLayer, ActivationOpensReleasesAndClosesAsAsked) {
    configure("cable");
    MidiInit(&MidiInDevice, &MidiOutDevice);
    // Both closed: nothing to ask the service.
    clear_call_log();
    EXPECT_TRUE(MidiCloseAll(owner, &MidiInDevice, &MidiOutDevice));
    EXPECT_TRUE(call_log().empty());

    MidiInDevice.uDeviceId = 0;
    fail_next("midiInOpen", MMSYSERR_ALLOCATED);
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_OPEN), static_cast<UINT>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(MidiInDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(hb->boxes().size(), 1u);

    MidiInDevice.uDeviceId = 0;
    ASSERT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_OPEN), 0u);
    HANDLE h = MidiInDevice.hDevice;
    clear_call_log();
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_OPEN), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, h);
    EXPECT_TRUE(call_log().empty());

    MidiInDevice.uBufferState = BUF_ACTIVE;  // a test under way
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_RELEASE), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, h);
    MidiInDevice.uBufferState = BUF_NOTOPEN;
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_RELEASE), 0u);
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(hb->boxes().size(), 1u);
}

TEST_F(DeviceLayer, ClosingABusyPortAsksFirstAndADeclinedInputSparesTheOutput) {
    OpenBoth("cable:unplugged");
    ASSERT_TRUE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    InputBufferSize = INPUT_BUFFER_SIZE;
    BuildTestMessage();
    MidiAssignBuffer(owner, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), InputBufferSize, TRUE);
    MidiAssignBuffer(owner, &MidiOutDevice, reinterpret_cast<LPSTR>(TestMessage), TEST_MESSAGE_LEN, TRUE);
    MidiRecord(owner, &MidiInDevice, TRUE);
    MidiSendLongMsg(owner, &MidiOutDevice, TRUE);

    hb->on_box([](const platform::BoxRecord&) { return platform::BoxReply{IDNO}; });
    EXPECT_FALSE(MidiCloseAll(owner, &MidiInDevice, &MidiOutDevice));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"MIDI input still in use - abandon it?"}));
    EXPECT_EQ(hb->boxes()[0].caption, "MidiActivateDevice");
    EXPECT_EQ(hb->boxes()[0].flags, static_cast<UINT>(MB_YESNO));
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));

    hb->on_box([](const platform::BoxRecord&) { return platform::BoxReply{IDYES}; });
    hb->on_box([](const platform::BoxRecord&) { return platform::BoxReply{IDYES}; });
    EXPECT_TRUE(MidiCloseAll(owner, &MidiInDevice, &MidiOutDevice));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"MIDI input still in use - abandon it?",
                                                 "MIDI input still in use - abandon it?",
                                                 "MIDI output still in use - abandon it?"}));
    for (MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
        EXPECT_EQ(d->hDevice, nullptr);
        EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(d->midiHdr.lpData, nullptr);
    }
}

TEST_F(DeviceLayer, AFailedTakeBackDuringACloseKeepsTheInputBusyAndOpen) {
    OpenBoth("cable:unplugged");
    ASSERT_TRUE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    MidiAssignBuffer(owner, &MidiInDevice, reinterpret_cast<LPSTR>(InputBuffer), INPUT_BUFFER_SIZE, TRUE);
    MidiRecord(owner, &MidiInDevice, TRUE);
    fail_next("midiInUnprepareHeader", MMSYSERR_ERROR);
    EXPECT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_CLOSE), static_cast<UINT>(MMSYSERR_ERROR));
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
    EXPECT_EQ(hb->boxes().size(), 2u);  // the question, then the take-back's error
}

TEST_F(DeviceLayer, TheCaptureBufferIsZeroedFreedTwiceHarmlesslyAndFailsCleanly) {
    ASSERT_TRUE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    LPBYTE first = InputBuffer;
    for (int i = 0; i < INPUT_BUFFER_SIZE; ++i) ASSERT_EQ(InputBuffer[i], 0);
    std::memset(InputBuffer, 0x55, INPUT_BUFFER_SIZE);
    const size_t blocks = platform::global_blocks_in_use();
    ASSERT_TRUE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));  // the first block goes first
    EXPECT_EQ(platform::global_blocks_in_use(), blocks);
    for (int i = 0; i < INPUT_BUFFER_SIZE; ++i) ASSERT_EQ(InputBuffer[i], 0);
    (void)first;
    FreeInputBuffer();
    FreeInputBuffer();
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(InputBufferHandle, nullptr);

    platform::fail_next_global_alloc();
    EXPECT_FALSE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    platform::fail_next_global_lock();
    EXPECT_FALSE(AllocInputBuffer(owner, INPUT_BUFFER_SIZE));
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(InputBufferHandle, nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), blocks - 1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Insufficient memory", "Error locking input buffer"}));
    EXPECT_EQ(hb->boxes()[1].caption, "AllocInputBuffer");
}

}  // namespace
