#include "link_record.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "call_chn.h"
#include "call_relay.h"
#include "composer.h"
#include "link_net.h"
#include "settings.h"
#include "sip_legs.h"
#include "sip_response.h"
#include "sip_text.h"
#include "sqlite.h"
#include "swlog.h"

std::array<RecordServer, kRecordServers> record_ctrl;
int g_record_fd = -1;

namespace {

constexpr int kWarning = 100, kTrace = 101;
constexpr const char* kRecordLog = "softswitch_record.log";
constexpr int kRecordLogRestart = 50000;
constexpr std::size_t kReadMax = 900;
constexpr int kRecvPerPass = 100;

// Start-line status words and Cseq methods.
constexpr int REC_OK = 1, REC_ERROR = 2, REC_NOVOC = 3, REC_ACTIVE = 4, REC_RECONNECT = 5;
constexpr int M_OPEN = 5, M_CLOSE = 6, M_INIT = 7, M_CONNECT = 8, M_NOVOC = 9, M_ACTIVE = 10, M_RECONNECT = 11;

unsigned g_connect_seq = 0;
unsigned g_open_counter = 0;
int g_log_entries = 0;

bool server_ok(int server) { return server >= 0 && server < kRecordServers; }
bool live(int server) { return server_ok(server) && record_ctrl[server].state == 1; }
bool chn_in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }

