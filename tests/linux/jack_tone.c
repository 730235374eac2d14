/* A JACK client for the real-server tests: a sine on two output ports (left and right) connected to the
 * first two playback ports of the client SINK, for a given time. By name: PipeWire 0.3 lists a null sink's
 * ports as physical, 1.x does not. Usage: jack_tone FREQ AMPLITUDE SECONDS SINK */
#include <jack/jack.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static jack_port_t* ports[2];
static double phase, step, amplitude;

static int process(jack_nframes_t frames, void* arg) {
    (void)arg;
    float* left = jack_port_get_buffer(ports[0], frames);
    float* right = jack_port_get_buffer(ports[1], frames);
    for (jack_nframes_t i = 0; i < frames; ++i) {
        left[i] = right[i] = (float)(amplitude * sin(phase));
        phase = fmod(phase + step, 2.0 * M_PI);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: jack_tone FREQ AMPLITUDE SECONDS SINK\n");
        return 2;
    }
    jack_client_t* client = jack_client_open("jack_tone", JackNoStartServer, NULL);
    if (client == NULL) {
        fprintf(stderr, "jack_tone: no JACK server\n");
        return 1;
    }
    step = 2.0 * M_PI * atof(argv[1]) / jack_get_sample_rate(client);
    amplitude = atof(argv[2]);
    ports[0] = jack_port_register(client, "out_FL", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    ports[1] = jack_port_register(client, "out_FR", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, process, NULL);
    if (ports[0] == NULL || ports[1] == NULL || jack_activate(client) != 0) return 1;
    char pattern[256];
    snprintf(pattern, sizeof pattern, "^%s:", argv[4]);
    const char** playback = jack_get_ports(client, pattern, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    int connected = 0;
    for (int i = 0; playback != NULL && playback[i] != NULL && i < 2; ++i)
        connected += jack_connect(client, jack_port_name(ports[i]), playback[i]) == 0;
    jack_free(playback);
    if (connected != 2) {
        fprintf(stderr, "jack_tone: no two playback ports of %s\n", argv[4]);
        return 1;
    }
    usleep((useconds_t)(atof(argv[3]) * 1e6));
    jack_deactivate(client);
    jack_client_close(client);
    return 0;
}
