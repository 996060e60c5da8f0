// line_calls_fixture.h — lines taking and placing calls, in one process: the line module over the
// real SIP stack on loopback (a test party plays the softswitch), the RTP layer on loopback sockets
// and the DSP layer over the simulated board's DSP. The loop is stepped as the main loop steps it:
// every millisecond the DSP clock, RES490_Process and RTP_Process; every 10 ms the stack poll,
// User_Process and the board step. The line module's clock is the test's own.
#pragma once
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "board_env_fixture.h"
#include "dsp_res.h"
#include "option_register.h"
#include "rtp_loopback.h"
#include "rtp_res.h"
#include "sharememory.h"
#include "sip_peer.h"
#include "sim_dsp_chan.h"
#include "sipman.h"
#include "text.h"
#include "udp_peer.h"
#include "user.h"

namespace {


std::int64_t g_clock_us = 0;
std::int64_t TestClock() { return g_clock_us; }

constexpr int kDspOffset = 1;  // line 0 on DSP channel 1


std::string Sdp(int port, const std::string& pts, const std::string& extra = "", const std::string& ip = "127.0.0.1")
{
    return "v=0\r\no=- 1 1 IN IP4 " + ip + "\r\ns=-\r\nc=IN IP4 " + ip + "\r\nt=0 0\r\nm=audio " + std::to_string(port) +
           " RTP/AVP " + pts + "\r\n" + extra;
}

std::string Body(const std::string& msg) { return msg.substr(msg.find("\r\n\r\n") + 4); }

class LineCalls : public BoardEnvTest {
protected:
    void SetUp() override
    {
        BoardEnvTest::SetUp();
        Board(E_SYS_4W, 1, 2);
        sim("set dsp on");
        g_iChnChangeFactor = kDspOffset;
        shm = {};
        g_pCgiShm = &shm;
        g_clock_us = 1'000'000'000;
        User_SetClock(TestClock);
        SYS_CFG_INFO_T& cfg = g_sSysCfgInfo;
        copy_text(cfg.m_sDevEnv.m_chLocalIP, "127.0.0.1");
        stack_port = free_udp_port();
        cfg.m_sSysServer.m_iLocalSipPort = stack_port;
        cfg.m_sSysServer.m_sServerAddr[0] = peer.addr();
        cfg.m_sSysServer.m_sServerAddr[1] = IPV4_ADDRESS{"127.0.0.1", 5060};  // the board's own softswitch
        cfg.m_iRtpPortMin = rtp_free_ports(17000, 4);
        cfg.m_iRPORT = 0;
        cfg.m_eSysDealLOM = E_LOM_DEAL_NULL;
        cfg.m_eAwakeFlag = E_FLAG_OFF;
        cfg.m_sTimeCfg = SYS_TIME_T{};
        cfg.m_sTimeCfg.m_iTNoAnswer = 30;
        cfg.m_sTimeCfg.m_iTKeyInterval = 2;
        cfg.m_sTimeCfg.m_iTDialTonePTTOn = 1;
        cfg.m_sTimeCfg.m_iTDialTonePTTOff = 2;
        cfg.m_sTimeCfg.m_iTRingBackPTTOn = 2;
        cfg.m_sTimeCfg.m_iTRingBackPTTOff = 4;
        cfg.m_sTimeCfg.m_iTBusyTone = 1;
        const char* tels[] = {"8001", "8002"};
        for (int line = 0; line < 2; ++line) {
            USER_INFO_T& u = g_sUserInfo[line];
            copy_text(u.m_chUserTel, tels[line]);
            copy_text(u.m_sRegInfo.m_chRegTel, tels[line]);
            u.m_eCodePriority[0] = G711_A;
            u.m_eCodePriority[1] = G711_U;
            u.m_iRtpPtime = 20;
            u.m_eDtmfType = E_DTMF_TYPE_RFC2833;
            u.m_iRfcPayLoad = 101;
            u.m_iReCallInterval = 1;
            u.m_eCodecGainInput = u.m_eCodecGainOutput = static_cast<API_VOLUME_GAIN_E>(8);
            u.m_sCfgCorNetwork = {E_NW_COR_DETECT_TYPE_DISABLE, 0, E_VOX_SENSITIVITY_0, 600, 100, 60, 0};
            u.m_sRegInfo.m_iRegChn = -1;
        }
        ASSERT_EQ(User_Init(), 0);
        for (int line = 0; line < 2; ++line) g_sUserInfo[line].m_sRegInfo.m_eRegResult = E_REG_SUCC;
        OPT_SetCurRegAddr(E_REG_SW_HOST);
        g_iAutoEstablishEnable = 0;
        sim_outputs();
    }
    void TearDown() override
    {
        for (int line = 0; line < 2; ++line) {
            UserPlayToneStop(&g_sUserInfo[line]);
            UserCallEnd(&g_sUserInfo[line]);
            UserCloseResChannel(&g_sUserInfo[line]);
        }
        User_SetClock(nullptr);
        g_pCgiShm = nullptr;
        g_iChnChangeFactor = 0;
        BoardEnvTest::TearDown();
    }

public:
    USER_INFO_T& U(int line = 0) { return g_sUserInfo[line]; }

protected:
    const QVD_LINE_STATUS_INFO_T& Shm(int line = 0) { return shm.m_sLineStatus[line]; }

