// wl_net.h — the small IPv4 socket module of the HTTP broadcast interface: TCP listener, accept,
// bounded receives and sends, and a few UDP and address helpers. Errors go to the console.
// Every descriptor the system hands out is valid, 0 included; -1 means none.
#pragma once
#include <netinet/in.h>

#include <cstddef>

// How long one read waits for a client's next bytes.
inline constexpr int kWlnetRecvWaitMs = 2000;

int wlnet_init();    // nothing to set up; 0
int wlnet_uninit();  // 0
// Closes a socket; 0, or -1 for a negative descriptor.
int wlnet_close(int sock);

// A TCP listener on address (null: any) and port, backlog 1024; the descriptor or -1.
int wlnet_tcp_create(const char* address, int port);
// Blocking accept; the peer's dotted address (16 bytes) and port when asked. Descriptor or -1.
int wlnet_tcp_accept(int listener, char* address_out, int* port_out);
// Zeroes the buffer, then one receive that does not wait: what recv returns (0 the peer
// closed, -1 nothing there or a failure); -1 also for bad arguments.
int wlnet_tcp_recv(int sock, char* buf, int len);
// Waits up to ms milliseconds for the socket to be readable, then wlnet_tcp_recv; -1 when it
// is not readable in time.
int wlnet_tcp_recv_wait(int sock, char* buf, int len, int ms);
// wlnet_tcp_recv_wait with the 2-second wait (kWlnetRecvWaitMs).
int wlnet_tcp_recv_select(int sock, char* buf, int len);
// One send; a peer that has gone gives -1, never a signal.
int wlnet_tcp_send(int sock, const char* data, int len);
// A TCP connection within timeout_ms; the descriptor (blocking again) or -1.
int wlnet_tcp_connect(const char* address, int port, int timeout_ms);

// A UDP socket bound to address (null: any) and port; the descriptor or -1.
int wlnet_udp_create(const char* address, int port);
int wlnet_udp_create_client();  // an unbound UDP socket, or -1
// Fills an IPv4 address record; 0, or -1 for an address that is not dotted.
int wlnet_udp_initaddr(sockaddr_in* addr, const char* address, int port);
int wlnet_udp_sendto_addr(int sock, const char* data, int len, const sockaddr_in* addr);
int wlnet_udp_sendto(int sock, const char* data, int len, const char* address, int port);
int wlnet_udp_recvfrom(int sock, char* data, int len, sockaddr_in* from);

const char* wl_get_ip();         // eth0's address, read once; "0.0.0.0" when it has none
const char* wl_get_host_name();  // a cached text nothing fills
const char* wl_get_mac();        // a cached text nothing fills

int wlnet_set_nonblock(int sock);              // 0, or -1
int wlnet_set_block(int sock, int send_ms);    // blocking again, with a send time-out when above 0
int wlnet_set_reuse_addr(int sock);
int wlnet_set_keepalive(int sock);
int wlnet_set_sendbufsize(int sock, int size);
int wlnet_set_recvbufsize(int sock, int size);
// Options the platform does not need; each returns the descriptor.
int wlnet_set_reuse_port(int sock);
int wlnet_set_nodelay(int sock);
int wlnet_set_nosigpipe(int sock);

// The peer's address into out (16 bytes, "0.0.0.0" on failure); out is returned.
const char* wlnet_get_ip(int sock, char* out);
int wlnet_get_port(int sock);  // the peer's port, 0 on failure
int wlnet_get_addr(int sock, sockaddr_in* addr);
// The local address into out (16 bytes, "127.0.0.1" until one is found); out is returned.
const char* wlnet_get_ip_by_socket(int sock, char* out);
int wlnet_get_addr_by_socket(int sock, sockaddr_in* addr);
