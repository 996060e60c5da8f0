#include "struct_sys.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "arm_environment.h"
#include "board.h"
#include "db_cfg.h"
#include "main.h"
#include "multi_log.h"
#include "print_sys.h"
#include "register.h"
#include "serial.h"
#include "sharememory.h"
#include "text.h"
#include "user.h"
#include "user_dial.h"

SYS_CFG_INFO_T g_sSysCfgInfo;
SYS_DATA_BASE_INFO_T g_sDBInfo;
USER_INFO_T g_sUserInfo[kMaxUserChn];
int g_iUse_Chn_Max = kMaxUserChn;
SYS_DIAL_MAP g_sDialRuleTable[kMaxDialRule];
int g_DialRuleNum = 0;
SYS_SERIAL_INFO g_sSerialInfo[kMaxComPort] = {{-1, {}}, {-1, {}}};

const CHAR_To_INT_T g_sAudioCode[] = {
    {"DISABLE", 0}, {"G711A", 1}, {"G711U", 2}, {"G729", 3}, {"G723", 4}, {"TE101", 5}, {"GSM", 6}, {"G726", 7}, {"", -1},
};
const CHAR_To_INT_T g_sDtmfType[] = {
    {"DISABLE", E_DTMF_TYPE_NULL}, {"RFC2833", E_DTMF_TYPE_RFC2833}, {"SIPINFO", E_DTMF_TYPE_SIPINFO},
    {"INBAND", E_DTMF_TYPE_INBAND}, {"", -1},
};
const CHAR_To_INT_T g_sPrintMsgRegResult[] = {
    {"注销", 0}, {"注册成功", 1}, {"注册失败", 2}, {"注册超时", 3}, {"网关注册成功", 4}, {"", -1},
};

