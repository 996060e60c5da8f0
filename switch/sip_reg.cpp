#include "sip_reg.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "link_monitor.h"
#include "link_status.h"
#include "mgcp_endpoint.h"
#include "settings.h"
#include "sip_decode.h"
#include "sip_digest.h"
#include "sip_nonce.h"
#include "sip_response.h"
#include "sip_text.h"
#include "sip_transport.h"
#include "sqlite.h"
#include "swlog.h"

std::array<SipReg, kMaxSipReg> sipreg;

namespace {

// Next registration and next MGCP endpoint the user refresh looks at.
int g_refresh_regno = kRegFirstUser;
int g_refresh_endpoint = 0;

constexpr const char* kPeerQuery = "select *  from softswitch where tel_type= '3'";

bool reg_in_range(int regno) { return regno >= 0 && regno < kMaxSipReg; }

// The name of a user status in the log; null for a value that is none.
const char* status_name(int status)
{
    switch (status) {
    case SOFT_ST_FREE: return "SOFT_ST_FREE";
    case SOFT_ST_BUSY: return "SOFT_ST_BUSY";
    case SOFT_ST_AWAY: return "SOFT_ST_AWAY";
    case SOFT_ST_TALK: return "SOFT_ST_TALK";
    default: return nullptr;
    }
}

int respond(const SIP_MSG_T& msg, int code) { return Send_Msg_Response(msg, code); }

// Reads an expiry text by its leading number: the digits up to the first character of ends;
// anything else before it makes the value 0, as for any text that is no number.
int read_lifetime(std::string_view text, std::string_view ends)
{
    return Sip_Atoi(text.substr(0, find_first_of_or_end(text, ends)));
}

// Seconds the REGISTER asks for: its Expires header, else the expires parameter of its
// Contact, else the default.
int reg_lifetime(const SIP_MSG_T& msg)
{
    Text<10> text;
    if (!msg.expires_line.empty()) {
        if (Decode_Expires(msg.expires_line.view(), text) < 0) return sip_expries_default;
        return read_lifetime(text.view(), " ");
    }
    if (Decode_Contact_Expires(msg.contact_line.view(), text) < 0) return sip_expries_default;
    // The parameter is followed by the next parameter or the end of the Contact URI.
    return read_lifetime(text.view(), " ;>,");
}

// The user part of the From URI into tel: 1; the failure results of OnRecv_Reg otherwise.
int reg_number(const SIP_MSG_T& msg, Text<50>& tel)
{
    Text<64> uri;
    Text<kSipLineMax> tag;
    if (Decode_FromTo(msg.from_line.view(), uri, tag) < 0) return -1;
    Text<50> host;
    int port = 0;
    if (Decode_Uri(uri.view(), tel, host, port) < 0) return -2;
    if (tel.empty()) return -3;
    return 1;
}

// Public-network flag of a SIP user: what the decoder saw of the datagram's Via.
void set_user_inet(int regno, const SIP_MSG_T& msg, bool log)
{
    if (soft_inet_enable != 1) return;
    SipReg& r = sipreg[regno];
    r.inet = msg.inet == 1 ? 1 : 0;
    if (log) Write_Logf(r.inet == 1 ? "[%s] sipreg.inet=1\n" : "[%s] sipreg.inet=0\n", r.tel.s);
}

// The service, conference and peer registrations are only ever marked inner, never cleared.
void set_inner_inet(int regno)
{
    if (soft_inet_enable == 1 && Check_Reg_Inner_Net(regno) == 1) sipreg[regno].inet = 1;
}

// The service or conference program, by the marker of its "Kelvanor-Info" line.
int register_program(const SIP_MSG_T& msg, int regno, const char* tel, int lifetime)
{
    SipReg& r = sipreg[regno];
    // Every service call goes to this address: while the program's registration lives, only the
    // program itself (from where it registered) refreshes or moves it.
    Text<16> ip;
    int port = 0;
    Sip_Msg_Source(msg, ip, port);
    if (r.use == 1 && !Sip_Reg_From(r, ip.view(), port)) {
        Write_Logf("error:[%s] registered at %s:%d, register from %s:%d refused\n", tel, r.ip.s, r.port, ip.s, port);
        respond(msg, 488);
        return -7;
    }
    r.use = 1;
    r.soft_user.tel_type = TEL_TYPE_SERVICE;
    copy_text(r.ip, msg.reply_ip.view());
    r.port = msg.reply_port;
    r.expires = lifetime;
    copy_text(r.tel, tel);
    set_inner_inet(regno);
    respond(msg, 200);
    return 2;
}

// A new free slot from 10 for tel, or -1.
int take_slot(const Text<50>& tel)
{
    int regno = Find_Free_Reg();
    if (regno < 0) return -1;
    SipReg& r = sipreg[regno];
    r = SipReg{};
    r.use = 1;
    copy_text(r.tel, tel.view());
    return regno;
}

// The binding the REGISTER asks for: the old address hears that the number moved, then the
// new address and lifetime are stored.
void store_binding(int regno, const SIP_MSG_T& msg, int lifetime)
{
    SipReg& r = sipreg[regno];
    if (!r.ip.empty() && r.ip.view() != msg.reply_ip.view()) Send_Reg_Moved_Notice(r.tel.s, r.ip.s, r.port);
    copy_text(r.ip, msg.reply_ip.view());
    r.port = msg.reply_port;
    r.expires = lifetime;
}

// Completes an accepted REGISTER. A registration taken by this REGISTER is announced free.
int accept_register(int regno, const SIP_MSG_T& msg, int lifetime, bool inet_log, bool first)
{
    SipReg& r = sipreg[regno];
    store_binding(regno, msg, lifetime);
    set_user_inet(regno, msg, inet_log);
    Sip_Update_Db_Status(regno, 1);
    if (first && sip_authen_enable == 0 && sip_netmon_enable == 1) SipMonitor_Send_Reg(regno);
    respond(msg, 200);
    if (first) Sip_Set_Softuser_St(regno, SOFT_ST_FREE, r.tel.s);
    return 1;
}

// No slot is left for a new number: 488, the log line and the result.
int refuse_table_full(const SIP_MSG_T& msg, const char* log, int result)
{
    respond(msg, 488);
    Write_Log(log);
    return result;
}

int register_without_auth(const SIP_MSG_T& msg, int regno, const Text<50>& tel, int lifetime)
{
    const bool first = regno < 0;
    if (first && (regno = take_slot(tel)) < 0) return refuse_table_full(msg, "error:没有空闲注册结构\n", -4);
    Sip_Load_User(regno);
    return accept_register(regno, msg, lifetime, true, first);
}

// A failed credential check: 488. A registration that had passed before keeps its binding;
// a new number never had a slot.
int refuse_credentials(const SIP_MSG_T& msg, int result)
{
    respond(msg, 488);
    return result;
}

// An ordinary user is checked against the password its row in table softswitch holds; a user
// without a row, or with an empty password there, keeps the empty password.
void load_user_password(const Text<50>& tel, Text<50>& password)
{
    password.clear();
    char quoted[2 * sizeof tel.s + 3];
    if (g_db == nullptr || Query_Quote(quoted, sizeof quoted, tel.view()) < 0) return;
    char sql[160];
    std::snprintf(sql, sizeof sql, "select password from softswitch where tel=%s", quoted);
    Dataset ds = Query_Open(g_db, sql);
    if (Query_RecCount(ds) >= 1) {
        const char* pw = Query_Fields(ds, "password", 0);
        copy_text(password, pw != nullptr ? pw : "");
    }
    Query_Close(ds);
}

// The challenge to a REGISTER without usable credentials. A retransmitted REGISTER gets the
// nonce its first copy got. A new number gets a challenge only while a slot is free for it,
// but the slot is taken only when its credentials pass: open challenges hold none.
int challenge(const SIP_MSG_T& msg, int regno, const Text<50>& tel)
{
    if (regno < 0 && Find_Free_Reg() < 0) return refuse_table_full(msg, "no free regno\n", -6);
    const int n = Sip_Nonce_Open(tel.s, Sip_Nonce_Request_Key(msg.callid_line.view(), msg.cseq_line.view()));
    // The status stays as it is: the user may be in a call at its registered address.
    Send_Auth_Challenge(msg, sipnonce[n].nonce);
    return 1;
}

int register_with_auth(const SIP_MSG_T& msg, int regno, const Text<50>& tel, int lifetime)
{
    // Any other type has no challenge to send; the REGISTER changes nothing.
    if (sip_authen_type != 0 && sip_authen_type != 1) return 1;
    const bool www = sip_authen_type == 0;

    if (regno >= 0) {
        Sip_Load_User(regno);
        if (sipreg[regno].soft_user.no_authen == 1) return accept_register(regno, msg, lifetime, true, false);
    }

    const auto& line = www ? msg.auth_line : msg.proxy_auth_line;
    if (line.empty()) return challenge(msg, regno, tel);

    DigestParams cred;
    int decoded = www ? Decode_Authorization(line.view(), cred) : Decode_Proxy_Authorization(line.view(), cred);
    if (decoded < 1) return refuse_credentials(msg, www ? -10 : -13);

    const int worth = Sip_Nonce_Check(tel.s, cred.nonce.view());
    if (worth == 0) {
        // Answered once already (a replay, or a copy that came late) or answered too late:
        // whoever sent it must answer a new challenge.
        Write_Logf("[%s] nonce %s spent, challenged again\n", tel.s, cred.nonce.s);
        return challenge(msg, regno, tel);
    }
    if (worth < 0) {
        Write_Logf("regno=%d nonce1=%s nonce2=%s\n", regno, Sip_Nonce_Of(tel.s), cred.nonce.s);
        Write_Logf(www ? "error:[%s]www nonce错误\n" : "error:[%s] proxy nonce错误\n", tel.s);
        return refuse_credentials(msg, www ? -8 : -11);
    }

    Text<50> password;
    load_user_password(tel, password);
    Text<kMd5HexLen + 1> expected;
    Sip_Digest_Response(kDigestMethodRegister, cred.realm.view(), cred.uri.view(), cred.nonce.view(),
                        cred.username.view(), password.view(), expected);
    if (cred.response.view() != expected.view()) {
        Write_Logf("response1=%s response2=%s\n", cred.response.s, expected.s);
        Write_Logf(www ? "error:[%s]www密码错误\n" : "error:[%s]proxy 密码错误\n", tel.s);
        return refuse_credentials(msg, www ? -9 : -12);
    }
    Sip_Nonce_Close(tel.s, cred.nonce.view());

    const bool first = regno < 0;
    if (first) {
        if ((regno = take_slot(tel)) < 0) return refuse_table_full(msg, "no free regno\n", -6);
        Sip_Load_User(regno);
    }
    copy_text(sipreg[regno].password, password.view());
    return accept_register(regno, msg, lifetime, www, first);
}

}  // namespace

