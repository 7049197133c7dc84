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
    MIDIINCAPSA inCaps;
    MIDIOUTCAPSA outCaps;
    const char* pszName;
    MMRESULT mmResult;

    if (uDeviceType == MIDIDEV_INPUT) {
        mmResult = midiInGetDevCapsA(uDeviceId, &inCaps, MIDIINCAPS_SIZE);
        pszName = inCaps.szPname;
    } else if (uDeviceType == MIDIDEV_OUTPUT) {
        mmResult = midiOutGetDevCapsA(uDeviceId, &outCaps, MIDIOUTCAPS_SIZE);
        pszName = outCaps.szPname;
    } else {
        OutputDebugStringA("\r\nMidiInit: uDeviceType bad");
        return MIDI_FAILED;
    }
    if (mmResult != MMSYSERR_NOERROR) {
        MidiShowError(hwnd, mmResult, uDeviceType);
        return mmResult;
    }
    /* The service terminates the name; never copy past the field all the same. */
    size_t nLength = strnlen(pszName, MAXPNAMELEN - 1);
    memcpy(lpszName, pszName, nLength);
    lpszName[nLength] = '\0';
    return 0;
}

void MidiShowError(HWND hwnd, MMRESULT mmResult, UINT uDeviceType)
{
    char szText[MIDI_ERROR_TEXT_LEN];
    MMRESULT(WINAPI * pfnGetErrorText)(MMRESULT, LPSTR, UINT);
    MMRESULT mmLookup;

    if (uDeviceType == MIDIDEV_INPUT) {
        pfnGetErrorText = midiInGetErrorTextA;
    } else if (uDeviceType == MIDIDEV_OUTPUT) {
        pfnGetErrorText = midiOutGetErrorTextA;
    } else {
        OutputDebugStringA("MidiShowError: Bad MIDI device type\r\n");
        return;
    }
    szText[0] = '\0';
    /* A code the service cannot explain: show why the look-up failed instead. */
    mmLookup = pfnGetErrorText(mmResult, szText, sizeof(szText));
    if (mmLookup != MMSYSERR_NOERROR && pfnGetErrorText(mmLookup, szText, sizeof(szText)) != MMSYSERR_NOERROR)
        szText[0] = '\0';
    MessageBoxA(hwnd, szText, uDeviceType == MIDIDEV_INPUT ? "MIDI Input Error" : "MIDI Output Error",
                MB_OK | MB_ICONERROR | MB_TASKMODAL);
}