namespace {

// ---- converters of text columns ----
// Each converted column looks its text up in its own table: a name that two tables share
// ("DISABLE") must mean what the column's table says.
int Static_Lookup(const CHAR_To_INT_T* table, const char* text)
{
    if (text == nullptr) return -1;
    for (const CHAR_To_INT_T* row = table; row->m_chValue[0] != '\0'; ++row) {
        if (std::strcmp(row->m_chValue, text) == 0) return row->m_iValue;
    }
    return -1;
}
int Static_fChangeCallBack(const char* text) { return Static_Lookup(g_sAudioCode, text); }
int Static_fChangeDtmfCallBack(const char* text) { return Static_Lookup(g_sDtmfType, text); }

// ---- column descriptors ----
DB_RECORD_T Static_Column(const char* name, void* dst, int len, RECORD_Data_TYPE_E kind, DB_ChangeCallBack conv)
{
    DB_RECORD_T r{};
    copy_text(r.m_chRecordFindName, name);
    r.m_vRecordStoreAddr = dst;
    r.m_iRecordStoreLen = len;
    r.m_eRecordDataType = kind;
    r.m_pfuncChang = conv;
    return r;
}
template <class T>
DB_RECORD_T Int(const char* name, T* dst)
{
    static_assert(sizeof(T) == sizeof(int), "integer columns are stored as int");
    return Static_Column(name, dst, 0, E_IsInt, nullptr);
}
template <std::size_t N>
DB_RECORD_T Chr(const char* name, char (&dst)[N])
{
    return Static_Column(name, dst, static_cast<int>(N), E_IsChar, nullptr);
}
template <class T>
DB_RECORD_T Conv(const char* name, T* dst, DB_ChangeCallBack conv)
{
    static_assert(sizeof(T) == sizeof(int), "converted columns are stored as int");
    return Static_Column(name, dst, 0, E_NeedExchange, conv);
}
DB_RECORD_T None(const char* name) { return Static_Column(name, nullptr, 0, E_NONE, nullptr); }

SYS_CFG_INFO_T& S = g_sDBInfo.m_sSysCfgInfo;  // staged system settings
USER_INFO_T& U = g_sDBInfo.m_sUserInfo;       // staged line
SYS_DEV_ENV_T& E = g_sDBInfo.m_sSysCfgInfo.m_sDevEnv;
SYS_SIP_SERVER_T& SW = g_sDBInfo.m_sSysCfgInfo.m_sSysServer;

DB_RECORD_T s_sTbIniRecords[] = {
    Int("VLAN_FLAG", &E.m_sVlanInfo.m_eFlagUsed),
    Int("VLAN_SIGNAL", &E.m_sVlanInfo.m_sSignal.m_iVlanID),
    Int("VLAN_VOICE", &E.m_sVlanInfo.m_sVoice.m_iVlanID),
    Chr("VLAN_SIGNAL_IP", E.m_sVlanInfo.m_sSignal.m_chVlanIP),
    Chr("VLAN_SIGNAL_NETMASK", E.m_sVlanInfo.m_sSignal.m_chVlanNetMask),
    Chr("VLAN_VOICE_IP", E.m_sVlanInfo.m_sVoice.m_chVlanIP),
    Chr("VLAN_VOICE_NETMASK", E.m_sVlanInfo.m_sVoice.m_chVlanNetMask),
    Int("SYS_COMP_MODE", &E.m_eSysCompMod),
    Int("AC_MODE", &E.m_eAcMode),
    Int("FLAG_EC", &E.m_eEchoCanceler),
    Int("FLAG_AGC", &E.m_eAutoGainControl),
    Int("FLAG_SC", &E.m_eSlienceCompression),
    Int("MODE_TIME_SYNC", &S.m_sTimeSyn.m_eSynType),
    Int("SYNC_TIME_EXPIRES", &S.m_sTimeSyn.m_iSynExpires),
    Chr("ADDR_NTP_SERVER", S.m_sTimeSyn.m_sNtpServer.ip),
    Chr("IP_LOCAL", E.m_chLocalIP),
    Chr("GATEWAY_LOCAL", E.m_chLocalGateway),
    Chr("NETMASK_LOCAL", E.m_chLocalNetmask),
    Int("GET_IP_MODE", &E.m_eIpAssignType),
    Int("MASTER_SLAVE_MODE", &SW.m_eSwMode),
    Chr("IP_SWITCH_0", SW.m_sServerAddr[0].ip),
    Chr("IP_SWITCH_1", SW.m_sServerAddr[1].ip),
    Chr("IP_SWITCH_2", SW.m_sServerAddr[2].ip),
    Chr("IP_SWITCH_3", SW.m_sServerAddr[3].ip),
    Int("PORT_SWITCH_0", &SW.m_sServerAddr[0].port),
    Int("PORT_SWITCH_1", &SW.m_sServerAddr[1].port),
    Int("PORT_SWITCH_2", &SW.m_sServerAddr[2].port),
    Int("PORT_SWITCH_3", &SW.m_sServerAddr[3].port),
    Int("LOCAL_SIP_PORT", &SW.m_iLocalSipPort),
    Int("SYS_REG_MODE", &S.m_eRegMode),
    Chr("GW_REG_TEL", S.m_sRegGwInfo.m_chRegTel),
    Chr("GW_REG_NAME", S.m_sRegGwInfo.m_chRegName),
    Chr("GW_REG_PWD", S.m_sRegGwInfo.m_chRegPwd),
    Int("GW_REG_EXPIRES", &S.m_sRegGwInfo.m_iRegExpires),
    Int("RTP_PORT_MAX", &S.m_iRtpPortMax),
    Int("RTP_PORT_MIN", &S.m_iRtpPortMin),
    None("HW_FREQENCE_SIN"),
    None("HW_BIAS_VALUE"),
    Int("LOG_LEVEL", &S.m_sLogInfo.m_iLogLvl),
    Chr("LOG_SERVER_IP", S.m_sLogInfo.m_LogServerAddr.ip),
    Int("LOG_SERVER_PORT", &S.m_sLogInfo.m_LogServerAddr.port),
    Int("LOG_PORT_LOCAL", &S.m_sLogInfo.m_iLocalPortLog),
    Chr("DEBUG_IP_DSP", S.m_sLogInfo.m_DebugAddr.ip),
    Int("DEBUG_PORT_DSP", &S.m_sLogInfo.m_iLocalPortDebugDsp),
    Int("FLAG_SHARP_SUBMIT", &S.m_eShappSubmit),
    Int("NO_RTP_DEAL", &S.m_eSysDealLOM),
    Int("FLAG_COMFORT_NOISE", &S.m_sComfortNoise.m_eFlag),
    Int("COMFORT_NOISE_PAYLOAD", &S.m_sComfortNoise.m_iPayLoad),
    Int("COMFORT_NOISE_EXPIRES", &S.m_sComfortNoise.m_iExpries),
    Int("FLAG_AWAKE", &S.m_eAwakeFlag),
    Int("CHANNEL_SWITCH", &S.m_iChnSwitch),
    Int("REQUEST_MODE", &S.m_eRequestType),
    Chr("REQUEST_PRO", S.m_chrequestpro),
    Chr("RELEASE_PRO", S.m_chreleasepro),
    Int("RELEASE_TIME", &S.m_iRelTime),
    Int("VOX_SENSITIVITY", &S.m_eSensitivity),
    Int("REQUEST_MSG_TYPE", &S.m_eRequestInfoType),
    Int("T_PTT_HOT_TIME", &S.m_sTimeCfg.m_iTPttHotLineTime),
    Int("DAY_TIME", &S.m_sCntDayTime),
    Int("RESTART_FLAG", &S.m_sReStartFlag),
    Int("RPORT", &S.m_iRPORT),
    Int("FLAG_RESET_IP", &S.m_iResetIPFlg),
};

DB_RECORD_T s_sTbKeyAndTimeRecords[] = {
    Int("T_KEY_INTERVAL", &S.m_sTimeCfg.m_iTKeyInterval),
    Int("T_NO_RTP", &S.m_sTimeCfg.m_iTLostOfMedia),
    Int("T_NO_ANSWER", &S.m_sTimeCfg.m_iTNoAnswer),
    Int("T_PTT_DIAL_TONE", &S.m_sTimeCfg.m_iTDialTonePTTOn),
    Int("T_PTT_GET_DTMF", &S.m_sTimeCfg.m_iTDialTonePTTOff),
    Int("T_RING_BACK_INVALU", &S.m_sTimeCfg.m_iTRingBackPTTOff),
    Int("T_RING_BACK_VALU", &S.m_sTimeCfg.m_iTRingBackPTTOn),
    Int("T_BUSY_TONE", &S.m_sTimeCfg.m_iTBusyTone),
};

SYS_COM_CFG_T (&C)[kMaxComPort] = g_sDBInfo.m_sComInfo;
DB_RECORD_T s_sTbSerialCfgRecords[] = {
    Int("COM1_BAUD", &C[0].m_iBaudRate),      Int("COM1_PARITY", &C[0].m_eParity),
    Int("COM1_DATA_BITS", &C[0].m_iDataBits), Int("COM1_STOP_BITS", &C[0].m_iStopBits),
    Int("COM1_DATA_CONTROL", &C[0].m_iDataControl),
    Int("COM2_BAUD", &C[1].m_iBaudRate),      Int("COM2_PARITY", &C[1].m_eParity),
    Int("COM2_DATA_BITS", &C[1].m_iDataBits), Int("COM2_STOP_BITS", &C[1].m_iStopBits),
    Int("COM2_DATA_CONTROL", &C[1].m_iDataControl),
};

DB_RECORD_T s_sTbUserRecords[] = {
    Int("USER_CHN", &U.m_iUserChn),
    Chr("USER_TEL", U.m_sRegInfo.m_chRegTel),
    Chr("REG_NAME", U.m_sRegInfo.m_chRegName),
    Chr("REG_PWD", U.m_sRegInfo.m_chRegPwd),
    Int("REG_EXPIRES", &U.m_sRegInfo.m_iRegExpires),
    Chr("HOTL_TEL", U.m_chHotLine),
    Int("SERVICE_ADDRIBUTE", &U.m_iPttMode),
    Int("RTP_INTERVAL", &U.m_iRtpPtime),
    Conv("CODE_FIRST", &U.m_eCodePriority[0], Static_fChangeCallBack),
    Conv("CODE_SECOND", &U.m_eCodePriority[1], Static_fChangeCallBack),
    Int("DTMF_PAYLOAD", &U.m_iRfcPayLoad),
    Conv("DTMF_TYPE", &U.m_eDtmfType, Static_fChangeDtmfCallBack),
    Int("DSP_GAIN_INPUT", &U.m_iDspGainInput),
    Int("DSP_GAIN_OUTPUT", &U.m_iDspGainOutput),
    Int("CODEC_GAIN_INPUT", &U.m_eCodecGainInput),
    Int("CODEC_GAIN_OUTPUT", &U.m_eCodecGainOutput),
    Int("REDIAL_4XX", &U.m_s4xxRecall.m_iReCallMax),
    Int("REDIAL_BYE", &U.m_sByeRecall.m_iReCallMax),
    Int("REDIAL_INTERVAL", &U.m_iReCallInterval),
    Int("REDIAL_ONNEWCALL", &U.m_eRecallOnNewCall),
    Chr("K_OFF_HOOK", U.m_sKeyCfg.m_sKHangOff.m_chFuncKey),
    Chr("K_CON_DIAL", U.m_sKeyCfg.m_sKConDial.m_chFuncKey),
    Chr("K_HANG_UP", U.m_sKeyCfg.m_sKHangUp.m_chFuncKey),
    Chr("K_HOT_LINE", U.m_sKeyCfg.m_sKHotLine.m_chFuncKey),
    Chr("K_REDIAL", U.m_sKeyCfg.m_sKReDial.m_chFuncKey),
    Int("K_ENABLE", &U.m_iKeyEnable),
    Int("FLG_PTT_HTL", &U.m_iPttHtlEna),
};

DB_RECORD_T s_sTbUserCorRecords[] = {
    Int("USER_CHN", &U.m_iUserChn),
    Int("PSTN_COR_PARITY", &U.m_sCfgCorAudio.m_eCorParity),
    Int("PSTN_COR_INHIBIT_TIME", &U.m_sCfgCorAudio.m_iInhibitTime),
    Int("PSTN_VOX_HANG_TIME", &U.m_sCfgCorAudio.m_iTimeVoxHangUp),
    Int("PSTN_VOICE_FLAG", &U.m_sCfgCorAudio.m_eUseVoiceCor),
    Int("NET_COR_RTP_SEND", &U.m_sCfgCorNetwork.m_eRtpSend),
    Int("NET_COR_TYPE", &U.m_sCfgCorNetwork.m_eCorType),
    Int("NET_VOX_HANG_TIME", &U.m_sCfgCorNetwork.m_iTimeVoxHangUp),
    Int("NET_VOX_SENSITIVITY", &U.m_sCfgCorNetwork.m_eVoxSen),
    Int("NET_VOX_PRE_VOICE_BUF", &U.m_sCfgCorNetwork.m_iPreVoiceBuf),
    Int("NET_PTT_TIMEOUT", &U.m_sCfgCorNetwork.m_iPTTTimeOut),
    Int("NET_SAMPLE_COR_TIME", &U.m_sCfgCorNetwork.m_iSamplCorTimeMax),
};

DB_RECORD_T s_sTbDialMapRecords[] = {
    Int("KEY_ID", &g_sDBInfo.m_sDialRule.m_iRuleKey),
    Chr("DIAL_RULE", g_sDBInfo.m_sDialRule.m_chRuleContent),
};

static_assert(std::size(s_sTbIniRecords) == 62);
static_assert(std::size(s_sTbUserRecords) == 27);
static_assert(std::size(s_sTbUserCorRecords) == 12);

int Static_UpdateTBIni(void*);
int Static_UpdateTBKeyAndTime(void*);
int Static_UpdateTBSerialCfg(void*);
int Static_UpdateTBUser(void*);
int Static_UpdateTBUserCor(void*);
int Static_UpdateTBDailMap(void*);
int Static_NodateTBUser(const char* key);

template <std::size_t N>
DB_TABLE_T Static_SingleTable(const char* name, DB_RECORD_T (&records)[N], DB_UpdateCallBack update)
{
    DB_TABLE_T t{};
    t.m_eTableType = E_RECORD_SINGLE;
    DB_TABLE_SINGLE_RECORD_T s{};
    s.m_chTableName = name;
    copy_text(s.m_chFindField, "M_VALUE");
    copy_text(s.m_chRestrictField, "M_NAME");
    s.m_ptRecords = records;
    s.m_iRecordNum = static_cast<int>(N);
    s.m_pfuncUpdate = update;
    t.m_uTableContent.m_sSingle = s;
    return t;
}
template <std::size_t N>
DB_TABLE_T Static_MultiTable(const char* name, const char* key_field, const char* first_key,
                             DB_RECORD_T (&records)[N], DB_UpdateCallBack update, DB_NodateCallBack nodate)
{
    DB_TABLE_T t{};
    t.m_eTableType = E_RECORD_MULTI;
    DB_TABLE_MULTI_RECORD_T m{};
    m.m_chTableName = name;
    copy_text(m.m_chMainKeyField, key_field);
    copy_text(m.m_chMainKeyValue, first_key);
    m.m_ptRecords = records;
    m.m_iFeildNum = static_cast<int>(N);
    m.m_pfuncUpdate = update;
    m.m_pfuncNodate = nodate;
    t.m_uTableContent.m_sMulti = m;
    return t;
}

DB_TABLE_T s_sTbIni = Static_SingleTable("TB_INI", s_sTbIniRecords, Static_UpdateTBIni);
DB_TABLE_T s_sTbKeyAndTime = Static_SingleTable("TB_KEY_AND_TIME", s_sTbKeyAndTimeRecords, Static_UpdateTBKeyAndTime);
DB_TABLE_T s_sTbSerialCfg = Static_SingleTable("TB_SERIAL_CFG", s_sTbSerialCfgRecords, Static_UpdateTBSerialCfg);
DB_TABLE_T s_sTbUser =
    Static_MultiTable("TB_USER", "USER_CHN", "0", s_sTbUserRecords, Static_UpdateTBUser, Static_NodateTBUser);
DB_TABLE_T s_sTbUserCor =
    Static_MultiTable("TB_USER_COR", "USER_CHN", "0", s_sTbUserCorRecords, Static_UpdateTBUserCor, nullptr);
DB_TABLE_T s_sTbDialMap = Static_MultiTable("TB_DIAL_MAP", "KEY_ID", "1", s_sTbDialMapRecords, Static_UpdateTBDailMap, nullptr);

// The change flags come from the shared segment. Without one, this block stands in: start-up
// raises all of it so every table is read once, and nothing raises it afterwards.
QVD_CGI_SHARE_MEMORY_T s_sLocalFlags;
volatile QVD_CGI_SHARE_MEMORY_T* Static_Flags()
{
    return g_pCgiShm ? static_cast<volatile QVD_CGI_SHARE_MEMORY_T*>(g_pCgiShm) : &s_sLocalFlags;
}

constexpr int kStartReadTries = 50;
long long s_llTimeSyncCount = 0;  // seconds since the synchronisation was last armed

// ---- reading ----
// 0 read and applied; -1 the keyed row is missing (or the statement failed); -2 the database
// did not answer, nothing applied.
int Static_ReadTable(DB_TABLE_T& table, int key)
{
    if (table.m_eTableType == E_RECORD_MULTI)
        std::snprintf(table.m_uTableContent.m_sMulti.m_chMainKeyValue, 64, "%d", key);
    int r = DB_Read(&table);
    if (r < 0) return r;
    DB_PrintTable(&table);
    DB_UpdateCallBack update = table.m_eTableType == E_RECORD_MULTI ? table.m_uTableContent.m_sMulti.m_pfuncUpdate
                                                                    : table.m_uTableContent.m_sSingle.m_pfuncUpdate;
    if (update) update(nullptr);
    return 0;
}

bool s_bReadFailed = false;  // the database stopped answering during this reload

// A flag is cleared before its table is read; a read the database did not answer raises it
// again, so the change is read in a later second instead of being lost, and the rest of the
// reload waits for that second too.
void Static_ReadFlagged(volatile SYS_FLAG_E& flag, DB_TABLE_T& table, int key)
{
    if (s_bReadFailed) return;
    flag = E_FLAG_OFF;
    if (Static_ReadTable(table, key) == -2) {
        flag = E_FLAG_ON;
        s_bReadFailed = true;
    }
}

bool Static_AnyFlag(volatile QVD_CGI_SHARE_MEMORY_T* f)
{
    bool any = f->m_eTBIni == E_FLAG_ON || f->m_eTBTime == E_FLAG_ON || f->m_eTBSerialCfg == E_FLAG_ON ||
               f->m_eTBDialMap == E_FLAG_ON || f->m_eTBChannelSwitch == E_FLAG_ON;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn && !any; ++i)
        any = f->m_eUser[i] == E_FLAG_ON || f->m_eUserCor[i] == E_FLAG_ON;
    return any;
}

