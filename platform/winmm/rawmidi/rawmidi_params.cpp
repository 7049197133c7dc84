// The one request made of the kernel without libasound (whose headers and the
// kernel's cannot meet in one file).
#include "winmm/rawmidi/rawmidi_engine.h"

#include <sound/asound.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace platform::midi::rawmidi {

int wake_when_empty(int fd, std::size_t buffer_size) {
    snd_rawmidi_params params{};
    params.stream = SNDRV_RAWMIDI_STREAM_OUTPUT;
    params.buffer_size = buffer_size;
    params.avail_min = buffer_size;
    params.no_active_sensing = 1;
    return ::ioctl(fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) < 0 ? -errno : 0;
}

}  // namespace platform::midi::rawmidi
