// The WinMM MIDI functions, the service's error texts and its test powers.
#include "winmm/midi_service.h"

#include <algorithm>
#include <cstring>

namespace platform::midi {

namespace {

struct ErrorText {
    MMRESULT code;
    const char* text;
};

// The service's own words for every code it can answer.
constexpr ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The MIDI operation succeeded."},
    {MMSYSERR_ERROR, "The MIDI port reported an error it could not describe."},
    {MMSYSERR_BADDEVICEID, "There is no MIDI port with that number."},
    {MMSYSERR_NOTENABLED, "The MIDI port is not enabled."},
    {MMSYSERR_ALLOCATED, "The MIDI port is already in use. Quit other MIDI programs and try again."},
    {MMSYSERR_INVALHANDLE, "The MIDI port handle is not valid; the port may have been closed."},
    {MMSYSERR_NODRIVER, "The MIDI port is not available; it may have been unplugged or its MIDI engine stopped."},
    {MMSYSERR_NOMEM, "There is not enough memory for the MIDI operation."},
    {MMSYSERR_NOTSUPPORTED, "The MIDI port does not support this operation."},
    {MMSYSERR_BADERRNUM, "The MIDI error number is not known."},
    {MMSYSERR_INVALFLAG, "A MIDI open flag is not supported; the port must report to a window."},
    {MMSYSERR_INVALPARAM, "A MIDI call was given a missing or too small buffer or header."},
    {MMSYSERR_HANDLEBUSY, "The MIDI port handle is busy in another thread."},
    {MIDIERR_UNPREPARED, "The MIDI buffer header was not prepared."},
    {MIDIERR_STILLPLAYING, "The MIDI port still holds a buffer; reset the port first."},
    {MIDIERR_NOMAP, "There is no MIDI map."},
    {MIDIERR_NOTREADY, "The MIDI port is still busy sending the previous message."},
    {MIDIERR_NODEVICE, "The MIDI port is missing."},
    {MIDIERR_INVALIDSETUP, "The MIDI setup is not valid."},
    {MIDIERR_BADOPENMODE, "The MIDI port cannot do this in the mode it was opened in."},
    {MIDIERR_DONT_CONTINUE, "The MIDI input stopped at the receiver's request."},
};

}  // namespace

MMRESULT MidiService::error_text(const char* call, MMRESULT code, LPSTR text, UINT size) {
    auto lock = enter(call);
    if (auto f = fault(call)) return *f;
    if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
    const auto* found = std::find_if(std::begin(kErrorTexts), std::end(kErrorTexts),
                                     [&](const ErrorText& e) { return e.code == code; });
    if (found == std::end(kErrorTexts)) return MMSYSERR_BADERRNUM;
    const std::size_t n = std::min<std::size_t>(std::strlen(found->text), size - 1);
    std::memcpy(text, found->text, n);
    text[n] = '\0';
    return MMSYSERR_NOERROR;
}

void configure(std::string_view setting) { service().configure(setting); }
std::string engine_name() { return service().engine_name(); }
void use_backend(std::unique_ptr<PortBackend> backend) { service().use_backend(std::move(backend)); }
void fail_next(std::string_view call, MMRESULT code, int times) { service().fail_next(call, code, times); }
void fail_call(std::size_t index, MMRESULT code) { service().fail_call(index, code); }
void clear_faults() { service().clear_faults(); }
Holdings holdings() { return service().holdings(); }
std::vector<std::string> call_log() { return service().call_log(); }
void clear_call_log() { service().clear_call_log(); }
void shutdown() { service().shutdown(); }
bool set_port_name(PortKind kind, unsigned index, std::optional<std::string> name) {
    return service().set_port_name(kind, index, std::move(name));
}
std::optional<InputCounters> input_counters(HMIDIIN handle) { return service().input_counters(handle); }
std::optional<Timestamp> last_arrival(HMIDIIN handle) { return service().last_arrival(handle); }
std::optional<Timestamp> last_taken(HMIDIOUT handle) { return service().last_taken(handle); }

}  // namespace platform::midi

using platform::midi::service;

extern "C" {

UINT WINAPI midiInGetNumDevs(void) { return service().in_count(); }
UINT WINAPI midiOutGetNumDevs(void) { return service().out_count(); }

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
    return service().in_caps(uDeviceID, pmic, cbmic);
}
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
    return service().out_caps(uDeviceID, pmoc, cbmoc);
}
MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
    return service().error_text("midiInGetErrorTextA", mmrError, pszText, cchText);
}
MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
    return service().error_text("midiOutGetErrorTextA", mmrError, pszText, cchText);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                           DWORD fdwOpen) {
    return service().in_open(phmi, uDeviceID, dwCallback, dwInstance, fdwOpen);
}
MMRESULT WINAPI midiInClose(HMIDIIN hmi) { return service().in_close(hmi); }
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return service().in_prepare(hmi, pmh, cbmh);
}
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return service().in_unprepare(hmi, pmh, cbmh);
}
MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return service().in_add_buffer(hmi, pmh, cbmh);
}
MMRESULT WINAPI midiInStart(HMIDIIN hmi) { return service().in_start(hmi); }
MMRESULT WINAPI midiInStop(HMIDIIN hmi) { return service().in_stop(hmi); }
MMRESULT WINAPI midiInReset(HMIDIIN hmi) { return service().in_reset(hmi); }

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                            DWORD fdwOpen) {
    return service().out_open(phmo, uDeviceID, dwCallback, dwInstance, fdwOpen);
}
MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) { return service().out_close(hmo); }
MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return service().out_prepare(hmo, pmh, cbmh);
}
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return service().out_unprepare(hmo, pmh, cbmh);
}
MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return service().out_long_msg(hmo, pmh, cbmh);
}
MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) { return service().out_reset(hmo); }

}  // extern "C"
