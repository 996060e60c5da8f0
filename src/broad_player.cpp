#include "broad_player.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "arm_environment.h"
#include "http_interface.h"
#include "multi_log.h"
#include "rtp_res.h"
#include "struct_sys.h"
#include "user.h"
#include "user_s2p.h"

namespace {

constexpr char kBroadFile[] = "1.wav";   // in the working directory, where the conversion writes it
constexpr int kHangUpLines = 4;          // the calls of lines 0 to 3 end before a broadcast
// Line 0 ends a hung-up call with its busy tone; the broadcast waits that long and this much
// more for the line to become idle before it gives up.
constexpr int kIdleSlackMs = 2000;

std::atomic<bool> s_bStarted{false};

// The player's own progress, main loop only.
int s_iTick = 0;            // steps since the broadcast began playing
int s_iWaitMs = 0;          // how long line 0 has been waited for
bool s_bLineTaken = false;  // line 0's media are open and its PTT keyed for the broadcast
long s_lDataLen = 0;        // audio bytes of "1.wav" behind its header
long s_lDataLeft = 0;       // of this pass

int Static_Status()
{
    std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
    return g_sBroadInfo.broad_status;
}

// The server writes only 3 into a broadcast under way, so a move made while it wrote stays
// undone and the stop is seen at the next step.
bool Static_Move(int from, int to)
{
    std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
    if (g_sBroadInfo.broad_status != from) return false;
    g_sBroadInfo.broad_status = to;
    return true;
}

void Static_SetStatus(int to)
{
    std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
    g_sBroadInfo.broad_status = to;
}

int Static_Count()
{
    std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
    return g_sBroadInfo.broad_count;
}

std::uint32_t Static_Le32(const unsigned char* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// Opens "1.wav" into broad_fd, positioned at its audio: the header the conversion writes
// ("RIFF", "WAVE", "data" at 36, the data length at 40) is read, never played. The length
// counts only as far as the file goes. False for a missing file or one of another shape.
bool Static_OpenFile(RTP_CHN_INFO_T& rtp)
{
    const int fd = open(kBroadFile, O_RDONLY);
    if (fd < 0) return false;
    unsigned char head[kBroadWavHeader];
    struct stat st {};
    if (read(fd, head, sizeof head) != static_cast<ssize_t>(sizeof head) || fstat(fd, &st) != 0 ||
        std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0 || std::memcmp(head + 36, "data", 4) != 0) {
        close(fd);
        return false;
    }
    const long in_file = static_cast<long>(st.st_size) - kBroadWavHeader;
    const long declared = static_cast<long>(Static_Le32(head + 40));
    s_lDataLen = declared < in_file ? declared : in_file;
    s_lDataLeft = s_lDataLen;
    rtp.broad_fd = fd;
    return true;
}

// What the broadcast took of line 0 is given back: media closed, tone stopped, file closed,
// PTT released.
void Static_GiveBack(USER_INFO_T& line0, RTP_CHN_INFO_T& rtp)
{
    if (s_bLineTaken) {
        UserCloseRtpChn(&line0);
        UserPlayToneStop(&line0);
        ArmEnv_SetPTT(rtp.m_iResChn, E_FLAG_OFF);
        s_bLineTaken = false;
    }
    if (rtp.broad_fd >= 0) close(rtp.broad_fd);
    rtp.broad_fd = -1;
}

void Static_Stop(USER_INFO_T& line0, RTP_CHN_INFO_T& rtp)
{
    Static_GiveBack(line0, rtp);
    Static_SetStatus(0);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line0.m_iUserChn, "broad close......\n");
}

// Every call of lines 0 to 3 ends with a BYE of its own; a line without a call is left alone.
// True when a call was ended.
bool Static_HangUp()
{
    bool hung = false;
    for (int line = 0; line < kHangUpLines; ++line) {
        USER_INFO_T* user = User_GetByUserChn(line);
        if (user == nullptr || user->m_eUserStatus == E_USER_ON_IDLE || user->m_iChnSip < 0) continue;
        User_BroadBye(user);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "broad start, hang up calling......");
        hung = true;
    }
    return hung;
}

