// mgcp_transport.h — the MGCP call agent's wire side: the one UDP socket on mgcp_localport, the
// receive step of the loop, the writers of the commands the agent sends (CRCX, MDCX, RQNT, DLCX)
// and of responses, and the transaction, call and request identifiers. Commands go to the
// endpoint's gateway address and end every line with CR LF; responses go back to the sender of
// what they answer.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "mgcp_decode.h"

inline constexpr int kMgcpRecvPerPass = 100;
inline constexpr std::size_t kMgcpRecvMax = 2047;
inline constexpr int kMgcpMinDatagram = 5;
// The caller-id signal of a ringing CRCX carries this number, whoever calls.
inline constexpr const char* kMgcpCallerId = "500600700800";
// The answer to a command naming a call the agent does not know (RFC 3435).
inline constexpr int kMgcpUnknownCallId = 516;
// Identifiers wrap back to 1 here.
inline constexpr int kMgcpIdWrap = 999999999;

extern int g_mgcp_fd;   // -1 until created

// 1 created; 0 the socket exists already; -1 failure (printed and logged).
int Mgcp_Server_Create(int port);
// The receive step: at most 100 datagrams, each handed to Mgcp_Recv_Datagram. Always 1.
int Mgcp_Process_Recv();
// One received datagram text[0..length) from `from`: logged, then each of its messages decoded
// and handed to Mgcp_OnRecv. Returns the number of messages dispatched.
int Mgcp_Recv_Datagram(const char* text, std::size_t length, const sockaddr_in& from, socklen_t from_len);

// Writers; each returns the result of the send (1; -1). CRCX, MDCX and DLCX are remembered for
// retransmission; RQNT and responses are sent once.
int Mgcp_Send_CRCX(int e, int mode);
int Mgcp_Send_MDCX(int e);
int Mgcp_Send_RQNT(int e, int mode);
int Mgcp_Send_DLCX(int e, int mode);
// Answers msg with code (0 or less: 400) to its sender. A command that arrives again with the same
// transaction id from the same sender gets this same answer back (Mgcp_Answer_Again).
int Mgcp_Send_Response(const MGCP_MSG_T& msg, int code);
// 1 msg is a command already answered within the last 30 seconds (the answer was sent again);
// 0 otherwise.
int Mgcp_Answer_Again(const MGCP_MSG_T& msg);
// One second of the clock that forgets kept answers (the retransmission timer calls it).
void Mgcp_Answers_Tick();
// Sends length bytes of text to addr: 1; -1 send error (logged).
int Send_Udp_Data_Mgcp(const char* text, std::size_t length, const sockaddr_in& addr);

// Identifier counters back to their start (first transaction id 2, call id 1, request id 1).
void Mgcp_Reset_Ids();