void Sip_Init_All_Reg()
{
    sipreg.fill(SipReg{});
    Sip_Nonce_Init();
    g_refresh_regno = kRegFirstUser;
}

int OnRecv_Reg(const SIP_MSG_T& msg)
{
    Text<50> tel;
    int rc = reg_number(msg, tel);
    if (rc < 0) {
        respond(msg, 488);
        return rc;
    }
    int lifetime = reg_lifetime(msg);

    std::string_view info = msg.kelvanor_info_line.view();
    if (info.find("service register") != std::string_view::npos)
        return register_program(msg, kRegService, "*", lifetime);
    if (info.find("conference register") != std::string_view::npos)
        return register_program(msg, kRegConference, "#", lifetime);

    if (sip_authen_enable != 0 && sip_authen_enable != 1) return 1;

    // Only a SIP user's slot can be taken or refreshed by a plain REGISTER: the programs'
    // slots and a peer switch's slot must not be redirected by whoever sends its number.
    int regno = Find_Reg_By_Tel(tel.s);
    if (regno >= 0 && (regno < kRegFirstUser || sipreg[regno].soft_user.tel_type != TEL_TYPE_SIP)) {
        Write_Logf("error:[%s] regno=%d is not a SIP user, register refused\n", tel.s, regno);
        respond(msg, 488);
        return -5;
    }

    if (sip_authen_enable == 0) return register_without_auth(msg, regno, tel, lifetime);
    return register_with_auth(msg, regno, tel, lifetime);
}

