#include "sim_board.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "HostBuffer.h"
#include "IoApi.h"
#include "board.h"
#include "sim_dsp.h"
#include "text.h"

namespace {
constexpr int kMaxAttached = 4;
constexpr std::size_t kLogEntries = 4096;  // room for a packet trace of a DSP set-up
constexpr std::size_t kReplySize = 8192;
constexpr int kGpioChips = 4;
constexpr int kGpioPins = 64;

struct SimInputs {
    int cor = 0;
    int power = 0;
    int reset_input = 1;  // not held
    int jumpers = 0;
    std::array<int, 4> line4{};
    int cpld = 12;  // the new four-wire card
    Text<64> driver;
    Text<128> reason;
};

struct SimEntry {
    std::int64_t ms = 0;
    Text<200> text;
};

std::array<int, kMaxAttached> g_attached{-1, -1, -1, -1};
SimInputs g_inputs;
std::array<std::array<int, kGpioPins>, kGpioChips> g_gpio{};
int g_pttWord = 0;  // one bit per line, as the PTT requests last set them
// The gateway writes its COR LEDs on every 10 ms sample: noting each write would push every
// other entry out of the record within seconds, so a write that repeats an LED's value is only
// counted ("led_writes"). Slots: cor1_led, cor2_led, then cor_led by channel.
std::array<int, 2 + 16> g_corLedValue{};  // the nine-line board numbers its channels 1..9
std::array<std::uint64_t, 3> g_corLedWrites{};  // cor_led (all channels), cor1_led, cor2_led
std::array<SimEntry, kLogEntries> g_log;
std::uint64_t g_logWritten = 0;  // entries ever noted
std::uint64_t g_logRead = 0;     // entries handed out or lost
std::uint64_t g_logLost = 0;     // not yet reported
int g_ctlSocket = -1;
std::string g_ctlPath;
std::int64_t g_startMs = 0;
std::int64_t g_lastPollMs = -1;

std::int64_t Static_NowMs()
{
    return monotonic_us() / 1000;
}

void Static_Reset()
{
    g_inputs = SimInputs{};
    copy_text(g_inputs.driver, "AG0 simulated board 1.0");
    copy_text(g_inputs.reason, "power on");
    for (auto& chip : g_gpio) chip.fill(0);
    g_pttWord = 0;
    g_corLedValue.fill(-1);
    g_corLedWrites.fill(0);
    g_logWritten = g_logRead = g_logLost = 0;
    g_startMs = Static_NowMs();
    g_lastPollMs = -1;
    SimDsp_Clear();
}

// ---- control commands ----

std::string_view Static_Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view SimBoard_Word(std::string_view& s)
{
    s = Static_Trim(s);
    std::size_t end = s.find_first_of(" \t");
    std::string_view w = s.substr(0, end);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    return w;
}

bool SimBoard_Number(std::string_view word, int& out)
{
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty()) return false;
    std::int32_t v = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v, base);
    if (ec != std::errc() || end != word.data() + word.size() || v < 0) return false;
    out = v;
    return true;
}

