#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "call_chn.h"
#include "settings.h"
#include "swlog.h"

namespace {

// The reset logs; its log lives in a scratch board root for the test's length. Made inside
// the test, not at load, so listing the tests leaves nothing behind.
std::string g_root;

struct ScratchRoot {
    ScratchRoot()
    {
        char tmpl[] = "/tmp/callchntest-XXXXXX";
        g_root = mkdtemp(tmpl);
        setenv("BOARD_ROOT", g_root.c_str(), 1);
        std::filesystem::create_directories(g_root + "/tmp/log");
    }
    ~ScratchRoot() { std::filesystem::remove_all(g_root); }
};

std::string log_text()
{
    Write_Log_Flush();
    std::ifstream f(g_root + "/tmp/log/softswitch.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

enum class Op {
    Init,      // CallCtrl_Init_All_Chn()
    Find,      // CallCtrl_Find_Free_Chn() == want
    FindTake,  // the same, then the caller marks the channel taken
    FindRun,   // a searches with nothing taken between them; the last gives want
    Take,      // the caller marks a taken
    TakeEven,  // every even channel taken but a (-1: all of them)
    Fill,      // a taken with every field set, billing started
    Con,       // a's con_chn = b, as a one-sided or stale pointer
    Link,      // CallCtrl_Link_Chn(a, b) == want
    Unlink,    // CallCtrl_Unlink_Chn(a) == want
    Reset,     // CallCtrl_Chn_Reset(a) == want, and logged only when it freed the channel
    WantCon,   // call_chns[a].con_chn == want
    WantFree,  // call_chns[a] is a free record in every field
};

struct Step {
    Op op;
    int a = 0;
    int b = 0;
    int want = 0;
};

struct Case {
    const char* what;
    std::vector<Step> steps;
};

void fill(int chn)
{
    CallChn& c = call_chns[chn];
    c.use = 1;
    c.type = CHN_TYPE_MGCP;
    c.party_chn = 17;
    c.st = CHN_ST_TALK;
    c.cld = 1;
    c.fee_st = FEE_ST_STARTED;
    c.recorded = 1;
    c.to_voice_mail = 1;
    c.from_console = 1;
    c.pend = 1;
    c.pend_time = 33;
    c.priority = 4;
    copy_text(c.info_buf, "*100*");
    c.info_len = 4;
    c.short_st = 2;
    c.from_switch = 1;
    copy_text(c.calling, "8001");
    copy_text(c.called, "8002");
    copy_text(c.rtpswitch_id, "relay-1");
    copy_text(c.video_line, "m=video 4000 RTP/AVP 34");
    c.record_srv = 1;
    c.record_chn = 200;
    c.record_switch_done = 1;
}

void expect_free(int chn, const std::string& where)
{
    const CallChn& c = call_chns[chn];
    SCOPED_TRACE(where);
    EXPECT_EQ(c.use, 0);
    EXPECT_EQ(c.type, 0);
    EXPECT_EQ(c.party_chn, -1);
    EXPECT_EQ(c.st, 0);
    EXPECT_EQ(c.cld, 0);
    EXPECT_EQ(c.fee_st, 0);
    EXPECT_EQ(c.recorded, 0);
    EXPECT_EQ(c.to_voice_mail, 0);
    EXPECT_EQ(c.from_console, 0);
    EXPECT_EQ(c.con_chn, -1);
    EXPECT_EQ(c.pend, 0);
    EXPECT_EQ(c.pend_time, 0);
    EXPECT_EQ(c.priority, 0);
    EXPECT_TRUE(c.info_buf.empty());
    EXPECT_EQ(c.info_len, 0);
    EXPECT_EQ(c.short_st, 0);
    EXPECT_EQ(c.from_switch, 0);
    EXPECT_TRUE(c.calling.empty());
    EXPECT_TRUE(c.called.empty());
    EXPECT_TRUE(c.rtpswitch_id.empty());
    EXPECT_TRUE(c.video_line.empty());
    EXPECT_EQ(c.record_srv, -1);
    EXPECT_EQ(c.record_chn, -1);
    EXPECT_EQ(c.record_switch_done, 0);
}

void run(const Step& s, const std::string& where)
{
    switch (s.op) {
    case Op::Init:
        CallCtrl_Init_All_Chn();
        break;
    case Op::Find:
        EXPECT_EQ(CallCtrl_Find_Free_Chn(), s.want) << where;
        break;
    case Op::FindTake: {
        int chn = CallCtrl_Find_Free_Chn();
        ASSERT_EQ(chn, s.want) << where;
        call_chns[chn].use = 1;
        break;
    }
    case Op::FindRun: {
        int chn = -1;
        for (int i = 0; i < s.a; ++i) chn = CallCtrl_Find_Free_Chn();
        EXPECT_EQ(chn, s.want) << where;
        break;
    }
    case Op::Take:
        call_chns[s.a].use = 1;
        break;
    case Op::TakeEven:
        for (int chn = 0; chn < kMaxCallChns; chn += 2) call_chns[chn].use = chn == s.a ? 0 : 1;
        break;
    case Op::Fill:
        fill(s.a);
        break;
    case Op::Con:
        call_chns[s.a].con_chn = s.b;
        break;
    case Op::Link:
        EXPECT_EQ(CallCtrl_Link_Chn(s.a, s.b), s.want) << where;
        break;
    case Op::Unlink:
        EXPECT_EQ(CallCtrl_Unlink_Chn(s.a), s.want) << where;
        break;
    case Op::Reset: {
        std::string before = log_text();
        EXPECT_EQ(CallCtrl_Chn_Reset(s.a), s.want) << where;
        std::string added = log_text().substr(before.size());
        EXPECT_EQ(added, s.want == 1 ? "----------- CallCtrl_Chn_Reset chn=" + std::to_string(s.a) + "\n"
                                     : std::string()) << where;
        break;
    }
    case Op::WantCon:
        EXPECT_EQ(call_chns[s.a].con_chn, s.want) << where << " con_chn of " << s.a;
        break;
    case Op::WantFree:
        expect_free(s.a, where);
        break;
    }
}

using enum Op;

const Case cases[] = {
    // Allocator
    {"fresh table hands out 0 then 2", {{Find, 0, 0, 0}, {Find, 0, 0, 2}}},
    {"the cursor goes on past a channel just freed",
     {{FindTake, 0, 0, 0}, {FindTake, 0, 0, 2}, {Reset, 0, 0, 1}, {Find, 0, 0, 4}}},
    {"after 998 the search goes on with 0", {{FindRun, 500, 0, 998}, {Find, 0, 0, 0}}},
    {"all even channels taken: none, though the odd ones are free",
     {{TakeEven, -1}, {Find, 0, 0, -1}, {WantFree, 1}, {WantFree, 999}}},
    {"a full table with the cursor mid-lap: none, and the next search still ends",
     {{FindRun, 700, 0, 398}, {TakeEven, -1}, {Find, 0, 0, -1}, {Find, 0, 0, -1}}},
    {"the one free channel is found from any cursor, even one whose own value was passed",
     {{FindRun, 3, 0, 4}, {TakeEven, 4}, {Find, 0, 0, 4}}},
    {"the one free channel behind the cursor is found after the wrap",
     {{FindRun, 999, 0, 996}, {TakeEven, 0}, {Find, 0, 0, 0}}},
    {"the last even channel is the one found", {{TakeEven, 998}, {Find, 0, 0, 998}}},
    {"a failed search stops one cursor step short of a lap, the wrap taking a step",
     {{FindRun, 3, 0, 4}, {TakeEven, -1}, {Find, 0, 0, -1}, {Reset, 2, 0, 1}, {Reset, 4, 0, 1},
      {Reset, 6, 0, 1}, {Find, 0, 0, 4}}},
    {"a search that starts at the lap's end rewinds first and tests a full lap",
     {{FindRun, 1000, 0, 998}, {TakeEven, -1}, {Find, 0, 0, -1}, {Reset, 996, 0, 1},
      {Reset, 998, 0, 1}, {Find, 0, 0, 996}}},
    {"start-up frees every channel and rewinds the cursor",
     {{FindTake, 0, 0, 0}, {FindTake, 0, 0, 2}, {Fill, 7}, {Init}, {WantFree, 0}, {WantFree, 2},
      {WantFree, 7}, {Find, 0, 0, 0}}},

    // Pair link
    {"a link points both channels at each other",
     {{Take, 0}, {Take, 2}, {Link, 0, 2, 1}, {WantCon, 0, 0, 2}, {WantCon, 2, 0, 0}}},
    {"link checks range and taken flag of each side in order, changing nothing",
     {{Link, -1, 2, -1}, {Link, 1000, 2, -1}, {Link, 0, 2, -2}, {Take, 0}, {Link, 0, 1000, -3},
      {Link, 0, -1, -3}, {Link, 0, 2, -4}, {Link, 0, 0, -5}, {WantCon, 0, 0, -1}, {WantCon, 2, 0, -1}}},
    {"relinking drops the former partner's pointer back",
     {{Take, 0}, {Take, 2}, {Take, 4}, {Link, 0, 2, 1}, {Link, 4, 0, 1}, {WantCon, 2, 0, -1},
      {WantCon, 0, 0, 4}, {WantCon, 4, 0, 0}}},
    {"relinking leaves a former partner that has moved on",
     {{Take, 0}, {Take, 2}, {Take, 4}, {Take, 6}, {Link, 0, 2, 1}, {Con, 2, 6}, {Link, 0, 4, 1},
      {WantCon, 2, 0, 6}}},
    {"unlink clears both sides",
     {{Take, 0}, {Take, 2}, {Link, 0, 2, 1}, {Unlink, 2, 0, 1}, {WantCon, 0, 0, -1},
      {WantCon, 2, 0, -1}}},
    {"unlink leaves a partner that has moved on",
     {{Take, 0}, {Take, 2}, {Take, 4}, {Link, 0, 2, 1}, {Con, 2, 4}, {Unlink, 0, 0, 1},
      {WantCon, 0, 0, -1}, {WantCon, 2, 0, 4}}},
    {"unlink checks range and taken flag",
     {{Unlink, -1, 0, -1}, {Unlink, 1000, 0, -1}, {Con, 4, 8}, {Unlink, 4, 0, -2}, {WantCon, 4, 0, 8}}},

    // Reset
    {"a channel in a billed, recorded, relayed call comes back wholly free, once",
     {{Fill, 6}, {Reset, 6, 0, 1}, {WantFree, 6}, {Reset, 6, 0, -2}}},
    {"reset checks range and taken flag, changing nothing",
     {{Reset, -1, 0, -1}, {Reset, 1000, 0, -1}, {Con, 4, 8}, {Reset, 4, 0, -2}, {WantCon, 4, 0, 8}}},
    {"reset drops the partner's pointer, so the freed number cannot be released through it",
     {{Take, 0}, {Take, 2}, {Link, 0, 2, 1}, {Reset, 2, 0, 1}, {WantCon, 0, 0, -1}, {FindTake, 0, 0, 2},
      {WantCon, 0, 0, -1}}},
    {"reset leaves a partner that has moved on",
     {{Take, 0}, {Take, 2}, {Take, 4}, {Con, 2, 0}, {Con, 0, 4}, {Reset, 2, 0, 1}, {WantCon, 0, 0, 4}}},
    {"an odd channel taken by hand is reset like any other", {{Fill, 7}, {Reset, 7, 0, 1}, {WantFree, 7}}},
};

TEST(CallChn, Cases)
{
    ScratchRoot root;
    sip_debug = 1;
    for (const auto& c : cases) {
        CallCtrl_Init_All_Chn();
        for (std::size_t i = 0; i < c.steps.size(); ++i)
            run(c.steps[i], std::string(c.what) + ", step " + std::to_string(i + 1));
    }
}

}  // namespace

TEST(CallChn, SipLegOfAChannel)
{
    ScratchRoot root;
    CallCtrl_Init_All_Chn();
    call_chns[4].use = 1;
    call_chns[4].party_chn = 17;
    EXPECT_EQ(CallCtrl_Sip_Leg(4), 17);
    // An MGCP endpoint's index is no leg index, and a leg index outside 0-499 is none.
    call_chns[4].type = CHN_TYPE_MGCP;
    EXPECT_EQ(CallCtrl_Sip_Leg(4), -1);
    call_chns[4].type = CHN_TYPE_SIP;
    call_chns[4].party_chn = 500;
    EXPECT_EQ(CallCtrl_Sip_Leg(4), -1);
    call_chns[4].party_chn = -1;
    EXPECT_EQ(CallCtrl_Sip_Leg(4), -1);
    // A free channel or a number outside the table has no party.
    call_chns[6].party_chn = 3;
    EXPECT_EQ(CallCtrl_Sip_Leg(6), -1);
    EXPECT_EQ(CallCtrl_Sip_Leg(-1), -1);
    EXPECT_EQ(CallCtrl_Sip_Leg(kMaxCallChns), -1);
    CallCtrl_Init_All_Chn();
}
