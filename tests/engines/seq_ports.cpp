// Lists the ALSA sequencer's ports, one per line: "client:port name caps".
// Proves a machine's sequencer is there; also a diagnostic to run by hand.
#include <alsa/asoundlib.h>

#include <cstdio>

int main() {
    snd_seq_t* seq = nullptr;
    if (int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0); err < 0) {
        std::printf("seq_ports: cannot open the sequencer: %s\n", snd_strerror(err));
        return 1;
    }
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    int count = 0;
    while (snd_seq_query_next_client(seq, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            std::printf("%d:%d %s caps=0x%x\n", snd_seq_port_info_get_client(port),
                        snd_seq_port_info_get_port(port), snd_seq_port_info_get_name(port),
                        snd_seq_port_info_get_capability(port));
            ++count;
        }
    }
    snd_seq_close(seq);
    std::printf("seq_ports: %d ports\n", count);
    return count > 0 ? 0 : 1;
}