SYS_DIAL_MAP s_sDialRuleKept[kMaxDialRule];

void Static_ReadDialMap(volatile QVD_CGI_SHARE_MEMORY_T* f)
{
    if (f->m_eTBDialMap != E_FLAG_ON || s_bReadFailed) return;
    f->m_eTBDialMap = E_FLAG_OFF;
    int rows = DB_GetRecordNum(&s_sTbDialMap);
    if (rows < 0) {
        f->m_eTBDialMap = E_FLAG_ON;
        s_bReadFailed = true;
        return;
    }
    std::memcpy(s_sDialRuleKept, g_sDialRuleTable, sizeof g_sDialRuleTable);
    std::memset(g_sDialRuleTable, 0, sizeof g_sDialRuleTable);
    g_DialRuleNum = rows;
    int counted = 0;
    for (int key = 1; key <= kMaxDialRule; ++key) {
        if (Static_ReadTable(s_sTbDialMap, key) == -2) {
            // A dial map read half way is worse than the old one.
            std::memcpy(g_sDialRuleTable, s_sDialRuleKept, sizeof g_sDialRuleTable);
            f->m_eTBDialMap = E_FLAG_ON;
            s_bReadFailed = true;
            return;
        }
        // Counted only on a rule found, so an empty table has every key tried.
        if (g_sDialRuleTable[key - 1].m_chRuleContent[0] != '\0' && ++counted == g_DialRuleNum) break;
    }
}

