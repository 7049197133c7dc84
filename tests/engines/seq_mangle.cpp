// An ALSA sequencer client that passes SysEx on from one port to another with
// one byte changed: a cable that damages the message, for the suites that run
// a program on the real sequencer.
//
//   seq_mangle FROM TO OFFSET
//
// FROM and TO are client:port (14:1 is the second "Midi Through" port). The
// byte at OFFSET, counted from each message's F0, has its lowest bit flipped:
// a data byte stays a data byte. Prints "seq_mangle: ready" once it listens,
// then runs until it is killed.
#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool parse_address(snd_seq_t* seq, const char* text, snd_seq_addr_t* addr) {
    return snd_seq_parse_address(seq, addr, text) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: seq_mangle FROM TO OFFSET\n");
        return 64;
    }
    const long offset = std::strtol(argv[3], nullptr, 0);
    snd_seq_t* seq = nullptr;
    if (int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0); err < 0) {
        std::fprintf(stderr, "seq_mangle: cannot open the sequencer: %s\n", snd_strerror(err));
        return 1;
    }
    snd_seq_set_client_name(seq, "seq_mangle");
    snd_seq_addr_t from{}, to{};
    if (!parse_address(seq, argv[1], &from) || !parse_address(seq, argv[2], &to)) {
        std::fprintf(stderr, "seq_mangle: no such port: %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    // The port is this client's own link, not one more port for programs to
    // offer: no subscription rights for others, and no type, which MIDI
    // drivers that list the sequencer's ports (Wine's) leave out.
    const int port = snd_seq_create_simple_port(seq, "seq_mangle", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE, 0);
    if (port < 0 || snd_seq_connect_from(seq, port, from.client, from.port) < 0) {
        std::fprintf(stderr, "seq_mangle: cannot listen to %s\n", argv[1]);
        return 1;
    }
    std::printf("seq_mangle: ready\n");
    std::fflush(stdout);

    long position = 0;  // of the next byte within the current message
    std::vector<unsigned char> bytes;
    snd_seq_event_t* ev = nullptr;
    while (snd_seq_event_input(seq, &ev) >= 0) {
        if (ev->type != SND_SEQ_EVENT_SYSEX) continue;
        const auto* data = static_cast<const unsigned char*>(ev->data.ext.ptr);
        bytes.assign(data, data + ev->data.ext.len);
        for (auto& byte : bytes) {
            if (byte == 0xF0) position = 0;
            if (position++ == offset) byte ^= 0x01;
        }
        snd_seq_event_t out = *ev;
        snd_seq_ev_set_sysex(&out, bytes.size(), bytes.data());
        snd_seq_ev_set_source(&out, port);
        snd_seq_ev_set_dest(&out, to.client, to.port);
        snd_seq_ev_set_direct(&out);
        if (snd_seq_event_output_direct(seq, &out) < 0) std::fprintf(stderr, "seq_mangle: cannot pass a message on\n");
    }
    snd_seq_close(seq);
    return 0;
}
