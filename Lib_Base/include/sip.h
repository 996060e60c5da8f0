// sip.h — the SIP stack library of radiogate: one UDP socket, integer channel handles, per-channel
// setters and getters, one receive callback with a message code, LIBSIP_Send with a message code.
// The callback runs only inside LIBSIP_Thread(), which the gateway calls every 10 ms.
#pragma once

// The gateway and the stack pass one IPV4_ADDRESS between them: the gateway's definition.
#include "define_sys.h"

// Codecs as the gateway numbers them; a_coders entries from 96 to 127 name a telephone-event payload.
enum codec { UNKONW = 0, G711_A = 1, G711_U = 2, G729 = 3, G723 = 4, TE101 = 5, GSM = 6, G726 = 7 };

// Media direction; a cleared SDP, and a received one without a direction line, is SENDRECV.
enum sdp_media { SENDRECV = 0, SENDONLY = 1, RECVONLY = 2, INACTIVE = 3 };

inline constexpr int kSipSdpCoders = 8;

struct FAX_INFO {          // a T.38 image stream
    IPV4_ADDRESS fax_addr;
};

struct SIP_SDP {
    int a_use;                     // an audio stream is offered (1) or none (0)
    int a_coders[kSipSdpCoders];   // codecs in order of preference, 0 = empty
    int a_media;                   // sdp_media
    char a_content[256];           // further attribute lines of the audio stream, each ending CR LF
    int a_conten_nouse;            // set by the gateway on every SDP it hands over; the writer sends a_content whenever it is not empty
    int a_ptime;                   // packet time in ms, 0 = none
    IPV4_ADDRESS a_addr;           // connection address and audio port
    int v_use;                     // a video stream was offered (read only; the stack offers no video)
    IPV4_ADDRESS v_addr;
    int fax_use;                   // 1: a T.38 image stream (fax_addr); the gateway uses 2 for "X-fax" audio
    FAX_INFO fax;
};

struct SIP_CALL_INFO {     // the Call-Info text of a request or answer
    int use;
    char content[128];
};

struct SIP_USER_AGENT {    // the User-Agent text of a channel's requests
    int use;
    char content[64];
};

struct AUTH_ELEMENT_T {    // credentials for answering a digest challenge
    int m_iAuthMethod;     // kept for the gateway's tables; the digest uses the challenged request's method
    char m_chUserName[32];
    char m_chPasswd[64];
};

struct REFER_INFO {        // the number a REFER sends the far end to
    char m_chReferTel[64];
};

struct LIBSIP_XML_T {      // an XML body as received
    int m_iLen;
    char m_chXml[2048];
};

// The challenged request kind reported with code 214.
enum AUTH_MSG_TYPE_E {
    E_AUTH_NONE = 0, E_INVITE = 1, E_UPDATE = 2, E_REFER = 3, E_BYE = 4, E_CANCEL = 5, E_INFO = 6,
    E_SUBCRIBE = 7, E_MESSAGE = 8, E_NOTIFY = 9, E_OPTIONS = 10, E_REGISTER = 11, E_PRACK = 12,
};