namespace {

std::size_t Static_Reply(char* reply, std::size_t size, std::string_view text)
{
    return copy_bounded(reply, size, text);
}

// Hands out the unread entries that fit.
std::size_t Static_LogReply(char* reply, std::size_t size)
{
    if (reply == nullptr || size == 0) return 0;
    std::size_t used = 0;
    reply[0] = '\0';
    if (g_logLost > 0) {
        int n = std::snprintf(reply, size, "lost %llu\n", static_cast<unsigned long long>(g_logLost));
        if (n < 0 || static_cast<std::size_t>(n) >= size) return 0;
        used = static_cast<std::size_t>(n);
        g_logLost = 0;
    }
    while (g_logRead < g_logWritten) {
        const SimEntry& e = g_log[g_logRead % kLogEntries];
        int n = std::snprintf(reply + used, size - used, "%lld %s\n", static_cast<long long>(e.ms), e.text.s);
        if (n < 0 || used + static_cast<std::size_t>(n) >= size) {
            reply[used] = '\0';  // the entry waits for the next reply
            break;
        }
        used += static_cast<std::size_t>(n);
        ++g_logRead;
    }
    return used;
}

// "set NAME VALUE...": an empty text when done, else why not.
const char* Static_Set(std::string_view args)
{
    std::string_view name = SimBoard_Word(args);
    args = Static_Trim(args);
    if (name == "driver" || name == "reason") {
        if (name == "driver") copy_text(g_inputs.driver, args);
        else copy_text(g_inputs.reason, args);
        return "";
    }
    if (name == "dsp") {
        if (args == "on") SimDsp_SetPresent(true);
        else if (args == "off") SimDsp_SetPresent(false);
        else return "dsp takes on or off";
        return "";
    }
    if (name == "line4") {
        std::array<int, 4> v{};
        for (int& x : v)
            if (!SimBoard_Number(SimBoard_Word(args), x)) return "line4 takes four numbers";
        if (!Static_Trim(args).empty()) return "line4 takes four numbers";
        g_inputs.line4 = v;
        return "";
    }
    struct Field { std::string_view name; int* value; int max; };
    const Field fields[] = {
        {"cor", &g_inputs.cor, INT32_MAX},     {"power", &g_inputs.power, INT32_MAX},
        {"reset", &g_inputs.reset_input, INT32_MAX}, {"jumpers", &g_inputs.jumpers, 15},
        {"cpld", &g_inputs.cpld, INT32_MAX},
    };
    for (const auto& f : fields) {
        if (f.name != name) continue;
        int v = 0;
        if (!SimBoard_Number(args, v) || v > f.max) return "bad number";
        *f.value = v;
        // Stamped, so a test can time what the program did from the moment the carrier came.
        if (f.value == &g_inputs.cor) SimBoard_Note("input cor=%d", v);
        return "";
    }
    return "unknown input";
}

// ---- board IO requests ----

bool Static_Chn(int chn) { return chn >= 1 && chn <= 32; }

bool Static_Gpio(const IO_MSG_T& m)
{
    return m.m_iGpioChip >= 0 && m.m_iGpioChip < kGpioChips && m.m_iGpioPin >= 0 && m.m_iGpioPin < kGpioPins;
}

int Static_Fail(int err)
{
    errno = err;
    return -1;
}

void Static_SetPtt(int chn, int value)
{
    if (!Static_Chn(chn)) return;
    const int bit = 1 << (chn - 1);
    g_pttWord = value ? (g_pttWord | bit) : (g_pttWord & ~bit);
}

// Counts a COR LED write; true when it changes the LED (or names no known LED) and is noted.
bool Static_CorLedChanged(std::size_t kind, std::size_t slot, int value)
{
    ++g_corLedWrites[kind];
    if (slot >= g_corLedValue.size()) return true;
    if (g_corLedValue[slot] == value) return false;
    g_corLedValue[slot] = value;
    return true;
}

int Static_Io(unsigned nr, IO_MSG_T& m)
{
    switch (nr) {
    case E_IO_ERROR_LED: SimBoard_Note("error_led value=%d variant=%d", m.m_iLedValue, m.m_iDevType); return 0;
    case E_IO_BUZZER: SimBoard_Note("buzzer value=%d", m.m_iBuzzer); return 0;
    case E_IO_COR_LED:
        if (Static_CorLedChanged(0, m.m_iLedIndex < 0 ? g_corLedValue.size() : 2 + static_cast<std::size_t>(m.m_iLedIndex),
                                 m.m_iLedValue))
            SimBoard_Note("cor_led chn=%d value=%d", m.m_iLedIndex, m.m_iLedValue);
        return 0;
    case E_IO_COR1_LED:
        if (Static_CorLedChanged(1, 0, m.m_iLedValue)) SimBoard_Note("cor1_led value=%d", m.m_iLedValue);
        return 0;
    case E_IO_COR2_LED:
        if (Static_CorLedChanged(2, 1, m.m_iLedValue)) SimBoard_Note("cor2_led value=%d", m.m_iLedValue);
        return 0;
    case E_IO_RUN_LED:
        SimBoard_Note("led index=%d value=%d variant=%d", m.m_iLedIndex, m.m_iLedValue, m.m_iDevType);
        return 0;
    case E_IO_PTT1_2W:
        Static_SetPtt(1, m.m_iPtt2WValue);
        SimBoard_Note("ptt1 value=%d", m.m_iPtt2WValue);
        return 0;
    case E_IO_PTT2_2W:
        Static_SetPtt(2, m.m_iPtt2WValue);
        SimBoard_Note("ptt2 value=%d", m.m_iPtt2WValue);
        return 0;
    case E_IO_PTT:
        Static_SetPtt(m.m_iPttChn, m.m_iPttValue);
        SimBoard_Note("ptt chn=%d value=%d", m.m_iPttChn, m.m_iPttValue);
        return 0;
    case E_IO_PTT_WORD:
        g_pttWord = m.m_iPttWord;
        SimBoard_Note("ptt_word value=%d", m.m_iPttWord);
        return 0;
    case E_IO_COR_LEVEL: SimBoard_Note("cor_level chn=%d level=%d", m.m_iCorLevelChn, m.m_iCorLevel); return 0;
    case E_IO_COR_PROBE:
        if (!Static_Chn(m.m_iProbeChn)) return Static_Fail(EINVAL);
        SimBoard_Note("cor_probe chn=%d level=%d", m.m_iProbeChn, m.m_iProbeLevel);
        m.m_iProbeCor = (g_inputs.cor >> (m.m_iProbeChn - 1)) & 1;
        return 0;
    case E_IO_UART_ROUTE: SimBoard_Note("uart chn=%d variant=%d", m.m_iUartRoute, m.m_iDevType); return 0;
    case E_IO_LOCK: SimBoard_Note("lock value=%d variant=%d", m.m_iLock, m.m_iDevType); return 0;
    case E_IO_RADIO_CHN: SimBoard_Note("radio radio=%d channel=%d", m.m_iRadioNum, m.m_iRadioChn); return 0;
    case E_IO_LINE4_RESET: SimBoard_Note("line4_reset"); return 0;
    case E_IO_GPIO_INIT: SimBoard_Note("gpio_init variant=%d", m.m_iDevType); return 0;
    case E_IO_CHN_CS: SimBoard_Note("chn_cs value=%d", m.m_iChnCs); return 0;
    case E_IO_GPIO_SET: SimBoard_Note("gpio_set pin=%d value=%d", m.m_iGpioPin, m.m_iGpioValue); return 0;
    case E_IO_GPIO_WRITE:
        if (!Static_Gpio(m)) return Static_Fail(EINVAL);
        SimBoard_Note("gpio chip=%d pin=%d value=%d", m.m_iGpioChip, m.m_iGpioPin, m.m_iGpioValue);
        g_gpio[static_cast<std::size_t>(m.m_iGpioChip)][static_cast<std::size_t>(m.m_iGpioPin)] = m.m_iGpioValue;
        return 0;
    case E_IO_GPIO_READ:
        if (!Static_Gpio(m)) return Static_Fail(EINVAL);
        m.m_iGpioValue = g_gpio[static_cast<std::size_t>(m.m_iGpioChip)][static_cast<std::size_t>(m.m_iGpioPin)];
        return 0;
    case E_IO_COR_WORD: m.m_iCorWord = g_inputs.cor; return 0;
    case E_IO_POWER: m.m_iPowerWord = g_inputs.power; return 0;
    case E_IO_RESET_INPUT: m.m_iResetInput = g_inputs.reset_input; return 0;
    case E_IO_CPLD_VERSION: m.m_iCpldVersion = g_inputs.cpld; return 0;
    case E_IO_IP_JUMPERS:
        for (int i = 0; i < 4; ++i) m.m_iInput[i] = (g_inputs.jumpers >> i) & 1;
        m.m_iIpSelect = g_inputs.jumpers;
        return 0;
    case E_IO_CHN_ONE: m.m_iInput[0] = g_inputs.line4[0]; return 0;
    case E_IO_CHN_TWO: m.m_iInput[1] = g_inputs.line4[1]; return 0;
    case E_IO_CHN_THREE: m.m_iInput[2] = g_inputs.line4[2]; return 0;
    case E_IO_CHN_FOUR: m.m_iInput[3] = g_inputs.line4[3]; return 0;
    case E_IO_DRIVER_VERSION:
        copy_text(m.m_chDriverVersion, g_inputs.driver.view());
        return 0;
    case E_IO_REBOOT_REASON: {
        auto* buffer = static_cast<char*>(HostBuffer_Find(m.m_uReasonBuffer));
        if (buffer == nullptr) return Static_Fail(EFAULT);
        if (m.m_iReasonLength < 1) return Static_Fail(EINVAL);
        copy_bounded(buffer, static_cast<std::size_t>(m.m_iReasonLength), g_inputs.reason.view());
        return 0;
    }
    default:
        return Static_Fail(ENOTTY);
    }
}

// ---- control socket ----

void Static_OpenSocket(const char* path)
{
    g_ctlPath = std::string(path) + ".ctl";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (g_ctlPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "simulated board: control socket path too long: %s\n", g_ctlPath.c_str());
        g_ctlPath.clear();
        return;
    }
    copy_text(addr.sun_path, g_ctlPath);
    unlink(g_ctlPath.c_str());  // left behind by a run that did not close the device
    g_ctlSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (g_ctlSocket < 0 || bind(g_ctlSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("simulated board: control socket");
        if (g_ctlSocket >= 0) close(g_ctlSocket);
        g_ctlSocket = -1;
        g_ctlPath.clear();
    }
}

void Static_CloseSocket()
{
    if (g_ctlSocket >= 0) close(g_ctlSocket);
    if (!g_ctlPath.empty()) unlink(g_ctlPath.c_str());
    g_ctlSocket = -1;
    g_ctlPath.clear();
}

// Answers the commands that wait on the control socket, at most once a millisecond so that
// a run of host-port transfers costs no extra system calls.
void Static_Poll()
{
    if (g_ctlSocket < 0) return;
    std::int64_t now = Static_NowMs();
    if (now == g_lastPollMs) return;
    g_lastPollMs = now;
    static std::array<char, 1024> command;
    static std::array<char, kReplySize> reply;
    for (int i = 0; i < 16; ++i) {
        sockaddr_un from{};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(g_ctlSocket, command.data(), command.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) return;
        std::size_t len = SimBoard_Command(std::string_view(command.data(), static_cast<std::size_t>(n)),
                                           reply.data(), reply.size());
        if (from_len > sizeof(sa_family_t))  // an unbound sender cannot be answered
            sendto(g_ctlSocket, reply.data(), len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), from_len);
    }
}

