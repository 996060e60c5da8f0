// sim_board.h — the simulated board, behind MyOpen and MyIOControl.
//
// When the resolved "/dev/AG0" is not a character device (on a PC the run and test scripts
// leave a plain file there) the device answers from this simulation instead of a driver.
// It answers every board request from inputs that tests set, records every output request
// with a millisecond time stamp (from the first open), and holds the DSP's host-port memory.
//
// Inputs are set, and the output record read, through a UNIX datagram socket beside the
// device file: "<device path>.ctl", for example "$BOARD_ROOT/dev/AG0.ctl". The program is
// single-threaded, so the socket is served from within its own requests on the device (at
// most once a millisecond); a reply comes once the program next makes a request. A client
// binds its own socket to a path so that replies can reach it.
//
// Protocol: one command per datagram, one reply datagram per command.
//   set cor N               COR input word (one bit per line)
//   set power N             power input word (one bit per line)
//   set reset N             reset input (0 while held)
//   set jumpers N           IP jumper value 0..15 (bits 0-3 of the jumper inputs)
//   set line4 A B C D       the four-wire board's status inputs of lines 1..4
//   set cpld N              CPLD version (5, 8 and 12 are the board generations in use)
//   set driver TEXT         driver version text (up to 63 characters)
//   set reason TEXT         reboot reason text (up to 127 characters)
//   set dsp on|off          "off" is a board without DSP: its memory reads 0xFFFF, writes vanish
//   log                     output entries not read yet, one a line: "<ms> <name> key=value..."
//                           (as many as fit one reply; "lost N" first when the record overflowed;
//                           an empty reply when there are none)
//   ping                    "ok"
//   ptt                     "word=N": the PTT outputs now, one bit per line (bit 0 line 0)
//   cor                     "word=N": the COR input word as last set
//   led_writes              "cor_led=N cor1_led=N cor2_led=N": COR LED writes since start-up
//                           (a write that repeats an LED's value is counted, not noted)
// The simulated DSP (device 0 only; sim_dsp.h describes what it does):
//   fault none              clears every fault below
//   fault checksum          every program block fails its checksum (boot status 2)
//   fault stuck             the device control register keeps its reset bit (set-up gives 4136)
//   fault stall [N]         the DSP takes nothing from its transmit rings until "fault none"
//                           (or for the next N DSP requests)
//   fault noecho [OP]       device packets (of opcode OP only, when given) get no echo
//   fault shortecho [OP]    ... an echo one byte short
//   fault syserror IDX [OP] ... a system error event with error index IDX instead of the echo
//   fault corrupt KIND      the next packet to the host comes with a malformed descriptor or
//                           header: sync (bad sync value), long (length 3801), huge (length
//                           6101), window (buffer outside the window), short (length 2)
//   event CH dtmf D [LEVEL]         an in-band DTMF digit 0..15 detected on channel CH; on a
//                                   channel that relays DTMF (open channel transfer mode 0 or
//                                   1) and plays RTP, also three RFC 2833 telephone-event
//                                   packets toward the network: the activation's transmit
//                                   2833 payload type, marker on the first, end bit on the
//                                   last, durations 160, 320, 480, one timestamp
//   event CH digits STR [GAP_MS]    digits 0-9, * (10), # (11), A-D (12-15), up to 64 waiting,
//                                   each reported as "event CH dtmf" on the DSP's clock, the
//                                   first at once, then GAP_MS apart (100 by default)
//   event CH tone T [LEVEL]         call progress tone T detected (T 10 is the busy tone)
//   event CH cid NUMBER [MMDDhhmm]  an on-hook caller ID
//   event CH syserror IDX           a system error event
//   event raw HEX                   a whole packet (hexadecimal, header included) as given
//   chan CH                 the channel's state: "open= rtp= pt= frame= in_gain= out_gain=
//                           tone= rx= rx_bytes= last_seq= samples= peak= ptt= tx= source=
//                           tone_sig= voice= rx_pt= decoder= dtmf_mode= rfc2833_pt= wrong_pt=
//                           events= refused=": tone_sig the signal of the IBS string playing
//                           (-1 none), voice 1 while the sink hears voice, rx_pt the payload
//                           type the decoder plays, decoder its coder (2 mu-law, 3 A-law),
//                           wrong_pt the voice packets of another payload type (dropped),
//                           events the telephone events received, refused what was refused
//   chan CH source silence|tone|loop    what the channel encodes toward the network
//   chan CH inject HEX      bytes (hexadecimal) the channel sends as its next payloads
//   chan CH capture FILE|off    appends the payload of every packet the channel's sink plays
//                           to FILE, a path under the board root (no ".." out of it; refused
//                           without a board root)
//   counter                 "requests=N": DSP requests answered since the board was reset
//   trace off|host|all      packet trace into the output log: "dsp_in" (host to DSP) and
//                           "dsp_out" entries with medium, channel, length and leading bytes;
//                           "host" leaves out the network medium
//   advance MS              moves the DSP's clock on by MS milliseconds
// N is decimal or 0x-hexadecimal, 0..2147483647. Replies are "ok", "error: <why>" or the
// log lines. The device file itself may hold commands, one a line ("#" starts a comment):
// they run when the device is first opened, so a board can start with chosen inputs.
//
// Output entries (chn is the board's channel number, line + 1):
//   error_led value= variant=    buzzer value=          cor_led chn= value=
//   cor1_led value=              cor2_led value=        led index= value= variant=
//   ptt1 value=  ptt2 value=     ptt chn= value=        ptt_word value=
//   cor_level chn= level=        cor_probe chn= level=  uart chn= variant=
//   lock value= variant=         radio radio= channel=  line4_reset
//   gpio_init variant=           gpio chip= pin= value= gpio_set pin= value=
//   chn_cs value=                dsp_reset device= on=
//   dsp_boot status=             dsp_block status=      dsp_running
//   dsp_monitor command= response=   (a debug monitor command the DSP took; sim_dsp.h)
//   dsp_in medium= ch= len= data=    dsp_out medium= ch= len= data=   (with trace on)
// and always:
//   input cor=                       the COR input word, each time "set cor" sets it
//   dsp_tone ch= sig= sys= on= off=  an IBS string: the first signal's digit and system code
//                                    (6: call progress signal) and its on/off times in ms
//   dsp_tone_stop ch=                an IBS stop
//   dsp_voice ch= on=1|0 ptt=        the sink switched between voice (a packet's peak above
//                                    1000) and silence; ptt is the PTT word at that packet
//   dsp_refused ch= why=             a packet the real part would not take: "closed" (a
//                                    command or channel packet other than the opening to a
//                                    closed channel), "beyond" (a channel at or beyond the
//                                    open device packet's channel count), "size" (a channel
//                                    packet shorter than its kind), "coder" (an RTP set-up
//                                    with an encoder or decoder the part does not have).
//                                    Voice packets for a channel not playing RTP and voice of
//                                    another payload type than the decoder's are counted in
//                                    "chan CH" (refused=, wrong_pt=) without an entry.
#pragma once
#include <cstddef>
#include <string_view>

// Starts answering for descriptor fd, opened on the plain file path. The first attachment
// resets the board, opens the control socket and runs the file's commands. False when
// every slot for descriptors is taken.
bool SimBoard_Attach(int fd, const char* path);
// True while fd is answered by the simulation.
bool SimBoard_Owns(int fd);
// Stops answering for fd; the last detachment removes the control socket.
void SimBoard_Detach(int fd);
// One request, answered as the driver would: 0 done, or -1 with errno set.
int SimBoard_Request(unsigned long code, void* record);

// Runs one control command and writes its reply (always terminated) into reply; the reply's
// length.
std::size_t SimBoard_Command(std::string_view command, char* reply, std::size_t reply_size);

// Adds an output entry to the record (printf-style text after the time stamp).
void SimBoard_Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The next blank-separated word of s, removed from s.
std::string_view SimBoard_Word(std::string_view& s);
// A number in decimal or 0x-hexadecimal from 0 to INT32_MAX; false for anything else,
// overflow included.
bool SimBoard_Number(std::string_view word, int& out);
// The PTT outputs as the board requests last set them, one bit per line (bit 0 line 0).
int SimBoard_PttWord();