// Request methods (small values) and response codes (the status code itself).
enum sip_code_method {
    SIP_MSG_NONE = 0,
    SIP_REQUEST_MSG_INVITE = 1, SIP_REQUEST_MSG_ACK = 2, SIP_REQUEST_MSG_BYE = 3, SIP_REQUEST_MSG_CANCEL = 4,
    SIP_REQUEST_MSG_OPTIONS = 5, SIP_REQUEST_MSG_REGISTER = 6, SIP_REQUEST_MSG_INFO = 7, SIP_REQUEST_MSG_PRACK = 8,
    SIP_REQUEST_MSG_SUBSCRIBE = 9, SIP_REQUEST_MSG_NOTIFY = 10, SIP_REQUEST_MSG_UPDATE = 11,
    SIP_REQUEST_MSG_MESSAGE = 12, SIP_REQUEST_MSG_REFER = 13, SIP_REQUEST_MSG_PUBLISH = 14,
    SIP_RESPONSE_MSG_100_TRYING = 100, SIP_RESPONSE_MSG_180_RINGING = 180, SIP_RESPONSE_MSG_182_QUEUED = 182,
    SIP_RESPONSE_MSG_183_SESSION_PROGRESS = 183, SIP_RESPONSE_MSG_200_OK = 200,
    SIP_RESPONSE_MSG_300_MULTIPLE_CHOICES = 300, SIP_RESPONSE_MSG_301_MOVED_PERMANENTLY = 301,
    SIP_RESPONSE_MSG_302_MOVED_TEMPORARILY = 302, SIP_RESPONSE_MSG_380_ALTERNATIVE_SERVICE = 380,
    SIP_RESPONSE_MSG_400_BAD_REQUEST = 400, SIP_RESPONSE_MSG_401_UNAUTHORIZED = 401,
    SIP_RESPONSE_MSG_402_PAYMENT_REQUIRED = 402, SIP_RESPONSE_MSG_403_FORBIDDEN = 403,
    SIP_RESPONSE_MSG_404_NOT_FOUND = 404, SIP_RESPONSE_MSG_405_METHOD_NOT_ALLOWED = 405,
    SIP_RESPONSE_MSG_406_NOT_ACCEPTABLE = 406, SIP_RESPONSE_MSG_407_PROXY_AUTHENTICATION_REQUIRED = 407,
    SIP_RESPONSE_MSG_408_REQUEST_TIMEOUT = 408, SIP_RESPONSE_MSG_410_GONE = 410,
    SIP_RESPONSE_MSG_413_REQUEST_ENTITY_TOO_LARGE = 413, SIP_RESPONSE_MSG_414_REQUEST_URI_TOO_LONG = 414,
    SIP_RESPONSE_MSG_415_UNSUPPORTED_MEDIA_TYPE = 415, SIP_RESPONSE_MSG_416_UNSUPPORTED_URI_SCHEME = 416,
    SIP_RESPONSE_MSG_420_BAD_EXTENSION = 420, SIP_RESPONSE_MSG_421_EXTENSION_REQUIRED = 421,
    SIP_RESPONSE_MSG_423_INTERVAL_TOO_BRIEF = 423, SIP_RESPONSE_MSG_480_TEMPORARILY_UNAVAILABLE = 480,
    SIP_RESPONSE_MSG_481_CALL_TRANSACTION_DOES_NOT_EXIST = 481, SIP_RESPONSE_MSG_482_LOOP_DETECTED = 482,
    SIP_RESPONSE_MSG_483_TOO_MANY_HOPS = 483, SIP_RESPONSE_MSG_484_ADDRESS_INCOMPLETE = 484,
    SIP_RESPONSE_MSG_485_AMBIGUOUS = 485, SIP_RESPONSE_MSG_486_BUSY_HERE = 486,
    SIP_RESPONSE_MSG_487_REQUEST_TERMINATED = 487, SIP_RESPONSE_MSG_488_NOT_ACCEPTABLE_HERE = 488,
    SIP_RESPONSE_MSG_491_REQUEST_PENDING = 491, SIP_RESPONSE_MSG_493_UNDECIPHERABLE = 493,
    SIP_RESPONSE_MSG_500_SERVER_INTERNAL_ERROR = 500, SIP_RESPONSE_MSG_501_NOT_IMPLEMENTED = 501,
    SIP_RESPONSE_MSG_502_BAD_GATEWAY = 502, SIP_RESPONSE_MSG_503 = 503,
    SIP_RESPONSE_MSG_504_SERVER_TIMEOUT = 504, SIP_RESPONSE_MSG_505_VERSION_NOT_SUPPORTED = 505,
    SIP_RESPONSE_MSG_513_MESSAGE_TOO_LARGE = 513, SIP_RESPONSE_MSG_600_BUSY_EVERYWHERE = 600,
    SIP_RESPONSE_MSG_603_DECLINE = 603, SIP_RESPONSE_MSG_604_DOES_NOT_EXIST_ANYWHERE = 604,
    SIP_RESPONSE_MSG_606_NOT_ACCEPTABLE = 606,
};

// Where answers go: the address a request came from (socket) or the one its Via names.
enum LIBSIP_SRCADDR_TYPE_E { E_SRCADDR_VIA = 0, E_SRCADDR_SOCKET = 1 };

struct LIBSIP_CFG_INFO_T {
    char m_chStackHost[24];        // own address: the socket is bound here and named in Via and Contact
    int m_iStackPort;
    char m_chDefaultHost[24];      // destination of requests whose channel names none
    int m_iDefaultPort;
    int m_iSipMaxArray;            // channel handles, 0 .. m_iSipMaxArray - 1
    int m_iLogLevel;
    int m_iEnableResetChnPromptly;
    int m_iDisableSessionTimer;
    int m_iSessionExpires;
    int m_iMinSe;
    int m_eSourceAddrType;         // LIBSIP_SRCADDR_TYPE_E
    int m_iTimerT1;                // retransmission base in ms; 0 = 500 (the other timers scale with it)
};

