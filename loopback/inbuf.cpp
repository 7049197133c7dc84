/*
 * The capture buffer: one movable global block, locked once after allocation
 * so that its address stays the same for as long as it exists.
 */
#include <windows.h>

#include "loopback/loopback.h"

LPBYTE InputBuffer;
HGLOBAL InputBufferHandle;
DWORD InputBufferSize;

BOOL AllocInputBuffer(HWND hwnd, DWORD dwSize)
{
    FreeInputBuffer();

    InputBufferHandle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, dwSize);
    if (InputBufferHandle == NULL) {
        MessageBoxA(hwnd, "Insufficient memory", "AllocInputBuffer", MB_OK | MB_ICONERROR);
        return FALSE;
    }
    InputBuffer = (LPBYTE)GlobalLock(InputBufferHandle);
    if (InputBuffer == NULL) {
        GlobalFree(InputBufferHandle);
        InputBufferHandle = NULL;
        MessageBoxA(hwnd, "Error locking input buffer", "AllocInputBuffer", MB_OK | MB_ICONERROR);
        return FALSE;
    }
    return TRUE;
}

void FreeInputBuffer(void)
{
    if (InputBuffer != NULL) {
        GlobalUnlock(InputBufferHandle);
        InputBuffer = NULL;
    }
    if (InputBufferHandle != NULL) {
        GlobalFree(InputBufferHandle);
        InputBufferHandle = NULL;
    }
}
