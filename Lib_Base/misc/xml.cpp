// xml.cpp — the XML builder behind the PUBLISH body: a fixed table of builders, each one element
// with an id attribute, one child element, and text elements inside that child.
#include "xml.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "text.h"

struct XML_HANDLE_T {
    int use = 0;
    Text<32> root;
    int id = 0;
    Text<32> child;
    int items = 0;
    std::array<Text<32>, 8> names;
    std::array<Text<128>, 8> values;
};

namespace {
std::array<XML_HANDLE_T, 4> g_sXmlHandles;

// Writes text with the five characters XML reserves replaced; false when it does not fit.
bool put_escaped(char* out, int room, int& at, const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        const char* rep = nullptr;
        switch (*p) {
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        case '&': rep = "&amp;"; break;
        case '"': rep = "&quot;"; break;
        case '\'': rep = "&apos;"; break;
        default: break;
        }
        int n = rep ? static_cast<int>(std::strlen(rep)) : 1;
        if (at + n >= room) return false;
        if (rep) std::memcpy(out + at, rep, static_cast<size_t>(n));
        else out[at] = *p;
        at += n;
    }
    out[at] = '\0';
    return true;
}

bool put_raw(char* out, int room, int& at, const char* text)
{
    int n = static_cast<int>(std::strlen(text));
    if (at + n >= room) return false;
    std::memcpy(out + at, text, static_cast<size_t>(n) + 1);
    at += n;
    return true;
}
}  // namespace

XML_HANDLE_T* Xml_Allocate(const char* root, int id, const char* child)
{
    if (root == nullptr || root[0] == '\0') return nullptr;
    for (auto& h : g_sXmlHandles) {
        if (h.use) continue;
        h = {};
        h.use = 1;
        copy_text(h.root, root);
        h.id = id;
        copy_text(h.child, child ? child : "");
        return &h;
    }
    return nullptr;
}

int Xml_Add_Str(XML_HANDLE_T* h, const char* name, int flags, const char* text)
{
    (void)flags;
    if (h == nullptr || !h->use || name == nullptr || name[0] == '\0') return -1;
    if (h->items >= static_cast<int>(h->names.size())) return -1;
    copy_text(h->names[static_cast<size_t>(h->items)], name);
    copy_text(h->values[static_cast<size_t>(h->items)], text ? text : "");
    ++h->items;
    return 0;
}

int Xml_Encode(XML_HANDLE_T* h, char* buffer, int* length)
{
    if (h == nullptr || !h->use || buffer == nullptr || length == nullptr || *length <= 0) return -1;
    int room = *length;
    int at = 0;
    char head[96];
    std::snprintf(head, sizeof head, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<%s id=\"%d\">", h->root.s, h->id);
    bool ok = put_raw(buffer, room, at, head);
    if (!h->child.empty()) ok = ok && put_raw(buffer, room, at, "<") && put_raw(buffer, room, at, h->child.s) && put_raw(buffer, room, at, ">");
    for (int i = 0; ok && i < h->items; ++i) {
        const auto& n = h->names[static_cast<size_t>(i)];
        ok = put_raw(buffer, room, at, "<") && put_raw(buffer, room, at, n.s) && put_raw(buffer, room, at, ">")
            && put_escaped(buffer, room, at, h->values[static_cast<size_t>(i)].s)
            && put_raw(buffer, room, at, "</") && put_raw(buffer, room, at, n.s) && put_raw(buffer, room, at, ">");
    }
    if (ok && !h->child.empty()) ok = put_raw(buffer, room, at, "</") && put_raw(buffer, room, at, h->child.s) && put_raw(buffer, room, at, ">");
    ok = ok && put_raw(buffer, room, at, "</") && put_raw(buffer, room, at, h->root.s) && put_raw(buffer, room, at, ">\r\n");
    if (!ok) {
        buffer[0] = '\0';
        *length = 0;
        return -1;
    }
    *length = at;
    return 0;
}

int Xml_Free(XML_HANDLE_T* h)
{
    if (h == nullptr || !h->use) return -1;
    *h = {};
    return 0;
}
