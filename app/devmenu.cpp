/*
 * The Inputs and Outputs menus: one item per port, the selected port of each
 * kind checked, a choice switching the kind to that port.
 */
#include <windows.h>
#include <mmsystem.h>

#include "resources/resource.h"
#include "midi/midi.h"
#include "loopback/loopback.h"
#include "app/tavrin.h"

#define INPUTS_POPUP 1
#define OUTPUTS_POPUP 2

static UINT ListedPorts(UINT uNumDevs)
{
    return uNumDevs < MAX_MENU_PORTS ? uNumDevs : MAX_MENU_PORTS;
}

static void FillKindMenu(HWND hwnd, UINT uDeviceType, UINT uNumDevs, UINT uFirstId, int nPopup)
{
    char szName[DEVICE_NAME_LEN];
    HMENU hPopup;
    UINT i;

    if (uNumDevs == 0)
        return;
    if (MidiGetDeviceName(hwnd, uDeviceType, 0, szName) != 0)
        return;
    ModifyMenuA(hMainMenu, uFirstId, MF_BYCOMMAND | MF_STRING, uFirstId, szName);

    hPopup = GetSubMenu(hMainMenu, nPopup);
    for (i = 1; i < uNumDevs && i < MAX_MENU_PORTS; i++) {
        if (MidiGetDeviceName(hwnd, uDeviceType, i, szName) != 0)
            return;
        AppendMenuA(hPopup, MF_STRING, uFirstId + i, szName);
    }
}

void FillDeviceMenus(HWND hwnd)
{
    FillKindMenu(hwnd, MIDIDEV_INPUT, uNumInputDevs, IDM_INPUT_FIRST, INPUTS_POPUP);
    FillKindMenu(hwnd, MIDIDEV_OUTPUT, uNumOutputDevs, IDM_OUTPUT_FIRST, OUTPUTS_POPUP);
}

static void UpdateKindMenu(UINT uNumDevs, UINT uFirstId, UINT uDeviceId)
{
    UINT uListed = ListedPorts(uNumDevs);
    UINT i;

    for (i = 0; i < uListed; i++)
        CheckMenuItem(hMainMenu, uFirstId + i, MF_BYCOMMAND | (i == uDeviceId ? MF_CHECKED : MF_UNCHECKED));
    for (i = 0; i < uListed; i++)
        EnableMenuItem(hMainMenu, uFirstId + i, MF_BYCOMMAND | MF_ENABLED);
}

void UpdateDeviceMenus(HWND hwnd)
{
    (void)hwnd;
    UpdateKindMenu(uNumInputDevs, IDM_INPUT_FIRST, MidiInDevice.uDeviceId);
    UpdateKindMenu(uNumOutputDevs, IDM_OUTPUT_FIRST, MidiOutDevice.uDeviceId);
}

/*
 * Closes the kind's port; 0 when it is closed. A port whose transfer the user
 * agreed to abandon was the running test's: that run ends as a cancel ends
 * one, without a verdict, and its other port is free again. The closed
 * port's record reads BUF_NOTOPEN around the cancel, so that neither the
 * cancel nor the input's late notification asks anything of the port that is
 * gone.
 */
static UINT CloseSelected(HWND hwnd, MidiDevice* pDevice)
{
    BOOL bBusy = pDevice->uBufferState == BUF_ACTIVE;
    UINT uResult = MidiActivateDevice(hwnd, pDevice, ACTIVATE_CLOSE);

    if (uResult != 0 || !bBusy)
        return uResult;
    pDevice->uBufferState = BUF_NOTOPEN;
    CancelTest(hwnd);
    pDevice->uBufferState = BUF_NOTOPEN;
    return 0;
}

BOOL SelectDevice(HWND hwnd, UINT uCommand)
{
    MidiDevice* pDevice;
    UINT uIndex;

    if (uCommand >= IDM_INPUT_FIRST && uCommand < IDM_INPUT_FIRST + ListedPorts(uNumInputDevs)) {
        pDevice = &MidiInDevice;
        uIndex = uCommand - IDM_INPUT_FIRST;
    } else if (uCommand >= IDM_OUTPUT_FIRST && uCommand < IDM_OUTPUT_FIRST + ListedPorts(uNumOutputDevs)) {
        pDevice = &MidiOutDevice;
        uIndex = uCommand - IDM_OUTPUT_FIRST;
    } else {
        return FALSE;
    }

    /* The checked item again: the kind is left without a port. */
    if (uIndex == pDevice->uDeviceId) {
        if (CloseSelected(hwnd, pDevice) == 0)
            pDevice->uDeviceId = NO_DEVICE;
        return TRUE;
    }

    if (pDevice->uDeviceId != NO_DEVICE && CloseSelected(hwnd, pDevice) != 0)
        return TRUE;

    pDevice->uDeviceId = uIndex;
    MidiActivateDevice(hwnd, pDevice, ACTIVATE_OPEN);
    return TRUE;
}
