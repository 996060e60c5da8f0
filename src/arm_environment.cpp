#include "arm_environment.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "IoApi.h"
#include "MyApi.h"
#include "board.h"
#include "multi_log.h"
#include "struct_sys.h"
#include "text.h"
#include "user.h"

int g_iChnChangeFactor = 0;
int g_iCardType = 0;
int g_iCorAbleValue[kMaxUserChn] = {};
int g_iBateTimeThread[kMaxUserChn] = {};
int g_iCorFlag[kMaxUserChn] = {};
COR_INFO_T g_sCorInfo[kMaxUserChn] = {};

namespace {

constexpr char kEth0[] = "eth0";
constexpr char kInterfaces[] = "/root/interfaces";
constexpr char kRebootLog[] = "/root/log/reboot.log";
constexpr char kNewsDate[] = "/root/log/newsdate";
// The jumpers choose a host on this private network; the reset input falls back to one
// fixed address on it.
constexpr char kJumperNet[] = "192.168.1.";
constexpr char kFallbackIp[] = "192.168.1.100";
constexpr int kJumperGuardUnset = 1024;
constexpr int kResetHoldSeconds = 10;
constexpr long kRebootLogMaxMb = 4;

int s_iRunLed = 1;                          // the run LED starts lit
int s_iStatusLed[kMaxUserChn] = {};         // each line's last status LED value
int s_iResetCount = 0;                      // consecutive seconds the reset input read 0
int s_iJumperGuard = kJumperGuardUnset;     // the jumper value acted on

SYS_COMPATIBLE_MODE_E Static_Mode() { return g_sSysCfgInfo.m_sDevEnv.m_eSysCompMod; }
bool Static_TwoOrFour(SYS_COMPATIBLE_MODE_E m) { return m == E_SYS_2W || m == E_SYS_4W; }
int Static_Inactive(int line) { return 1 - g_iCorAbleValue[line]; }

// Written on every sample, not on a change only: an LED the board's driver or a reset turned
// off behind this program's back comes back within 10 ms.
void Static_CorLed(int which, int value)
{
    if (which == 0) IO_COR1LedSet(g_hDriverHandler, value);
    else IO_COR2LedSet(g_hDriverHandler, value);
}

// One line's COR sample from the board's word w, after the inhibit and the hot line.
void Static_SampleCor(int i, int w)
{
    const SYS_COMPATIBLE_MODE_E mode = Static_Mode();
    COR_INFO_T& c = g_sCorInfo[i];
    USER_INFO_T& u = g_sUserInfo[i];
    const int active = g_iCorAbleValue[i];
    if (u.m_iUserChn == -1 || (mode == E_SYS_9W && i != 7)) {
        c.m_iCorInfo = Static_Inactive(i);
        return;
    }
    if (c.m_eBateFlag != E_FLAG_ON) {
        int bit;
        if (mode == E_SYS_9W) bit = (w >> 1) & 1;
        else if (g_iCardType == 1) bit = (w >> (g_iUse_Chn_Max - 1 - i)) & 1;
        else bit = (w >> i) & 1;
        c.m_iCorInfo = bit;
        if (Static_TwoOrFour(mode)) {
            if (bit != active) {
                g_iCorFlag[i] = 0;
                c.m_iPttHotTime = 0;
                if (g_iCardType == 0) c.m_eBateGetFlag = E_FLAG_OFF;
                return;
            }
            c.m_iPttHotTime += 10;
            if (g_iCardType == 0) c.m_eBateGetFlag = E_FLAG_ON;
        }
    }
    if (u.m_eCortimeFlag == E_FLAG_ON) {
        // The line's own transmitter was just released: the radio's receiver may still
        // report its own carrier, which must not read as a far end asking to talk.
        c.m_eBateFlag = E_FLAG_ON;
        c.m_iBateTime += 10;
        c.m_iCorInfo = Static_Inactive(i);
        if (c.m_iBateTime >= g_iBateTimeThread[i]) {
            c.m_eBateFlag = E_FLAG_OFF;
            u.m_eCortimeFlag = E_FLAG_OFF;
            c.m_iBateTime = 0;
        }
    }
    if (c.m_eBateFlag == E_FLAG_ON && ++c.m_iBateToStop > 9) {
        c.m_iBateToStop = 0;
        c.m_eBateFlag = E_FLAG_OFF;  // the next step reads the input again
    }
    if (Static_TwoOrFour(mode) && u.m_iPttHtlEna == 1 && c.m_iCorInfo == active && u.m_eUserStatus == E_USER_ON_IDLE &&
        g_iCorFlag[i] == 0 && c.m_iPttHotTime >= g_sSysCfgInfo.m_iPttHotLineTime) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, i, "[ArmEnvReadCor]--User:[%s] , CorAbleValue:[%d], Get Cor:[%d]",
                  u.m_chUserTel, active, c.m_iCorInfo);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, i, "[ArmEnvReadCor]-- 收到Cor信号，开始拨打热线");
        g_iCorFlag[i] = 1;
        c.m_iPttHotTime = 0;
        if (u.m_sKeyCfg.m_sKHotLine.m_fpFunc) u.m_sKeyCfg.m_sKHotLine.m_fpFunc(i);
        c.m_iCorInfo = Static_Inactive(i);
    }
}

