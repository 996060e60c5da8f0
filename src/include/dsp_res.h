// dsp_res.h — the DSP resource layer: the line logic's side of the AC49x DSP. It brings the
// DSP up at start-up, pumps its packets every millisecond (events to the line logic, encoded
// voice to the RTP layer), wraps network RTP packets into DSP packets, and opens, closes and
// configures the DSP channels and plays their tones. Main loop only.
#pragma once
#include <ctime>

#include "define_sys.h"

// DSP events reported to the line logic.
enum API_CALLBACK_SIGNAL_EVENT_E : int {
    E_ACSE_PLAY_TONE_FINISH = 0,
    E_ACSE_CALLER_ID_GENERATION_COMPLETED = 1,
    E_ACSE_SWITCH_TO_VOICE = 2,
    E_ACSE_SWITCH_TO_BYPASS = 3,
    E_ACSE_SWITCH_TO_FAX = 4,
    E_ACSE_CONNECTION_BROKEN = 5,
    E_ACSE_CONNECTION_ESTABLISH = 6,
    E_ACSE_DETECT_BUSY_TONE = 7,
    E_ACSE_CNG_DETECTED = 8,
    E_ACSE_CHN_UNAVAILABLE = 9,
};

// The packet type of a packet handed between the RTP layer and the DSP: the DSP packet's
// protocol (an RTP packet is 1).
inline constexpr int kDspPacketRtp = 1;

typedef int (*RES490_ON_GET_KEY)(int dsp_chn, int digit);
typedef int (*RES490_ON_CHN_STATE)(int dsp_chn, int state);
typedef int (*RES490_SIGNAL_EVENT)(int dsp_chn, API_CALLBACK_SIGNAL_EVENT_E event);
typedef int (*RES490_SEND_PACKET)(int dsp_chn, unsigned char* packet, int length, int type);
typedef int (*RES490_RTCP_STATISTIC)(int dsp_chn, void* statistic);
typedef int (*RES490_ON_CALLER_ID)(int dsp_chn, char* number, int length, struct tm* date);

// The line module's registration record for the DSP start-up.
struct AC490_API_REGISTER_INIT {
    int m_iHandle;  // board driver descriptor
    int m_iFlgDebug;
    char m_chDebugIP[64];
    char m_chKernalPath[256];   // not read: the chip type gives the firmware paths
    char m_chProgramPath[256];  // not read
    int m_iDebugPort;           // 0: no debug stream
    RES490_CHIP_TYPE_E m_eChipType;
    RES490_ON_GET_KEY m_pfuncOnGetKey;
    RES490_ON_CHN_STATE m_pfuncOnChnState;
    RES490_SIGNAL_EVENT m_pfuncSignalEvent;
    RES490_SEND_PACKET m_pfuncSendPacketToSip;
    RES490_RTCP_STATISTIC m_pfuncRtcpStatistic;
    RES490_ON_CALLER_ID m_pfuncOnCallerID;
};

// Start-up: firmware, memory test, boot, device set-up, channel defaults. 0, or the process
// ends (missing firmware).
int RES490_Start(const AC490_API_REGISTER_INIT* init);
// The 1 ms step: drains the DSP's host queue, then its network queue.
void RES490_Process();
// Hands one RTP packet from the network to a DSP channel: 0, or -1.
int RES490_SendRtpPacketToPcm(int dsp_chn, unsigned char* packet, int length, int type);
// The DSP channel's encoder and decoder frame: duration 1 (10 ms), 3 (30 ms), else 20 ms.
// The result of the RTP update command, -1 for a bad channel.
int RES490_SetRtpFrameSize(int dsp_chn, int duration);
