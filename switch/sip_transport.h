// sip_transport.h — the switch's one SIP socket (UDP on sip_server_local_port, every local
// address): its creation, the two senders the builders use, and the receive step that reads
// the waiting datagrams on every loop pass, decodes each and hands it to its handler by kind
// and by whether a SIP leg has its Call-ID.
#pragma once
#include <sys/socket.h>

#include <cstddef>

#include "sip_decode.h"

inline constexpr int kSipRecvPerPass = 100;       // so SIP never starves the other links
inline constexpr std::size_t kSipRecvMax = 2047;  // a datagram is cut here; the text stays terminated
inline constexpr int kSipMinDatagram = 5;         // anything shorter (keepalives) is skipped

extern int g_sip_fd;   // -1 until created

// 1 created; 0 the socket exists already; -1 failure (printed and logged).
int Sip_Server_Create(int port);

// Sends length bytes of text to ip:port: 1; -1 when ip is no dotted IPv4 address, the port is
// outside 1..65535 or the send fails (logged).
int Send_Udp_Data(const char* text, std::size_t length, const char* ip, int port);
// Sends back to where a decoded datagram came from, whatever its Via says: 1; -1 (logged).
int Send_Udp_Data_Direct(const char* text, std::size_t length, const SIP_MSG_T& msg);

// One non-blocking receive of at most size bytes: the bytes received, or -1 when nothing waits.
int Sip_Recv_Udp(char* buffer, std::size_t size, sockaddr_in& addr, socklen_t& addr_len);

// The receive step: at most 100 datagrams, each of 5 bytes or more handed to Sip_Recv_Datagram.
// Always 1.
int Sip_Recv_Proc();

// One received datagram, text[0..length) from `from` (no terminator needed): logged, decoded
// with its reply address and dispatched. 1; -1 it could not be decoded (logged).
int Sip_Recv_Datagram(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len);
// The decoding half of it: msg zeroed, the sender's address and (public-network mode) the reply
// address filled in, the text decoded; a Via host that is no address is replaced by the sender.
// 1; -1 it could not be decoded.
int Sip_Recv_Decode(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len,
                    SIP_MSG_T& msg);

// Where a decoded datagram came from, as dotted text and port: what proves who sent it. A
// message that carries no source (one built by hand) gives its reply address.
void Sip_Msg_Source(const SIP_MSG_T& msg, Text<16>& ip, int& port);

// Dispatches one decoded message: 0; -1 when it has no Call-ID line (nothing is answered).
int OnRecvSip(SIP_MSG_T& msg);

// The first leg in use whose Call-ID value equals callid exactly; -1 none; -2 no text given.
int Sip_Find_Chn_By_Callid(const char* callid);
