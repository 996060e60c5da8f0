// sip_stack.cpp — the socket, the text pool and the glue to osip's transaction state machines.
// osip's callbacks only note what happened; the notes are handed to the user agent after osip has
// returned, so a report to the gateway (which may send at once) never runs inside osip.
#include "sip_stack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <osip2/osip.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include "sip_ua.h"

std::array<SipChn, kSipMaxChn> g_sSipChn;
std::array<SipTrans, kSipMaxTrans> g_sSipTrans;
std::array<SipText, kSipMaxTexts> g_sSipText;
std::array<SipAnswered, kSipMaxAnswered> g_sSipAnswered;
SipStackCfg g_sSipCfg;

namespace {
osip_t* g_pOsip = nullptr;

struct StackNote {              // one osip callback, waiting for the user agent
    int kill = 0;
    int type = 0;
    int ctx = -1;
    osip_message_t* sip = nullptr;
};
std::array<StackNote, 128> g_sNotes;
int g_iNoteHead = 0, g_iNoteCount = 0;

void note(int kill, int type, osip_transaction_t* tr, osip_message_t* sip)
{
    int ctx = Trans_Of(tr);
    if (ctx < 0) return;
    if (g_iNoteCount == static_cast<int>(g_sNotes.size())) return;   // cannot happen: one message per pass
    StackNote& n = g_sNotes[static_cast<size_t>((g_iNoteHead + g_iNoteCount) % static_cast<int>(g_sNotes.size()))];
    n = {kill, type, ctx, sip};
    ++g_iNoteCount;
}

void on_message(int type, osip_transaction_t* tr, osip_message_t* sip)
{
    // osip frees a repeated 2xx as soon as this returns, so it is looked at now; the user agent
    // only sends its stored ACK again, without osip
    if (type == OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN) {
        int ctx = Trans_Of(tr);
        if (ctx >= 0) Ua_On_2xx_Again(ctx, sip);
        return;
    }
    note(0, type, tr, sip);
}
void on_kill(int type, osip_transaction_t* tr) { note(1, type, tr, nullptr); }
void on_transport_error(int type, osip_transaction_t* tr, int error) { (void)type; (void)tr; (void)error; }

// Hands every note to the user agent; notes made meanwhile (by sends of the gateway) follow.
void drain()
{
    while (g_iNoteCount > 0) {
        StackNote n = g_sNotes[static_cast<size_t>(g_iNoteHead)];
        g_iNoteHead = (g_iNoteHead + 1) % static_cast<int>(g_sNotes.size());
        --g_iNoteCount;
        if (n.ctx < 0 || !g_sSipTrans[static_cast<size_t>(n.ctx)].use) continue;
        if (n.kill) {
            Ua_On_Kill(n.ctx);
            g_sSipTrans[static_cast<size_t>(n.ctx)].dead = 1;
        } else {
            Ua_On_Transaction(n.type, n.ctx, n.sip);
        }
    }
}

int text_of(const osip_message_t* sip)
{
    intptr_t v = reinterpret_cast<intptr_t>(sip ? sip->application_data : nullptr) - 1;
    if (v < 0 || v >= kSipMaxTexts || !g_sSipText[static_cast<size_t>(v)].use) return -1;
    return static_cast<int>(v);
}

int send_message(osip_transaction_t* tr, osip_message_t* sip, char* host, int port, int out_socket)
{
    (void)out_socket;
    int ctx = Trans_Of(tr);
    IPV4_ADDRESS to{};
    if (ctx >= 0 && !g_sSipTrans[static_cast<size_t>(ctx)].client && g_sSipCfg.cfg.m_eSourceAddrType == E_SRCADDR_SOCKET) {
        to = g_sSipTrans[static_cast<size_t>(ctx)].src;
    } else {
        copy_bounded(to.ip, sizeof to.ip, host ? host : "");
        to.port = port > 0 ? port : 5060;
    }
    int slot = text_of(sip);
    if (slot >= 0) return Stack_Send_Raw(g_sSipText[static_cast<size_t>(slot)].s, g_sSipText[static_cast<size_t>(slot)].len, to);
    // osip's own ACK to a failure answer
    char* text = nullptr;
    size_t len = 0;
    if (osip_message_to_str(sip, &text, &len) != 0 || text == nullptr) return -1;
    int r = Stack_Send_Raw(text, static_cast<int>(len), to);
    osip_free(text);
    return r;
}

// osip arms a client transaction's first timers with the RFC values when it is made; they are
// armed again here with the configured T1 (timers not yet armed are left to osip).
void arm(timeval& start, int length_ms)
{
    if (start.tv_sec == -1) return;
    osip_gettimeofday(&start, nullptr);
    long long us = static_cast<long long>(start.tv_usec) + static_cast<long long>(length_ms) * 1000;
    start.tv_sec += static_cast<time_t>(us / 1000000);
    start.tv_usec = static_cast<suseconds_t>(us % 1000000);
}

void set_timers(osip_transaction_t* tr)
{
    const int t1 = g_sSipCfg.t1, t4 = g_sSipCfg.t4;
    if (tr->ict_context) {
        tr->ict_context->timer_a_length = t1;
        tr->ict_context->timer_b_length = 64 * t1;
        tr->ict_context->timer_d_length = 64 * t1;
        arm(tr->ict_context->timer_a_start, t1);
        arm(tr->ict_context->timer_b_start, 64 * t1);
    }
    if (tr->nict_context) {
        tr->nict_context->timer_e_length = t1;
        tr->nict_context->timer_f_length = 64 * t1;
        tr->nict_context->timer_k_length = t4;
        arm(tr->nict_context->timer_e_start, t1);
        arm(tr->nict_context->timer_f_start, 64 * t1);
    }
    if (tr->ist_context) {
        tr->ist_context->timer_g_length = t1;
        tr->ist_context->timer_h_length = 64 * t1;
        tr->ist_context->timer_i_length = t4;
    }
    if (tr->nist_context) tr->nist_context->timer_j_length = 64 * t1;
}

int ctx_new(osip_transaction_t* tr, int chn, int method, int client)
{
    for (int i = 0; i < kSipMaxTrans; ++i) {
        SipTrans& t = g_sSipTrans[static_cast<size_t>(i)];
        if (t.use) continue;
        t = {};
        t.use = 1;
        t.tr = tr;
        t.chn = chn;
        t.method = method;
        t.client = client;
        osip_transaction_set_your_instance(tr, reinterpret_cast<void*>(static_cast<intptr_t>(i + 1)));
        return i;
    }
    return -1;
}

osip_message_t* parse_text(int slot)
{
    osip_message_t* msg = nullptr;
    if (osip_message_init(&msg) != 0) return nullptr;
    SipText& t = g_sSipText[static_cast<size_t>(slot)];
    if (osip_message_parse(msg, t.s, static_cast<size_t>(t.len)) != 0) {
        osip_message_free(msg);
        return nullptr;
    }
    msg->application_data = reinterpret_cast<void*>(static_cast<intptr_t>(slot + 1));
    return msg;
}

void no_trace(const char*, int, osip_trace_level_t, const char*, va_list) {}
}  // namespace

