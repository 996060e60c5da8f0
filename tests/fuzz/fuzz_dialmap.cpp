// A number and a rule table of any bytes through the dial map: the matcher reads neither past
// its end (a rule field filled to its last byte included), a number matched against itself
// taken as a rule is a whole match (nothing when it leaves a list open), and completeness
// agrees with the rules one by one.
// Input: a number, then rules, separated by newlines; the first byte is the rule count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "struct_sys.h"
#include "text.h"
#include "user_dial.h"

SYS_CFG_INFO_T g_sSysCfgInfo;
SYS_DATA_BASE_INFO_T g_sDBInfo;
USER_INFO_T g_sUserInfo[kMaxUserChn];
int g_iUse_Chn_Max = 2;
SYS_DIAL_MAP g_sDialRuleTable[kMaxDialRule];
int g_DialRuleNum = 0;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const int count = static_cast<signed char>(data[0]);
    std::vector<std::string> parts;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty() && parts.size() < kMaxDialRule + 1) {
        const std::size_t nl = rest.find('\n');
        std::string part(rest.substr(0, nl));
        part = part.c_str();  // a NUL ends the text, as in a C string
        parts.push_back(part);
        rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    }
    if (parts.empty()) return 0;
    const std::string& number = parts[0];

    std::memset(g_sDialRuleTable, 0, sizeof g_sDialRuleTable);
    g_DialRuleNum = count;
    int whole = 0, part = 0, seen = 0;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        SYS_DIAL_MAP& row = g_sDialRuleTable[i - 1];
        row.m_iRuleKey = static_cast<int>(i);
        // Every byte of the field, no terminator, when the rule is long enough.
        const std::size_t n = parts[i].size() < sizeof row.m_chRuleContent ? parts[i].size() : sizeof row.m_chRuleContent;
        std::memcpy(row.m_chRuleContent, parts[i].data(), n);
        const MATCH_TYPE_E m = UserMatchRule(number.c_str(), std::string(field_view(row.m_chRuleContent)).c_str());
        if (m != E_ALL_MATCH && m != E_PART_MATCH && m != E_NO_MATCH) std::abort();
        if (seen++ < count || count <= 0) {
            whole += m == E_ALL_MATCH;
            part += m == E_PART_MATCH;
        }
    }
    const int complete = UserCheckNumInDialMap(number.c_str());
    if (complete != (whole == 1 && part == 0 ? 1 : 0)) std::abort();
    // Every character matches itself before it is read as rule syntax: a number is its own
    // rule, and a shorter start of it a part; unless, as a rule, it leaves a list open, and then
    // it matches nothing at all.
    const std::size_t open = number.rfind('[');
    const bool broken = open != std::string::npos && number.find(']', open) == std::string::npos;
    if (UserMatchRule(number.c_str(), number.c_str()) != (broken ? E_NO_MATCH : E_ALL_MATCH)) std::abort();
    if (!number.empty() &&
        UserMatchRule(number.substr(0, number.size() - 1).c_str(), number.c_str()) != (broken ? E_NO_MATCH : E_PART_MATCH))
        std::abort();
    return 0;
}
