// struct_sys.h — radiogate's configuration: the working configuration every module reads,
// the staging record the database columns land in, the per-line records, the dial map and
// the serial settings; the reload of the tables the web configuration program has flagged;
// the clock synchronisation and the radio channel entry.
#pragma once
#include <cstddef>

#include "define_sys.h"
#include "sip.h"

// ---- working configuration (g_sSysCfgInfo) ----
struct SYS_VLAN_NODE_T {
    int m_iVlanID;
    char m_chVlanIP[32];
    char m_chVlanNetMask[32];
};
struct SYS_VLAN_INFO_T {
    SYS_FLAG_E m_eFlagUsed;
    SYS_VLAN_NODE_T m_sSignal;
    SYS_VLAN_NODE_T m_sVoice;
};
struct SYS_DEV_ENV_T {
    char m_chLocalIP[32];
    char m_chLocalNetmask[32];
    char m_chLocalGateway[32];
    char m_chLocalMac[64];
    char m_chVersionCpld[128];   // filled by the board environment
    char m_chVerionDriver[128];  // filled by the board environment
    SYS_IP_ASSIGN_TYPE_E m_eIpAssignType;
    SYS_VLAN_INFO_T m_sVlanInfo;
    SYS_COMPATIBLE_MODE_E m_eSysCompMod;
    RES490_CHIP_TYPE_E m_eAcMode;
    SYS_FLAG_E m_eEchoCanceler;
    SYS_FLAG_E m_eAutoGainControl;
    SYS_FLAG_E m_eSlienceCompression;
};
struct SYS_SIP_SERVER_T {
    IPV4_ADDRESS m_sServerAddr[kMaxSwitchAddr];  // host softswitch, then backups 1 to 3
    SYS_REG_SW_TYPE_E m_eSwMode;
    int m_iLocalSipPort;
};
struct SYS_LOG_CFG_T {
    char m_chLogFile[128];
    char m_chLogFileErr[128];
    char m_chLogPathBak[128];
    int m_iLogLvlDefault;
    int m_iLogLvl;
    int m_iLocalPortLog;
    int m_iLocalPortDebugDsp;
    IPV4_ADDRESS m_DebugAddr;
    IPV4_ADDRESS m_LogServerAddr;
};
struct SYS_TIME_T {  // seconds, but m_iTPttHotLineTime in milliseconds
    int m_iTLostOfMedia;
    int m_iTNoAnswer;
    int m_iTKeyInterval;
    int m_iTDialTonePTTOn;
    int m_iTDialTonePTTOff;
    int m_iTRingBackPTTOn;
    int m_iTRingBackPTTOff;
    int m_iTBusyTone;
    int m_iTPttHotLineTime;
};
struct SYS_TIME_SYN_T {
    SYS_TIME_SYN_TYPE_E m_eSynType;
    int m_iSynExpires;  // seconds
    IPV4_ADDRESS m_sNtpServer;
    SYS_FLAG_E m_eSynOn;  // a synchronisation is armed
};
struct SYS_REG_BASIC_INFO_T {
    char m_chRegTel[64];
    char m_chRegPwd[64];
    char m_chRegName[64];
    int m_iRegExpires;
};
struct SYS_COMFORT_NOISE_T {
    SYS_FLAG_E m_eFlag;
    int m_iPayLoad;
    int m_iExpries;
};
struct SYS_CFG_INFO_T {
    SYS_DEV_ENV_T m_sDevEnv;
    SYS_SIP_SERVER_T m_sSysServer;
    SYS_LOG_CFG_T m_sLogInfo;
    SYS_TIME_T m_sTimeCfg;
    SYS_TIME_SYN_T m_sTimeSyn;
    SYS_DEAL_LOM_E m_eSysDealLOM;
    SYS_REG_TYPE_E m_eRegMode;
    SYS_REG_BASIC_INFO_T m_sRegGwInfo;
    SYS_COMFORT_NOISE_T m_sComfortNoise;
    int m_sCntDayTime;   // DAY_TIME, read from the staging record
    int m_sReStartFlag;  // RESTART_FLAG, read from the staging record
    int m_iRtpPortMin;
    int m_iRtpPortMax;
    SHAPP_KEY_E m_eShappSubmit;
    SYS_FLAG_E m_eAwakeFlag;
    int m_iChnSwitch;  // CHANNEL_SWITCH, read from the staging record
    SYS_REQUESTINFO_TYPE m_eRequestInfoType;
    SYS_REQUEST_TYPE m_eRequestType;
    int m_iRelTime;
    char m_chrequestpro[8];  // REQUEST_PRO, read from the staging record
    char m_chreleasepro[8];  // RELEASE_PRO, read from the staging record
    SYS_COR_VOX_SENSITIVITY_E m_eSensitivity;
    int m_iPttHotLineTime;
    int m_iRPORT;
    int m_iResetIPFlg;  // FLAG_RESET_IP, read from the staging record
};

