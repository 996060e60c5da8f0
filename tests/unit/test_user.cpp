// The line records: which slots the lookups and the 10 ms step see, and what (re)initialising
// a line's call part leaves in it.
#include <cstring>
#include <string>

#include "board_env_fixture.h"
#include "user.h"

namespace {

// Four slots hold records; line 1 is free and line 3 lies beyond the line count of 3.
class UserTest : public BoardEnvTest {
protected:
    void SetUp() override
    {
        BoardEnvTest::SetUp();
        Board(E_SYS_4W, 1, 4);
        g_iUse_Chn_Max = 3;
        g_sUserInfo[3].m_iUserChn = 3;
        g_sUserInfo[1].m_iUserChn = -1;
        for (int i = 0; i < 4; ++i) {
            USER_INFO_T& u = g_sUserInfo[i];
            u.m_iChnSip = 10 + i;
            u.m_sRegInfo.m_iRegChn = 20 + i;
            u.m_eUseCoder = 8 + i;
            std::snprintf(u.m_chUserTel, sizeof u.m_chUserTel, "80%d", i);
        }
        g_sUserInfo[2].m_sCfgCorAudio.m_eUseVoiceCor = E_FLAG_OFF;
    }
};

TEST_F(UserTest, LookupsSeeOnlyLinesInUseBelowTheLineCount)
{
    struct Case {
        int key;
        USER_INFO_T* want;
    };
    // Slot 0 in use, 1 free, 2 in use, 3 beyond the count though it holds a record.
    const Case cases[] = {{0, &g_sUserInfo[0]}, {1, nullptr}, {2, &g_sUserInfo[2]}, {3, nullptr}, {-1, nullptr}};
    for (const Case& c : cases) {
        EXPECT_EQ(User_GetByUserChn(c.key), c.want) << c.key;
        EXPECT_EQ(User_GetByResChn(c.key), c.want) << c.key;
        EXPECT_EQ(User_GetBySipChn(10 + c.key), c.want) << c.key;
        EXPECT_EQ(User_GetByRegChn(20 + c.key), c.want) << c.key;
        EXPECT_EQ(User_GetRegInfoByRegChn(20 + c.key), c.want ? &c.want->m_sRegInfo : nullptr) << c.key;
        EXPECT_EQ(User_GetRegInfoBySipChn(10 + c.key), c.want ? &c.want->m_sRegInfo : nullptr) << c.key;
        EXPECT_EQ(User_GetUseCoder(10 + c.key), c.want ? 8 + c.key : -1) << c.key;
        EXPECT_EQ(User_CheckNotifySipChn(10 + c.key), c.want ? -1 : 0) << c.key;
        std::string tel = "80" + std::to_string(c.key);
        EXPECT_EQ(User_GetByTel(tel.c_str()), c.want) << c.key;
    }
    EXPECT_EQ(User_GetByTel(nullptr), nullptr);
    EXPECT_NE(Flow().find("find user 800 by sipchn 10"), std::string::npos);

    // Only the first 63 characters of a number count.
    std::memset(g_sUserInfo[0].m_chUserTel, '7', 63);
    g_sUserInfo[0].m_chUserTel[63] = '\0';
    std::string longer(70, '7');
    EXPECT_EQ(User_GetByTel(longer.c_str()), &g_sUserInfo[0]);

    EXPECT_EQ(User_GetVoiceCorFlag(2), E_FLAG_OFF);
    EXPECT_EQ(User_GetVoiceCorFlag(1), E_FLAG_ON);
    EXPECT_NE(Flow().find("[User_GetVoiceCorFlag]-- User_GetByResChn failed... return on"), std::string::npos);
}

TEST_F(UserTest, StepCountsOnlyLinesInUse)
{
    for (int i = 0; i < 3; ++i) User_Process();
    const int want[] = {3, 0, 3, 0};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g_sUserInfo[i].m_iCntStatus, want[i]) << i;
}

TEST_F(UserTest, InitialisingTheCallPartLeavesAnIdleLineOnItsChannels)
{
    g_iChnChangeFactor = 1;
    USER_INFO_T& u = g_sUserInfo[2];
    u.m_eUserStatus = E_USER_ON_TALKING;
    u.m_eInTalkFlag = E_FLAG_ON;
    u.m_iCntStatus = 55;
    std::strcpy(u.m_chCaller, "801");
    u.m_s4xxRecall.m_iReCallTimes = 2;
    u.m_sByeRecall.m_eReCallFlag = E_FLAG_ON;
    User_InitChnData(2);
    EXPECT_EQ(u.m_iChnRes, 2);
    EXPECT_EQ(u.m_iChnDsp, 3);
    EXPECT_EQ(u.m_iChn4Line, 2);
    EXPECT_EQ(u.m_iChnSip, -1);
    EXPECT_EQ(u.m_iCallTh, -1);
    EXPECT_EQ(u.m_eUserStatus, E_USER_ON_IDLE);
    EXPECT_EQ(u.m_eInTalkFlag, E_FLAG_OFF);
    EXPECT_EQ(u.m_eRingFirst, E_FLAG_ON);
    EXPECT_EQ(u.m_iCntStatus, 0);
    EXPECT_STREQ(u.m_chCaller, "");
    EXPECT_EQ(u.m_s4xxRecall.m_iReCallTimes, 0);
    EXPECT_EQ(u.m_sByeRecall.m_eReCallFlag, E_FLAG_OFF);

    // A free slot is left as it is.
    g_sUserInfo[1].m_iChnSip = 42;
    User_InitChnData(1);
    EXPECT_EQ(g_sUserInfo[1].m_iChnSip, 42);
    g_iChnChangeFactor = 0;
}

}  // namespace
