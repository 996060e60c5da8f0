// link_record.h — the record-server link: up to two record servers (table softrecord), greeted
// with REC_Init, kept alive with REC_Connect every 20 s (resent at 2 and 6 s, down at 14 s), told
// by REC_Open and REC_Close which calls to record; their reports can release a recorded call.
#pragma once
#include <array>

#include "text.h"

inline constexpr int kRecordServers = 2;
inline constexpr int kRecordChns = 256;
inline constexpr int kRecordFullAbove = 119;   // a server reporting more recordings is full

struct RecordChn {
    int use = 0;
    Text<200> callid;
    int open_count = 0;
    int peer_chn = -1;    // its media goes to "Sever1"
    int party_chn = -1;   // the channel that asked for the recording; its media goes to "Sever2"
    Text<50> to, from;
    Text<16> s1_ip;
    int s1_record_port = 0, s1_rtp_port = 0;
    Text<16> s2_ip;
    int s2_record_port = 0, s2_rtp_port = 0;
};

struct RecordServer {
    int state = 0;   // 1 live
    Text<16> record_ip;
    int record_port = 0;
    int record_id = 0;
    int record_num = 0;
    int record_begin_port = 0;
    int full = 0;
    std::array<RecordChn, kRecordChns> record_chn;
    int countdown = 0;
    int interval = 0;
    int tries = 0;
    Text<200> text;
};

extern std::array<RecordServer, kRecordServers> record_ctrl;
extern int g_record_fd;   // -1 until created

// 1 created; 0 it exists already; -1 failure.
int Record_Server_Create(int port);
void Record_Ctrl_Init(int server);
// Loads the first two rows of table softrecord: 1, or -1 when there is none.
int Record_Load_Config();
// 1 sent; -1 server not live or the send failed.
int Record_Send_Init(int server);
int Record_Send_Connect(int server);
// Every pass: up to 100 datagrams of the servers. 1; -1 a message failed (the others are
// still taken).
int Record_Ctrl_Proc();
// Every tick: the REC_Connect retransmission.
void Record_Resend_Timer();
// Starts recording the call of party and peer (call channels) on server. 1; -1 server index,
// -2 server not live, -3 no free record channel, -4 a call channel out of range.
int Record_Start(int server, int party, int party_inet, int peer, int peer_inet);
// Ends the recording of a call channel. 1; -1 server or record channel out of range.
int Record_Hangup(int chn);
// The record port of a call channel on server: its first port + (2 × chn) mod 512.
int Record_Port(int server, int chn);