void Static_ReadIni(volatile QVD_CGI_SHARE_MEMORY_T* f)
{
    if (s_bReadFailed) return;
    if (f->m_eTBIni != E_FLAG_ON && f->m_eTBChannelSwitch != E_FLAG_ON && f->m_eTBTime != E_FLAG_ON) return;
    f->m_eTBChannelSwitch = E_FLAG_OFF;
    Static_ReadFlagged(f->m_eTBIni, s_sTbIni, 0);
}

void Static_ReadUsers(volatile QVD_CGI_SHARE_MEMORY_T* f)
{
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        if (f->m_eUser[i] != E_FLAG_ON) continue;
        // Columns without a value keep the line's own settings.
        std::memcpy(&g_sDBInfo.m_sUserInfo, &g_sUserInfo[i], kUserCfgPartLen);
        Static_ReadFlagged(f->m_eUser[i], s_sTbUser, i);
    }
}

void Static_ReadUserCors(volatile QVD_CGI_SHARE_MEMORY_T* f)
{
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        if (f->m_eUserCor[i] == E_FLAG_ON) Static_ReadFlagged(f->m_eUserCor[i], s_sTbUserCor, i);
    }
}

// ---- applying ----
bool Static_LineIndexOk(int line) { return line >= 0 && line < g_iUse_Chn_Max && line < kMaxUserChn; }