// ---- the line record ----
typedef int (*USER_FUNC_KEY_CALLBACK)(int line);

struct FUNCTION_KEY_INFO_T {
    char m_chFuncKey[64];  // the key's digits
    int m_iKeyLen;         // their count, 0 = no key
    char m_chFuncDescrip[128];
    USER_FUNC_KEY_CALLBACK m_fpFunc;
};
struct USER_CONFIG_FUNCK_T {
    FUNCTION_KEY_INFO_T m_sKHangOff;
    FUNCTION_KEY_INFO_T m_sKHangUp;
    FUNCTION_KEY_INFO_T m_sKConDial;
    FUNCTION_KEY_INFO_T m_sKHotLine;
    FUNCTION_KEY_INFO_T m_sKReDial;
};
struct SYS_RECALL_T {
    int m_iReCallMax;  // 0 = no re-call
    int m_iReCallTimes;
    SYS_FLAG_E m_eReCallFlag;
    char m_chPeerCall[64];
};
struct USER_DTMF_INFO_T {  // the digits a line has collected
    int m_iCurLen;
    char m_chDtmfBuf[64];
};
// The six fields of a floor-control INFO body, each at most 31 characters.
struct T_MSG_STRUCT {
    char m_chreqid[32];
    char m_chptttype[32];
    char m_chresult[32];
    char m_chId[32];
    char m_chTel[32];
    char m_chMsg[32];
};
struct SYS_COR_AUDIO_T {  // line side
    int m_eCorParity;
    int m_iInhibitTime;
    int m_iTimeVoxHangUp;
    SYS_FLAG_E m_eUseVoiceCor;
};
struct SYS_COR_NETWORK_T {  // network side; the types are the RTP layer's enumerations
    int m_eCorType;
    int m_eRtpSend;
    int m_eVoxSen;
    int m_iTimeVoxHangUp;  // ms
    int m_iPreVoiceBuf;    // ms
    int m_iPTTTimeOut;
    int m_iSamplCorTimeMax;
};
struct USER_REG_INFO_T {
    char m_chRegTel[64];
    char m_chRegName[64];
    char m_chRegPwd[64];
    int m_iRegExpires;
    int m_iRegChn;  // SIP stack channel of the registration, -1 none
    int m_iCntRegExpire;
    int m_iCntRegRsp;
    int m_iThreadRegExpire;
    REG_STATUS_E m_eRegStatus;
    REG_RESULT_E m_eRegResult;
    IPV4_ADDRESS m_sCurSwitchAddr;
    SYS_REG_SW_NAME_E m_eCurSwitch;
    int m_iMinExpires;  // the least lifetime the server takes (its 423 said so), 0 none
};