void ArmEnvReadCor()
{
    // A failed read reports nothing about the inputs; the lines keep their last state
    // rather than all reading a carrier.
    int w = IO_ReadCorInfo(g_hDriverHandler);
    if (w < 0) return;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        Static_SampleCor(i, w);
        // The LED shows the line's COR on every sample, so it goes dark when the carrier goes.
        if (Static_Mode() == E_SYS_2W) Static_CorLed(i == 0 ? 0 : 1, ArmEnv_GetCorInfo(i));
    }
}

void ArmEnvReadPower()
{
    int w = IO_GetPower(g_hDriverHandler);
    if (w < 0) return;
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i)
        g_sCorInfo[i].m_iPowerInfo = ((w >> (g_iUse_Chn_Max - 1 - i)) & 1) ? 0 : 1;
}

// The words of text as the shell's word splitting leaves them, joined by single blanks.
std::string Static_Words(const std::string& text)
{
    std::string out;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
        std::size_t end = text.find_first_of(" \t\r\n", at);
        if (end == std::string::npos) end = text.size();
        if (!out.empty()) out += ' ';
        out.append(text, at, end - at);
        at = end;
    }
    return out;
}

void ArmEnvGetRebootReason()
{
    char reason[64] = {};
    IO_GetRebootReason(g_hDriverHandler, reason, sizeof reason);
    run_shell("rm -f " + board_path("/root/log") + " 2>/dev/null ; mkdir " + board_path("/root/log") + " 2>/dev/null");
    const std::string record = board_path(kRebootLog);
    struct stat st {};
    if (stat(record.c_str(), &st) == 0 && st.st_size / 1048576 > kRebootLogMaxMb)
        run_shell("rm -f " + record);

    // Appended by the program itself: the reason is the driver's text, and no character of
    // it may reach a shell or split the record's one line per start.
    std::string stamp;
    if (FILE* f = std::fopen(board_path(kNewsDate).c_str(), "r")) {
        char buf[256];
        std::size_t n = std::fread(buf, 1, sizeof buf, f);
        stamp.assign(buf, n);
        std::fclose(f);
    }
    std::string line = Static_Words(stamp);
    if (!line.empty()) line += ' ';
    line += ": ";
    for (const char* p = reason; *p; ++p) line += (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) ? ' ' : *p;
    line += '\n';
    if (FILE* f = std::fopen(record.c_str(), "a")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

// The address texts of eth0 through one socket; false after the failing request's log entry.
bool Static_ReadEth0()
{
    SYS_DEV_ENV_T& env = g_sSysCfgInfo.m_sDevEnv;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    copy_text(req.ifr_name, kEth0);
    auto fail = [&](const char* what) {
        MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_ERROR, -1, "%s interface[%s]", what, kEth0);
        if (s >= 0) close(s);
        return false;
    };
    if (s < 0 || ioctl(s, SIOCGIFADDR, &req) != 0) return fail("Local Ip Get Failed...");
    const auto* ip = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in*>(&req.ifr_addr)->sin_addr.s_addr);
    std::snprintf(env.m_chLocalIP, sizeof env.m_chLocalIP, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_FLOW, -1, "Set New IP = %s", env.m_chLocalIP);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "Set New IP = %s", env.m_chLocalIP);
    run_shell(std::string("ifconfig eth0 ") + env.m_chLocalIP);

    if (ioctl(s, SIOCGIFHWADDR, &req) != 0) return fail("Local HardAddr Get Failed...");
    const auto* hw = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
    std::snprintf(env.m_chLocalMac, sizeof env.m_chLocalMac, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2],
                  hw[3], hw[4], hw[5]);
    if (ioctl(s, SIOCGIFNETMASK, &req) != 0) return fail("Local Netmask Get Failed...");
    const auto* nm = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in*>(&req.ifr_netmask)->sin_addr.s_addr);
    std::snprintf(env.m_chLocalNetmask, sizeof env.m_chLocalNetmask, "%d.%d.%d.%d", nm[0], nm[1], nm[2], nm[3]);
    for (LOG_FILE_E file : {E_LOG_FILE_CFG, E_LOG_FILE_FLOW})
        MULTI_LOG(file, LOG_LVL_FLOW, -1, "[ArmEnv_Init]-- IP[%s], HwAddr[%s], NetMask[%s]", env.m_chLocalIP,
                  env.m_chLocalMac, env.m_chLocalNetmask);
    close(s);
    return true;
}

