// sip_reg.h — the registrar: the table sipreg of everything reachable by SIP (the service and
// conference programs, SIP users, peer softswitches), REGISTER with digest authentication,
// expiry on the one-second tick, the public-network flag, the online state in the database,
// the user status of a registration, the lookup of the registration that serves a dialled
// number, and the user refresh the loop drives.
#pragma once
#include <array>
#include <string_view>

#include "call_chn.h"  // SoftUser
#include "text.h"

struct SIP_MSG_T;

inline constexpr int kMaxSipReg = 500;
inline constexpr int kRegService = 0;      // the service program, number "*"
inline constexpr int kRegConference = 1;   // the conference program, number "#"
inline constexpr int kRegFirstUser = 10;   // SIP users and peer softswitches from here; 2-9 unused

// One registration. A free record is SipReg{} (its soft_user's call_chn -1).
struct SipReg {
    int use = 0;
    int station_send = 0;      // peers: 1 the whole dialled number is passed on, 0 prefix removed
    Text<50> tel;
    Text<50> password;         // peers: their row's; a SIP user: its row's, read when its answer passed
    Text<16> ip;               // registered address
    int port = 0;
    int expires = 0;           // seconds left
    int inet = 0;              // public-network flag
    SoftUser soft_user;
};

extern std::array<SipReg, kMaxSipReg> sipreg;

// Start-up: every registration free, the refresh cursors back at their start.
void Sip_Init_All_Reg();

// A decoded REGISTER. 1 user registered or challenged (also: refused by an unknown
// sip_authen_type, or ignored for a sip_authen_enable other than 0 and 1); 2 service or
// conference program registered. Failures, each answered 488:
// -1 From undecodable, -2 its URI undecodable, -3 empty number, -4 table full (auth off),
// -5 the number holds a slot that is not a SIP user's, -7 the service or conference program is
// registered from another address, -6 table full (auth on: a new number is
// neither challenged nor, when the table filled meanwhile, registered by its answer),
// -8/-11 nonce, -9/-12 response, -10/-13 credentials undecodable (type 0 / type 1).
int OnRecv_Reg(const SIP_MSG_T& msg);

// The expiry step, once a second: a lifetime of N seconds ends at the (N+1)th call. 1.
int Sip_Reg_Timer();

// 1 when a datagram from ip:port comes from the registered party: its source is the registered
// address. Whatever a datagram's Via says proves nothing.
bool Sip_Reg_From(const SipReg& r, std::string_view ip, int port);
// The registration in use, of tel_type SIP user when user_only, whose party sent from ip:port;
// -1 none.
int Sip_Reg_By_Source(std::string_view ip, int port, bool user_only);

// Frees a registration in use: 1; -1 out of range or not in use.
int Sip_Reg_Reset(int regno);

// Lowest slot from 10 that is not in use, or -1.
int Find_Free_Reg();

// Lowest slot in use whose number equals tel, or -1.
int Find_Reg_By_Tel(const char* tel);

// The registration that serves a dialled number: the service or conference program for "*"
// and "#" numbers, a SIP user by equal number, a gateway or peer softswitch by number prefix.
// -1 null number, -2 empty, -3 none.
int Find_Reg_By_Called(const char* called);

// Refills the registration's user record from its number. 1; -1 out of range.
int Sip_Load_User(int regno);

// Writes the online state (1) with the registered address, or offline (anything else), into
// table softswitch. 1; -1 out of range.
int Sip_Update_Db_Status(int regno, int online);

// Loads the peer softswitches (table softswitch, tel_type 3) into slots from 10, row r into
// slot 10 + r. 1; -1 when the query finds no row.
int Load_Other_Softswitch();

// The user refresh: mode 1 rewinds the scan (1); any other mode refreshes the next
// registration in use (2), after them the next MGCP endpoint in use (3), or reports the scan
// done (-1).
int UserCheckUpdate(int mode);

// Sets the status of the SIP user the caller knows as tel in slot regno; a slot since freed
// and taken by another number is left alone.
// 1; -5 out of range, -1 not in use, -2 not a SIP user, -3 the slot holds another number,
// -4 unknown status.
int Sip_Set_Softuser_St(int regno, int status, const char* tel);

// 1 when the registration's address lies in the inner network (first three octets of
// sip_server_inter_host under soft_inet_mask; an empty mask octet ends the test with 1).
// -1 no dot left in the address, -2 none in the inner address, -3 none in the mask,
// -4 regno out of range, -5 an octet differs.
int Check_Reg_Inner_Net(int regno);