void Record_Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Record_Log(int level, const char* format, ...)
{
    if (std::strlen(format) > 4096) return;
    char text[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    const char* mode = "a";
    if (g_log_entries == 0 || g_log_entries >= kRecordLogRestart) {
        mode = "w";
        g_log_entries = 0;
    }
    FILE* f = std::fopen(kRecordLog, mode);
    if (f == nullptr) {
        std::printf("\aCan not write trace file:%s.\n", kRecordLog);
        return;
    }
    ++g_log_entries;
    if (level == kWarning) std::fprintf(f, "[ WARNING ] %s", text);
    else std::fputs(text, f);
    std::fclose(f);
}

int Record_Send_buf(const char* text, std::size_t length, const char* ip, int port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    const bool sent = g_record_fd >= 0 && inet_pton(AF_INET, ip, &to.sin_addr) == 1 && port >= 1 && port <= 65535 &&
                      (to.sin_port = htons(static_cast<uint16_t>(port)),
                       sendto(g_record_fd, text, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0);
    if (!sent) {
        Record_Log(kTrace, "send error ip=%s port=%d\n", ip, port);
        return -1;
    }
    Record_Log(kTrace, "Record_Send_buf... ip = [%s] port = [%d] \n", ip, port);
    Record_Log(kTrace, "send data = \n%s\n", text);
    return 1;
}

// A message to a live server: the first line names the switch by its inner address.
struct Message {
    char buf[1000];
    Composer m{buf, sizeof buf};
    explicit Message(const char* word) { m.raw(word).raw(" softswitch:").line(sip_server_inter_host.view()); }
};

int send_to(int server, const Message& msg)
{
    if (!live(server) || !msg.m.ok()) return -1;
    const RecordServer& s = record_ctrl[server];
    return Record_Send_buf(msg.m.c_str(), msg.m.size(), s.record_ip.s, s.record_port);
}

int Record_Set_Resend(int server, std::string_view text, int tries, int wait)
{
    if (!live(server)) return -1;
    RecordServer& s = record_ctrl[server];
    s.countdown = wait;
    s.interval = 2 * wait;
    s.tries = tries;
    copy_text(s.text, text);
    return 1;
}

void Record_Clear_Resend(int server)
{
    if (!live(server)) return;
    RecordServer& s = record_ctrl[server];
    s.countdown = 0;
    s.tries = 0;
    s.text.clear();
}

void Record_Chn_Reset(RecordChn& c) { c = RecordChn{}; }

int Record_Send_Open(int server, RecordChn& c)
{
    char stamp[kSipStampSize];
    Sip_Time_Stamp(stamp);
    char id[48];
    std::snprintf(id, sizeof id, "%s%u", stamp, g_open_counter++);
    copy_text(c.callid, id);
    ++c.open_count;
    Message msg("REC_Open");
    msg.m.raw("From: ").line(c.from.view()).raw("To: ").line(c.to.view());
    auto side = [&](const char* name, const Text<16>& ip, int record_port, int rtp_port) {
        if (ip.empty()) msg.m.fmt("%s: <%d:>\r\n", name, record_port);
        else msg.m.fmt("%s: %s<%d:%d>\r\n", name, ip.s, record_port, rtp_port);
    };
    side("Sever1", c.s1_ip, c.s1_record_port, c.s1_rtp_port);
    side("Sever2", c.s2_ip, c.s2_record_port, c.s2_rtp_port);
    msg.m.raw("Call_id: ").line(c.callid.view()).fmt("Cseq: %d REC_Open\r\n", c.open_count);
    return send_to(server, msg);
}

int Record_Send_Close(int server, const RecordChn& c)
{
    Message msg("REC_Close");
    msg.m.raw("Call_id: ").line(c.callid.view()).line("Cseq: 1 REC_Close");
    return send_to(server, msg);
}

int Record_Send_Ok(int server, const char* method)
{
    Message msg("REC_OK");
    msg.m.raw("Cseq: 1 ").line(method);
    return send_to(server, msg);
}

// The decoded message of a server.
struct Decoded {
    int status = 0;
    Text<24> server;
    Text<200> call_id, cseq, begin_port, call_num;
};

int Record_Status_Code(std::string_view word)
{
    static constexpr std::pair<std::string_view, int> kWords[] = {
        {"REC_OK", REC_OK}, {"REC_Error", REC_ERROR}, {"REC_Novoc", REC_NOVOC},
        {"REC_Active", REC_ACTIVE}, {"REC_Reconnect", REC_RECONNECT}};
    for (const auto& [w, code] : kWords)
        if (word.substr(0, w.size()) == w) return code;
    return -1;
}

int Record_Method_Code(std::string_view word)
{
    static constexpr std::pair<std::string_view, int> kMethods[] = {
        {"REC_Open", M_OPEN}, {"REC_Close", M_CLOSE}, {"REC_Init", M_INIT}, {"REC_Connect", M_CONNECT},
        {"REC_Novoc", M_NOVOC}, {"REC_Active", M_ACTIVE}, {"REC_Reconnect", M_RECONNECT}};
    for (const auto& [w, code] : kMethods)
        if (word.substr(0, w.size()) == w) return code;
    return 0;
}

int Record_Ctrl_Decode(std::string_view text, Decoded& d)
{
    CutLine first = Decode_GetLine(text);
    const std::string_view line = first.line;
    const std::string_view word = line.substr(0, find_first_of_or_end(line, " "));
    d.status = Record_Status_Code(word);
    if (d.status < 0) {
        Record_Log(kWarning, "*************************录音解析请求字段出错\n");
        return -1;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return -1;
    const std::string_view rest = line.substr(colon + 1);
    copy_text(d.server, rest.substr(0, find_first_of_or_end(rest, " \r")));
    // Header lines, each ended by a CR; an empty line or a last line without one ends them.
    std::string_view next = first.next;
    bool more = first.has_next;
    while (more) {
        const CutLine cut = Decode_GetLine(next);
        if (!cut.has_next || cut.line.empty()) break;
        std::string_view value;
        Decode_HeaderValue(cut.line, value);
        if (Sip_Prefix(cut.line, "Call_id")) copy_text(d.call_id, value);
        else if (Sip_Prefix(cut.line, "Cseq")) copy_text(d.cseq, value);
        else if (Sip_Prefix(cut.line, "Call_Num")) copy_text(d.call_num, value);
        else if (Sip_Prefix(cut.line, "Begin_Port")) copy_text(d.begin_port, value);
        next = cut.next;
        more = cut.has_next;
    }
    return 1;
}

// The entry whose stored address the message names; an entry without an address matches
// nothing.
int Record_Find_Server(std::string_view address)
{
    for (int i = 0; i < kRecordServers; ++i)
        if (!record_ctrl[i].record_ip.empty() && record_ctrl[i].record_ip.view() == address) return i;
    return -1;
}

int Record_Find_Chn_By_Callid(int server, std::string_view callid)
{
    if (!live(server) || callid.empty()) return -1;
    for (int i = 0; i < kRecordChns; ++i) {
        const RecordChn& c = record_ctrl[server].record_chn[i];
        if (c.use == 1 && c.callid.view() == callid) return i;
    }
    return -1;
}

// Releases both channels of a recorded call. Both are taken from the record channel before
// the first release, which frees it.
void release_recorded_call(const RecordChn& c)
{
    const int peer = c.peer_chn, party = c.party_chn;
    if (chn_in_range(peer)) CallCtrl_SendHangoff(peer, 0);
    if (chn_in_range(party)) CallCtrl_SendHangoff(party, 0);
}

int Record_Ctrl_OnRecv(const Decoded& d)
{
    const std::string_view cseq = d.cseq.view();
    const std::size_t blank = cseq.find(' ');
    if (cseq.empty() || blank == std::string_view::npos) return -1;
    const int method = Record_Method_Code(skip_blanks(cseq.substr(blank + 1)));
    const int server = Record_Find_Server(d.server.view());
    if (server < 0) return -1;
    RecordServer& s = record_ctrl[server];
    if (method == M_INIT && d.status == REC_OK) {
        s.state = 1;
        return 1;
    }
    if (method == M_CONNECT && d.status == REC_OK) {
        s.state = 1;
        Record_Clear_Resend(server);
        if (!d.call_num.empty()) {
            s.record_num = Sip_Atoi(d.call_num.view());
            Record_Log(kTrace, "record_ctrl[ilv_record].record_num == [%d]\n", s.record_num);
            if (s.record_num > kRecordFullAbove) s.full = 1;
        }
        if (!d.begin_port.empty()) {
            s.record_begin_port = Sip_Atoi(d.begin_port.view());
            Record_Log(kTrace, "record_ctrl[ilv_record].record_begin_port == [%d]\n", s.record_begin_port);
        }
        return 1;
    }
    if (method == M_ACTIVE || method == M_RECONNECT) {
        if (d.status != (method == M_ACTIVE ? REC_ACTIVE : REC_RECONNECT)) return -1;
        s.state = 1;
        Record_Send_Ok(server, method == M_ACTIVE ? "REC_Active" : "REC_Reconnect");
        return 1;
    }
    if (d.call_id.empty()) return -1;
    const int rc = Record_Find_Chn_By_Callid(server, d.call_id.view());
    if (rc < 0) return -1;
    RecordChn& c = s.record_chn[rc];
    if (method == M_CLOSE && d.status == REC_OK) {
        Record_Chn_Reset(c);
    } else if (method == M_CLOSE && d.status == REC_ERROR) {
        Record_Log(kWarning, "***********************关闭录音消息出错\n");
        release_recorded_call(c);
    } else if (method == M_OPEN && d.status == REC_ERROR) {
        Record_Log(kTrace, "***********************record_msg_open failed\n");
        release_recorded_call(c);
    } else if (method == M_NOVOC) {
        release_recorded_call(c);   // the server hears no voice
    }
    return 1;
}

}  // namespace

int Record_Port(int server, int chn)
{
    if (!server_ok(server)) return 0;
    return record_ctrl[server].record_begin_port + (2 * chn) % 512;
}

int Record_Server_Create(int port)
{
    if (g_record_fd >= 0) {
        Record_Log(kWarning, "warning : record server have been created\n");
        return 0;
    }
    const int fd = Link_Udp_Bind(port);
    if (fd == -1) {
        Record_Log(kWarning, "error:create record udp server failed, socket error\n");
        return -1;
    }
    if (fd < 0) {
        Record_Log(kWarning, "error:create record udp server failed, bind local address error!\n");
        return -1;
    }
    g_record_fd = fd;
    std::printf("Bind  Record  Server  Port = [%i]  Success \n", port);
    std::fflush(stdout);
    return 1;
}

void Record_Ctrl_Init(int server)
{
    if (server_ok(server)) record_ctrl[server] = RecordServer{};
}

int Record_Load_Config()
{
    Dataset ds = Query_Open(g_db, "select * from softrecord");
    const int rows = Query_RecCount(ds);
    if (rows < 1) {
        Query_Close(ds);
        return -1;
    }
    auto field = [ds](const char* name, int row) {
        const char* v = Query_Fields(ds, name, row);
        return std::string_view(v != nullptr ? v : "");
    };
    std::printf("*******************Record Server Configuration*******************\n");
    for (int row = 0; row < rows && row < kRecordServers; ++row) {
        RecordServer& s = record_ctrl[row];
        s.state = 1;
        s.record_port = Sip_Atoi(field("record_port", row));
        s.record_id = Sip_Atoi(field("record_id", row));
        copy_text(s.record_ip, field("record_ip", row));
        std::printf("*ip                              %s \n", s.record_ip.s);
        std::printf("*port                            %d \n", s.record_port);
        std::printf("*record_id                       %d \n", s.record_id);
    }
    std::printf("*****************************************************************\n");
    std::fflush(stdout);
    Query_Close(ds);
    return 1;
}

int Record_Send_Init(int server)
{
    if (!live(server)) return -1;
    return send_to(server, Message("REC_Init"));
}

int Record_Send_Connect(int server)
{
    if (!live(server)) return -1;
    ++g_connect_seq;
    Message msg("REC_Connect");
    msg.m.fmt("Cseq: %u REC_Connect\r\n", g_connect_seq);
    if (g_connect_seq > 65535) g_connect_seq = 0;
    Record_Set_Resend(server, msg.m.view(), 3, 2);
    return send_to(server, msg);
}

void Record_Resend_Timer()
{
    for (int i = 0; i < kRecordServers; ++i) {
        RecordServer& s = record_ctrl[i];
        if (s.state != 1 || s.tries <= 0) continue;
        if (--s.countdown >= 1) continue;
        if (--s.tries < 1) {
            Record_Log(kTrace, "\n**************************录音服务器超时 = [%s]\n", s.record_ip.s);
            s.state = 0;
            continue;
        }
        s.countdown = s.interval;
        s.interval *= 2;
        Record_Send_buf(s.text.s, std::strlen(s.text.s), s.record_ip.s, s.record_port);
    }
}

int Record_Ctrl_Proc()
{
    static char buffer[1000];
    int result = 1;
    for (int i = 0; i < kRecvPerPass; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (g_record_fd < 0) return result;
        const ssize_t n = recvfrom(g_record_fd, buffer, kReadMax, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return result;  // nothing waits
        // A tiny or undecodable datagram is skipped within the pass's budget: ending the pass
        // there would let a flood of them hold back the servers' answers queued behind it.
        if (n < 5) continue;
        buffer[n] = '\0';
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        Record_Log(kTrace, "Receicing ******  ip=%s   port=%d \n", ip, ntohs(from.sin_port));
        Record_Log(kTrace, "%s", buffer);
        Decoded d;
        if (Record_Ctrl_Decode(std::string_view(buffer, static_cast<std::size_t>(n)), d) < 0) {
            Record_Log(kWarning, "Record_Ctrl_Proc:Record_Ctrl_Decode failed\n");
            result = -1;
            continue;
        }
        if (Record_Ctrl_OnRecv(d) < 0) {
            Record_Log(kWarning, "Record_Ctrl_Proc:Record_Ctrl_OnRecv failed!!\n");
            result = -1;
        }
    }
    return result;
}

int Record_Start(int server, int party, int party_inet, int peer, int peer_inet)
{
    if (!server_ok(server)) return -1;
    if (!live(server)) return -2;
    if (!chn_in_range(party) || !chn_in_range(peer)) return -4;
    RecordServer& s = record_ctrl[server];
    int rc = -1;
    for (int i = 0; i < kRecordChns && rc < 0; ++i)
        if (s.record_chn[i].use != 1) rc = i;
    if (rc < 0) return -3;
    RecordChn& c = s.record_chn[rc];
    Record_Log(kTrace,
               "[ Record Start ] record_ctrl[%d].record_chn[%d] <FROM = %s chn = %d indet = %d  > < TO %s chn = %d "
               "indet = %d  >\n",
               server, rc, c.from.s, peer, peer_inet, c.to.s, party, party_inet);
    call_chns[party].record_chn = rc;
    call_chns[peer].record_chn = rc;
    c = RecordChn{};
    c.use = 1;
    copy_text(c.from, call_chns[party].calling.view());
    copy_text(c.to, call_chns[party].called.view());
    auto side = [&](int chn, int inet, Text<16>& ip, int& record_port, int& rtp_port) {
        Text<16> media_ip;
        int media_port = 0, codec = 0;
        CallCtrl_Get_Media(chn, media_ip, media_port, codec);
        if (inet == 1 || soft_inet_enable != 1) ip = media_ip;
        rtp_port = media_port;
        record_port = Record_Port(server, chn);
    };
    side(peer, peer_inet, c.s1_ip, c.s1_record_port, c.s1_rtp_port);
    side(party, party_inet, c.s2_ip, c.s2_record_port, c.s2_rtp_port);
    c.peer_chn = peer;
    c.party_chn = party;
    Record_Send_Open(server, c);
    Record_Log(kTrace, "[ Record Start ] < CALL-ID %s> \n", c.callid.s);
    return 1;
}

int Record_Hangup(int chn)
{
    if (!chn_in_range(chn)) return -1;
    const int server = call_chns[chn].record_srv, rc = call_chns[chn].record_chn;
    if (!server_ok(server) || rc < 0 || rc >= kRecordChns) return -1;
    RecordChn& c = record_ctrl[server].record_chn[rc];
    // Only the recording of this call: the other channel's release may have ended it already.
    if (c.use != 1 || (c.party_chn != chn && c.peer_chn != chn)) return 1;
    if (!c.callid.empty()) Record_Send_Close(server, c);
    Record_Log(kTrace, "[ Record Hangup ] < call_chns = %d record_ctrl[%d].record_chn[%d] CALL-ID  = %s> \n", chn,
               server, rc, c.callid.s);
    Record_Chn_Reset(c);
    return 1;
}
