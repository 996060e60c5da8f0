// define_sys.h — radiogate's fixed sizes and the enumerations its records and tables share.
// Every enumeration is int-sized: its values are stored from database integers and written
// into the segment shared with the web configuration program as 32-bit words.
#pragma once

inline constexpr int kMaxUserChn = 9;      // line slots; the board uses 2, 4 or 9 of them
inline constexpr int kMaxSwitchAddr = 4;   // host softswitch and three backups
inline constexpr int kMaxDialRule = 128;   // rows of the dial map
inline constexpr int kMaxComPort = 2;      // COM1 and COM2 of the settings table
inline constexpr int kMaxCodePriority = 8;

inline constexpr const char kProgramVersion[] = "QVD_R1.0.4";
inline constexpr const char kProgramBranchDate[] = "2025.05.07";

enum SYS_FLAG_E : int { E_FLAG_OFF = 0, E_FLAG_ON = 1 };

// An IPv4 address as text and a port; 28 bytes wherever it is stored.
struct IPV4_ADDRESS {
    char ip[24];
    int port;
};
static_assert(sizeof(IPV4_ADDRESS) == 28);

// ---- configuration (database) values ----
enum SYS_IP_ASSIGN_TYPE_E : int { E_IP_ASSIGN_STATIC = 0, E_IP_ASSIGN_DHCP = 1 };
enum SYS_COMPATIBLE_MODE_E : int { E_SYS_2W = 0, E_SYS_4W = 1, E_SYS_9W = 2, E_SYS_4V = 3 };
enum RES490_CHIP_TYPE_E : int { E_CHIP_UN_USED = -1, E_CHIP_12 = 0, E_CHIP_16 = 1, E_CHIP_20 = 2 };
enum SYS_REG_SW_TYPE_E : int {
    E_REG_SW_TYPE_NO_SWITCH = 0,
    E_REG_SW_TYPE_HOST_PRIORITY = 1,
    E_REG_SW_TYPE_IN_SEQUENCE = 2,
};
enum SYS_REG_SW_NAME_E : int { E_REG_SW_HOST = 0, E_REG_SW_BAK_1 = 1, E_REG_SW_BAK_2 = 2, E_REG_SW_BAK_3 = 3 };
enum SYS_TIME_SYN_TYPE_E : int { E_TIME_SYN_SIP_MSG = 0, E_TIME_SYN_NTP = 1, E_TIME_SYN_OFF = 2 };
enum SYS_DEAL_LOM_E : int { E_LOM_DEAL_NULL = 0, E_LOM_DEAL_RELEASE = 1, E_LOM_DEAL_RECONNECT = 2 };
enum SYS_REG_TYPE_E : int {
    E_REG_TYPE_GATEWAY = 0,
    E_REG_TYPE_BY_LINE = 1,
    E_REG_TYPE_GATEWAY_AND_LINE = 2,
};
enum SHAPP_KEY_E : int { E_NORMAL_KEY = 0, E_SUBMIT_KEY = 1 };
enum SYS_REQUESTINFO_TYPE : int { E_INFO_DTMF = 0, E_INFO_SIP = 1 };
enum SYS_REQUEST_TYPE : int { E_USE_NO = 0, E_USE_VOX = 1, E_USE_COR = 2 };
enum SYS_COR_VOX_SENSITIVITY_E : int {
    E_VOX_SENSITIVITY_MIN_5 = 0,
    E_VOX_SENSITIVITY_MIN_4,
    E_VOX_SENSITIVITY_MIN_3,
    E_VOX_SENSITIVITY_MIN_2,
    E_VOX_SENSITIVITY_MIN_1,
    E_VOX_SENSITIVITY_0,
    E_VOX_SENSITIVITY_1,
    E_VOX_SENSITIVITY_2,
    E_VOX_SENSITIVITY_3,
    E_VOX_SENSITIVITY_4,
    E_VOX_SENSITIVITY_5,
};
enum SYS_COM_PARITY_E : int { E_PARITY_NULL = 0, E_PARITY_ODD = 1, E_PARITY_EVEN = 2 };
enum SYS_DTMF_TYPE : int {
    E_DTMF_TYPE_NULL = -1,
    E_DTMF_TYPE_RFC2833 = 0,
    E_DTMF_TYPE_INBAND = 1,
    E_DTMF_TYPE_SIPINFO = 2,
};
enum RECALL_ON_NEWCALL_E : int { E_IGNORE_NEWCALL = 0, E_CANCEL_RECALL = 1, E_NEWCALL_AND_RECALL = 2 };
enum API_VOLUME_GAIN_E : int {
    E_API_VOLUME_MUTE = 0,
    E_API_VOLUME_LEVL_1,
    E_API_VOLUME_LEVL_2,
    E_API_VOLUME_LEVL_3,
    E_API_VOLUME_LEVL_4,
    E_API_VOLUME_LEVL_5,
    E_API_VOLUME_LEVL_6,
    E_API_VOLUME_LEVL_7,
};

// Tables the reload can be asked for.
enum READ_TABLE_E : int {
    E_TB_USER_COR = 0,
    E_TB_DIAL_MAP = 1,
    E_TB_INI = 2,
    E_TB_KEY_AND_TIME = 3,
    E_TB_SERIAL_CFG = 4,
    E_TB_USER = 5,
    E_TB_ALL = 6,
};