// Runs the commands kept in the device file.
void Static_RunFile(int fd, const char* path)
{
    static std::array<char, 4096> text;
    ssize_t n = pread(fd, text.data(), text.size(), 0);
    if (n <= 0) return;
    std::string_view rest(text.data(), static_cast<std::size_t>(n));
    std::array<char, 256> reply{};
    for (int line_no = 1; !rest.empty(); ++line_no) {
        std::size_t end = rest.find('\n');
        std::string_view line = Static_Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        SimBoard_Command(line, reply.data(), reply.size());
        if (std::strncmp(reply.data(), "error", 5) == 0)
            std::fprintf(stderr, "simulated board: %s line %d: %s\n", path, line_no, reply.data());
    }
}
}  // namespace

void SimBoard_Note(const char* format, ...)
{
    if (g_logWritten - g_logRead >= kLogEntries) {  // the oldest unread entry makes room
        ++g_logRead;
        ++g_logLost;
    }
    SimEntry& e = g_log[g_logWritten % kLogEntries];
    e.ms = Static_NowMs() - g_startMs;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(e.text.s, sizeof e.text.s, format, ap);
    va_end(ap);
    ++g_logWritten;
}

std::size_t SimBoard_Command(std::string_view command, char* reply, std::size_t reply_size)
{
    std::string_view args = command;
    std::string_view verb = SimBoard_Word(args);
    if (verb == "ping") return Static_Reply(reply, reply_size, "ok");
    if (verb == "ptt") return Static_Reply(reply, reply_size, "word=" + std::to_string(g_pttWord));
    if (verb == "cor") return Static_Reply(reply, reply_size, "word=" + std::to_string(g_inputs.cor));
    if (verb == "led_writes")
        return Static_Reply(reply, reply_size,
                            "cor_led=" + std::to_string(g_corLedWrites[0]) + " cor1_led=" +
                                std::to_string(g_corLedWrites[1]) + " cor2_led=" + std::to_string(g_corLedWrites[2]));
    if (verb == "log") return Static_LogReply(reply, reply_size);
    if (verb == "set") {
        const char* why = Static_Set(args);
        if (*why == '\0') return Static_Reply(reply, reply_size, "ok");
        if (reply == nullptr || reply_size == 0) return 0;
        int n = std::snprintf(reply, reply_size, "error: %s", why);
        return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), reply_size - 1);
    }
    if (SimDsp_Handles(verb)) return SimDsp_Command(verb, args, reply, reply_size);
    return Static_Reply(reply, reply_size, "error: unknown command");
}

