// rtp_res.h — the RTP channels of the lines: one per line (same index), carrying the call's
// voice between the far end and the DSP. Network to line: once a millisecond each open channel
// takes at most one datagram, learns the far end's packet time, turns telephone events into
// floor requests and hands the voice to the DSP, at once or through a 250-packet ring that
// network voice detection (VOX) starts, rewinds by the pre-voice time and paces. Line to
// network: every packet the DSP encodes is muted when it must not be heard, tested for line
// voice (the busy flag) and sent with the channel's own sequence, timestamp and SSRC. Prompts
// play the file "/var/www/ring.au" toward the line and the far end. Main loop only.
#pragma once
#include <cstdint>

#include "define_sys.h"
#include "dsp_res.h"
#include "sip.h"
#include "struct_sys.h"

inline constexpr int kRtpChnMax = kMaxUserChn;
inline constexpr int kRtpCacheSlots = 250;
inline constexpr int kRtpBufLen = 512;     // the longest datagram read or stored
inline constexpr int kRtpHeadLen = 12;
inline constexpr int kRtpEventLen = 16;    // an RTP telephone event: header and 4 event bytes

// Network COR detection of a channel (m_eCorType of SYS_COR_NETWORK_T).
enum SYS_NW_COR_DETECT_TYPE_E : int {
    E_NW_COR_DETECT_TYPE_DISABLE = 0,
    E_NW_COR_DETECT_TYPE_VOX = 1,
    E_NW_COR_DETECT_TYPE_RTP = 2,
    E_NW_COR_DETECT_TYPE_RTP_AND_VOX = 3,
};
enum RTP_BUF_DIRECT_E : int { E_RTP_BUF_NETWORK = 0 };
enum PROMPT_DIRECT_E : int { E_PSTN_DIR = 0, E_NET_DIR = 1 };

struct RTP_BUF_NODE {
    unsigned char m_chBuf[kRtpBufLen];
    int m_iBufLen;
};
struct RTP_CACHE_T {
    RTP_BUF_NODE m_chCacheList[kRtpCacheSlots];
    int m_iCurRecv;   // next slot to write
    int m_iLastRecv;  // play-out limit: -1 idle, else the slot after the last one to play
    int m_iCurSend;   // next slot to play
    int m_iSendCount;
    int m_iRecvCount;  // packets written since the ring was reset or, line side, since the
                       // channel opened (at most the ring's size): how far a rewind may reach
};
// The network-to-line ring with its VOX state.
struct SYS_BUF_INFO_T {
    SYS_FLAG_E m_eBeginToSend;  // play-out on
    int m_iCntSilence;
    int m_iCntVoice;
    RTP_CACHE_T m_sRtpCache;
    // The channel's own play-out pace: the loop millisecond of its next hand-over, counted
    // from the start of its play-out (not from a tick shared by every channel).
    long long m_llPlayDue;
    int m_iDryMs;  // milliseconds the ring has run dry with play-out on: they count as silence
};
struct PROMPT_MEDIA_INFO_T {
    int m_iMediaFd[2];  // by PROMPT_DIRECT_E; -1 none
    codec m_eCode;
    unsigned int m_iRtpTimeStamp[2];
    unsigned short m_iRtpSeq[2];
};

struct RTP_CHN_INFO_T {
    SYS_FLAG_E m_eFlagOpen;
    codec m_eCode;  // the call's codec
    SYS_COR_AUDIO_T m_sCfgCorAudio;
    SYS_COR_NETWORK_T m_sCfgCorNetwork;
    int m_iResChn;  // the index
    int m_iSocketID;      // -1 none
    int m_iSocketIDRtcp;  // never created
    int m_iPtime;         // packet time, ms: 10, 20 or 30
    IPV4_ADDRESS m_sAddrLocal, m_sAddrRemote, m_sAddrRtcpLocal, m_sAddrRtcpRemote;
    API_PCM_ADPCM_FRAME_DURATION_E m_eFrameDuration;
    SYS_BUF_INFO_T m_sBuffer;
    PROMPT_MEDIA_INFO_T m_sPromptMediaInfo;
    SYS_FLAG_E m_eBusyFlag;  // voice on the line side
    RTP_CACHE_T m_sPstnCache;
    int m_iMuteCnt, m_iVoiceCnt;
    unsigned int m_iRtpTimeStamp;
    unsigned int m_iRtpSeq;
    SYS_FLAG_E m_eRtpOverFlag;  // the call is over: the ring is played out, then voice stop
    int m_bFristPkt;            // a line-side packet has arrived since start-up
    // The far end's first packet of the call, for learning its packet time.
    unsigned int m_iFirstSeq, m_iFirstTimeStamp;
    std::uint32_t m_iSsrc;        // this channel's own RTP source, drawn at each opening
    SYS_FLAG_E m_eTalkSending;    // line voice is being sent from the line-side ring
    // The broadcast of channel 0 (broad_player.h): the open "1.wav" (-1 none), its codec and
    // the broadcast's own RTP numbering, which runs on across broadcasts.
    int broad_fd;
    codec broad_code;
    unsigned int broad_timestamp;
    unsigned short broad_seq;
};

