// xml.h — the base library's XML builder: one element with an id attribute and text children.
#pragma once

struct XML_HANDLE_T;

// A builder for <root id="id"><child>...</child></root>; null when no builder is free.
XML_HANDLE_T* Xml_Allocate(const char* root, int id, const char* child);
int Xml_Add_Str(XML_HANDLE_T* h, const char* name, int flags, const char* text);   // 0, or -1
int Xml_Encode(XML_HANDLE_T* h, char* buffer, int* length);   // in: room; out: length; 0, or -1 when it does not fit
int Xml_Free(XML_HANDLE_T* h);
