#include "ini.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "text.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char* dup_view(std::string_view s)
{
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) copy_bounded(p, s.size() + 1, s);
    return p;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

INI_PAIR_T* new_pair(std::string_view name, std::string_view value)
{
    auto* p = static_cast<INI_PAIR_T*>(std::calloc(1, sizeof(INI_PAIR_T)));
    if (!p) return nullptr;
    p->name = dup_view(name);
    p->value = dup_view(value);
    if (!p->name || !p->value) {
        std::free(p->name);
        std::free(p->value);
        std::free(p);
        return nullptr;
    }
    return p;
}

}  // namespace

INI_PAIR_T* Ini_Load(const char* path)
{
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0 || st.st_size < 1) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    char* buf = static_cast<char*>(std::malloc(size));
    if (!buf) {
        std::fclose(f);
        return nullptr;
    }
    size = std::fread(buf, 1, size, f);
    std::fclose(f);

    INI_PAIR_T* head = nullptr;
    INI_PAIR_T* tail = nullptr;
    std::string_view all(buf, size);
    while (!all.empty()) {
        std::size_t end = all.find_first_of("\r\n");
        std::string_view line = all.substr(0, end);
        all.remove_prefix(end == std::string_view::npos ? all.size() : end + 1);

        // A "//" ends the line wherever it stands, also inside a value.
        if (auto c = line.find("//"); c != std::string_view::npos) line = line.substr(0, c);
        auto eq = line.find('=');
        if (eq == std::string_view::npos || eq + 1 == line.size()) continue;
        INI_PAIR_T* p = new_pair(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
        if (!p) continue;
        if (tail) tail->next = p;
        else head = p;
        tail = p;
    }
    std::free(buf);
    return head;
}

int Ini_Get(char* buffer, std::size_t buffer_size, const char* name, const INI_PAIR_T* list)
{
    if (name == nullptr) return 0;
    for (const INI_PAIR_T* p = list; p; p = p->next) {
        if (std::strcmp(p->name, name) == 0) {
            copy_bounded(buffer, buffer_size, p->value);
            return 1;
        }
    }
    return 0;
}

void Ini_Free(INI_PAIR_T* list)
{
    while (list) {
        INI_PAIR_T* next = list->next;
        std::free(list->name);
        std::free(list->value);
        std::free(list);
        list = next;
    }
}

void Ini_Trim(char* text)
{
    if (!text) return;
    std::string_view t = trim(text);
    std::memmove(text, t.data(), t.size());
    text[t.size()] = '\0';
}

int Ini_Save(const char* path, const INI_PAIR_T* list)
{
    FILE* f = path ? std::fopen(path, "wb") : nullptr;
    if (!f) return 0;
    for (const INI_PAIR_T* p = list; p; p = p->next) std::fprintf(f, "%s = %s\n", p->name, p->value);
    std::fclose(f);
    return 1;
}

int Ini_Set(const char* value, const char* name, INI_PAIR_T* list)
{
    if (!list || !value || !name) return 0;
    INI_PAIR_T* last = list;
    for (INI_PAIR_T* p = list; p; p = p->next) {
        if (std::strcmp(p->name, name) == 0) {
            char* v = dup_view(value);
            if (!v) return 0;
            std::free(p->value);
            p->value = v;
            return 1;
        }
        last = p;
    }
    INI_PAIR_T* n = Ini_New_Pair(value, name);
    if (!n) return 0;
    last->next = n;
    return 1;
}

INI_PAIR_T* Ini_New_Pair(const char* value, const char* name)
{
    return new_pair(name ? name : "", value ? value : "");
}