typedef int (*RTP_ON_SEND_COR)(int res_chn);

// The line module's registration record.
struct RTP_INIT_T {
    RTP_ON_SEND_COR m_pfuncOnSendCor;     // network voice starts
    RTP_ON_SEND_COR m_pfuncOnSendCorOff;  // network voice ends
    RES490_SEND_PACKET m_pfuncSendPacketToPcm;
    SYS_COR_NETWORK_T* m_pCorCfgNetwork;  // not used
    SYS_COR_AUDIO_T* m_pCorCfgAudio;      // not used
    IPV4_ADDRESS m_sLocalAddr;            // local IP and the first RTP port
};

extern RTP_CHN_INFO_T g_sRtpChnList[kRtpChnMax];

// Seeds rand, keeps the callbacks and lays out each line's local ports (first port + 2 x
// index). A missing callback ends the process. 0.
int RTP_Init(const RTP_INIT_T* init);
// 0; -1 for a bad channel, an open one or a socket that cannot be made.
int RTP_ChannelOpen(int call, int channel);
// 0; -1 for a bad or closed channel.
int RTP_ChannelClose(int call, int channel);
// The 1 ms step: prompts, network receive, paced play-out.
void RTP_Process();
int RTP_SetRemoteAddr(int call, int channel, const IPV4_ADDRESS* address);  // 0, or -1
IPV4_ADDRESS* RTP_GetAddressLocal(int channel);   // null for a bad channel
IPV4_ADDRESS* RTP_GetAddressRemote(int channel);  // null for a bad channel
// 0, or -1 for a bad channel or null settings.
int RTP_SetCorInfoNetwork(int channel, const SYS_COR_NETWORK_T* settings);
int RTP_SetCorInfoAudio(int channel, const SYS_COR_AUDIO_T* settings);
int RTP_SetSendOnOff(int channel, RTP_BUF_DIRECT_E direction, SYS_FLAG_E flag);  // 0, or -1
// ms 0 or 20, 10 or 30 set the packet time (others keep it); the DSP channel and the shared
// memory get the frame duration. 0, or -1 for a bad channel.
int RTP_SetRtpFrameSize(int channel, int ms);
int Rtp_GetRtpFrameSize(int channel);  // the frame duration, -1 for a bad channel
RTP_CHN_INFO_T* RtpNodeGetByChn(int channel);  // null outside the lines in use
SYS_FLAG_E RTP_GetRtpBusy(int channel);        // off for a bad channel
int RTP_SetRtpChnCoder(int line);              // the line's codec into its channel; 0, or -1
SYS_FLAG_E RTP_GetRtpOverFlag(int channel);
int RTP_SetRtpOverFlag(int channel, SYS_FLAG_E flag);
SYS_FLAG_E RTP_GetNetCorFlag(int channel);  // play-out on
int RTP_SetPlayVoiceCoder(int channel, codec code);
// Floor control keys (1) or releases (0) the radio from the network side. 0, or -1.
int RTP_SetPttOnOff(int channel, int on);

// The DSP's send-to-network callback: one packet the DSP encoded from a line. 0 taken, -1
// dropped.
int RTP_PacketRecvFromPstn(int dsp_chn, unsigned char* packet, int length, int type);
// Plays the prompt toward the line (keying its PTT) and, with both 1, toward the far end.
// 0 started; -1 bad channel, -2 closed channel, -3 no prompt file.
int RTP_SetPlayPromptMedia(int channel, codec code, int both);
// The 12-byte RTP header of a broadcast packet of length bytes (header included) into buffer:
// PCMA, the channel's next broadcast sequence number and timestamp (advanced by the payload),
// its SSRC. 0, or -1 for a bad channel or a length shorter than the header.
int RtpGetBuffContentBroad(int channel, unsigned char* buffer, int length);
// Hands an RTP packet to the DSP channel of an RTP channel, as play-out does; -1 for a bad
// channel, else what the DSP layer returns.
int RtpSendToPcm(int channel, unsigned char* packet, int length);
// The voice test of a G.711 RTP packet at a sensitivity (0..10): 1 voice, 0 silence, -1 not
// tested (not PCMU or PCMA, marker set, or shorter than the header).
int RtpCheckEffective(const unsigned char* packet, int length, int sensitivity);
