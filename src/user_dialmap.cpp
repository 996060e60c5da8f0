// The dial map: when the digits a radio keyed in make a complete number. It reads nothing but
// its arguments and the rule table.
#include <cstring>
#include <string_view>

#include "multi_log.h"
#include "text.h"
#include "user_dial.h"

namespace {

// Does the list that opens at rule[at] ('[') accept c? Each step looks at the element after
// the position and at what follows it: ',' tests the element alone, '-' a range up to the
// character after the '-', ']' makes the element the last and deciding one; anything else
// passes over a character untested. The list is never read past the end of the rule: one that
// is not closed accepts nothing.
bool Static_ListAccepts(std::string_view rule, std::size_t at, char c)
{
    const auto u = [](char ch) { return static_cast<unsigned char>(ch); };
    for (std::size_t p = at; p < rule.size() && rule[p] != ']'; ) {
        if (p + 2 >= rule.size()) return false;
        const char element = rule[p + 1];
        const char next = rule[p + 2];
        if (next == ',') {
            if (element == c) return true;
            p += 2;
        } else if (next == '-') {
            if (p + 3 >= rule.size()) return false;
            if (u(element) <= u(c) && u(c) <= u(rule[p + 3])) return true;
            p += 2;
        } else if (next == ']') {
            return element == c;
        } else {
            p += 1;
        }
    }
    return false;
}

}  // namespace

MATCH_TYPE_E UserMatchRule(const char* number, const char* rule)
{
    if (number == nullptr || rule == nullptr) {
        MULTI_LOG(E_LOG_FILE_FLOW, LOG_LVL_ERROR, -1, "[UserMatchRule] -- input is NULL");
        return E_NO_MATCH;
    }
    const std::string_view num(number);
    const std::string_view r(rule);
    // A list left open is a broken rule: it matches nothing, not even the digits before it, or a
    // number would wait on a rule that can never complete it.
    const std::size_t open = r.rfind('[');
    if (open != std::string_view::npos && r.find(']', open) == std::string_view::npos) return E_NO_MATCH;
    std::size_t n = 0, p = 0;
    while (n < num.size() && p < r.size()) {
        if (r[p] == num[n] || r[p] == 'x') {
            ++n;
            ++p;
            continue;
        }
        if (r[p] != '[' || !Static_ListAccepts(r, p, num[n])) return E_NO_MATCH;
        // The rule goes on after the list's closing ']' (there is one: open lists were refused).
        p = r.find(']', p + 1) + 1;
        ++n;
    }
    if (n < num.size()) return E_NO_MATCH;
    return p < r.size() ? E_PART_MATCH : E_ALL_MATCH;
}

int UserCheckNumInDialMap(const char* number)
{
    int matched = 0, whole = 0, part = 0;
    for (const SYS_DIAL_MAP& row : g_sDialRuleTable) {
        if (row.m_iRuleKey == 0) continue;
        // A rule field filled to its last byte is read whole, and no further.
        char rule[sizeof row.m_chRuleContent + 1];
        copy_text(rule, field_view(row.m_chRuleContent));
        const MATCH_TYPE_E m = UserMatchRule(number, rule);
        if (m == E_ALL_MATCH) ++whole;
        if (m == E_PART_MATCH) ++part;
        if (++matched == g_DialRuleNum) break;
    }
    return whole == 1 && part == 0 ? 1 : 0;
}
