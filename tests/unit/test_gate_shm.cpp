// The segment shared with the web configuration program, on a key of this test process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include <unistd.h>

#include "gate_test_board.h"
#include "main.h"
#include "multi_log.h"
#include "sharememory.h"
#include "struct_sys.h"
#include "text.h"

namespace {

using ::testing::HasSubstr;

class Shm : public GateTest {
protected:
    void SetUp() override
    {
        GateTest::SetUp();
        testing::internal::CaptureStdout();
        shm = ShareMem_Create(key);
        testing::internal::GetCapturedStdout();
        ASSERT_NE(shm, nullptr);
        for (auto& u : g_sUserInfo) u = {};
        for (auto& u : g_sUserInfo) u.m_iUserChn = -1;
        g_iUse_Chn_Max = kMaxUserChn;
    }
    void TearDown() override
    {
        if (g_pCgiShm) {
            testing::internal::CaptureStdout();
            ShareMem_Free();
            testing::internal::GetCapturedStdout();
        }
        remove_shm(key);
        g_iHandleShareMemory = -1;
    }
    QVD_CGI_SHARE_MEMORY_T* shm = nullptr;
};

TEST_F(Shm, StartUpPublishesVersionsAndRaisesEveryFlag)
{
    std::memset(shm, 0x7f, sizeof *shm);  // a segment left by an earlier run is not cleared
    shm->m_eLocked = FLAG_PRO_ON;          // ...but a lock it left is taken over
    copy_text(g_sSysCfgInfo.m_sDevEnv.m_chVerionDriver, "drv-2.1");
    g_iUse_Chn_Max = 4;
    ShareMem_InitWithin(shm, 50);
    EXPECT_EQ(shm->m_eLocked, FLAG_ALL_OFF);
    EXPECT_STREQ(shm->m_sVersionInfo.m_chProgramVersion, "QVD_R1.0.4");
    EXPECT_STREQ(shm->m_sVersionInfo.m_chDriverVersion, "drv-2.1");
    EXPECT_STREQ(shm->m_sVersionInfo.m_chCpldVersion, "");
    EXPECT_EQ(shm->m_sVersionInfo.m_chLibBaseVersion[127], 0);  // all 640 bytes cleared first
    EXPECT_STRNE(shm->m_sVersionInfo.m_chLibSipVersion, "");
    EXPECT_STRNE(shm->m_sVersionInfo.m_chLibBaseVersion, "");
    for (SYS_FLAG_E f : {shm->m_eTBIni, shm->m_eTBTime, shm->m_eTBSerialCfg, shm->m_eTBDialMap, shm->m_eTBChannelSwitch})
        EXPECT_EQ(f, E_FLAG_ON);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(shm->m_eUser[i] + shm->m_eUserCor[i], 2) << i;
    EXPECT_NE(shm->m_eUser[4], E_FLAG_ON);  // lines beyond the count are left as they were
    EXPECT_EQ(shm->m_sLineStatus[0].m_iChnRes, 0x7f7f7f7f);
}

TEST_F(Shm, StartUpWaitsForTheWebLockThenGivesUpOnce)
{
    shm->m_eLocked = FLAG_WEB_ON;
    std::thread web([this] {
        usleep(60000);
        reinterpret_cast<volatile QVD_CGI_SHARE_MEMORY_T*>(shm)->m_eLocked = FLAG_ALL_OFF;
    });
    ShareMem_InitWithin(shm, 5000);
    web.join();
    EXPECT_EQ(shm->m_eTBIni, E_FLAG_ON);
    std::string cfg = read_file(root + "/tmp/log/QVD_CFG.log");
    EXPECT_EQ(count_of(cfg, "等待共享内存解锁"), 1u);
    EXPECT_EQ(count_of(cfg, "强制加锁"), 0u);

    // A web program that never lets go: start-up takes the lock after the bound, with one warning.
    shm->m_eLocked = FLAG_WEB_ON;
    shm->m_eTBIni = E_FLAG_OFF;
    ShareMem_InitWithin(shm, 40);
    EXPECT_EQ(shm->m_eTBIni, E_FLAG_ON);
    EXPECT_EQ(shm->m_eLocked, FLAG_ALL_OFF);
    EXPECT_EQ(count_of(read_file(root + "/tmp/log/QVD_CFG.log"), "强制加锁"), 1u);
}

TEST_F(Shm, SettersNeverReleaseALockSomeoneElseHolds)
{
    // One row per lock state before a setter: the lock word after it.
    struct Case {
        QVD_FLAG_LOCK_E before, after;
    } cases[] = {
        {FLAG_ALL_OFF, FLAG_ALL_OFF},  // taken for the write, given back
        {FLAG_WEB_ON, FLAG_WEB_ON},    // the web program's lock is left alone
        {FLAG_PRO_ON, FLAG_PRO_ON},    // a reload holding it keeps it
    };
    g_sUserInfo[2].m_iUserChn = 2;
    g_sUserInfo[2].m_sRegInfo.m_iRegChn = 11;
    for (const Case& c : cases) {
        shm->m_eLocked = c.before;
        ShareMem_SetLineStatus(1, E_LINE_STATUS_TALKING);
        EXPECT_EQ(shm->m_eLocked, c.after);
        ShareMem_SetRtpLen(1, E_PCM_ADPCM_FRAME_DURATION__20_MSEC);
        EXPECT_EQ(shm->m_eLocked, c.after);
        ShareMem_SetRegInfo(2, E_REG_SUCC);
        EXPECT_EQ(shm->m_eLocked, c.after);
        ShareMem_ResetCallStatus(2);
        EXPECT_EQ(shm->m_eLocked, c.after);
        EXPECT_EQ(shm->m_sLineStatus[1].m_eStatusLine, E_LINE_STATUS_TALKING);
        EXPECT_EQ(shm->m_sLineStatus[1].m_eRtpLen, E_PCM_ADPCM_FRAME_DURATION__20_MSEC);
        EXPECT_EQ(shm->m_sLineStatus[2].m_eRegisterResult, E_REG_SUCC);
    }
    EXPECT_THAT(Flow(), HasSubstr("[ShareMem_SetLineStatus]-- iUserChn[1], eLineStatus[通话中]"));
}

TEST_F(Shm, RegistrationResultGoesToItsLine)
{
    g_sUserInfo[0].m_iUserChn = 0;
    g_sUserInfo[0].m_sRegInfo.m_iRegChn = 4;
    g_sUserInfo[3].m_iUserChn = 3;
    g_sUserInfo[3].m_sRegInfo.m_iRegChn = -1;
    g_sUserInfo[5].m_sRegInfo.m_iRegChn = 4;  // a free slot: never shown
    shm->m_sLineStatus[3].m_iChnRegister = 6;
    QVD_CGI_SHARE_MEMORY_T before = *shm;
    ShareMem_SetRegInfo(5, E_REG_FAIL);
    ShareMem_SetRegInfo(-1, E_REG_FAIL);
    ShareMem_SetRegInfo(kMaxUserChn, E_REG_FAIL);
    EXPECT_EQ(std::memcmp(&before, shm, sizeof before), 0);
    ShareMem_SetRegInfo(0, E_REG_TIMEOUT);
    EXPECT_EQ(shm->m_sLineStatus[0].m_iChnRegister, 4);
    EXPECT_EQ(shm->m_sLineStatus[0].m_eRegisterResult, E_REG_TIMEOUT);
    // A line whose registration holds no stack channel still shows its result, and no channel.
    ShareMem_SetRegInfo(3, E_REG_FAIL);
    EXPECT_EQ(shm->m_sLineStatus[3].m_iChnRegister, -1);
    EXPECT_EQ(shm->m_sLineStatus[3].m_eRegisterResult, E_REG_FAIL);
    EXPECT_EQ(shm->m_sLineStatus[5].m_eRegisterResult, before.m_sLineStatus[5].m_eRegisterResult);
}

TEST_F(Shm, ReleasingALineClearsItsCallButKeepsItsChannels)
{
    QVD_LINE_STATUS_INFO_T& st = shm->m_sLineStatus[1];
    st.m_eStatusLine = E_LINE_STATUS_TALKING;
    st.m_iChnRes = 1;
    st.m_iChnSip = 7;
    st.m_iChnRegister = 3;
    st.m_eRegisterResult = E_REG_SUCC;
    copy_text(st.m_sRemoteAddr.ip, "10.0.0.9");
    st.m_sRemoteAddr.port = 4000;
    copy_text(st.m_sLocalAddr.ip, "10.0.0.1");
    st.m_eRtpLen = E_PCM_ADPCM_FRAME_DURATION__30_MSEC;
    copy_text(st.m_chCodeType, "G711A");
    copy_text(st.m_chCallerID, "8005");
    ShareMem_ResetCallStatus(1);
    EXPECT_EQ(st.m_eStatusLine, E_LINE_STATUS_IDLE);
    EXPECT_EQ(st.m_iChnSip, -1);
    EXPECT_STREQ(st.m_sRemoteAddr.ip, "");
    EXPECT_EQ(st.m_sRemoteAddr.port, 0);
    EXPECT_STREQ(st.m_sLocalAddr.ip, "");
    EXPECT_EQ(st.m_eRtpLen, E_PCM_ADPCM_FRAME_DURATION__DISABLE);
    EXPECT_STREQ(st.m_chCodeType, "");
    EXPECT_STREQ(st.m_chCallerID, "");
    EXPECT_EQ(st.m_iChnRes, 1);
    EXPECT_EQ(st.m_iChnRegister, 3);
    EXPECT_EQ(st.m_eRegisterResult, E_REG_SUCC);

    g_iUse_Chn_Max = 2;
    ShareMem_ResetCallStatus(2);
    EXPECT_THAT(Flow(), HasSubstr("[ShareMem_ResetCallStatus]-- iUserChn[2]不存在"));
}

TEST_F(Shm, CallDetailsShowTheFarEnd)
{
    USER_INFO_T& u = g_sUserInfo[1];
    u.m_iUserChn = 1;
    u.m_iChnRes = 1;
    u.m_iChnSip = 12;
    u.m_sRegInfo.m_iRegChn = 5;
    u.m_sRegInfo.m_eRegResult = E_REG_SUCC;
    copy_text(u.m_chCaller, "8002");
    copy_text(u.m_chCallee, "8100");
    // One row per call: caller flag, talking, codec; the published number and codec name.
    struct Case {
        SYS_CALLER_E who;
        SYS_FLAG_E talking;
        int codec;
        const char *caller_id, *code;
    } cases[] = {
        {E_IS_CALLER, E_FLAG_ON, 1, "8100", "G711A"},
        {E_IS_CALLEE, E_FLAG_ON, 2, "8002", "G711U"},
        {E_IS_CALLER, E_FLAG_OFF, 9, "8002", ""},  // not talking: the number stays; no such codec
    };
    for (const Case& c : cases) {
        u.m_eIsCaller = c.who;
        u.m_eInTalkFlag = c.talking;
        u.m_eUseCoder = c.codec;
        ShareMem_SetUserStatus(&u);
        const QVD_LINE_STATUS_INFO_T& st = shm->m_sLineStatus[1];
        EXPECT_STREQ(st.m_chCallerID, c.caller_id);
        EXPECT_STREQ(st.m_chCodeType, c.code);
        EXPECT_EQ(st.m_iChnSip, 12);
        EXPECT_EQ(st.m_iChnRegister, 5);
        EXPECT_EQ(st.m_eRegisterResult, E_REG_SUCC);
    }
    ShareMem_SetUserStatus(nullptr);
    EXPECT_THAT(Flow(), HasSubstr("[ShareMem_SetUserStatus]-- 入参不合法"));
}

TEST_F(Shm, VersionsWaitWhileTheWebProgramHoldsTheLock)
{
    shm->m_eLocked = FLAG_WEB_ON;
    ShareMem_SetVerionInfo();
    EXPECT_STREQ(shm->m_sVersionInfo.m_chProgramVersion, "");
    shm->m_eLocked = FLAG_ALL_OFF;
    ShareMem_SetVerionInfo();
    EXPECT_STREQ(shm->m_sVersionInfo.m_chProgramVersion, "QVD_R1.0.4");
    EXPECT_EQ(shm->m_eLocked, FLAG_ALL_OFF);
}

TEST_F(Shm, FreeReleasesOnlyItsOwnLock)
{
    shm->m_eLocked = FLAG_WEB_ON;
    testing::internal::CaptureStdout();
    int r = ShareMem_Free();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ShareMem_Free]-- \n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g_pCgiShm, nullptr);
    QVD_CGI_SHARE_MEMORY_T* again = ShareMem_Attatch();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->m_eLocked, FLAG_WEB_ON);
    again->m_eLocked = FLAG_PRO_ON;
    testing::internal::CaptureStdout();
    ShareMem_Free();
    testing::internal::GetCapturedStdout();
    again = ShareMem_Attatch();
    EXPECT_EQ(again->m_eLocked, FLAG_ALL_OFF);
}

