/* Compiled as C: the header must need nothing from C++. */
#include "sona.h"

int main(void)
{
    SONA_BOOL ok = SONA_FALSE;
    SONA_HSTREAM none = 0;
    const uint32_t words[] = {SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_FRONTRIGHT, SONA_SPEAKER_REARLEFT,
                              SONA_SPEAKER_REARRIGHT, SONA_SPEAKER_CENTER};
    /* The declarations alone must compile; the fixed sizes are the ABI. */
    return (sizeof ok == 4 && sizeof none == 4 && sizeof words == 20 && SONA_OK == 0 &&
            SONA_ERROR_UNKNOWN == 9 && sizeof SONA_Init(0, 0, 0, 0, 0) == 4 &&
            sizeof SONA_StreamCreateFile(0, 0, 0, 0, 0) == 4 && sizeof SONA_ChannelPause(0) == 4 &&
            sizeof SONA_ChannelGetState(0) == 4 && sizeof SONA_ChannelGetPosition(0) == 8 &&
            sizeof SONA_ChannelGetLength(0) == 8 && sizeof SONA_ChannelSetPosition(0, 0) == 4 &&
            sizeof SONA_ChannelGetTag(0, 0, 0, 0) == 4 && sizeof SONA_EventFd() == 4 &&
            sizeof SONA_EventNext(0, 0) == 4 && sizeof *SONA_ErrorGetText(0) == 1 &&
            SONA_STATE_STOPPED == 0 && SONA_STATE_PLAYING == 1 && SONA_STATE_PAUSED == 2 &&
            SONA_STATE_WAITING == 3)
               ? 0
               : 1;
}
