// sip_msg.h — the texts of the stack's messages: the method table, what is read out of osip's
// parsed messages, where requests go, and the requests and answers the stack composes.
#pragma once
#include <string_view>

#include "sip_stack.h"

struct osip_from;
struct osip_uri;

// Send codes: what the gateway asks for with LIBSIP_Send.
enum {
    S_REGISTER = 100, S_INVITE = 200, S_RING = 202, S_ANSWER = 203, S_ACK = 204, S_REFER = 205, S_INFO = 206,
    S_BYE = 208, S_CANCEL = 209, S_REINVITE = 211, S_REINVITE_OK = 212, S_RING182 = 216, S_UPDATE = 217,
    S_UPDATE_OK = 218, S_OPTIONS = 219, S_SUBSCRIBE = 221, S_BYE_OK = 224, S_FAILURE = 226, S_OPTIONS_OK = 227,
    S_INFO_OK = 229, S_NOTIFY_OK = 230, S_PUBLISH = 231,
};

struct MethodRow { int method; const char* name; int auth_type; int resend_code; };
const MethodRow* Sip_Method_Row(int method);   // null for a method the stack does not know
const char* Sip_Method_Name(int method);       // "" for none
int Sip_Method_Of(const char* name);           // sip_code_method, 0 for none

// Read out of a parsed message; empty (or -1, 0) when it has none.
void Sip_Call_Id_Of(const osip_message* sip, Text<128>& out);
void Sip_Tag_Of(osip_from* h, Text<64>& out);
void Sip_Uri_Of(osip_uri* u, Text<160>& out);
void Sip_User_Of(osip_from* h, Text<64>& out);
void Sip_Branch_Of(const osip_message* sip, Text<128>& out);   // of the top Via
int Sip_Cseq_Number(const osip_message* sip);
int Sip_Cseq_Method(const osip_message* sip);
std::string_view Sip_Header_Value(const osip_message* sip, const char* name);
int Sip_Body_Kind(const osip_message* sip, std::string_view& body);   // 1 SDP, 2 XML, 4 other text, 0 none

// Addresses.
bool Sip_Has_Addr(const IPV4_ADDRESS& a);
IPV4_ADDRESS Sip_Out_Of_Dialog_Dest(const SipChn& c);   // the channel's host, else the SBC, else the default
IPV4_ADDRESS Sip_Dialog_Dest(const SipChn& c);          // where the channel's in-dialog requests go
const char* Sip_Stack_Host();
void Sip_Addr_Text(const IPV4_ADDRESS& a, Composer& m);  // "ip" or "ip:port" (port 5060 left out)

// Composing. Text slots, or -1 when the text does not fit or the pool is full.
void Sip_New_Branch(char* out, int size);
void Sip_Via_Line(Composer& m, const SipChn& c, const char* branch);
void Sip_Clear_One_Message(SipChn& c);   // the setters that concern one message only
int Sip_Compose_Request(SipChn& c, int method, int cseq, const char* branch, const char* auth_line);
// Answers the request of a server transaction (c null: no channel, no body). 0 sent, -1 not.
int Sip_Answer(int ctx, int status, SipChn* c, int data_type);
void Sip_Answer_Plain(int ctx, int status);
// An answer (no channel, no body) to a request that has no transaction, into out; its length, or
// -1 when it does not fit. Every copy of the request gets the same text, To tag included.
int Sip_Answer_Stateless(const osip_message* sip, int status, char* out, int size);