TEST_F(Shm, WithoutASegmentTheSettersOnlySaySo)
{
    testing::internal::CaptureStdout();
    ShareMem_Free();
    testing::internal::GetCapturedStdout();
    g_sUserInfo[0].m_iUserChn = 0;
    ShareMem_SetLineStatus(0, E_LINE_STATUS_DIAL);
    ShareMem_SetRegInfo(0, E_REG_SUCC);
    ShareMem_SetRtpLen(0, E_PCM_ADPCM_FRAME_DURATION__10_MSEC);
    ShareMem_SetVerionInfo();
    ShareMem_SetUserStatus(&g_sUserInfo[0]);
    ShareMem_ResetCallStatus(0);
    EXPECT_EQ(count_of(Flow(), "检查共享内存是否打开"), 2u);
    EXPECT_EQ(ShareMem_GetLock(), FLAG_ALL_OFF);
}

TEST(ShmCreate, ASmallerSegmentUnderTheKeyIsRefused)
{
    gate_test_root();
    key_t key = private_shm_key();
    remove_shm(key);
    int id = shmget(key, 100, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    testing::internal::CaptureStdout();
    QVD_CGI_SHARE_MEMORY_T* p = ShareMem_Create(key);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_pCgiShm, nullptr);
    EXPECT_EQ(g_iHandleShareMemory, -1);
    EXPECT_THAT(out, HasSubstr("The share memory segment is already exist\n"));
    EXPECT_THAT(out, HasSubstr("holds 100 bytes, 2212 needed; not used\n"));
    remove_shm(key);

    // An existing segment of the right size is taken over as it is.
    id = shmget(key, kShmSize, IPC_CREAT | 0600);
    auto* other = static_cast<QVD_CGI_SHARE_MEMORY_T*>(shmat(id, nullptr, 0));
    other->m_sLineStatus[8].m_iChnRes = 77;
    testing::internal::CaptureStdout();
    p = ShareMem_Create(key);
    testing::internal::GetCapturedStdout();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->m_sLineStatus[8].m_iChnRes, 77);
    shmdt(other);
    testing::internal::CaptureStdout();
    ShareMem_Free();
    EXPECT_EQ(ShareMem_Delete(), 0);
    testing::internal::GetCapturedStdout();
}

}  // namespace
