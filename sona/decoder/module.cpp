// libsona-ffmpeg.so's one export: the decoder as a table, which libsona.so
// looks up when its first stream opens (loader.cpp).  In the static core
// the table is merely unused.
#include "decoder/ffmpeg.h"
#include "decoder/module_abi.h"

/* Where the decoder is linked in, FFmpeg came with the program. */
void sona::decoder_preload() {}

namespace {

int32_t table_open(const sona::DecoderSource &src, uint32_t out_rate, sona::Decoder **out)
{
    sona::DecoderPtr d;
    const int32_t err = sona::decoder_open(src, out_rate, &d);
    *out = d.release();
    return err;
}

void table_close(sona::Decoder *d)
{
    delete d;
}

constexpr sona::DecoderTable kTable = {
    sona::kDecoderTableVersion, sizeof(sona::DecoderTable), table_open,
    sona::decoder_ring_slots,   sona::decoder_set_play_rate, sona::decoder_info,
    sona::decoder_tag,          sona::decoder_seek,          sona::decoder_fill,
    table_close,
};

} // namespace

/* The version script hides everything else. */
extern "C" __attribute__((visibility("default"))) const sona::DecoderTable *
SONA_DECODER_TABLE_ENTRY(void)
{
    return &kTable;
}