struct LIBSIP_REPORT_MSG_T {       // 1: the request is reported to the gateway; 0: the stack answers it
    int m_iInvite, m_iUpdate, m_iRefer, m_iBye, m_iCancel, m_iInfo, m_iNotify;
    int m_iSubscribe, m_iMessage, m_iOptions, m_iRegister, m_iPublish;
};

typedef void (*LIBSIP_UP_FUNC)(int iType, int iSipChn, int iDataType);

// Set-up, once, in this order. LIBSIP_ConfigInfo: 0, -1 bad argument, -2 socket refused.
int LIBSIP_ConfigInfo(const LIBSIP_CFG_INFO_T* cfg);
int LIBSIP_SetMessageUp(const LIBSIP_REPORT_MSG_T* report);
int LIBSIPUpInit(LIBSIP_UP_FUNC func);

void LIBSIP_Thread();                // every 10 ms: receive, run timers, report
void LIBSIP_TestChnState();          // once a minute: reclaims handles of ended calls the gateway kept
const char* LIBSIP_GetLibVersion();

int LIBSIP_CreatChn(int hint);       // a new handle (0 and up), or -1 when the table is full
int LIBSIP_ResetChn(int chn);        // 0; -1 for a handle out of range (a free handle is no error)

// Setters: 0, or -1 for a handle out of range or not in use, -2 for a missing value.
int LIBSIP_SetFromTel(int chn, const char* tel);
int LIBSIP_SetToTel(int chn, const char* tel);
int LIBSIP_SetUserHost(int chn, const IPV4_ADDRESS* addr);
int LIBSIP_SetExpires(int chn, int seconds);
int LIBSIP_SetRPORT(int chn, int on);
int LIBSIP_SetChnType(int chn, int type);
int LIBSIP_SetUserAgent(int chn, const SIP_USER_AGENT* ua);
int LIBSIP_SetAuthor(int chn, const AUTH_ELEMENT_T* auth);
int LIBSIP_SetDataType(int chn, int type);          // 0 none, 1 SDP, 2 XML, 4 text
int LIBSIP_SetSdp(int chn, const SIP_SDP* sdp);
int LIBSIP_SetInfo(int chn, const char* text);
int LIBSIP_SetCallInfo(int chn, const SIP_CALL_INFO* info);
int LIBSIP_SetDisReason(int chn, int reason);       // sip_code_method of the next failure response
int LIBSIP_SetReferInfo(int chn, const REFER_INFO* refer);
int LIBSIP_SetXmlInfo(int chn, const char* xml);
int LIBSIP_SetSbcAddr(const IPV4_ADDRESS* addr);    // whole stack

// 0 sent; -1 handle out of range or not in use, -2 nothing to answer or no dialog for it,
// -3 unknown code, -4 message does not fit, -5 no transaction could be made.
int LIBSIP_Send(int code, int chn);

// Getters: meant for the callback; they read what the channel last received.
const char* LIBSIP_GetFromTel(int chn);
const char* LIBSIP_GetToTel(int chn);
SIP_SDP* LIBSIP_GetSdp(int chn);
int LIBSIP_GetAlertRingLevel(int chn);
const char* LIBSIP_GetSipDate(int chn);
int LIBSIP_GetExpires(int chn);
// The lifetime a 423 (Interval Too Brief) answer names in Min-Expires: the least the server
// takes, for the next REGISTER to ask; 0 when the last answer named none.
int LIBSIP_GetMinExpires(int chn);
sip_code_method LIBSIP_GetErrorCause(int chn);
sip_code_method LIBSIP_GetCseqMethod(int chn);
const char* LIBSIP_GetEvent(int chn);
LIBSIP_XML_T* LIBSIP_GetXml(int chn);
int LIBSIP_GetDataType(int chn);
const char* LIBSIP_GetInfo(int chn);
SIP_CALL_INFO* LIBSIP_GetCallInfo(int chn);
IPV4_ADDRESS* LIBSIP_GetUserHost(int chn);
AUTH_MSG_TYPE_E LIBSIP_GetAuthType(int chn);
int LIBSIP_FreeXml(int chn);
