/* Plays an audio file on the rear right speaker until Enter is pressed.
   cc sona_play.c $(pkg-config --cflags --libs sona) -o sona_play */
#include <sona.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2 || !SONA_Init(1, 44100, 0, 0, NULL)) {
        fprintf(stderr, "usage: sona_play FILE, with a sound output to play on\n");
        return 1;
    }
    SONA_HSTREAM stream = SONA_StreamCreateFile(SONA_FALSE, argv[1], 0, 0, 0);
    if (!stream) {
        fprintf(stderr, "cannot play %s: error %d\n", argv[1], (int)SONA_ErrorGetCode());
        SONA_Free();
        return 1;
    }
    SONA_ChannelSetFlags(stream, SONA_SPEAKER_REARRIGHT);
    SONA_ChannelPlay(stream, SONA_FALSE);
    getchar();
    SONA_Free();
    return 0;
}