int Static_StatusLed(int line)
{
    const USER_INFO_T& u = g_sUserInfo[line];
    if (u.m_sRegInfo.m_eRegResult != E_REG_SUCC) return 1;
    switch (u.m_eUserStatus) {
    case E_USER_ON_RING_180:
    case E_USER_ON_RING_183: return 1;
    case E_USER_ON_TALKING: return s_iStatusLed[line] ? 0 : 1;
    default: return 0;
    }
}

}  // namespace

int ArmEnv_Init()
{
    SYS_DEV_ENV_T& env = g_sSysCfgInfo.m_sDevEnv;
    struct ModeRow {
        SYS_COMPATIBLE_MODE_E mode;
        int lines;
        const char* text;
        int variant;  // the board's: 1 only for the two-line board
    };
    static constexpr ModeRow kModes[] = {
        {E_SYS_4W, 4, "进入4w模式", 0},
        {E_SYS_9W, 9, "进入9w模式", 0},
        {E_SYS_2W, 2, "进入2w模式", 1},
        {E_SYS_4V, 4, "进入4w模式", 0},
    };
    for (const ModeRow& m : kModes) {
        if (m.mode != env.m_eSysCompMod) continue;
        g_iUse_Chn_Max = m.lines;
        if (m.mode == E_SYS_4V) {
            // Four lines without network COR detection, run as 4W from here on.
            for (int i = 0; i < 4; ++i) g_sUserInfo[i].m_sCfgCorNetwork.m_eCorType = 0;
        }
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "%s", m.text);
        IO_SetDevType(m.variant);
        if (m.mode == E_SYS_4V) env.m_eSysCompMod = E_SYS_4W;
        break;
    }
    IO_GpioInit(g_hDriverHandler);

    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        COR_INFO_T& c = g_sCorInfo[i];
        c.m_iBateTime = 0;
        c.m_eBateFlag = E_FLAG_OFF;
        c.m_iBateToStop = 0;
        if (User_SetCorParity(i) == 0) User_SetBateTime(i, g_sUserInfo[i].m_sCfgCorAudio.m_iInhibitTime);
    }
    IO_ErrorLedSet(g_hDriverHandler, 0);
    ArmEnvGetRebootReason();
    IO_GetDriverVersion(g_hDriverHandler, env.m_chVerionDriver, sizeof env.m_chVerionDriver);

    int v = IO_GetCPLDVersion(g_hDriverHandler);
    if (v < 6) {
        g_iChnChangeFactor = 0;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "CPLD 版本1.2以下[%x]，使用0,1路490通道", v);
    } else {
        g_iChnChangeFactor = 1;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "CPLD 版本1.1以上[%x]，使用1,2路490通道", v);
    }
    std::snprintf(env.m_chVersionCpld, sizeof env.m_chVersionCpld, "%d.%d", v >> 2, v & 3);
    if (v < 12) {
        g_iCardType = 0;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "CPLD < 3.0, 设置为老板卡");
    } else {
        g_iCardType = 1;
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, -1, "CPLD >= 3.0, 设置为新板卡");
    }

    if (!Static_ReadEth0()) return -1;
    if (env.m_eSysCompMod == E_SYS_4W) {
        int chn = g_sDBInfo.m_sSysCfgInfo.m_iChnSwitch;
        ArmEnv_ChannelSwitch(chn >= -1 && chn <= 15 ? chn + 1 : 0);
    }
    return 0;
}

void ArmEnv_Quit()
{
    IO_ErrorLedSet(g_hDriverHandler, 0);
    MyClose(g_hDriverHandler);
}

void ArmEnv_Process()
{
    ArmEnvReadCor();
    ArmEnvReadPower();
}

void ArmEnv_SetCorParity(int line, int parity)
{
    if (line < 0 || line >= kMaxUserChn) return;
    g_iCorAbleValue[line] = 1 - (parity & 1);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, line, "通道%d Cor 极性为 %x , Cor信号为%x时有效", line, parity,
              g_iCorAbleValue[line]);
    ArmEnv_SetCorRead(line, parity);
}

void ArmEnv_SetCorRead(int line, int level) { IO_SetCor(g_hDriverHandler, line + 1, level); }

void ArmEnv_SetBateTime(int line, int ms)
{
    if (line >= 0 && line < kMaxUserChn) g_iBateTimeThread[line] = ms;
}

int ArmEnv_GetCorInfo(int line)
{
    if (line < 0 || line >= kMaxUserChn) return 0;
    return g_sCorInfo[line].m_iCorInfo == g_iCorAbleValue[line] ? 1 : 0;
}