int Static_UpdateTBIni(void*)
{
    SYS_CFG_INFO_T& W = g_sSysCfgInfo;
    MultiLog_SetMaxPrintLevel(E_LOG_FILE_CFG, S.m_sLogInfo.m_iLogLvl);
    MultiLog_SetMaxPrintLevel(E_LOG_FILE_FLOW, S.m_sLogInfo.m_iLogLvl);

    W.m_sDevEnv.m_sVlanInfo = E.m_sVlanInfo;
    W.m_sDevEnv.m_eAcMode = E.m_eAcMode;
    W.m_sDevEnv.m_eEchoCanceler = E.m_eEchoCanceler;
    W.m_sDevEnv.m_eAutoGainControl = E.m_eAutoGainControl;
    W.m_sDevEnv.m_eSlienceCompression = E.m_eSlienceCompression;
    W.m_sDevEnv.m_eIpAssignType = E.m_eIpAssignType;
    W.m_sSysServer = S.m_sSysServer;
    W.m_eRegMode = S.m_eRegMode;
    W.m_sRegGwInfo = S.m_sRegGwInfo;
    W.m_iRtpPortMax = S.m_iRtpPortMax;
    W.m_iRtpPortMin = S.m_iRtpPortMin;
    W.m_sLogInfo.m_iLogLvl = S.m_sLogInfo.m_iLogLvl;
    W.m_sLogInfo.m_LogServerAddr = S.m_sLogInfo.m_LogServerAddr;
    W.m_sLogInfo.m_iLocalPortLog = S.m_sLogInfo.m_iLocalPortLog;
    W.m_sLogInfo.m_DebugAddr = S.m_sLogInfo.m_DebugAddr;
    W.m_sLogInfo.m_iLocalPortDebugDsp = S.m_sLogInfo.m_iLocalPortDebugDsp;
    W.m_eShappSubmit = S.m_eShappSubmit;
    W.m_eSysDealLOM = S.m_eSysDealLOM;
    W.m_sComfortNoise = S.m_sComfortNoise;
    W.m_eAwakeFlag = S.m_eAwakeFlag;
    W.m_eRequestType = S.m_eRequestType;
    W.m_iRelTime = S.m_iRelTime;
    W.m_eSensitivity = S.m_eSensitivity;
    W.m_eRequestInfoType = S.m_eRequestInfoType;
    W.m_iRPORT = S.m_iRPORT;
    W.m_iPttHotLineTime = S.m_sTimeCfg.m_iTPttHotLineTime;

    const SYS_TIME_SYN_T& st = S.m_sTimeSyn;
    SYS_TIME_SYN_T& wt = W.m_sTimeSyn;
    if (st.m_eSynType != wt.m_eSynType || st.m_iSynExpires != wt.m_iSynExpires ||
        std::strcmp(st.m_sNtpServer.ip, wt.m_sNtpServer.ip) != 0 || st.m_sNtpServer.port != wt.m_sNtpServer.port) {
        wt.m_eSynType = st.m_eSynType;
        wt.m_iSynExpires = st.m_iSynExpires;
        wt.m_sNtpServer = st.m_sNtpServer;
        wt.m_eSynOn = E_FLAG_ON;
        Sys_TimeSync(nullptr);
    }

    int chn = S.m_iChnSwitch;
    Sys_ChnSwitch(chn >= -1 && chn <= 15 ? chn + 1 : 0);

    W.m_sDevEnv.m_eSysCompMod = E.m_eSysCompMod;
    return 0;
}

int Static_UpdateTBKeyAndTime(void*)
{
    g_sSysCfgInfo.m_sTimeCfg = S.m_sTimeCfg;
    return 0;
}