int Text_Store(const char* s, int len)
{
    if (s == nullptr || len <= 0 || len >= kSipMsgMax) return -1;
    for (int i = 0; i < kSipMaxTexts; ++i) {
        SipText& t = g_sSipText[static_cast<size_t>(i)];
        if (t.use) continue;
        t.use = 1;
        t.len = len;
        std::memcpy(t.s, s, static_cast<size_t>(len));
        t.s[len] = '\0';
        return i;
    }
    return -1;
}

void Text_Free(int slot)
{
    if (slot < 0 || slot >= kSipMaxTexts) return;
    g_sSipText[static_cast<size_t>(slot)].use = 0;
    g_sSipText[static_cast<size_t>(slot)].len = 0;
}

namespace {
bool same_request(const SipRequestKey& a, const SipRequestKey& b)
{
    return a.method == b.method && a.cseq == b.cseq && a.src.port == b.src.port && !std::strcmp(a.src.ip, b.src.ip)
        && a.call_id.view() == b.call_id.view() && a.branch.view() == b.branch.view();
}
}  // namespace

const SipAnswered* Answered_Find(const SipRequestKey& key)
{
    const long long now = Sip_Now_Ms();
    for (const auto& a : g_sSipAnswered)
        if (a.use && now < a.until_ms && same_request(a.key, key)) return &a;
    return nullptr;
}

void Answered_Keep(const SipRequestKey& key, const char* s, int len)
{
    if (s == nullptr || len <= 0 || len >= kSipMsgMax) return;
    const long long now = Sip_Now_Ms();
    SipAnswered* slot = &g_sSipAnswered[0];
    for (auto& a : g_sSipAnswered) {
        if (!a.use || now >= a.until_ms) {
            slot = &a;
            break;
        }
        if (a.until_ms < slot->until_ms) slot = &a;
    }
    slot->use = 1;
    slot->until_ms = now + 64LL * g_sSipCfg.t1;
    slot->key = key;
    slot->len = len;
    std::memcpy(slot->s, s, static_cast<size_t>(len));
    slot->s[len] = '\0';
}