void ArmEnv_SetPTT(int line, int flag)
{
    const SYS_COMPATIBLE_MODE_E mode = Static_Mode();
    if (mode == E_SYS_2W) {
        int value = flag == E_FLAG_ON ? 1 : 0;
        if (line == 0) IO_PTT1ArmSet(g_hDriverHandler, value);
        else IO_PTT2ArmSet(g_hDriverHandler, value);
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line, "%s",
                  line == 0 ? (value ? "通道0 PTT按下" : "通道0 PTT释放") : (value ? "通道1 PTT按下" : "通道1 PTT释放"));
    } else if (mode == E_SYS_4W || mode == E_SYS_9W) {
        if (flag == E_FLAG_ON) {
            IO_PTTArmSet(g_hDriverHandler, 1, line);
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line, "通道%d PTT按下", line);
        } else if (flag == E_FLAG_OFF) {
            IO_PTTArmSet(g_hDriverHandler, 0, line);
            MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_DEBUG, line, "通道%d PTT释放", line);
        }
    }
}

void ArmEnv_SetWatchDog()
{
    IO_RuningLed(g_hDriverHandler, s_iRunLed, 0);
    s_iRunLed = s_iRunLed ? 0 : 1;
}

void ArmEnv_SetLed() {}

void ArmEnv_Set4StatusLed()
{
    for (int i = 0; i < g_iUse_Chn_Max && i < kMaxUserChn; ++i) {
        if (g_sUserInfo[i].m_iUserChn == -1) continue;
        s_iStatusLed[i] = Static_StatusLed(i);
        IO_RuningLed(g_hDriverHandler, s_iStatusLed[i], i + 1);
    }
}

void ArmEnv_Get4IPValue()
{
    if (g_sDBInfo.m_sSysCfgInfo.m_iResetIPFlg != 1 || s_iJumperGuard != kJumperGuardUnset) return;
    int j = IO_Get4IPVaule(g_hDriverHandler);
    if (j < 0) return;
    const int host = j >= 4 && j <= 11 ? j : (j == 1 ? 2 : 1);
    const std::string value = kJumperNet + std::to_string(host);
    const std::string line = "ip=" + value + "\n";
    int replaced = Sys_ReplaceKeyLines(kInterfaces, "ip=", value.c_str());
    if (replaced == -1) return;  // not there yet: the next second tries again
    std::printf("/root/interfaces file open succ\n");
    s_iJumperGuard = j;
    std::printf("/root/interfaces, g_nVal:%d, szCurIP:%s\n", j, line.c_str());
    for (int i = 0; i < replaced; ++i) std::printf("/root/interfaces,flg = 1\n");
    std::printf("FILE close /root/interfaces\n");
    if (replaced == -2) {
        std::printf("/root/interfaces too big to rewrite, left as it is\n");
    } else if (replaced == -3 || replaced == -4) {
        std::printf("FILE open write /root/interfaces ,val[%d]\n", host);
    } else if (replaced > 0) {
        std::printf("Reboot system ,val[%d]\n", host);
        run_shell("/sbin/reboot");
    }
}

void ArmEnv_SetIp()
{
    if (IO_GetWatchDogStatus(g_hDriverHandler) != 0) {
        s_iResetCount = 0;
        return;
    }
    if (++s_iResetCount < kResetHoldSeconds) return;
    MULTI_LOG(E_LOG_FILE_CFG, LOG_LVL_DEBUG, -1, "[ArmEnv_SetIp]-- 复位键按下[%d]秒, 设置IP为[%s]", s_iResetCount,
              kFallbackIp);
    s_iResetCount = 0;
    run_shell(std::string("ifconfig eth0 ") + kFallbackIp);
    for (int i = 0; i < 3; ++i) {
        IO_BuzzerSpeak(g_hDriverHandler, 1);
        usleep(200 * 1000);
        IO_BuzzerSpeak(g_hDriverHandler, 0);
        if (i < 2) usleep(200 * 1000);
    }
}

void ArmEnv_ChannelSwitch(int channel)
{
    IO_SetRadioChn(g_hDriverHandler, 1, channel);
    MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_FLOW, 1, "[ArmEnv_ChannelSwitch]--Switch Radio Chn [%d]", channel);
}

int ArmEnv_GetCardType() { return g_iCardType; }

int ArmEnv_CheckCorOnAir(int line) { return IO_CheckCorOnAir(g_hDriverHandler, line) == -1 ? -1 : 0; }

int ArmEnv_GetPowerByChn(int line)
{
    if (line < 0 || line >= g_iUse_Chn_Max || line >= kMaxUserChn) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "ArmEnvGetPowerByChn failed ,chn[%d]", line);
        return 0;
    }
    return g_sCorInfo[line].m_iPowerInfo;
}