int Static_UpdateTBSerialCfg(void*)
{
    for (int i = 0; i < kMaxComPort; ++i) {
        SYS_SERIAL_INFO& port = g_sSerialInfo[i];
        if (std::memcmp(&g_sDBInfo.m_sComInfo[i], &port.m_sComInfo, sizeof(SYS_COM_CFG_T)) == 0) continue;
        const SYS_COM_CFG_T& cfg = g_sDBInfo.m_sComInfo[i];
        port.m_sComInfo = cfg;
        if (port.m_hSerialHanler >= 0) Serial_Close(&port.m_hSerialHanler);
        SERIAL_STRUCT s{};
        std::snprintf(s.m_chSerialName, sizeof s.m_chSerialName, "/dev/ttyS%d", i + 1);
        s.m_iBaud = cfg.m_iBaudRate;
        s.m_iDataBits = cfg.m_iDataBits;
        s.m_iStopBits = cfg.m_iStopBits;
        s.m_eParity = static_cast<SERIAL_PARITY_E>(cfg.m_eParity);
        s.m_eControl = static_cast<SERIAL_CONTROL_E>(cfg.m_iDataControl);
        port.m_hSerialHanler = Serial_Init(&s);
    }
    return 0;
}

int Static_UpdateTBDailMap(void*)
{
    const SYS_DIAL_MAP& rule = g_sDBInfo.m_sDialRule;
    if (rule.m_iRuleKey < 1 || rule.m_iRuleKey > kMaxDialRule) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "Static_UpdateTBDailMap KEY_ID[%d]获取错误", rule.m_iRuleKey);
        return -1;
    }
    g_sDialRuleTable[rule.m_iRuleKey - 1] = rule;
    return 0;
}

struct FuncKeyDesc {
    FUNCTION_KEY_INFO_T USER_CONFIG_FUNCK_T::*key;
    const char* text;
    USER_FUNC_KEY_CALLBACK handler;
};
constexpr FuncKeyDesc kFuncKeys[] = {
    {&USER_CONFIG_FUNCK_T::m_sKHangOff, "摘机功能键", User_OnHangOffKey},
    {&USER_CONFIG_FUNCK_T::m_sKConDial, "连拨功能键", User_OnConDialKey},
    {&USER_CONFIG_FUNCK_T::m_sKHangUp, "挂机功能键", User_OnHangUpKey},
    {&USER_CONFIG_FUNCK_T::m_sKHotLine, "热线功能键", User_OnHotLineKey},
    {&USER_CONFIG_FUNCK_T::m_sKReDial, "关闭追呼功能键", User_OnCancelReCallKey},
};

void Static_SetFuncKeys(USER_INFO_T& line)
{
    for (const FuncKeyDesc& d : kFuncKeys) {
        FUNCTION_KEY_INFO_T& k = line.m_sKeyCfg.*d.key;
        k.m_iKeyLen = static_cast<int>(std::strlen(k.m_chFuncKey));
        copy_text(k.m_chFuncDescrip, d.text);
        k.m_fpFunc = d.handler;
    }
}

bool Static_SameRegistration(const USER_REG_INFO_T& a, const USER_REG_INFO_T& b)
{
    return std::strcmp(a.m_chRegTel, b.m_chRegTel) == 0 && std::strcmp(a.m_chRegName, b.m_chRegName) == 0 &&
           std::strcmp(a.m_chRegPwd, b.m_chRegPwd) == 0 && a.m_iRegExpires == b.m_iRegExpires;
}

int Static_UpdateTBUser(void*)
{
    const USER_INFO_T& st = g_sDBInfo.m_sUserInfo;
    int idx = st.m_iUserChn;
    if (!Static_LineIndexOk(idx)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "Static_UpdateTBUser 通道[%d]获取错误", idx);
        return -1;
    }
    USER_INFO_T& L = g_sUserInfo[idx];
    if (L.m_iDelFlag == 1) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, idx, "通道[%d]用户取消注销", idx);
        L.m_iDelFlag = 0;
    }
    // A row for a free slot always adds the line, even one whose registration fields are
    // all empty: a slot that becomes used must have its call part and registration set up.
    bool added = L.m_iUserChn == -1;
    bool same_reg = Static_SameRegistration(st.m_sRegInfo, L.m_sRegInfo);

    std::memcpy(&L, &st, kUserCfgPartLen);
    copy_text(L.m_chUserTel, st.m_sRegInfo.m_chRegTel);
    Static_SetFuncKeys(L);

    if (added) {
        // The call part is set up before the registration record is taken over.
        User_InitChnData(idx);
        L.m_sRegInfo = st.m_sRegInfo;
        Reg_UserInit(idx);
        return 0;
    }
    if (same_reg) return 0;

    L.m_iModFlag = 1;
    copy_text(L.m_chNewRegName, st.m_sRegInfo.m_chRegName);
    copy_text(L.m_chNewRegPwd, st.m_sRegInfo.m_chRegPwd);
    copy_text(L.m_chNewRegTel, st.m_sRegInfo.m_chRegTel);
    L.m_iNewRegExpires = st.m_sRegInfo.m_iRegExpires;
    if (L.m_eUserStatus != E_USER_ON_IDLE) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, idx, "通道[%d]用户注册信息被修改,但用户处于[%s],空闲后发起重注册", idx,
                  PrintEnum(g_sPrintUserStatus, L.m_eUserStatus));
    }
    if (L.m_eUserStatus != E_USER_ON_IDLE) return 0;
    if (L.m_sRegInfo.m_eRegResult == E_REG_FAIL)
        REG_ModifyRegisterUser(&L);
    else
        REG_UserUnRegByChn(idx, 0);  // the change follows the removal
    return 0;
}