int Sip_Reg_Timer()
{
    Sip_Nonce_Tick();
    for (int regno = 0; regno < kMaxSipReg; ++regno) {
        SipReg& r = sipreg[regno];
        if (r.use != 1 || r.soft_user.tel_type == TEL_TYPE_TRUNK) continue;
        if (r.expires < 1) {
            Write_Logf("!!!reg[%d] tel=[%s] 注册超时,注销!\n", regno, r.tel.s);
            Sip_Update_Db_Status(regno, 0);
            Sip_Set_Softuser_St(regno, SOFT_ST_AWAY, r.tel.s);
            Sip_Reg_Reset(regno);
        } else {
            --r.expires;
        }
    }
    return 1;
}

bool Sip_Reg_From(const SipReg& r, std::string_view ip, int port)
{
    return !r.ip.empty() && r.ip.view() == ip && r.port == port;
}

int Sip_Reg_By_Source(std::string_view ip, int port, bool user_only)
{
    for (int regno = 0; regno < kMaxSipReg; ++regno) {
        const SipReg& r = sipreg[regno];
        if (r.use != 1 || (user_only && r.soft_user.tel_type != TEL_TYPE_SIP)) continue;
        if (Sip_Reg_From(r, ip, port)) return regno;
    }
    return -1;
}

