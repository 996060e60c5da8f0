#include "call_chn.h"

#include "swlog.h"

std::array<CallChn, kMaxCallChns> call_chns;

namespace {

// Runs 0 to 999 and survives between searches, so a freed channel is not handed out again
// at once. Each cursor value names the even channel 2 × (cursor mod 500): one lap of the
// cursor offers every even channel twice.
int g_find_cursor = 0;

bool in_range(int chn) { return chn >= 0 && chn < kMaxCallChns; }
bool taken(int chn) { return call_chns[chn].use == 1; }

// A partner that still names chn forgets it; one that has moved on is left alone.
void drop_back_link(int chn)
{
    int con = call_chns[chn].con_chn;
    if (in_range(con) && con != chn && call_chns[con].con_chn == chn) call_chns[con].con_chn = -1;
}

}  // namespace

void CallCtrl_Init_All_Chn()
{
    call_chns.fill(CallChn{});
    g_find_cursor = 0;
}

int CallCtrl_Find_Free_Chn()
{
    if (g_find_cursor > kMaxCallChns - 1) g_find_cursor = 0;
    for (int step = 0; step < kMaxCallChns; ++step) {
        if (g_find_cursor >= kMaxCallChns) {  // the wrap takes a step of its own
            g_find_cursor = 0;
            continue;
        }
        int chn = 2 * (g_find_cursor % kUsableCallChns);
        ++g_find_cursor;
        if (call_chns[chn].use != 1) return chn;
    }
    return -1;
}

int CallCtrl_Link_Chn(int chn, int con)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    if (!in_range(con)) return -3;
    if (!taken(con)) return -4;
    if (chn == con) return -5;
    drop_back_link(chn);
    drop_back_link(con);
    call_chns[chn].con_chn = con;
    call_chns[con].con_chn = chn;
    return 1;
}

int CallCtrl_Unlink_Chn(int chn)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    drop_back_link(chn);
    call_chns[chn].con_chn = -1;
    return 1;
}

int CallCtrl_Chn_Reset(int chn)
{
    if (!in_range(chn)) return -1;
    if (!taken(chn)) return -2;
    CallChn& c = call_chns[chn];
    // Still to join here, in this order, as their modules arrive: the billing stop owed by a
    // call with fee_st FEE_ST_STARTED (fee_st cleared first, so it goes out once), then the
    // party's own record (SIP leg or MGCP endpoint) dropping its back-pointer while it still
    // names this channel.

    // A partner left pointing here would later release whatever call takes this number next.
    drop_back_link(chn);
    c = CallChn{};
    Write_Logf("----------- CallCtrl_Chn_Reset chn=%d\n", chn);
    return 1;
}