// One line. Everything before m_sRegInfo is the line's configuration (TB_USER, TB_USER_COR);
// the reload copies that part as a block. The fields after it are the ones the configuration,
// the shared memory and the daily reboot read; the line module's call, media, PTT and floor
// fields take their place among them.
struct USER_INFO_T {
    int m_iUserChn;  // line number; -1 = free slot
    int m_iKeyEnable;
    int m_iPttHtlEna;
    int m_iPttMode;
    USER_CONFIG_FUNCK_T m_sKeyCfg;
    char m_chUserTel[64];
    char m_chHotLine[64];
    int m_iRtpPtime;
    int m_iDspGainInput;
    int m_iDspGainOutput;
    API_VOLUME_GAIN_E m_eCodecGainInput;
    API_VOLUME_GAIN_E m_eCodecGainOutput;
    SYS_RECALL_T m_s4xxRecall;
    SYS_RECALL_T m_sByeRecall;
    int m_iReCallInterval;
    RECALL_ON_NEWCALL_E m_eRecallOnNewCall;
    int m_eCodePriority[kMaxCodePriority];  // codec values of the SIP stack (g_sAudioCode), 0 = empty
    SYS_COR_AUDIO_T m_sCfgCorAudio;
    SYS_COR_NETWORK_T m_sCfgCorNetwork;
    SYS_DTMF_TYPE m_eDtmfType;
    int m_iRfcPayLoad;
    USER_REG_INFO_T m_sRegInfo;
    int m_iCallTh;     // call number of the current call, -1 none
    int m_iChnRes;     // RTP channel (= line number), -1 none
    int m_iChnDsp;     // DSP channel (line number + channel offset), -1 none
    int m_iChnSip;     // SIP stack channel of the current call, -1 none
    int m_iChn4Line;   // board line for PTT, COR and four-wire (= line number)
    SYS_FLAG_E m_ePTTFlag;
    SYS_FLAG_E m_eOffAudioFlag;
    int m_iOffAudioTime;
    USER_STATUS_E m_eSaveStatus;  // state to return to after function-key collection
    USER_STATUS_E m_eUserStatus;
    int m_iCntStatus;  // 10 ms steps since the state was entered
    SYS_FLAG_E m_eGetSDPFlag;
    SYS_FLAG_E m_eRTPOpenFlag;
    SYS_FLAG_E m_eIsPlayTone;
    int m_iRingBackTimes;
    SYS_FLAG_E m_eRingFirst;
    int m_iWaitReqTime;
    int m_iWaitSendByeTime;
    SYS_FLAG_E m_eRequestFlag;
    PTT_TYPE m_ePttType;  // who keyed PTT
    int m_RTPflag;
    SYS_CALLER_E m_eIsCaller;
    char m_chCaller[64];
    char m_chCallee[64];
    int m_eUseCoder;  // codec chosen for the call (g_sAudioCode values)
    int m_iDelFlag;   // a deletion waits for the line to become idle
    int m_iModFlag;   // a registration change waits for the line to become idle
    char m_chNewRegTel[64];
    char m_chNewRegName[64];
    char m_chNewRegPwd[64];
    int m_iNewRegExpires;
    SYS_FLAG_E m_eInTalkFlag;
    SYS_FLAG_E m_eCortimeFlag;  // set when the line's PTT is released; the board clears it
    SIPINFO_MODE m_eCallMode;   // half or full duplex of the current call
    int m_nRtpTimeout;          // milliseconds without RTP while talking (the RTP layer counts)
    SPEEK_RIGHT_E m_eSpeekStatus;
    SYS_FLAG_E m_eFlgHandsetVoiceRight;  // nothing sets it yet: it stays off
    SYS_FLAG_E m_eSampleCorFlag;  // network voice may not key PTT (COR bar)
    int m_iSampleCorTime;         // milliseconds the COR bar has been on
    int m_iPTTOnTime;             // milliseconds PTT has been keyed
    SPEEK_RIGHT_E m_eOldSpeekStatus;  // floor state before the last floor request
    USER_DTMF_INFO_T m_sDtmfRecv;     // digits collected so far
    SYS_PLAY_TONE_TYPE_E m_eToneType;  // tone being played, E_PLAY_TONE_NULL none
    SIP_SDP m_sSdpLocal;   // the line's own SDP for the call
    SIP_SDP m_sSdpRemote;  // the far end's last accepted SDP
    int m_eSdpMediaType;   // sdp_media the line answers with
    // Monotonic milliseconds of the last INVITE sent or accepted, or of the last media close;
    // 0 none. Guards against a second call within a second.
    long long m_tInviteTime;
    int m_errorFlg;  // 10 ms steps during which a COR release is held back
};
inline constexpr std::size_t kUserCfgPartLen = offsetof(USER_INFO_T, m_sRegInfo);