int Sip_Reg_Reset(int regno)
{
    if (!reg_in_range(regno) || sipreg[regno].use != 1) return -1;
    sipreg[regno] = SipReg{};
    return 1;
}

int Find_Free_Reg()
{
    for (int regno = kRegFirstUser; regno < kMaxSipReg; ++regno) {
        if (sipreg[regno].use != 1) return regno;
    }
    return -1;
}

int Find_Reg_By_Tel(const char* tel)
{
    if (tel == nullptr) return -1;
    for (int regno = 0; regno < kMaxSipReg; ++regno) {
        if (sipreg[regno].use == 1 && std::strcmp(sipreg[regno].tel.s, tel) == 0) return regno;
    }
    return -1;
}

int Find_Reg_By_Called(const char* called)
{
    if (called == nullptr) return -1;
    if (called[0] == '\0') return -2;
    if (QUERY_WORK_MODE == 0) {
        if (called[0] == '*' && sipreg[kRegService].use == 1) return kRegService;
        if (called[0] == '#' && sipreg[kRegConference].use == 1) return kRegConference;
    } else if (QUERY_WORK_MODE == 1) {
        // The conference program is not used in this mode.
        if ((called[0] == '*' || called[0] == '#') && sipreg[kRegService].use == 1) return kRegService;
    }

    int gateway = -1;
    int peer = -1;
    for (int regno = kRegFirstUser; regno < kMaxSipReg; ++regno) {
        const SipReg& r = sipreg[regno];
        if (r.use != 1) continue;
        const int type = r.soft_user.tel_type;
        if (type == TEL_TYPE_SIP) {
            if (std::strcmp(r.tel.s, called) == 0) return regno;
        } else if (type == TEL_TYPE_GATEWAY || type == TEL_TYPE_TRUNK) {
            // Prefix over the length of tel: the last match in slot order wins, not the longest.
            if (std::strncmp(r.tel.s, called, std::strlen(r.tel.s)) != 0) continue;
            if (type == TEL_TYPE_GATEWAY) gateway = regno;
            else peer = regno;
        }
    }
    if (gateway >= 0 && peer >= 0) return QUERY_WORK_MODE == 1 ? peer : -3;
    if (gateway >= 0) return gateway;
    if (peer >= 0) return peer;
    return -3;
}

int Sip_Load_User(int regno)
{
    if (!reg_in_range(regno)) return -1;
    SoftUser& u = sipreg[regno].soft_user;
    copy_text(u.tel, sipreg[regno].tel.view());
    // Recording, the services and forwarding of the user are kept with its row of table
    // softswitch; a column the table lacks leaves its service off.
    char tel[2 * sizeof u.tel.s + 3];
    char sql[160];
    if (Query_Quote(tel, sizeof tel, u.tel.view()) < 0) return 1;
    std::snprintf(sql, sizeof sql, "select * from softswitch where tel = %s", tel);
    Dataset ds = Query_Open(g_db, sql);
    if (Query_RecCount(ds) >= 1) {
        const auto number = [&](const char* column) {
            const char* v = Query_Fields(ds, column, 0);
            return Sip_Atoi(v ? v : "");
        };
        const auto text = [&](Text<50>& field, const char* column) {
            const char* v = Query_Fields(ds, column, 0);
            copy_text(field, v ? v : "");
        };
        u.record_enable = number("record_enable") == 1 ? 1 : 0;
        u.level = number("level");
        u.zhuanjie = number("zhuanjie");
        u.meet = number("meet");
        u.daida = number("daida");
        u.group = number("group");
        text(u.callswitch_tel, "callswitch_tel");
        text(u.busy_callswitch_tel, "busy_callswitch_tel");
        text(u.no_answer_callswitch_tel, "no_answer_callswitch_tel");
    }
    Query_Close(ds);
    return 1;
}

int Sip_Update_Db_Status(int regno, int online)
{
    if (!reg_in_range(regno)) return -1;
    const SipReg& r = sipreg[regno];
    // Number and address arrived from outside: both go in as quoted literals.
    char tel[2 * sizeof r.tel.s + 3];
    char ip[2 * sizeof r.ip.s + 3];
    if (Query_Quote(tel, sizeof tel, r.tel.view()) < 0 || Query_Quote(ip, sizeof ip, r.ip.view()) < 0) return 1;
    char sql[256];
    if (online == 1)
        std::snprintf(sql, sizeof sql, "update softswitch set status=1,ip=%s,port=%d where tel=%s", ip, r.port, tel);
    else
        std::snprintf(sql, sizeof sql, "update softswitch set status=0 where tel=%s", tel);
    Query_Execsql(g_db, sql);
    return 1;
}