// ---- line and registration state ----
enum USER_STATUS_E : int {
    E_USER_ON_IDLE = 0,
    E_USER_ON_RING_180 = 1,
    E_USER_ON_RING_183 = 2,
    E_USER_ON_TALKING = 3,
    E_USER_ON_SEND_RING = 4,
    E_USER_ON_MAKE_CALL = 5,
    E_USER_ON_REDIAL = 6,
    E_USER_STATUS_RECVING_KEY = 7,
    E_USER_STATUS_RECVING_FUNC_KEY = 8,
    E_USER_PLAY_TONE_BUSY = 9,
    E_USER_PLAY_TONE_DIAL_PTT_ON = 10,
    E_USER_PLAY_TONE_DIAL_PTT_OFF = 11,
    E_USER_PLAY_TONE_URGER = 12,
    E_USER_PLAY_TONE_RING_BACK_PTT_ON = 13,
    E_USER_PLAY_TONE_RING_BACK_PTT_OFF = 14,
    E_USER_PLAY_TONE_WAIT_IN = 15,
    E_USER_PLAY_TONE_SEPCIAL_DIAL = 16,
};
// Call-progress tones a line plays; the DSP layer owns their cadences.
enum SYS_PLAY_TONE_TYPE_E : int {
    E_PLAY_TONE_NULL = -1,
    E_PLAY_TONE_URGER = 0,
    E_PLAY_TONE_DAIL = 1,
    E_PLAY_TONE_BUSY = 2,
    E_PLAY_TONE_RING_BACK = 3,
    E_PLAY_TONE_RING_BACK2 = 4,
    E_PLAY_TONE_WAIT_IN = 5,
    E_PLAY_TONE_SEPCIAL_DAIL = 6,
    E_PLAY_TONE_MAX = 7,
};
enum SYS_CALLER_E : int { E_IS_CALLER = 0, E_IS_CALLEE = 1 };
// Duplex of a call; E_MODE_NULL while the line has none.
enum SIPINFO_MODE : int { E_MODE_FULL = 0, E_MODE_HALF = 1, E_MODE_NULL = 2 };
// Who keyed a line's PTT: nobody, network voice, or a floor INFO from the far end.
enum PTT_TYPE : int { E_PTT_NULL = 0, E_PTT_VOX = 1, E_PTT_SIPINFO = 2 };
// The floor (right to speak) of a radio call.
enum SPEEK_RIGHT_E : int {
    E_QUIET_MODE = 0,
    E_LISTEN_ONLY = 1,
    E_REQ_SPEEK_RIGHT = 2,
    E_REQ_SPEEK_SUCC = 3,
    E_REQ_SPEEK_FAIL = 4,
    E_RELEASE_SPEEK_RIGHT = 5,
    E_RELEASE_SPEEK_SUCC = 6,
    E_RELEASE_SPEEK_FAIL = 7,
};
// How far a dialled number matches a dial-map rule.
enum MATCH_TYPE_E : int { E_ALL_MATCH = 0, E_PART_MATCH = 1, E_NO_MATCH = 2 };
// The answer to a far end's floor request or release.
enum VOICE_CTRL_E : int { E_REQ_CTRL = 0, E_REQ_SUCC = 1, E_REQ_FAIL = 2, E_REL_CTRL = 3, E_REL_SUCC = 4 };
// What a floor event text means.
enum SIPINFO_CMD : int {
    E_REQ_ACCEPT = 0,
    E_REQ_REJECT = 1,
    E_REQUEST_EVENT = 2,
    E_RELEASE_EVENT = 3,
    E_REL_ACCEPT = 4,
    E_REL_REJECT = 5,
    E_UNKOWN = 6,
};

enum REG_STATUS_E : int {
    E_REG_STATUS_INIT = 0,
    E_REG_STATUS_WAIT_NEXT_EXPIRE = 1,
    E_REG_STATUS_WAIT_RSP_FIRST = 2,
    E_REG_STATUS_WAIT_RSP_SECOND = 3,
    E_REG_STATUS_WAIT_RSP_THIRD = 4,
    E_REG_STATUS_WAIT_UNREGISTING = 5,
};
enum REG_RESULT_E : int {
    E_REG_INIT = -1,
    E_REG_UNREGISTER = 0,
    E_REG_SUCC = 1,
    E_REG_FAIL = 2,
    E_REG_TIMEOUT = 3,
    E_REG_SUCC_GATEWAY = 4,
    E_REG_MAX = 5,
};

// ---- what the web configuration program is shown ----
enum QVD_FLAG_LOCK_E : int { FLAG_ALL_OFF = 0, FLAG_WEB_ON = 1, FLAG_PRO_ON = 2 };
enum SYS_LINE_STATUS_E : int {
    E_LINE_STATUS_IDLE = 0,
    E_LINE_STATUS_MAKE_NEW_CALL = 1,
    E_LINE_STATUS_RINGING = 2,
    E_LINE_STATUS_TALKING = 3,
    E_LINE_STATUS_ON_HOOK = 4,
    E_LINE_STATUS_REC_KEY = 5,
    E_LINE_STATUS_REC_FUNC_KEY = 6,
    E_LINE_STATUS_DIAL = 7,
    E_LINE_STATUS_RING_BACK = 8,
};
enum QVD_CALL_STATUS_E : int { E_CALL_STATUS_IN_TALKING = 0 };
enum API_PCM_ADPCM_FRAME_DURATION_E : int {
    E_PCM_ADPCM_FRAME_DURATION__DISABLE = 0,
    E_PCM_ADPCM_FRAME_DURATION__10_MSEC = 1,
    E_PCM_ADPCM_FRAME_DURATION__20_MSEC = 2,
    E_PCM_ADPCM_FRAME_DURATION__30_MSEC = 3,
};