int Static_NodateTBUser(const char* key)
{
    int idx = std::atoi(key ? key : "");
    if (!Static_LineIndexOk(idx)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "Static_NodateTBUser 通道[%d]获取错误", idx);
        return -1;
    }
    USER_INFO_T& L = g_sUserInfo[idx];
    if (L.m_iUserChn == -1) return -1;
    L.m_iDelFlag = 1;
    if (L.m_eUserStatus != E_USER_ON_IDLE) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, idx, "通道[%d]用户被删除,但用户处于[%s],空闲后发起注销", idx,
                  PrintEnum(g_sPrintUserStatus, L.m_eUserStatus));
        return 0;
    }
    if (L.m_sRegInfo.m_eRegResult == E_REG_FAIL) {
        REG_DeleteRegisterUser(&L);
        return 0;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, idx, "通道[%d]用户被删除,发起注销", idx);
    // The slot is freed when the removal completes.
    REG_UserUnRegByChn(idx, 0);
    return 0;
}

int Static_UpdateTBUserCor(void*)
{
    const USER_INFO_T& st = g_sDBInfo.m_sUserInfo;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        USER_INFO_T& L = g_sUserInfo[i];
        if (L.m_iUserChn == -1 || L.m_iUserChn != st.m_iUserChn) continue;
        L.m_sCfgCorAudio = st.m_sCfgCorAudio;
        L.m_sCfgCorNetwork = st.m_sCfgCorNetwork;
        User_SetCorParity(i);
        User_SetCorRead(i);
        User_SetBateTime(i, L.m_sCfgCorAudio.m_iInhibitTime);
        return 0;
    }
    return -1;
}

// A host name or dotted address: the only texts allowed onto the ntpclient command line.
// Neither starts with a hyphen; a text that did would reach ntpclient as an option (one
// that sets the clock or changes its mode) instead of the server to ask.
bool Static_IsHostText(const char* text)
{
    if (text == nullptr || text[0] == '\0' || text[0] == '-') return false;
    for (const char* p = text; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

void Static_SyncFromSipDate(const char* date)
{
    struct tm t {};
    const char* end = strptime(date, "%a, %d %b %Y %H:%M:%S %Z ", &t);
    int year = t.tm_year + 1900;
    if (end == nullptr || year < 1970 || year > 9999) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, -1, "[SystemTimeSync]-- Sip消息时间[%s]无法解析", date);
        return;
    }
    char cmd[128];
    std::snprintf(cmd, sizeof cmd, "date -u %02d%02d%02d%02d%04d.%02d", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                  year, t.tm_sec);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_SIMPLE, -1,
              "[SystemTimeSync]-- Sip消息时间同步 !!!!SynTime     From[%s] Dst[%02d/%02d/%02d %02d:%02d:%02d],cmd[%s]", date,
              year, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, cmd);
    run_shell(cmd);
    g_sSysCfgInfo.m_sTimeSyn.m_eSynOn = E_FLAG_OFF;
}

void Static_SyncByNtp()
{
    SYS_TIME_SYN_T& ts = g_sSysCfgInfo.m_sTimeSyn;
    if (!Static_IsHostText(ts.m_sNtpServer.ip)) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[SystemTimeSync]-- NTP服务器地址[%s]不合法", ts.m_sNtpServer.ip);
        return;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_SIMPLE, -1, "[SystemTimeSync]-- NtpClient时间同步 !!!!SynTime");
    char cmd[128];
    std::snprintf(cmd, sizeof cmd, "killall ntpclient 2>/dev/null;ntpclient --timer %d %s &", ts.m_iSynExpires,
                  ts.m_sNtpServer.ip);
    run_shell(cmd);
    ts.m_eSynOn = E_FLAG_OFF;
}

}  // namespace

int Sys_InitConfig()
{
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) g_sUserInfo[i].m_iUserChn = -1;
    SystemShareMemInit(g_pCgiShm);
    if (g_pCgiShm == nullptr) {
        QVD_CGI_SHARE_MEMORY_T& f = s_sLocalFlags;
        f.m_eTBIni = f.m_eTBTime = f.m_eTBSerialCfg = f.m_eTBDialMap = f.m_eTBChannelSwitch = E_FLAG_ON;
        for (int i = 0; i < kMaxUserChn; ++i) f.m_eUser[i] = f.m_eUserCor[i] = E_FLAG_ON;
    }
    // Everything after this step is set up from these tables: a save in progress (lock word
    // or database) is waited for, a few seconds at most, rather than starting unconfigured.
    // A stop asked for meanwhile ends the wait.
    for (int tries = 0; tries < kStartReadTries && !System_QuitPending() && Sys_GetConfig(E_TB_ALL) != 0; ++tries)
        usleep(100000);
    return 0;
}

