#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sip_nonce.h"

namespace {

// A challenge as the registrar makes it: the entry for tel's REGISTER, with a nonce written
// into it when it has none yet. The nonce in the entry afterwards.
std::string challenge(const std::string& tel, std::uint64_t request, const std::string& fresh)
{
    const int i = Sip_Nonce_Open(tel.c_str(), request);
    EXPECT_GE(i, 0);
    EXPECT_LT(i, kMaxSipNonce);
    if (sipnonce[i].nonce.empty()) copy_text(sipnonce[i].nonce, fresh);
    return sipnonce[i].nonce.s;
}

class NonceTable : public ::testing::Test {
protected:
    void SetUp() override { Sip_Nonce_Init(); }
};

TEST_F(NonceTable, RequestKeyTellsRetransmissionsFromNewRequests)
{
    const auto key = Sip_Nonce_Request_Key("Call-ID: a@h", "CSeq: 1 REGISTER");
    EXPECT_EQ(Sip_Nonce_Request_Key("Call-ID: a@h", "CSeq: 1 REGISTER"), key);
    EXPECT_NE(Sip_Nonce_Request_Key("Call-ID: a@h", "CSeq: 2 REGISTER"), key);
    EXPECT_NE(Sip_Nonce_Request_Key("Call-ID: b@h", "CSeq: 1 REGISTER"), key);
    // The two lines are not simply run together.
    EXPECT_NE(Sip_Nonce_Request_Key("Call-ID: a@hC", "Seq: 1 REGISTER"), key);
}

TEST_F(NonceTable, ARetransmissionGetsTheSameNonceAndANewRequestReplacesIt)
{
    EXPECT_EQ(challenge("1001", 7, "111"), "111");
    EXPECT_EQ(challenge("1001", 7, "222"), "111");
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), 1);
    EXPECT_STREQ(Sip_Nonce_Of("1001"), "111");

    // The phone's next REGISTER: one open nonce per number, the older one is worth nothing.
    EXPECT_EQ(challenge("1001", 8, "333"), "333");
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), -1);
    EXPECT_EQ(Sip_Nonce_Check("1001", "333"), 1);
    // Another number's challenges are its own.
    EXPECT_EQ(challenge("1002", 7, "444"), "444");
    EXPECT_EQ(Sip_Nonce_Check("1001", "444"), -1);
    EXPECT_EQ(Sip_Nonce_Check("1002", "333"), -1);
    EXPECT_EQ(Sip_Nonce_Check("1001", "333"), 1);
}

TEST_F(NonceTable, ANoncePassesOnce)
{
    challenge("1001", 7, "111");
    EXPECT_EQ(Sip_Nonce_Close("1002", "111"), -1);
    EXPECT_EQ(Sip_Nonce_Close("1001", ""), -1);
    EXPECT_EQ(Sip_Nonce_Close("1001", "111"), 1);
    EXPECT_EQ(Sip_Nonce_Close("1001", "111"), -1);
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), 0);   // a repeat is challenged afresh
    EXPECT_STREQ(Sip_Nonce_Of("1001"), "");
    // Even the REGISTER it was sent to gets a new one now.
    EXPECT_EQ(challenge("1001", 7, "222"), "222");
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), 0);
    EXPECT_EQ(Sip_Nonce_Check("1001", "222"), 1);
}

TEST_F(NonceTable, NothingPassesWithoutANonce)
{
    EXPECT_EQ(Sip_Nonce_Check("1001", ""), -1);
    // An entry whose challenge was never composed keeps an empty nonce.
    Sip_Nonce_Open("1001", 7);
    EXPECT_EQ(Sip_Nonce_Check("1001", ""), -1);
    EXPECT_EQ(Sip_Nonce_Close("1001", ""), -1);
}

TEST_F(NonceTable, AnOpenNonceLapsesAfterThirtyTwoSeconds)
{
    challenge("1001", 7, "111");
    for (int i = 0; i < kNonceOpenSeconds; ++i) Sip_Nonce_Tick();
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), 1);
    Sip_Nonce_Tick();
    EXPECT_EQ(Sip_Nonce_Check("1001", "111"), 0);
    EXPECT_EQ(Sip_Nonce_Close("1001", "111"), -1);
    // A retransmission that late is a new challenge.
    EXPECT_EQ(challenge("1001", 7, "222"), "222");
    EXPECT_EQ(Sip_Nonce_Check("1001", "222"), 1);
}

TEST_F(NonceTable, AFullTableGivesUpItsOldestSpentOrLapsedNonceFirst)
{
    // Full of open challenges: the oldest goes first, and the table never grows.
    for (int i = 0; i < kMaxSipNonce; ++i) challenge("u" + std::to_string(i), 1, "n" + std::to_string(i));
    challenge("new", 1, "fresh");
    EXPECT_EQ(Sip_Nonce_Check("u0", "n0"), -1);
    EXPECT_EQ(Sip_Nonce_Check("u1", "n1"), 1);
    EXPECT_EQ(Sip_Nonce_Check("new", "fresh"), 1);

    // An answered nonce goes before any open one, however young.
    Sip_Nonce_Close("u400", "n400");
    challenge("new2", 1, "fresh2");
    EXPECT_EQ(Sip_Nonce_Check("u400", "n400"), -1);
    EXPECT_EQ(Sip_Nonce_Check("u1", "n1"), 1);

    // Lapsed ones go before open ones too, the oldest first.
    for (int i = 0; i < kNonceOpenSeconds + 1; ++i) Sip_Nonce_Tick();
    challenge("late", 1, "l");   // every other entry has lapsed
    EXPECT_EQ(Sip_Nonce_Check("u1", "n1"), -1);
    EXPECT_EQ(Sip_Nonce_Check("u2", "n2"), 0);

    // However many challenges come, each takes one of the fixed entries.
    std::set<int> used;
    for (int i = 0; i < 3 * kMaxSipNonce; ++i) used.insert(Sip_Nonce_Open(("x" + std::to_string(i)).c_str(), 1));
    EXPECT_EQ(used.size(), static_cast<std::size_t>(kMaxSipNonce));
    EXPECT_GE(*used.begin(), 0);
    EXPECT_LT(*used.rbegin(), kMaxSipNonce);
}

}  // namespace