// Line 0 idle: its media opened for the broadcast (PCMA at 20 ms, whatever its last call
// used), PTT keyed and the file opened.
void Static_Begin(USER_INFO_T& line0, RTP_CHN_INFO_T& rtp)
{
    line0.m_eUseCoder = G711_A;
    RTP_SetRtpFrameSize(rtp.m_iResChn, kBroadStepMs);
    UserOpenRtpChn(&line0);
    UserPlayToneStop(&line0);
    ArmEnv_SetPTT(rtp.m_iResChn, E_FLAG_ON);
    s_bLineTaken = true;
    if (!Static_OpenFile(rtp)) {
        Static_SetStatus(3);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, line0.m_iUserChn, "broad start open 1.wav error......\n");
        return;
    }
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line0.m_iUserChn, "broad started wav count:%d......\n", Static_Count());
    s_iTick = 0;
    Static_Move(4, 2);
}

void Static_StepWait(USER_INFO_T& line0, RTP_CHN_INFO_T& rtp)
{
    if (line0.m_eUserStatus == E_USER_ON_IDLE) return Static_Begin(line0, rtp);
    s_iWaitMs += kBroadStepMs;
    if (s_iWaitMs < g_sSysCfgInfo.m_sTimeCfg.m_iTBusyTone * 1000 + kIdleSlackMs) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_WARNNING, line0.m_iUserChn, "broad srarting......");
    Static_Move(4, 0);
}

// The end of one pass over the file: the next pass, or the stop at the next step.
void Static_PassDone(RTP_CHN_INFO_T& rtp)
{
    int left;
    {
        std::lock_guard<std::mutex> lock(g_sBroadInfo.m_mtxLock);
        left = --g_sBroadInfo.broad_count;
        if (left < 1) g_sBroadInfo.broad_status = 3;
    }
    if (left < 1) return;
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, 0, "broad started count:%d......\n", left);
    lseek(rtp.broad_fd, kBroadWavHeader, SEEK_SET);
    s_lDataLeft = s_lDataLen;
}

void Static_StepPlay(RTP_CHN_INFO_T& rtp)
{
    unsigned char packet[kBroadPacketLen];
    unsigned char* audio = packet + kBroadPacketLen - kBroadPayload;
    std::memset(audio, kBroadSilence, kBroadPayload);
    if (++s_iTick <= kBroadLeadInSteps) {
        // The lead-in keeps the numbering going, so the first packet heard is not the first
        // one counted.
        RtpGetBuffContentBroad(rtp.m_iResChn, packet, kBroadPacketLen);
        return;
    }
    const long want = s_lDataLeft < kBroadPayload ? s_lDataLeft : kBroadPayload;
    const ssize_t got = want > 0 ? read(rtp.broad_fd, audio, static_cast<std::size_t>(want)) : 0;
    if (got > 0) {
        // A short last block goes out at full size, its tail A-law silence.
        s_lDataLeft -= got;
        RtpGetBuffContentBroad(rtp.m_iResChn, packet, kBroadPacketLen);
        RtpSendToPcm(rtp.m_iResChn, packet, kBroadPacketLen);
    }
    // The pass ends with its last packet, so the next pass follows 20 ms later.
    if (got <= 0 || s_lDataLeft <= 0) Static_PassDone(rtp);
}

}  // namespace

void Broad_Start() { s_bStarted = true; }

void* _cbBroadThread(void*)
{
    Broad_Start();
    return nullptr;
}

void Broad_Process(long long counter)
{
    if (!s_bStarted.load(std::memory_order_relaxed) || counter % kBroadStepMs != 0) return;
    broad_play_voice();
}

int broad_play_voice()
{
    RTP_CHN_INFO_T* rtp = RtpNodeGetByChn(0);
    USER_INFO_T* line0 = User_GetByUserChn(0);
    if (rtp == nullptr || line0 == nullptr) return -1;
    switch (Static_Status()) {
    case 3: Static_Stop(*line0, *rtp); break;
    case 1:
        s_iWaitMs = 0;
        if (Static_HangUp()) {
            Static_Move(1, 4);
            break;
        }
        if (Static_Move(1, 4)) Static_StepWait(*line0, *rtp);
        break;
    case 4: Static_StepWait(*line0, *rtp); break;
    case 2: Static_StepPlay(*rtp); break;
    default: break;
    }
    return 0;
}