int Sys_GetConfig(READ_TABLE_E tables)
{
    if (ShareMem_GetLock() == FLAG_WEB_ON) return -1;
    volatile QVD_CGI_SHARE_MEMORY_T* f = Static_Flags();
    if (!Static_AnyFlag(f)) return 0;
    bool taken = ShareMem_Lock();
    // A database busy with a save is found here, before any flag is cleared: the whole
    // reload waits for the next second.
    if (DB_BeginRead() != 0) {
        ShareMem_Unlock(taken);
        return -1;
    }
    s_bReadFailed = false;
    switch (tables) {
    case E_TB_ALL:
        Static_ReadDialMap(f);
        Static_ReadIni(f);
        Static_ReadUsers(f);
        Static_ReadUserCors(f);
        if (f->m_eTBTime == E_FLAG_ON) Static_ReadFlagged(f->m_eTBTime, s_sTbKeyAndTime, 0);
        if (f->m_eTBSerialCfg == E_FLAG_ON) Static_ReadFlagged(f->m_eTBSerialCfg, s_sTbSerialCfg, 0);
        break;
    case E_TB_DIAL_MAP:
        Static_ReadDialMap(f);
        break;
    case E_TB_INI:
        Static_ReadIni(f);
        break;
    case E_TB_USER:
        Static_ReadUsers(f);
        break;
    case E_TB_USER_COR:
        Static_ReadUserCors(f);
        break;
    case E_TB_KEY_AND_TIME:
        if (f->m_eTBTime == E_FLAG_ON) Static_ReadFlagged(f->m_eTBTime, s_sTbKeyAndTime, 0);
        break;
    case E_TB_SERIAL_CFG:
        if (f->m_eTBSerialCfg == E_FLAG_ON) Static_ReadFlagged(f->m_eTBSerialCfg, s_sTbSerialCfg, 0);
        break;
    }
    DB_EndRead();
    ShareMem_Unlock(taken);
    return 0;
}

void Sys_CheckTimeSyncExpires()
{
    SYS_TIME_SYN_T& ts = g_sSysCfgInfo.m_sTimeSyn;
    if (ts.m_eSynType != E_TIME_SYN_SIP_MSG) return;
    ++s_llTimeSyncCount;
    if (ts.m_eSynOn == E_FLAG_ON || s_llTimeSyncCount <= ts.m_iSynExpires) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1,
              "[SystemCheckTimeSyncExpires]-- 时间同步计数器[%lld] > 时间同步周期Expires[%d], 进行时间同步",
              s_llTimeSyncCount, ts.m_iSynExpires);
    s_llTimeSyncCount = 0;
    ts.m_eSynOn = E_FLAG_ON;
}

void Sys_TimeSync(const char* date)
{
    const SYS_TIME_SYN_T& ts = g_sSysCfgInfo.m_sTimeSyn;
    if (ts.m_eSynOn != E_FLAG_ON) return;
    switch (ts.m_eSynType) {
    case E_TIME_SYN_SIP_MSG:
        run_shell("killall ntpclient 2>/dev/null");
        if (date) Static_SyncFromSipDate(date);
        break;
    case E_TIME_SYN_NTP:
        Static_SyncByNtp();
        break;
    case E_TIME_SYN_OFF:
        run_shell("killall ntpclient 2>/dev/null");
        break;
    default:
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "错误的时间同步参数选项\n");
        break;
    }
}

void Sys_ChnSwitch(int channel)
{
    ArmEnv_ChannelSwitch(channel);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, 1, "[Sys_ChnSwitch]--User[1] Switch Chn , 设置车台通为[%d]", channel);
}

int HTTP_Deal_ChannelSwitch(int channel)
{
    int staged = (channel >= 0 && channel <= 15) ? channel - 1 : -1;
    S.m_iChnSwitch = staged;
    Sys_ChnSwitch(staged + 1);
    return DB_Update_ChannleSwitch(staged) == 0 ? 0 : -1;
}

char SystemChangeFormatOfKey(int code)
{
    if (code >= 0 && code <= 9) return static_cast<char>('0' + code);
    if (code == 10) return '*';
    if (code == 11) return '#';
    return static_cast<char>(255);
}

int Sys_GetSwitchEnumByAddr(const IPV4_ADDRESS* address)
{
    if (address == nullptr) return -1;
    for (int i = 0; i < kMaxSwitchAddr; ++i) {
        if (g_sSysCfgInfo.m_sSysServer.m_sServerAddr[i].port == address->port) return i;
    }
    return -1;
}

int Sys_SetInterfaceIP(const char* address)
{
    // The board's network start-up reads this file: a quote, a line end or a text too long
    // for the line would break it, so only a dotted address is written.
    in_addr probe{};
    bool ok = address != nullptr && inet_pton(AF_INET, address, &probe) == 1;
    if (ok) {
        char value[64];
        std::snprintf(value, sizeof value, "\"%s\"", address);
        ok = Sys_ReplaceKeyLines("/root/interfaces", "ip=", value) >= 0;
    }
    if (!ok) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "Set IP Failed");
        return -1;
    }
    return 0;
}

int Sys_ReplaceKeyLines(const char* path, const char* key, const char* value)
{
    // The files rewritten here are a few short lines; a bigger one is left whole rather than
    // written back with anything missing.
    constexpr std::size_t kImageMax = 1024;
    if (path == nullptr || key == nullptr || key[0] == '\0' || value == nullptr) return -1;
    std::string real = board_path(path);
    FILE* f = std::fopen(real.c_str(), "r");
    if (f == nullptr) return -1;
    std::string image;
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && image.size() <= kImageMax) image.append(chunk, n);
    bool read_ok = !std::ferror(f);
    std::fclose(f);
    if (!read_ok || image.size() > kImageMax) return -2;

    // Whole lines, however long: only a line that begins with the key is the key's line.
    const std::string wanted = std::string(key) + value + "\n";
    std::string out;
    int replaced = 0;
    for (std::size_t at = 0; at < image.size();) {
        std::size_t end = image.find('\n', at);
        std::size_t next = end == std::string::npos ? image.size() : end + 1;
        std::string_view line(image.data() + at, next - at);
        if (line.substr(0, std::strlen(key)) == key && line != wanted) {
            out += wanted;
            ++replaced;
        } else {
            out += line;
        }
        at = next;
    }
    if (replaced == 0) return 0;
    f = std::fopen(real.c_str(), "w");
    if (f == nullptr) return -3;
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::printf("write error!\n");
        return -4;
    }
    return replaced;
}
