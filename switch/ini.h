// ini.h — the key=value file module: one pair a line, name "=" value, text after "//" ignored.
#pragma once
#include <cstddef>

struct INI_PAIR_T {
    char* name = nullptr;   // trimmed of blanks and tabs at both ends
    char* value = nullptr;  // trimmed the same way; may be empty
    INI_PAIR_T* next = nullptr;
};

// Whole file as a list in file order; null when it is missing, empty or unreadable.
INI_PAIR_T* Ini_Load(const char* path);
// 1 and the value of the first node named exactly name (cut to buffer_size - 1); 0 not found.
int Ini_Get(char* buffer, std::size_t buffer_size, const char* name, const INI_PAIR_T* list);
void Ini_Free(INI_PAIR_T* list);
void Ini_Trim(char* text);
// 1 written as "%s = %s\n" lines; 0 the file cannot be opened.
int Ini_Save(const char* path, const INI_PAIR_T* list);
// 1 replaced or appended; 0 for an empty list.
int Ini_Set(const char* value, const char* name, INI_PAIR_T* list);
INI_PAIR_T* Ini_New_Pair(const char* value, const char* name);
