// The RTP layer's receive path: whatever datagrams a far end (or anyone else) sends into an
// open channel, of any length and content, under each network COR type, the layer reads only
// what arrived, never indexes outside its rings, and hands the DSP only stored lengths. The
// same bytes also go through the line-side path as the DSP pump would hand them over.
// The UDP helpers are replaced by a queue of the input's datagrams; the line module, the SIP
// manager, the DSP and the board are stubs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arm_environment.h"
#include "fifo.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sipman.h"
#include "struct_sys.h"
#include "user.h"

SYS_CFG_INFO_T g_sSysCfgInfo;
SYS_DATA_BASE_INFO_T g_sDBInfo;
USER_INFO_T g_sUserInfo[kMaxUserChn];
int g_iUse_Chn_Max = 2;
int g_iChnChangeFactor = 1;

namespace {
const std::uint8_t* g_data = nullptr;  // the datagram waiting for the next receive
int g_len = 0;
bool g_stranger = false;
constexpr char kFarIp[] = "10.0.0.9";
constexpr int kFarPort = 40000;

int Check(int dsp_chn, unsigned char* packet, int length, int)
{
    // What reaches the DSP must lie inside a ring slot and belong to a line.
    if (dsp_chn < 1 || dsp_chn > g_iUse_Chn_Max || length < 0 || length > kRtpBufLen) std::abort();
    volatile unsigned char sink = 0;
    for (int i = 0; i < length; ++i) sink = sink ^ packet[i];
    return 0;
}
int VoiceStart(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_ON); }
int VoiceStop(int ch) { return RTP_SetSendOnOff(ch, E_RTP_BUF_NETWORK, E_FLAG_OFF); }
}  // namespace

int Udp_Socket_Create(int) { return 100; }
int Udp_Socket_Send(int, const void*, int length, const char*, int) { return length; }
int Udp_Socket_Close(int) { return 0; }
int Udp_Socket_recv_By_Addr(int, void* buffer, int size, char* ip, int* port)
{
    if (g_data == nullptr) return -1;
    int n = g_len < size ? g_len : size;
    std::memcpy(buffer, g_data, static_cast<std::size_t>(n));
    std::strcpy(ip, g_stranger ? "10.0.0.7" : kFarIp);
    *port = kFarPort;
    g_data = nullptr;
    return n;
}

USER_INFO_T* User_GetByResChn(int ch) { return ch >= 0 && ch < g_iUse_Chn_Max ? &g_sUserInfo[ch] : nullptr; }
USER_INFO_T* User_GetByUserChn(int ch) { return User_GetByResChn(ch); }
SYS_FLAG_E User_GetVoiceCorFlag(int) { return E_FLAG_ON; }
int User_SetPTTOn(USER_INFO_T*) { return 0; }
int User_SetPTTOff(USER_INFO_T*) { return 0; }
int User_PstnVoiceFirst(USER_INFO_T*) { return 0; }
int UserRequestPro(int) { return 0; }
int UserReleasePro(int) { return 0; }
int SipMan_SendBye(int, int) { return 0; }
void ShareMem_SetRtpLen(int, API_PCM_ADPCM_FRAME_DURATION_E) {}
int RES490_SetRtpFrameSize(int, int) { return 0; }
void ArmEnv_SetPTT(int, int) {}

// Input: settings (4 bytes: COR type and flags, pre-voice and hang time in 10 ms, VOX
// sensitivity), then datagrams: a control byte (bit 0 from another source, bit 1 also handed
// over from the line side, bit 2 the call ends, bits 3-7 milliseconds to run after it), a
// length byte (twice it is the length) and the bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) return 0;
    for (int i = 0; i < kMaxUserChn; ++i) g_sUserInfo[i] = {};
    USER_INFO_T& u = g_sUserInfo[0];
    u.m_iChnRes = 0;
    u.m_iChnSip = 3;
    u.m_eUserStatus = E_USER_ON_TALKING;
    u.m_iRfcPayLoad = 101;
    u.m_eUseCoder = (data[0] & 0x80) ? G711_U : G711_A;
    u.m_ePttType = (data[0] & 4) ? E_PTT_SIPINFO : E_PTT_NULL;
    u.m_eSampleCorFlag = (data[0] & 8) ? E_FLAG_ON : E_FLAG_OFF;
    u.m_ePTTFlag = (data[0] & 0x40) ? E_FLAG_ON : E_FLAG_OFF;
    u.m_RTPflag = (data[0] & 16) ? 2 : 0;
    u.m_sCfgCorNetwork = {data[0] & 3, 0, data[3] % 12, data[2] * 10, data[1] * 10, 60, 0};
    g_sSysCfgInfo.m_eRequestType = static_cast<SYS_REQUEST_TYPE>((data[0] >> 5) & 1);
    g_sSysCfgInfo.m_eSensitivity = static_cast<SYS_COR_VOX_SENSITIVITY_E>(data[3] % 12);
    g_sSysCfgInfo.m_iRelTime = 200;
    std::strcpy(g_sDBInfo.m_sSysCfgInfo.m_chrequestpro, "*");
    std::strcpy(g_sDBInfo.m_sSysCfgInfo.m_chreleasepro, "11");

    static bool ready = false;
    if (!ready) {
        RTP_INIT_T init{VoiceStart, VoiceStop, Check, nullptr, nullptr, {"127.0.0.1", 30000}};
        RTP_Init(&init);
        ready = true;
    }
    RTP_ChannelClose(0, 0);
    IPV4_ADDRESS far{};
    std::strcpy(far.ip, kFarIp);
    far.port = kFarPort;
    RTP_SetRemoteAddr(0, 0, &far);
    RTP_SetCorInfoNetwork(0, &u.m_sCfgCorNetwork);
    RTP_ChannelOpen(0, 0);
    RTP_SetRtpChnCoder(0);
    RTP_SetRtpFrameSize(0, 20);

    std::size_t at = 4;
    while (at + 2 <= size) {
        const std::uint8_t ctrl = data[at];
        int len = data[at + 1] * 2;
        at += 2;
        if (len > static_cast<int>(size - at)) len = static_cast<int>(size - at);
        g_data = data + at;
        g_len = len;
        g_stranger = ctrl & 1;
        if (ctrl & 4) RTP_SetRtpOverFlag(0, E_FLAG_ON);
        RTP_Process();
        g_data = nullptr;
        if (ctrl & 2) {
            unsigned char line[kRtpBufLen];
            std::memcpy(line, data + at, static_cast<std::size_t>(len < kRtpBufLen ? len : kRtpBufLen));
            RTP_PacketRecvFromPstn(1, line, len, kDspPacketRtp);
        }
        for (int ms = ctrl >> 3; ms > 0; --ms) RTP_Process();
        at += static_cast<std::size_t>(len);
    }
    return 0;
}