    // Loop milliseconds.
    void Step(int ms)
    {
        for (int i = 0; i < ms; ++i) {
            sim_text("advance 1");
            g_clock_us += 1000;
            ++now;
            RES490_Process();
            RTP_Process();
            if (now % 10 == 0) {
                LIBSIP_Thread();
                User_Process();
                ArmEnv_Process();
            }
        }
    }
    // Steps until the party receives a message whose start line begins with prefix (others are
    // kept in seen); empty after max_ms of loop time.
    std::string Await(const std::string& prefix, int max_ms = 2000)
    {
        for (int t = 0; t < max_ms; t += 10) {
            Step(10);
            for (std::string m = peer.next(0); !m.empty(); m = peer.next(0)) {
                if (m.rfind(prefix, 0) == 0) return m;
                seen.push_back(m);
            }
        }
        return {};
    }
    // Loop time until the line reaches the state; -1 when it does not within max_ms.
    int Until(int line, USER_STATUS_E status, int max_ms)
    {
        for (int t = 0; t <= max_ms; t += 10) {
            if (U(line).m_eUserStatus == status) return t;
            Step(10);
        }
        return -1;
    }

    // A request of the party to the gateway, in the party's dialog cid.
    std::string Request(const std::string& method, const std::string& to_tel, const std::string& cid, int cseq,
                        const std::string& to_tag = "", const std::string& extra = "", const std::string& body = "")
    {
        std::string m = peer_request(method, stack_port, peer.port(), cid, cseq, "z9hG4bK" + cid + std::to_string(cseq) + method,
                                     to_tag, extra, body);
        for (std::size_t at = m.find("sip:201@"); at != std::string::npos; at = m.find("sip:201@", at))
            m.replace(at + 4, 3, to_tel);
        return m;
    }
    // Sends an INVITE to the line's number; the gateway's final answer (after its 180).
    std::string Invite(const std::string& to_tel, const std::string& cid, const std::string& body,
                       const std::string& extra = "", Peer* from = nullptr)
    {
        last_invite = Request("INVITE", to_tel, cid, 1, "", extra, body);
        (from ? *from : peer).send(last_invite, stack_port);
        if (from) {
            for (int t = 0; t < 2000; t += 10) {
                Step(10);
                std::string m = from->next(0);
                if (!m.empty() && m.find(" 100 ") == std::string::npos) return m;
            }
            return {};
        }
        for (int t = 0; t < 2000; t += 10) {
            std::string m = Await("SIP/2.0", 10);
            if (!m.empty() && m.find("SIP/2.0 1") != 0) return m;
            if (!m.empty()) provisional.push_back(m);
        }
        return {};
    }
    void Ack(const std::string& ok, const std::string& cid, const std::string& body = "")
    {
        const std::string tag = param(header(ok, "To"), "tag");
        peer.send(Request("ACK", U(0).m_chUserTel, cid, 1, tag, "", body), stack_port);
        Step(30);
    }
    // A talking call on line 0 answered by the line.
    std::string TalkingCall(const std::string& cid)
    {
        std::string ok = Invite("8001", cid, Sdp(rtp.port, "8 0"));
        EXPECT_EQ(start_line(ok), "SIP/2.0 200 OK");
        Ack(ok, cid);
        EXPECT_EQ(U().m_eUserStatus, E_USER_ON_TALKING);
        return ok;
    }

    int SipChannelsInUse() { return g_sStatisticInfo.m_sSipChn.m_iChnCur; }

    QVD_CGI_SHARE_MEMORY_T shm{};
    Peer peer;
    UdpPeer rtp;  // the far end's media
    int stack_port = 0;
    long long now = 0;
    std::string last_invite;
    std::vector<std::string> seen, provisional;
};

}  // namespace
