/*
 * Device activation: opening, releasing and closing the chosen port of a
 * record, and closing both records when the main window goes away.
 */
#include <windows.h>
#include <mmsystem.h>

#include "midi/midi.h"

static MMRESULT ClosePort(MidiDevice* pDevice)
{
    return pDevice->uDeviceType == MIDIDEV_OUTPUT ? midiOutClose((HMIDIOUT)pDevice->hDevice)
                                                  : midiInClose((HMIDIIN)pDevice->hDevice);
}

static UINT CloseAndForget(HWND hwnd, MidiDevice* pDevice)
{
    MMRESULT mmResult = ClosePort(pDevice);

    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, pDevice->uDeviceType);
        return mmResult;
    }
    pDevice->hDevice = NULL;
    return 0;
}

static UINT OpenPort(HWND hwnd, MidiDevice* pDevice)
{
    MMRESULT mmResult;

    if (pDevice->hDevice != NULL)
        return 0;
    if (pDevice->uDeviceType == MIDIDEV_OUTPUT) {
        HMIDIOUT hOut = NULL;
        mmResult = midiOutOpen(&hOut, pDevice->uDeviceId, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW);
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->hDevice = (HANDLE)hOut;
    } else {
        HMIDIIN hIn = NULL;
        mmResult = midiInOpen(&hIn, pDevice->uDeviceId, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW);
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->hDevice = (HANDLE)hIn;
    }
    if (mmResult != MMSYSERR_NOERROR) {
        pDevice->uDeviceId = NO_DEVICE;
        MidiShowError(hwnd, mmResult, pDevice->uDeviceType);
        return mmResult;
    }
    return 0;
}

static UINT AbandonTransfer(HWND hwnd, MidiDevice* pDevice)
{
    const BOOL bOutput = pDevice->uDeviceType == MIDIDEV_OUTPUT;
    MMRESULT mmResult;

    if (MessageBoxA(hwnd,
                    bOutput ? "MIDI output still in use - abandon it?" : "MIDI input still in use - abandon it?",
                    "MidiActivateDevice", MB_YESNO) == IDNO)
        return MIDI_DECLINED;

    mmResult = bOutput ? midiOutReset((HMIDIOUT)pDevice->hDevice) : midiInReset((HMIDIIN)pDevice->hDevice);
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, pDevice->uDeviceType);
        return mmResult;
    }
    /* The input record stays busy until its buffer is taken back. */
    if (bOutput)
        pDevice->uBufferState = BUF_IDLE;
    return MidiAssignBuffer(hwnd, pDevice, NULL, 0, FALSE);
}

UINT MidiActivateDevice(HWND hwnd, MidiDevice* pDevice, UINT uCommand)
{
    UINT uResult;

    if (pDevice->uDeviceType != MIDIDEV_INPUT && pDevice->uDeviceType != MIDIDEV_OUTPUT) {
        OutputDebugStringA("\r\nMidiActivateDevice: uDeviceType bad");
        return MIDI_FAILED;
    }
    switch (uCommand) {
    case ACTIVATE_OPEN:
        return OpenPort(hwnd, pDevice);

    case ACTIVATE_RELEASE:
        if (pDevice->hDevice == NULL || pDevice->uBufferState == BUF_ACTIVE)
            return 0;
        return CloseAndForget(hwnd, pDevice);

    case ACTIVATE_CLOSE:
        if (pDevice->hDevice == NULL)
            return 0;
        if (pDevice->uBufferState == BUF_ACTIVE) {
            uResult = AbandonTransfer(hwnd, pDevice);
            if (uResult != 0)
                return uResult;
        }
        return CloseAndForget(hwnd, pDevice);

    default:
        return MIDI_FAILED;
    }
}

BOOL MidiCloseAll(HWND hwnd, MidiDevice* pInDevice, MidiDevice* pOutDevice)
{
    if (pInDevice != NULL && pInDevice->hDevice != NULL &&
        MidiActivateDevice(hwnd, pInDevice, ACTIVATE_CLOSE) == MIDI_DECLINED)
        return FALSE;
    if (pOutDevice != NULL && pOutDevice->hDevice != NULL &&
        MidiActivateDevice(hwnd, pOutDevice, ACTIVATE_CLOSE) == MIDI_DECLINED)
        return FALSE;
    return TRUE;
}
