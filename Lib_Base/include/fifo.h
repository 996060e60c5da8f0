// fifo.h — the base library's general helpers: UDP sockets that never wait, plain memory and string
// copies, the library's own log facility and its version text.
#pragma once
#include <cstddef>

int Udp_Socket_Create(int port);                          // socket bound to that local port, or -1
int Udp_Socket_Send(int fd, const void* buffer, int length, const char* ip, int port);   // bytes sent, or -1
// Returns at once: the length of one waiting datagram, or 0 or less when none waits; fills the
// sender's address text (24 bytes of room) and port.
int Udp_Socket_recv_By_Addr(int fd, void* buffer, int size, char* ip, int* port);
int Udp_Socket_Close(int fd);

void* Mem_Memcpy(void* dst, const void* src, int n);
void* Mem_Set(void* p, int value, int n);
int Mem_Memcmp(const void* a, const void* b, int n);      // 0 when equal
char* Str_Copy(char* dst, const char* src);
char* Str_N_Copy(char* dst, const char* src, int n);      // at most n characters, the text's end included

int MT_Log_Init(int files, int channels, const char* path, int console);   // 0, or -1
int MT_Log_SetLevel(int level);                                             // 0
const char* LibBase_GetLibVersion();
