// A private PipeWire for bench/pipewire.sh, as the end-to-end tests bring
// theirs up (tests/support/sound_server.h): PipeWire, WirePlumber and
// pipewire-pulse with one 5.1 null sink, "surround", the default, in a
// scratch directory of their own.
//
//   bench_pipewire_server GRAPH_RATE_HZ
//
// Prints the environment that points a client at it, NAME=value a line,
// then "ready"; the servers, its children, stay up until its stdin closes.
#include "sound_server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    const int rate = argc == 2 ? std::atoi(argv[1]) : 0;
    if (rate <= 0) {
        std::fprintf(stderr, "usage: %s GRAPH_RATE_HZ\n", argv[0]);
        return 2;
    }
    sound::Server server(sound::Kind::PipeWire, {{"surround", 6}}, rate);
    if (!server.ok()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    for (const std::string &entry : server.env())
        std::printf("%s\n", entry.c_str());
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
