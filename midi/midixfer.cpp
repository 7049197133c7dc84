/*
 * Buffer hand-over and transfer: a caller's buffer is handed to a record's
 * open port or taken back, a SysEx send is started or stopped, recording is
 * started or stopped. Each routine keeps uBufferState up to date.
 */
#include <windows.h>
#include <mmsystem.h>

#include "midi/midi.h"

#define IN_HANDLE(p) ((HMIDIIN)(p)->hDevice)
#define OUT_HANDLE(p) ((HMIDIOUT)(p)->hDevice)

static void NotOpenBox(HWND hwnd, const MidiDevice* pDevice, LPCSTR lpszCaption)
{
    MessageBoxA(hwnd,
                pDevice->uDeviceType == MIDIDEV_INPUT ? "Must open MIDI input device first"
                                                      : "Must open MIDI output device first",
                lpszCaption, MB_OK | MB_ICONERROR);
}

static UINT HandOver(HWND hwnd, MidiDevice* pDevice, LPSTR lpData, DWORD dwLength)
{
    MMRESULT mmResult;

    if (lpData == NULL || dwLength == 0) {
        MessageBoxA(hwnd, "Must specify a buffer and size", "MidiAssignBuffer", MB_OK | MB_ICONERROR);
        return MIDI_FAILED;
    }
    pDevice->midiHdr.dwBufferLength = dwLength;
    pDevice->midiHdr.lpData = lpData;

    if (pDevice->uDeviceType == MIDIDEV_OUTPUT) {
        mmResult = midiOutPrepareHeader(OUT_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE);
    } else {
        mmResult = midiInPrepareHeader(IN_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE);
        if (mmResult == MMSYSERR_NOERROR)
            mmResult = midiInAddBuffer(IN_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE);
    }
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, pDevice->uDeviceType);
        return mmResult;
    }
    return 0;
}

static UINT TakeBack(HWND hwnd, MidiDevice* pDevice)
{
    MMRESULT mmResult = MMSYSERR_NOERROR;
    const BOOL bOutput = pDevice->uDeviceType == MIDIDEV_OUTPUT;

    /*
     * A header already taken back holds no buffer: there is nothing to give
     * back, and WinMM refuses to unprepare a header without data. This comes
     * when the input port gives its buffer back after a time-out or a cancel
     * has taken it (the reset of that take-back makes the port post it).
     */
    if (pDevice->midiHdr.lpData == NULL && !(pDevice->midiHdr.dwFlags & MHDR_PREPARED)) {
        pDevice->uBufferState = BUF_IDLE;
        return 0;
    }

    /* Only a header given back and unprepared (flags exactly MHDR_DONE) needs no reset. */
    if (pDevice->midiHdr.dwFlags != MHDR_DONE)
        mmResult = bOutput ? midiOutReset(OUT_HANDLE(pDevice)) : midiInReset(IN_HANDLE(pDevice));
    if (mmResult == MMSYSERR_NOERROR)
        mmResult = bOutput ? midiOutUnprepareHeader(OUT_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE)
                           : midiInUnprepareHeader(IN_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE);
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, pDevice->uDeviceType);
        return mmResult;
    }
    pDevice->midiHdr.lpData = NULL;
    pDevice->midiHdr.dwBufferLength = 0;
    pDevice->uBufferState = BUF_IDLE;
    return 0;
}

UINT MidiAssignBuffer(HWND hwnd, MidiDevice* pDevice, LPSTR lpData, DWORD dwLength, BOOL bAssign)
{
    if (pDevice->uDeviceType != MIDIDEV_INPUT && pDevice->uDeviceType != MIDIDEV_OUTPUT) {
        OutputDebugStringA("\r\nMidiAssignBuffer: uDeviceType bad");
        return MIDI_FAILED;
    }
    if (pDevice->hDevice == NULL) {
        if (!bAssign && pDevice->uBufferState == BUF_NOTOPEN) {
            if (pDevice->uDeviceType == MIDIDEV_OUTPUT)
                pDevice->uBufferState = BUF_IDLE;
            return 0;
        }
        NotOpenBox(hwnd, pDevice, "MidiAssignBuffer");
        pDevice->uBufferState = BUF_NOTOPEN;
        return MIDI_FAILED;
    }
    return bAssign ? HandOver(hwnd, pDevice, lpData, dwLength) : TakeBack(hwnd, pDevice);
}

UINT MidiSendLongMsg(HWND hwnd, MidiDevice* pDevice, BOOL bStart)
{
    MMRESULT mmResult;

    if (pDevice->uDeviceType != MIDIDEV_OUTPUT) {
        MessageBoxA(hwnd, "Must use a MIDI output device", "MidiSendLongMsg", MB_OK | MB_ICONERROR);
        return MIDI_FAILED;
    }
    if (pDevice->hDevice == NULL) {
        if (!bStart && pDevice->uBufferState == BUF_NOTOPEN)
            return 0;
        NotOpenBox(hwnd, pDevice, "MidiSendLongMsg");
        return MIDI_FAILED;
    }
    if (bStart) {
        mmResult = midiOutLongMsg(OUT_HANDLE(pDevice), &pDevice->midiHdr, MIDIHDR_SIZE);
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->uBufferState = BUF_ACTIVE;
    } else {
        if (pDevice->midiHdr.dwFlags == MHDR_DONE) {
            pDevice->uBufferState = BUF_IDLE;
            return 0;
        }
        mmResult = midiOutReset(OUT_HANDLE(pDevice));
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->uBufferState = BUF_NOTOPEN;
    }
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, MIDIDEV_OUTPUT);
        return mmResult;
    }
    return 0;
}

UINT MidiRecord(HWND hwnd, MidiDevice* pDevice, BOOL bStart)
{
    MMRESULT mmResult;

    if (pDevice->uDeviceType != MIDIDEV_INPUT) {
        MessageBoxA(hwnd, "Must use a MIDI input device", "MidiRecord", MB_OK | MB_ICONERROR);
        return MIDI_FAILED;
    }
    if (pDevice->hDevice == NULL) {
        if (!bStart && pDevice->uBufferState == BUF_NOTOPEN)
            return 0;
        NotOpenBox(hwnd, pDevice, "MidiRecord");
        return MIDI_FAILED;
    }
    if (bStart) {
        mmResult = midiInStart(IN_HANDLE(pDevice));
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->uBufferState = BUF_ACTIVE;
    } else {
        mmResult = midiInStop(IN_HANDLE(pDevice));
        if (mmResult == MMSYSERR_NOERROR)
            pDevice->uBufferState = BUF_IDLE;
    }
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, MIDIDEV_INPUT);
        return mmResult;
    }
    return 0;
}
