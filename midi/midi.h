/*
 * The MIDI device layer: one MidiDevice record per port kind, port discovery,
 * buffer hand-over and transfer, and opening and closing of the ports.
 */
#ifndef TAVRIN_MIDI_MIDI_H
#define TAVRIN_MIDI_MIDI_H

#include <windows.h>
#include <mmsystem.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MIDIDEV_INPUT 1
#define MIDIDEV_OUTPUT 2
#define NO_DEVICE 0xFF00

#define MIDI_FAILED 0xFF00
#define MIDI_DECLINED 0xFF01

#define BUF_IDLE 0
#define BUF_ACTIVE 1
#define BUF_NOTOPEN 2

#define ACTIVATE_OPEN 1
#define ACTIVATE_RELEASE 0x10
#define ACTIVATE_CLOSE 0x11

/*
 * Size of the seven-field MIDI header that the service is given. It is 28 on
 * a 32-bit build; a literal 28 would be refused on a 64-bit one.
 */
#define MIDIHDR_SIZE ((UINT)offsetof(MIDIHDR, dwOffset))
/* Capability records up to and including the product name. */
#define MIDIINCAPS_SIZE ((UINT)offsetof(MIDIINCAPSA, dwSupport))
#define MIDIOUTCAPS_SIZE ((UINT)sizeof(MIDIOUTCAPSA))

#define MIDI_ERROR_TEXT_LEN 128

typedef struct tagMidiDevice {
    UINT uDeviceType;
    UINT uDeviceId;
    HANDLE hDevice;
    MIDIHDR midiHdr;
    UINT uBufferState;
} MidiDevice;

extern MidiDevice MidiInDevice;
extern MidiDevice MidiOutDevice;
extern UINT uNumInputDevs;
extern UINT uNumOutputDevs;

/* mididev.cpp */
int MidiInit(MidiDevice* pInDevice, MidiDevice* pOutDevice);
UINT MidiGetDeviceName(HWND hwnd, UINT uDeviceType, UINT uDeviceId, LPSTR lpszName);
void MidiShowError(HWND hwnd, MMRESULT mmResult, UINT uDeviceType);

/* midixfer.cpp */
UINT MidiAssignBuffer(HWND hwnd, MidiDevice* pDevice, LPSTR lpData, DWORD dwLength, BOOL bAssign);
UINT MidiSendLongMsg(HWND hwnd, MidiDevice* pDevice, BOOL bStart);
UINT MidiRecord(HWND hwnd, MidiDevice* pDevice, BOOL bStart);

/* midiactv.cpp */
UINT MidiActivateDevice(HWND hwnd, MidiDevice* pDevice, UINT uCommand);
BOOL MidiCloseAll(HWND hwnd, MidiDevice* pInDevice, MidiDevice* pOutDevice);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIN_MIDI_MIDI_H */
