// libmadMp3Dec.h — the conversion of an upload into "1.wav", a WAVE file of 8 kHz mono A-law
// that the broadcast player sends: WAV uploads sample by sample, MP3 uploads decoded by libmad,
// cut to the left channel and brought to 8 kHz by dropping samples. Also a synchronous libmad
// player that nothing calls.
#pragma once
#include <mad.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The 44-byte header at the start of "1.wav" (little-endian); an input WAV's format fields are
// read in the same order.
struct wave_header_t {
    char riff[4];
    uint32_t size;  // data length + 36
    char wave_flag[4];
    char fmt[4];
    uint32_t fmt_len;  // 16
    uint16_t format;   // 1 linear, 6 A-law, 7 µ-law
    uint16_t channels;
    uint32_t samp_freq;
    uint32_t byte_rate;
    uint16_t block_align;
    uint16_t bit_samp;
    char data_flag[4];
    uint32_t length;  // data length in bytes
};
static_assert(sizeof(wave_header_t) == 44);

// The conversion thread: deal_file, g_flg_deal back to 0, a log line telling how it went.
void* _cbDealFileThread(void* unused);
// Turns "tmp.wav" (g_flg_deal 1) or "tmp.mp3" (2) into "1.wav" and removes the upload; 0, or
// -1 with no "1.wav" and the upload left in place.
int deal_file();
// A WAV file of 8 kHz mono 16-bit linear, A-law or µ-law from in into out as header and A-law
// data; 0, or -1 with the reason on the console or in the flow log (out then holds nothing
// useful).
int wav_convert(FILE* in, FILE* out);
// An MP3 file (the whole of it in data) into out as header and A-law data; 0, or -1 when no
// sample could be written (no frame, or a sample rate the conversion does not know).
int mp3_convert(const unsigned char* data, std::size_t len, FILE* out);

// libmad's fixed-point sample (28 fraction bits) as a 16-bit sample, rounded and clipped.
int16_t _scale(mad_fixed_t sample);
// Decimation to 8 kHz: the kept 16-bit little-endian samples of in (in_len bytes) into out
// (out_size bytes, zeroed first); the output length in bytes.
int wlaudio_transform_48k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size);
int wlaudio_transform_441k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size);
int wlaudio_transform_32k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size);
int wlaudio_transform_24k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size);
int wlaudio_transform_16k_to_8k(const unsigned char* in, int in_len, unsigned char* out, int out_size);

// A synchronous libmad player: the caller's input and output callbacks and what they work on.
struct LIBMAD_PLAYER_T {
    void* m_pUser;
    enum mad_flow (*m_pfuncInput)(void* user, struct mad_stream* stream);
    enum mad_flow (*m_pfuncOutput)(void* user, struct mad_header const* header, struct mad_pcm* pcm);
    mad_timer_t m_tFadeIn;
};
// Decodes through the player's callbacks; libmad's result, or -1 without a player.
int LIBMAD_Decode(LIBMAD_PLAYER_T* player);
// A time text ("[-]h:m:s[.frac]" or "n/d" seconds, terms joined by + or -) into timer; 0, or -1.
int _parse_time(mad_timer_t* timer, const char* text);
// _parse_time with its complaint on standard error; positive asks for a time above zero.
int _get_time(const char* text, int positive, const char* name, mad_timer_t* timer);
