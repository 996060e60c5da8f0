// dsp_res.h — the DSP resource layer: the line logic's side of the AC49x DSP. It brings the
// DSP up at start-up, pumps its packets every millisecond (events to the line logic, encoded
// voice to the RTP layer), wraps network RTP packets into DSP packets, and opens, closes and
// configures the DSP channels and plays their tones. Main loop only.
#pragma once
#include <ctime>

#include "AC49xDrv_Definitions.h"
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

// Start-up: firmware, memory test, boot, device set-up, channel defaults. 0 whether or not
// the DSP came up; -1 when a firmware file cannot be read (start-up then fails).
int RES490_Start(const AC490_API_REGISTER_INIT* init);
// The 1 ms step: drains the DSP's host queue, then its network queue.
void RES490_Process();
// Hands one RTP packet from the network to a DSP channel: 0, or -1.
int RES490_SendRtpPacketToPcm(int dsp_chn, unsigned char* packet, int length, int type);
// The DSP channel's encoder and decoder frame: duration 1 (10 ms), 3 (30 ms), else 20 ms.
// The result of the RTP update command, -1 for a bad channel.
int RES490_SetRtpFrameSize(int dsp_chn, int duration);

// ---- records ----
inline constexpr int kMaxResChn = 20;        // channel records: the largest chip's channels
inline constexpr int g_iCurChnPerChip = 12;  // DSP channel = device x 12 + channel on the device
inline constexpr int g_iMaxResChnNum = 24;   // what callers may name; only active channels answer
inline constexpr int kResPacketSize = AC49X_HPI_PACKET_SIZE;
inline constexpr int kDebugLocalPort = 8989;  // the debug stream's own port

enum CHIP_STATUS_INFO_E : int { E_CHIP_UNUSED = 0, E_CHIP_USED = 1 };
enum SYS_FAX_TYPE : int {
    E_FAX_TYPE_NULL = -1,
    E_FAX_TYPE_T_30_OR_AUDIO = 0,
    E_FAX_TYPE_T_38 = 1,
    E_FAX_BYPASS = 2,
};
enum DIAL_TONE_STATE_E : int { E_TONE_STOP = 0, E_TONE_PLAY = 1 };

struct AC490_CHIP_INFO_T {  // the one device
    CHIP_STATUS_INFO_E m_eStatus;
    RES490_CHIP_TYPE_E m_eChipType;
    int m_iChnNumOfChip;
    char m_chKernalPath[256];
    char m_chProgramPath[256];
    Tac49xSetupDeviceAttr m_sSetupDeviceAttr;
};

struct DSP_INFO_T {  // one DSP channel
    int m_iChnType;
    int m_iConferenceChn;
    int m_iPlayTime;
    SYS_FLAG_E m_eFlagActive;  // the channel exists on a booted, set-up device
    SYS_FLAG_E m_eFlagUsed;
    SYS_FLAG_E m_eFlagChnOpen;
    SYS_FLAG_E m_eFlagRtpChnOpen;
    SYS_FLAG_E m_ePlayTone;
    SYS_FLAG_E m_eSendCid;
    SYS_FAX_TYPE m_eFaxType;
    SYS_PLAY_TONE_TYPE_E m_eToneType;
};

// One cadence row: a tone type t is the row whose m_iToneType is t + 8; durations in ms.
struct API_PLAY_TONE_DURATION_NODE_T {
    int m_iToneType;
    int m_iOnDuration;
    int m_iOffDuration;
    int m_iFlagPause;
    int m_iPauseDuration;
};
inline constexpr int kPlayToneRows = 15;

extern AC490_API_REGISTER_INIT g_sResRegister;
extern AC490_CHIP_INFO_T g_sResChipInfo;
extern DSP_INFO_T g_sResChnInfo[kMaxResChn];
extern Tac49xSetupChannelAttr g_sSetupChannelAttr[1][kMaxResChn];
extern const API_PLAY_TONE_DURATION_NODE_T g_sMapPlayToneDura[kPlayToneRows];
extern int g_iaPlayToneType[kMaxResChn];  // the last tone started on each channel
extern DIAL_TONE_STATE_E eDialToneState;  // set when the DSP hears a dial tone

// ---- start-up and the packet pump ----
// The host-port memory test of a device: 0, or -1 at the tenth mismatch.
int RES490_CheckChipExist(int handle, int device);
// The driver's packet-recording hook: mirrors every non-RTP packet to the debug address.
void Res490FlushPacketToNet(int device, U8* packet, int size, Tac49xPacketDirection direction);

// ---- channel control ----
// Channel operations take a DSP channel and fail (-1) unless it is active on a set-up device.
int RES490_GetAvailableChn(int line);  // the line's DSP channel: line + the board's offset
int RES490_ChannelOpen(int dsp_chn);    // -1 when already open (channel 0 is configured again)
int RES490_ChannelClose(int dsp_chn);   // the close command's result, -1 when not open
int RES490_RtpChannelOpen(int dsp_chn);
int RES490_RtpChannelClose(int dsp_chn);
// From the line's codec: payload type and coder; sent at once while RTP is on.
int RES490_SetCodeType(int dsp_chn, int codec);
// Gains 0..63 (0 mute, 32 = 0 dB, n = n - 32 dB); kept until the channel is next opened.
int RES490_SetGainPcmInput(int dsp_chn, int gain);
int RES490_SetGainPcmOutput(int dsp_chn, int gain);
int RES490_SetDtmfTransferType(int dsp_chn, int type);  // the line's SYS_DTMF_TYPE
int RES490_SetEchoCanceler(int dsp_chn, int mode);
int RES490_SetAutoGainControl(int dsp_chn, int flag);
int RES490_SetSilenceCompressionMode(int dsp_chn, int mode);
int RES490_SetComfortNoiseMode(int dsp_chn, int enable, int payload_type, int seconds);
int RES490_SetMaxTimeNoRtp(int dsp_chn, int seconds);
int RES490_Set2833PayloadSend(int dsp_chn, int payload_type);
int RES490_Set2833PayLoadRecv(int dsp_chn, int payload_type);
// Sends up to 30 dial characters as one DTMF string; -1 for any other character.
int RES490_SendDtmf(int dsp_chn, const char* text, int length, int redirection);
// Plays a call-progress tone toward the line; cadenced tones repeat until stopped, the wait
// tone sounds once. The driver's result, or -1.
int RES490_PlayTone(int dsp_chn, int tone);
int RES490_StopPlayTone(int dsp_chn);
// A dial character as a DSP digit code: '0'-'9' 0-9, '*' 10, '#' 11, 'A'-'D' 12-15, else -1.
int SystemChangeKeySendToDsp(char key);

// ---- callback dispatch (the packet pump calls these) ----
void CallBack_OnSignalEvent(int device, int channel, API_CALLBACK_SIGNAL_EVENT_E event);
void CallBack_OnGetKey(int device, int channel, const U8* packet, int size);
void CallBack_OnGetCallerID(int dsp_chn, char* number, int length, struct tm* date);
void CallBack_OnSendPacketToSip(int dsp_chn, unsigned char* packet, int length, int type);
void CallBack_OnChnState(int dsp_chn, int state);