int Trans_Of(osip_transaction* tr)
{
    if (tr == nullptr) return -1;
    intptr_t v = reinterpret_cast<intptr_t>(osip_transaction_get_your_instance(tr)) - 1;
    if (v < 0 || v >= kSipMaxTrans) return -1;
    const SipTrans& t = g_sSipTrans[static_cast<size_t>(v)];
    return t.use && t.tr == tr ? static_cast<int>(v) : -1;
}

int Stack_Open(const LIBSIP_CFG_INFO_T& cfg)
{
    Stack_Close();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cfg.m_iStackPort));
    if (cfg.m_chStackHost[0] == '\0' || inet_pton(AF_INET, cfg.m_chStackHost, &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        // a board address that is not (yet) on an interface still lets the stack run on any address
        if (a.sin_addr.s_addr == htonl(INADDR_ANY) || errno != EADDRNOTAVAIL) {
            close(fd);
            return -1;
        }
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
            close(fd);
            return -1;
        }
    }
    osip_trace_initialize_func(END_TRACE_LEVEL, no_trace);
    for (int l = TRACE_LEVEL0; l < END_TRACE_LEVEL; ++l) osip_trace_disable_level(static_cast<osip_trace_level_t>(l));
    if (osip_init(&g_pOsip) != 0) {
        close(fd);
        g_pOsip = nullptr;
        return -2;
    }
    osip_set_cb_send_message(g_pOsip, send_message);
    for (int t = 0; t < OSIP_MESSAGE_CALLBACK_COUNT; ++t) osip_set_message_callback(g_pOsip, t, on_message);
    for (int t = 0; t < OSIP_KILL_CALLBACK_COUNT; ++t) osip_set_kill_transaction_callback(g_pOsip, t, on_kill);
    for (int t = 0; t < OSIP_TRANSPORT_ERROR_CALLBACK_COUNT; ++t) osip_set_transport_error_callback(g_pOsip, t, on_transport_error);
    g_sSipCfg.fd = fd;
    return 0;
}

void Stack_Close()
{
    if (g_pOsip != nullptr) {
        for (auto& t : g_sSipTrans) {
            if (!t.use) continue;
            osip_transaction_free(t.tr);
            t = {};
        }
        osip_release(g_pOsip);
        g_pOsip = nullptr;
    }
    for (auto& t : g_sSipTrans) t = {};
    for (auto& t : g_sSipText) t.use = 0;
    for (auto& a : g_sSipAnswered) a.use = 0;
    g_iNoteHead = g_iNoteCount = 0;
    if (g_sSipCfg.fd >= 0) close(g_sSipCfg.fd);
    g_sSipCfg.fd = -1;
}

int Stack_Send_Raw(const char* s, int len, const IPV4_ADDRESS& to)
{
    if (g_sSipCfg.fd < 0 || s == nullptr || len <= 0 || to.port <= 0 || to.port > 65535) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(to.port));
    if (inet_pton(AF_INET, to.ip, &a.sin_addr) != 1) return -1;
    ssize_t n = sendto(g_sSipCfg.fd, s, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == len ? 0 : -1;
}

bool Stack_Busy()
{
    if (g_pOsip == nullptr) return false;
    return osip_list_size(&g_pOsip->osip_ict_transactions) > 0 || osip_list_size(&g_pOsip->osip_ist_transactions) > 0
        || osip_list_size(&g_pOsip->osip_nict_transactions) > 0 || osip_list_size(&g_pOsip->osip_nist_transactions) > 0;
}