int Load_Other_Softswitch()
{
    Dataset ds = Query_Open(g_db, kPeerQuery);
    int rows = Query_RecCount(ds);
    if (rows < 1) {
        Query_Close(ds);
        return -1;
    }
    auto field = [ds](const char* name, int row) {
        const char* v = Query_Fields(ds, name, row);
        return v != nullptr ? v : "";
    };
    for (int row = 0; row < rows; ++row) {
        const int regno = kRegFirstUser + row;
        if (regno >= kMaxSipReg) {
            Write_Logf("error:softswitch rows from %d have no free regno\n", row);
            break;
        }
        // The switch's own row.
        if (std::strcmp(field("ip", row), sip_server_local_host.s) == 0) continue;
        SipReg& r = sipreg[regno];
        r = SipReg{};
        r.use = 1;
        copy_text(r.tel, field("tel", row));
        copy_text(r.password, field("password", row));
        copy_text(r.ip, field("ip", row));
        r.port = Settings_Atoi(field("port", row));
        r.station_send = Settings_Atoi(field("station_send", row));
        r.expires = 0;
        r.soft_user.tel_type = TEL_TYPE_TRUNK;
        set_inner_inet(regno);
        Write_Logf("其他软交换regno=%d tel=%s tel_type=%d ip=%s port=%d station_send=%d\n", regno, r.tel.s,
                   r.soft_user.tel_type, r.ip.s, r.port, r.station_send);
    }
    Query_Close(ds);
    return 1;
}

int UserCheckUpdate(int mode)
{
    if (mode == 1) {
        g_refresh_regno = kRegFirstUser;
        g_refresh_endpoint = 0;
        return 1;
    }
    while (g_refresh_regno < kMaxSipReg) {
        const int regno = g_refresh_regno++;
        if (sipreg[regno].use != 1) continue;
        Write_Logf("UserCheckUpdate sip regno=%d tel=%s\n", regno, sipreg[regno].tel.s);
        Sip_Load_User(regno);
        return 2;
    }
    while (g_refresh_endpoint < kMaxMgcpEndpoints) {
        const int e = g_refresh_endpoint++;
        const MgcpEndpoint& ep = g_mgcp_endpoint[e];
        if (ep.in_use != 1) continue;
        Write_Logf("UserCheckUpdate mgcp regno=%d tel=%s\n", e, ep.tel.s);
        Mgcp_Get_Soft_User_From_Db(ep.endpoint.s, e);
        return 3;
    }
    return -1;
}

int Sip_Set_Softuser_St(int regno, int status, const char* tel)
{
    if (!reg_in_range(regno)) return -5;
    SipReg& r = sipreg[regno];
    if (r.use != 1) return -1;
    if (r.soft_user.tel_type != TEL_TYPE_SIP) return -2;
    if (tel == nullptr || std::strcmp(tel, r.tel.s) != 0) return -3;
    r.soft_user.status = status;
    Write_Log("软交换设置用户状态,");
    const char* name = status_name(status);
    if (name == nullptr) {
        Write_Log("用户状态失败,不向调度发送状态\n");
        return -4;
    }
    Write_Logf("用户号码 = [%s]  状态为 [%s],同时向调度发送状态\n", r.soft_user.tel.s, name);
    // The consoles see talking as 4; the other values as they are.
    const int shown = status == SOFT_ST_TALK ? DISPATCH_ST_TALK : status;
    if (Send_Status_To_Dispatch(r.tel.s, shown) < 0) Write_Log("没有该成员，向调度服务器发送状态消息失败\n");
    return 1;
}

int Check_Reg_Inner_Net(int regno)
{
    if (!reg_in_range(regno)) return -4;
    std::string_view ip = sipreg[regno].ip.view();
    std::string_view inner = sip_server_inter_host.view();
    std::string_view mask = soft_inet_mask.view();
    for (int octet = 0; octet < 3; ++octet) {
        std::size_t ip_dot = ip.find('.');
        if (ip_dot == std::string_view::npos) return -1;
        std::size_t inner_dot = inner.find('.');
        if (inner_dot == std::string_view::npos) return -2;
        std::size_t mask_dot = mask.find('.');
        if (mask_dot == std::string_view::npos) return -3;
        if (mask_dot == 0) return 1;
        const int m = Sip_Atoi(mask.substr(0, mask_dot));
        if ((Sip_Atoi(ip.substr(0, ip_dot)) & m) != (Sip_Atoi(inner.substr(0, inner_dot)) & m)) return -5;
        ip.remove_prefix(ip_dot + 1);
        inner.remove_prefix(inner_dot + 1);
        mask.remove_prefix(mask_dot + 1);
    }
    return 1;
}
