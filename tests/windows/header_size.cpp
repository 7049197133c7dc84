// Compiled by each Windows build against the real headers: the build fails if the MIDI
// header size that the program hands the service is not the seven-field header's.
#include <windows.h>
#include <mmsystem.h>
#include <cstddef>

#include "midi/midi.h"

#ifdef _WIN64
// mmsystem.h packs its records to the byte: 8 + 4 + 4 + 8 + 4 + 8 + 8.
static_assert(MIDIHDR_SIZE == 44, "64-bit: the seven fields, pointers and DWORD_PTRs of eight bytes");
#else
// The size of the Windows the program was first written for.
static_assert(MIDIHDR_SIZE == 28, "32-bit: seven four-byte fields");
#endif
static_assert(MIDIHDR_SIZE < sizeof(MIDIHDR), "the longer current layout is not what is passed");