int Trans_Request(int chn, int method, int text, const IPV4_ADDRESS& dest)
{
    if (g_pOsip == nullptr || text < 0) {
        Text_Free(text);
        return -1;
    }
    osip_message_t* msg = parse_text(text);
    if (msg == nullptr) {
        Text_Free(text);
        return -1;
    }
    osip_transaction_t* tr = nullptr;
    const osip_fsm_type_t type = method == SIP_REQUEST_MSG_INVITE ? ICT : NICT;
    if (osip_transaction_init(&tr, type, g_pOsip, msg) != 0) {
        osip_message_free(msg);
        Text_Free(text);
        return -1;
    }
    int ctx = ctx_new(tr, chn, method, 1);
    if (ctx < 0) {
        osip_transaction_free(tr);
        osip_message_free(msg);
        Text_Free(text);
        return -1;
    }
    SipTrans& t = g_sSipTrans[static_cast<size_t>(ctx)];
    t.req_text = text;
    if (type == ICT) osip_ict_set_destination(tr->ict_context, osip_strdup(dest.ip), dest.port);
    else osip_nict_set_destination(tr->nict_context, osip_strdup(dest.ip), dest.port);
    set_timers(tr);
    osip_event_t* evt = osip_new_outgoing_sipmessage(msg);
    if (evt == nullptr) {
        t.dead = 1;   // freed with the dead; msg is not yet the transaction's
        osip_message_free(msg);
        return -1;
    }
    evt->transactionid = tr->transactionid;
    osip_transaction_execute(tr, evt);
    return ctx;
}

int Trans_Answer(int ctx, int text, int status)
{
    if (ctx < 0 || ctx >= kSipMaxTrans || !g_sSipTrans[static_cast<size_t>(ctx)].use || text < 0) {
        Text_Free(text);
        return -1;
    }
    SipTrans& t = g_sSipTrans[static_cast<size_t>(ctx)];
    osip_message_t* msg = parse_text(text);
    if (msg == nullptr || t.dead) {
        if (msg) osip_message_free(msg);
        Text_Free(text);
        return -1;
    }
    osip_transaction_t* tr = t.tr;
    osip_message_t* old = tr->last_response;
    int old_text = t.resp_text;
    osip_event_t* evt = osip_new_outgoing_sipmessage(msg);
    if (evt == nullptr) {
        osip_message_free(msg);
        Text_Free(text);
        return -1;
    }
    evt->transactionid = tr->transactionid;
    osip_transaction_execute(tr, evt);   // sends it, or refuses it (and frees msg)
    if (tr->last_response != msg) {
        Text_Free(text);
        return -1;
    }
    if (old != nullptr && old != msg) Text_Free(old_text);
    t.resp_text = text;
    if (status >= 200) {
        t.final_seen = 1;
        t.final_status = status;
    }
    return 0;
}

void Trans_Detach_Chn(int chn)
{
    for (auto& t : g_sSipTrans)
        if (t.use && t.chn == chn) t.chn = -1;
}

// A received datagram (already parsed) goes to its transaction, or opens a server transaction.
// 1 handled by a transaction, 0 no transaction takes it (the user agent decides), -1 dropped.
int Stack_Incoming(osip_event_t* evt, const IPV4_ADDRESS& src)
{
    if (g_pOsip == nullptr) return -1;
    if (osip_find_transaction_and_add_event(g_pOsip, evt) == 0) return 1;
    if (MSG_IS_RESPONSE(evt->sip) || MSG_IS_ACK(evt->sip)) return 0;
    // A request for nothing we have is answered at once: a transaction would hold its place in
    // the table for 64 T1, and a stranger's stream of them would leave none for our own calls.
    if (Ua_Answer_Without_Transaction(evt->sip, src)) return 2;
    osip_transaction_t* tr = osip_create_transaction(g_pOsip, evt);
    if (tr == nullptr) return -1;
    int method = 0;
    int ctx = ctx_new(tr, -1, method, 0);
    if (ctx < 0) {
        osip_transaction_free(tr);
        return -1;
    }
    g_sSipTrans[static_cast<size_t>(ctx)].src = src;
    set_timers(tr);
    osip_transaction_add_event(tr, evt);
    return 1;
}

void Stack_Run()
{
    if (g_pOsip == nullptr) return;
    osip_timers_ict_execute(g_pOsip);
    osip_timers_ist_execute(g_pOsip);
    osip_timers_nict_execute(g_pOsip);
    osip_timers_nist_execute(g_pOsip);
    osip_ict_execute(g_pOsip);
    osip_ist_execute(g_pOsip);
    osip_nict_execute(g_pOsip);
    osip_nist_execute(g_pOsip);
    drain();
}

void Stack_Free_Dead()
{
    for (int i = 0; i < kSipMaxTrans; ++i) {
        SipTrans& t = g_sSipTrans[static_cast<size_t>(i)];
        if (!t.use || !t.dead) continue;
        Ua_On_Free(i);
        Text_Free(t.req_text);
        Text_Free(t.resp_text);
        osip_transaction_free(t.tr);
        t = {};
    }
}