// ---- staging record (g_sDBInfo) ----
struct SYS_COM_CFG_T {
    int m_iBaudRate;
    int m_iDataBits;
    int m_iStopBits;
    int m_iDataControl;
    SYS_COM_PARITY_E m_eParity;
};
static_assert(sizeof(SYS_COM_CFG_T) == 20 && offsetof(SYS_COM_CFG_T, m_eParity) == 16);
struct SYS_DIAL_MAP {
    int m_iRuleKey;  // 0 = empty row
    char m_chRuleContent[64];
};
struct SYS_DATA_BASE_INFO_T {
    USER_INFO_T m_sUserInfo;  // stages one line
    SYS_COM_CFG_T m_sComInfo[kMaxComPort];
    SYS_CFG_INFO_T m_sSysCfgInfo;
    SYS_DIAL_MAP m_sDialRule;
};
struct SYS_SERIAL_INFO {
    int m_hSerialHanler;  // -1 when closed
    SYS_COM_CFG_T m_sComInfo;
};
struct CHAR_To_INT_T {
    char m_chValue[64];
    int m_iValue;
};

extern SYS_CFG_INFO_T g_sSysCfgInfo;
extern SYS_DATA_BASE_INFO_T g_sDBInfo;
extern USER_INFO_T g_sUserInfo[kMaxUserChn];
extern int g_iUse_Chn_Max;  // lines in use: 9 until the board environment fixes 2, 4 or 9
extern SYS_DIAL_MAP g_sDialRuleTable[kMaxDialRule];
extern int g_DialRuleNum;
extern SYS_SERIAL_INFO g_sSerialInfo[kMaxComPort];
extern const CHAR_To_INT_T g_sAudioCode[];
extern const CHAR_To_INT_T g_sDtmfType[];
extern const CHAR_To_INT_T g_sPrintMsgRegResult[];

// Marks every slot free, sets up the shared segment (versions, every flag raised) and reads
// every table once; 0.
int Sys_InitConfig();
// Re-reads the flagged tables; -1 when skipped because the web program holds the lock, else 0.
int Sys_GetConfig(READ_TABLE_E tables);
void Sys_CheckTimeSyncExpires();     // the 1 s step of synchronisation by SIP message
void Sys_TimeSync(const char* date);  // date: a SIP Date text, or null
void Sys_ChnSwitch(int channel);
// The radio channel from an HTTP request; 0, or -1 when storing it failed.
int HTTP_Deal_ChannelSwitch(int channel);
// A DSP digit code as a dial character: 0-9 '0'-'9', 10 '*', 11 '#', else the character 255.
char SystemChangeFormatOfKey(int code);
// Index 0..3 of the first configured softswitch with the address's port, else -1.
int Sys_GetSwitchEnumByAddr(const IPV4_ADDRESS* address);
// Rewrites the "ip=" line of "/root/interfaces"; 0, or -1.
int Sys_SetInterfaceIP(const char* address);
// Rewrites each line of the file at path (a fixed board path) that begins with key as key,
// value and a newline; lines that already read so are left alone. The number of lines
// replaced, the file being written only when that is above 0; -1 the file cannot be read,
// -2 it is too big to rewrite whole (left as it is), -3 it cannot be opened for writing,
// -4 the write failed.
int Sys_ReplaceKeyLines(const char* path, const char* key, const char* value);