int SimBoard_PttWord() { return g_pttWord; }

bool SimBoard_Attach(int fd, const char* path)
{
    bool first = true;
    for (int a : g_attached)
        if (a >= 0) first = false;
    for (int& a : g_attached) {
        if (a >= 0) continue;
        a = fd;
        if (first) {
            Static_Reset();
            Static_OpenSocket(path);
            Static_RunFile(fd, path);
        }
        return true;
    }
    return false;
}

bool SimBoard_Owns(int fd)
{
    if (fd < 0) return false;
    for (int a : g_attached)
        if (a == fd) return true;
    return false;
}

void SimBoard_Detach(int fd)
{
    bool any = false;
    for (int& a : g_attached) {
        if (a == fd) a = -1;
        if (a >= 0) any = true;
    }
    if (!any) Static_CloseSocket();
}

int SimBoard_Request(unsigned long code, void* record)
{
    Static_Poll();
    if (record == nullptr) return Static_Fail(EFAULT);
    const unsigned nr = static_cast<unsigned>(code & 0xFF);
    if ((code & ~0xFFul) == kDspRequestBase) return SimDsp_Request(nr, *static_cast<DSP_ACCESS_MSG_T*>(record));
    if ((code & ~0xFFul) == kIoRequestBase) return Static_Io(nr, *static_cast<IO_MSG_T*>(record));
    return Static_Fail(ENOTTY);
}
