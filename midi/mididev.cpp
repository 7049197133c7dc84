/*
 * Device records and discovery: counting the ports, initialising the two
 * records, fetching port names, and showing the MIDI service's errors.
 */
#include <windows.h>
#include <mmsystem.h>
#include <string.h>

#include "midi/midi.h"

MidiDevice MidiInDevice;
MidiDevice MidiOutDevice;
UINT uNumInputDevs;
UINT uNumOutputDevs;

static void InitRecord(MidiDevice* pDevice, UINT uKind, UINT uCount)
{
    pDevice->hDevice = NULL;
    pDevice->uBufferState = BUF_IDLE;
    pDevice->uDeviceId = NO_DEVICE;
    pDevice->uDeviceType = uCount > 0 ? uKind : NO_DEVICE;
}

int MidiInit(MidiDevice* pInDevice, MidiDevice* pOutDevice)
{
    char szText[128];

    uNumInputDevs = midiInGetNumDevs();
    uNumOutputDevs = midiOutGetNumDevs();

    if (pInDevice != NULL)
        InitRecord(pInDevice, MIDIDEV_INPUT, uNumInputDevs);
    if (pOutDevice != NULL)
        InitRecord(pOutDevice, MIDIDEV_OUTPUT, uNumOutputDevs);

    if ((pInDevice != NULL && uNumInputDevs == 0) || (pOutDevice != NULL && uNumOutputDevs == 0)) {
        wsprintfA(szText, "No MIDI %s%s%sdevices are present",
                  uNumInputDevs == 0 ? "input " : "",
                  (uNumInputDevs == 0 && uNumOutputDevs == 0) ? "or " : "",
                  uNumOutputDevs == 0 ? "output " : "");
        MessageBoxA(NULL, szText, "MidiInit", MB_OK | MB_ICONERROR);
        return 0;
    }
    return 1;
}

UINT MidiGetDeviceName(HWND hwnd, UINT uDeviceType, UINT uDeviceId, LPSTR lpszName)
{
    MMRESULT mmResult;

    if (uDeviceType == MIDIDEV_INPUT) {
        MIDIINCAPSA caps;
        mmResult = midiInGetDevCapsA(uDeviceId, &caps, MIDIINCAPS_SIZE);
        if (mmResult != MMSYSERR_NOERROR) {
            MidiShowError(hwnd, mmResult, uDeviceType);
            return mmResult;
        }
        /* The service terminates the name; a defensive terminator costs nothing. */
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        strcpy(lpszName, caps.szPname);
        return 0;
    }
    if (uDeviceType == MIDIDEV_OUTPUT) {
        MIDIOUTCAPSA caps;
        mmResult = midiOutGetDevCapsA(uDeviceId, &caps, MIDIOUTCAPS_SIZE);
        if (mmResult != MMSYSERR_NOERROR) {
            MidiShowError(hwnd, mmResult, uDeviceType);
            return mmResult;
        }
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        strcpy(lpszName, caps.szPname);
        return 0;
    }
    OutputDebugStringA("\r\nMidiInit: uDeviceType bad");
    return MIDI_FAILED;
}

void MidiShowError(HWND hwnd, MMRESULT mmResult, UINT uDeviceType)
{
    char szText[MIDI_ERROR_TEXT_LEN];
    MMRESULT mmLookup;

    szText[0] = '\0';
    if (uDeviceType == MIDIDEV_INPUT) {
        mmLookup = midiInGetErrorTextA(mmResult, szText, sizeof(szText));
        if (mmLookup != MMSYSERR_NOERROR && midiInGetErrorTextA(mmLookup, szText, sizeof(szText)) != 0)
            szText[0] = '\0';
        MessageBoxA(hwnd, szText, "MIDI Input Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
        return;
    }
    if (uDeviceType == MIDIDEV_OUTPUT) {
        mmLookup = midiOutGetErrorTextA(mmResult, szText, sizeof(szText));
        if (mmLookup != MMSYSERR_NOERROR && midiOutGetErrorTextA(mmLookup, szText, sizeof(szText)) != 0)
            szText[0] = '\0';
        MessageBoxA(hwnd, szText, "MIDI Output Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
        return;
    }
    OutputDebugStringA("MidiShowError: Bad MIDI device type\r\n");
}
