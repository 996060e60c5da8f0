// The AC49x driver's further command builders against the simulated DSP: what each puts on
// the wire (size, protocol, medium, format and opcode bytes, and the bytes of its variable
// parts), and the counts and lengths that do not fit their packet, refused with nothing sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ac49x_fixture.h"

// The command hook as the driver calls it (the link wraps the platform's functions): how deep
// it is held now and was held at most.
namespace {
int g_hookDepth = 0, g_hookMaxDepth = 0;
}  // namespace
// The names are those the linker gives the hook's functions.
extern "C" {
void __real__Z41Ac49xUserDef_CriticalSection_EnterCommandi(int device);
void __real__Z41Ac49xUserDef_CriticalSection_LeaveCommandi(int device);
void __wrap__Z41Ac49xUserDef_CriticalSection_EnterCommandi(int device)
{
    g_hookMaxDepth = std::max(g_hookMaxDepth, ++g_hookDepth);
    __real__Z41Ac49xUserDef_CriticalSection_EnterCommandi(device);
}
void __wrap__Z41Ac49xUserDef_CriticalSection_LeaveCommandi(int device)
{
    --g_hookDepth;
    __real__Z41Ac49xUserDef_CriticalSection_LeaveCommandi(device);
}
}

namespace {
using Bytes = std::vector<U8>;

std::string Log()
{
    std::string all;
    for (std::string more = ac49x_command("log"); !more.empty(); more = ac49x_command("log")) all += more;
    return all;
}

Bytes Slice(const Bytes& p, std::size_t offset, std::size_t n)
{
    if (offset + n > p.size()) return {};
    return Bytes(p.begin() + static_cast<long>(offset), p.begin() + static_cast<long>(offset + n));
}

struct Attrs {
    Tac49xSetupChannelAttr ch{};
    Tac49xExtendedIbsStringCommandPayload ibs{};
    Tac49xCasStringAttr cas{};
    Tac49xRtcpAppAttr app{};
    Tac49xCallerIdAttr fsk{};
    Tac49x4WayConferenceConfigurationAttr conf{};
    Tac49x4WayConferenceLegConfigurationAttr leg{};
    Tac49xDeactivateDataRelayConfigurationAttr clear{};
    Tac49xCasAttr abcd{};
    Tac49xTrunkTestingMeasurementAttr trunk{};
    Tac49xBerTestAttr ber{};
    Tac49xTandemFreeOperationAttr tfo{};
    Tac49xRfc3267AmrRateControlAttr amrRate{};
    Tac49x3GppUserPlaneRateControlAttr upRate{};
    Tac49xTimeSlotManipulationAttr slots{};
    Tac49xEventsControlAttr events{};
    Tac49xNtpTimeStampAttr ntp{};
    Tac49xVideoAudioSyncAttr sync{};
    Tac49xAmdAttr amd{};
    Tac49xModemRelayAttr modem{};
    Tac49xModemRelaySseAttr sse{};
    Bytes hdlc = Bytes(AC49X_FRAMED_MESSAGE_MAX, 0x7E);
    Bytes voice = Bytes(160, 0xD5);
    Bytes first = Bytes(1000, 0x11), second = Bytes(590, 0x22);

    Attrs()
    {
        Ac49xSetDefaultSetupChannelAttr(&ch);
        Ac49xSetDefault4WayConferenceConfigurationAttr(&conf);
        Ac49xSetDefault4WayConferenceLegConfigurationAttr(&leg);
        clear = ch.DeactivateDataRelay;
        ch.SrtpProtectionConfiguration.TxMasterKey[0] = 0xAB;
        ch.SrtpProtectionConfiguration.RxMasterSalt[13] = 0xCD;
        ch.PacketCableProtectionConfiguration.RtcpKeySize = 128;
        ch.PacketCableProtectionConfiguration.RtcpKey[127] = 0xEE;
        ch._3GppIubChannelConfiguration.NumberOfTransportFormats = 8;
        ch._3GppIubChannelConfiguration.TransportFormat[7] = {0x1234, 2, 63};
        ibs.NumberOfSignals = 3;
        for (int i = 0; i < AC49X_EXTENDED_IBS_FORMAT1_SIGNALS; ++i)
            ibs.Signal[i] = {i % 16, IBS_SYSTEM_CODE__DTMF, 100 + i, 50};
        cas.NumberOfEntries = 2;
        cas.Entry[1] = {0xF, 0x0102};
        app = {3, {'q', 'v', 'd', '1'}, 5, {1, 2, 3, 4, 5}};
        fsk.Message[0] = 0x80;
        fsk.Message[1] = 4;
        fsk.Message[2] = '1';
        fsk.Message[5] = '4';
        fsk.Message[6] = 0x99;  // beyond the length byte: not sent
    }
};

Tac49xCallerIdAttr Dtmf(int standard, const std::string& digits)
{
    Tac49xCallerIdAttr a{};
    a.Standard = standard;
    a.Message[1] = static_cast<U8>(digits.size());
    for (std::size_t i = 0; i < digits.size() && i + 2 < sizeof a.Message; ++i)
        a.Message[2 + i] = static_cast<U8>(digits[i]);
    return a;
}
}  // namespace

TEST(Ac49x, FurtherBuilders)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Attrs t;
    Tac49xSetupChannelAttr& ch = t.ch;
    const auto etsi = Dtmf(8, "A12*#C");
    const auto india = Dtmf(10, "D5C");
    const auto badStart = Dtmf(11, "12C");
    const auto noStandard = Dtmf(3, "A12C");
    auto hdlc = t.hdlc;
    auto& voice = t.voice;
    auto ibs1 = t.ibs;
    ibs1.NumberOfSignals = AC49X_EXTENDED_IBS_FORMAT1_SIGNALS;
    ibs1.OnDuration = 0x0102;

    constexpr int P = PROTOCOL__PROPRIETARY, C1 = PACKET_CATEGORY__CHANNEL_CONFIGURATION_PACKET,
                  C3 = PACKET_CATEGORY__COMMAND_OR_STATUS_OR_EVENT_PACKET;
    constexpr bool kHost = false, kNet = true;
    // byte4 is the format nibble for proprietary packets, the command bits for playback and
    // record; byte5 is opcode x 4 + category (-1: not a proprietary packet, the caller's byte).
    struct Case {
        const char* what;
        std::function<int()> send;
        std::size_t size;
        int protocol;
        bool network;
        int byte4;
        int byte5;
        std::vector<std::pair<std::size_t, Bytes>> at;
        int want = 0;
    };
    const Case cases[] = {
        {"3GPP Iub activate, 8 formats",
         [&] { return Ac49xActivate3GppIubChannelConfiguration(0, 2, &ch._3GppIubChannelConfiguration); },
         46, P, kHost, 0, 33 * 4 + C1, {{42, {0x12, 0x34, 0x02, 0x3F}}}},
        {"3GPP Iub update",
         [&] { return Ac49xUpdate3GppIubChannelConfiguration(0, 2, &ch._3GppIubChannelConfiguration); },
         46, P, kHost, 0, 34 * 4 + C1, {}},
        {"3GPP Iub close", [&] { return Ac49xClose3GppIubChannel(0, 2); }, 6, P, kHost, 0, 35 * 4 + C1, {}},
        {"ATM activate",
         [&] { return Ac49xActivateAtmChannelConfiguration(0, 2, &ch.ActivateOrUpdateAtm[0]); }, 18, P, kHost, 0,
         6 * 4 + C1, {{14, {CODER__G711ALAW, CODER__G711ALAW}}}},
        {"ATM update",
         [&] { return Ac49xUpdateRegularAtmChannelConfiguration(0, 2, &ch.ActivateOrUpdateAtm[0]); }, 18, P, kHost, 0,
         7 * 4 + C1, {}},
        {"ATM close", [&] { return Ac49xCloseAtmChannelConfiguration(0, 2); }, 6, P, kHost, 0, 8 * 4 + C1, {}},
        {"mediated ATM activate",
         [&] { return Ac49xActivateMediatedAtmChannelConfiguration(0, 2, &ch.ActivateOrUpdateAtm[1]); }, 18,
         P, kHost, 0, 26 * 4 + C1, {}},
        {"mediated ATM update",
         [&] { return Ac49xUpdateMediatedAtmChannelConfiguration(0, 2, &ch.ActivateOrUpdateAtm[1]); }, 18, P,
         kHost, 0, 27 * 4 + C1, {}},
        {"mediated ATM close",
         [&] { return Ac49xCloseMediatedAtmChannelConfiguration(0, 2); }, 6, P, kHost, 0, 28 * 4 + C1, {}},
        {"fax relay activate",
         [&] { return Ac49xActivateT38Command(0, 2, &ch.ActivateFaxRelay); }, 8, P, kHost, 0, 13 * 4 + C1,
         {{6, {0x00}}}},
        {"fax relay deactivate", [&] { return Ac49xDeactivateFaxRelayCommand(0, 2); }, 6, P, kHost, 0, 14 * 4 + C1, {}},
        {"3-way conference",
         [&] {
             return Ac49xActivateOrDeactivate3WayConferenceConfiguration(
                 0, 2, &ch.ActivateOrDeactivate3WayConferenceConfiguration);
         },
         26, P, kHost, 0, 22 * 4 + C1, {}},
        {"3GPP user plane",
         [&] {
             return Ac49x3GppUserPlaneInitializationConfiguration(0, 2, &ch._3GppUserPlaneInitializationConfiguration);
         },
         40, P, kHost, 0, 20 * 4 + C1, {}},
        {"mediated 3GPP user plane",
         [&] {
             return Ac49xMediatedChannel3GppUserPlaneInitializationConfiguration(
                 0, 2, &ch._3GppUserPlaneInitializationConfiguration);
         },
         40, P, kHost, 0, 25 * 4 + C1, {}},
        {"RFC 3267 AMR",
         [&] { return Ac49xRfc3267AmrInitializationConfiguration(0, 2, &ch.Rfc3267AmrInitializationConfiguration); },
         52, P, kHost, 0, 21 * 4 + C1, {{8, {7}}, {12, {0x80, 0x00, 0x81, 0x00}}}},
        {"PacketCable",
         [&] {
             return Ac49xRegularChannelPacketCableProtectionConfiguration(0, 2, &ch.PacketCableProtectionConfiguration);
         },
         268, P, kHost, 0, 23 * 4 + C1, {{8, {12, 12, 0, 128}}, {267, {0xEE}}}},
        {"mediated PacketCable",
         [&] {
             return Ac49xMediatedChannelPacketCableProtectionConfiguration(
                 0, 2, &ch.PacketCableProtectionConfiguration);
         },
         268, P, kHost, 0, 29 * 4 + C1, {}},
        {"SRTP",
         [&] { return Ac49xRegularChannelSrtpProtectionConfiguration(0, 2, &ch.SrtpProtectionConfiguration); },
         268, P, kHost,
         0, 23 * 4 + C1, {{8, {16, 14, 10}}, {18, {0xAB}}, {109, {0xCD}}}},
        {"mediated SRTP",
         [&] { return Ac49xMediatedChannelSrtpProtectionConfiguration(0, 2, &ch.SrtpProtectionConfiguration); }, 268,
         P, kHost, 0, 29 * 4 + C1, {}},
        {"RFC 3558",
         [&] { return Ac49xRfc3558InitializationConfiguration(0, 2, &ch.Rfc3558InitializationConfiguration); }, 16, P,
         kHost, 0, 31 * 4 + C1, {}},
        {"G.729 EV",
         [&] { return Ac49xG729EvInitializationConfiguration(0, 2, &ch.G729EvInitializationConfiguration); },
         10, P, kHost,
         0, 32 * 4 + C1, {{6, {11, 11}}}},
        {"RTCP XR",
         [&] { return Ac49xRegularChannelRtcpXrConfiguration(0, 2, &ch.RtcpXrConfiguration[0]); }, 16, P, kHost, 0,
         36 * 4 + C1, {}},
        {"mediated RTCP XR",
         [&] { return Ac49xMediatedChannelRtcpXrConfiguration(0, 2, &ch.RtcpXrConfiguration[1]); }, 16, P, kHost,
         0, 37 * 4 + C1, {}},
        {"4-way open",
         [&] { return Ac49xOpen4WayConferenceConfiguration(0, 2, &t.conf); }, 10, P, kHost, 0, 38 * 4 + C1, {}},
        {"4-way update",
         [&] { return Ac49xUpdate4WayConferenceConfiguration(0, 2, &t.conf); }, 10, P, kHost, 0, 39 * 4 + C1, {}},
        {"4-way close", [&] { return Ac49xClose4WayConferenceConfiguration(0, 2); }, 6, P, kHost, 0, 40 * 4 + C1, {}},
        {"4-way add leg",
         [&] { return Ac49xAdd4WayConferenceLegConfiguration(0, 2, &t.leg); }, 8, P, kHost, 0, 41 * 4 + C1, {}},
        {"4-way remove leg",
         [&] { return Ac49xRemove4WayConferenceLegConfiguration(0, 2, &t.leg); }, 8, P, kHost, 0, 42 * 4 + C1, {}},
        {"UEM clip",
         [&] { return Ac49xUemClipInitializationConfiguration(0, 2, &ch.UemClipInitialization); }, 8, P, kHost, 0,
         43 * 4 + C1, {}},
        {"data relay activate",
         [&] { return Ac49xActivateDataRelayConfiguration(0, 2, &ch.ActivateOrUpdateDataRelay); }, 18, P,
         kHost, 0, 44 * 4 + C1, {}},
        {"data relay update",
         [&] { return Ac49xUpdateDataRelayConfiguration(0, 2, &ch.ActivateOrUpdateDataRelay); }, 18, P, kHost, 0,
         45 * 4 + C1, {}},
        {"data relay deactivate",
         [&] { return Ac49xDeactivateDataRelayConfiguration(0, 2, &t.clear); }, 8, P, kHost, 0, 46 * 4 + C1,
         {{6, {5}}}},
        {"advanced data relay",
         [&] { return Ac49xAdvancedDataRelayConfiguration(0, 2, &ch.AdvancedDataRelay); }, 20, P, kHost, 0,
         47 * 4 + C1, {}},
        {"G.711.1",
         [&] { return Ac49xG7111InitializationConfiguration(0, 2, &ch.G7111Initialization); },
         8, P, kHost, 0, 50 * 4 + C1,
         {}},
        {"Microsoft RTA",
         [&] { return Ac49xMicrosoftRtaInitializationConfiguration(0, 2, &ch.MicrosoftRtaInitialization); }, 8, P,
         kHost, 0, 51 * 4 + C1, {}},

        {"set RTCP parameter",
         [&] { return Ac49xSetRegularRtcpParameters(0, 2, 3, 0xA1B2C3D4); }, 16, P, kHost, 0, 10 * 4 + C3,
         {{6, {3, 0, 0xA1, 0xB2, 0xC3, 0xD4}}}},
        {"set mediated RTCP parameter",
         [&] { return Ac49xSetMediatedRtcpParameters(0, 2, 3, 1); }, 16, P, kHost, 0, 11 * 4 + C3, {}},
        {"get RTCP parameters", [&] { return Ac49xGetRegularRtcpParameters(0, 2); }, 6, P, kHost, 0, 8 * 4 + C3, {}},
        {"get mediated RTCP parameters",
         [&] { return Ac49xGetMediatedRtcpParameters(0, 2); }, 6, P, kHost, 0, 9 * 4 + C3, {}},
        {"extended IBS format 0, 3 signals",
         [&] { return Ac49xSendExtendedIbsString(0, 2, &t.ibs); }, 38, P, kHost, 0, 15 * 4 + C3,
         {{7, {3}}, {32, {0x01, 2, 0x00, 102, 0x00, 50}}}},
        {"extended IBS format 1, 40 signals",
         [&] { return Ac49xSendExtendedIbsString_Format1(0, 2, &ibs1); }, 72, P, kHost, 1,
         15 * 4 + C3, {{7, {40, 0, 0, 0x01, 0x02}}, {32, {0, 1, 2}}, {71, {7}}}},
        {"trunk testing",
         [&] { return Ac49xStartTrunkTestingMeasurement(0, 2, &t.trunk); }, 12, P, kHost, 0, 16 * 4 + C3, {}},
        {"BER test", [&] { return Ac49xStartBerTest(0, 2, &t.ber); }, 18, P, kHost, 0, 17 * 4 + C3, {}},
        {"UTOPIA status",
         [&] { return Ac49xUtopiaStatusRequest(0, 2, 0x0102); }, 8, P, kHost, 0, 18 * 4 + C3, {{6, {1, 2}}}},
        {"SS7 MTP1 of 3002 on the network medium",

          [&] { return Ac49xSs7Mtp1Command(0, 2, nullptr, t.hdlc.data(), 3002, TRANSFER_MEDIUM__NETWORK); },
          3016, P, kNet, 0,
         7 * 4 + C3, {{12, {0x0B, 0xBA, 0x7E}}, {3015, {0x7E}}}},
        {"SS7 MTP1 in the caller's packet", [&] {
             hdlc.assign(14 + 3, 0x55);
             return Ac49xSs7Mtp1Command(0, 2, hdlc.data(), nullptr, 3, TRANSFER_MEDIUM__HOST);
         },
         17, P, kHost, 5, 7 * 4 + C3, {{6, {0x55, 0x55}}}},
        {"tandem free operation",
         [&] { return Ac49xTandemFreeOperationCommand(0, 2, &t.tfo); }, 38, P, kHost, 0, 21 * 4 + C3, {}},
        {"CAS", [&] { return Ac49xSendCas(0, 2, &t.abcd); }, 12, P, kHost, 0, 3 * 4 + C3, {}},
        {"CAS string of 2", [&] { return Ac49xSendCasString(0, 2, &t.cas); }, 20, P, kHost, 0, 2 * 4 + C3,
         {{6, {2}}, {16, {0x0F, 0, 0x01, 0x02}}}},
        {"HDLC framer of 0",
         [&] { return Ac49xSendHdlcFramerMessage(0, 2, nullptr, nullptr, 0, TRANSFER_MEDIUM__HOST); }, 14, P,
         kHost, 0, 4 * 4 + C3, {}},
        {"AMR rate control",
         [&] { return Ac49xSetRfc3267AmrRateControl(0, 2, &t.amrRate); }, 12, P, kHost, 0, 14 * 4 + C3, {}},
        {"3GPP rate control",
         [&] { return Ac49xSet3GppUserPlaneRateControl(0, 2, &t.upRate); }, 12, P, kHost, 0, 13 * 4 + C3, {}},
        {"mediated 3GPP rate control",
         [&] { return Ac49xMediatedChannelSet3GppUserPlaneRateControl(0, 2, &t.upRate); }, 12, P, kHost,
         0, 20 * 4 + C3, {}},
        {"3GPP statistics", [&] { return Ac49xGet3GppStatistics(0, 2); }, 6, P, kHost, 0, 12 * 4 + C3, {}},
        {"mediated 3GPP statistics",
         [&] { return Ac49xMediatedChannelGet3GppStatistics(0, 2); }, 6, P, kHost, 0, 19 * 4 + C3, {}},
        {"FSK caller ID", [&] { return Ac49xSendCallerIdMessage(0, 2, &t.fsk); }, 20, P, kHost, 0, 5 * 4 + C3,
         {{14, {0x80, 4, '1', 0, 0, '4'}}}},
        {"FSK caller ID type 0x40 of 16", [&] {
             t.fsk.Message[0] = 0x40;
             t.fsk.Message[1] = 16;
             return Ac49xSendCallerIdMessage(0, 2, &t.fsk);
         },
         33, P, kHost, 0, 5 * 4 + C3, {}},
        {"DTMF caller ID, ETSI", [&] { return Ac49xSendCallerIdMessage(0, 2, &etsi); }, 38, P, kHost, 1, 15 * 4 + C3,
         {{7, {6, 0, 0, 0, 70, 0, 70, IBS_SYSTEM_CODE__DTMF}}, {32, {12, 1, 2, 10, 11, 14}}}},
        {"DTMF caller ID, India: 50 ms",
         [&] { return Ac49xSendCallerIdMessage(0, 2, &india); }, 35, P, kHost, 1, 15 * 4 + C3,
         {{10, {0, 50, 0, 50}}, {32, {15, 5, 14}}}},
        {"DTMF caller ID, Brazil without its start: sent, rule 2",
         [&] { return Ac49xSendCallerIdMessage(0, 2, &badStart); }, 35, P,
         kHost, 1, 15 * 4 + C3, {}, 2},
        {"DTMF caller ID, standard below 8: no signals",
         [&] { return Ac49xSendCallerIdMessage(0, 2, &noStandard); }, 32, P, kHost,
         1, 15 * 4 + C3, {{7, {0}}}},
        {"caller ID stop", [&] { return Ac49xSendCallerIdStop(0, 2); }, 6, P, kHost, 0, 6 * 4 + C3, {}},
        {"playback network start", [&] { return Ac49xPlaybackNetworkStart(0, 2, CODER__G711ALAW); }, 16,
         PROTOCOL__PLAYBACK_COMMAND, kNet, PLAYBACK_COMMAND__START_NETWORK, -1, {{5, {CODER__G711ALAW}}}},
        {"playback TDM start",
         [&] { return Ac49xPlaybackTdmStart(0, 2, CODER__G711ALAW); }, 16, PROTOCOL__PLAYBACK_COMMAND, kNet,
         PLAYBACK_COMMAND__START_TDM, -1, {}},
        {"playback silence",
         [&] { return Ac49xPlaybackPlaySilence(0, 2, 0x01020304); }, 16, PROTOCOL__PLAYBACK_COMMAND, kNet,
         PLAYBACK_COMMAND__PLAY_SILENCE, -1, {{8, {1, 2, 3, 4}}}},
        {"playback end",
         [&] { return Ac49xPlaybackEnd(0, 2); }, 16, PROTOCOL__PLAYBACK_COMMAND, kNet, PLAYBACK_COMMAND__END, -1, {}},
        {"playback voice",
         [&] { return Ac49xPlaybackPlayVoice(0, 2, voice.data(), 160); }, 164, PROTOCOL__PLAYBACK_VOICE, kNet, -1,
         -1, {{4, {0xD5}}, {163, {0xD5}}}},
        {"record",
         [&] { return Ac49xRecordCommand(0, 2, 5, 0x42); }, 6, PROTOCOL__RECORD_COMMAND, kNet, 5, -1, {{5, {0x42}}}},
        {"serial port reset", [&] { return Ac49xResetSerialPort(0, 2); }, 6, P, kHost, 0, 22 * 4 + C3, {}},
        {"media protection info",
         [&] { return Ac49xGetRegularChannelMediaProtectionInfo(0, 2, 1); }, 8, P, kHost, 0, 23 * 4 + C3, {}},
        {"mediated media protection info",
         [&] { return Ac49xGetMediatedChannelMediaProtectionInfo(0, 2, 1); }, 8, P, kHost, 0,
         24 * 4 + C3, {}},
        {"RFC 3558 rate mode", [&] { return Ac49xSetRfc3558RateMode(0, 2, 2); }, 10, P, kHost, 0, 25 * 4 + C3, {}},
        {"time slot manipulation",
         [&] { return Ac49xTimeSlotManipulationCommand(0, 2, &t.slots); }, 12, P, kHost, 0, 26 * 4 + C3, {}},
        {"module status", [&] { return Ac49xModuleStatusRequest(0, 2, 1); }, 8, P, kHost, 0, 27 * 4 + C3, {}},
        {"RTCP APP of 5 bytes: 2 words",
         [&] { return Ac49xSendRegularRtcpAppCommand(0, 2, &t.app); }, 26, P, kHost, 0, 28 * 4 + C3,
         {{6, {3, 2, 'q', 'v', 'd', '1'}}, {18, {1, 2, 3, 4, 5, 0, 0, 0}}}},
        {"mediated RTCP APP",
         [&] { return Ac49xSendMediatedRtcpAppCommand(0, 2, &t.app); }, 26, P, kHost, 0, 29 * 4 + C3, {}},
        {"DUA framer of 64",
         [&] { return Ac49xDuaFramerCommand(0, 2, nullptr, t.hdlc.data(), 64, TRANSFER_MEDIUM__HOST); }, 78, P,
         kHost, 0, 30 * 4 + C3, {}},
        {"events control",
         [&] { return Ac49xEventsControlCommand(0, 2, &t.events); }, 12, P, kHost, 0, 31 * 4 + C3, {}},
        {"NTP time stamp", [&] { return Ac49xNtpTimeStampCommand(0, 2, &t.ntp); }, 14, P, kHost, 0, 32 * 4 + C3, {}},
        {"video audio sync",
         [&] { return Ac49xVideoAudioSyncCommand(0, 2, &t.sync); }, 22, P, kHost, 0, 33 * 4 + C3, {}},
        {"G.729 EV rate", [&] { return Ac49xSetG729EvRateControl(0, 2, 3); }, 8, P, kHost, 0, 34 * 4 + C3, {}},
        {"3GPP Iub status", [&] { return Ac49xGet3GppIubStatus(0, 2); }, 6, P, kHost, 0, 35 * 4 + C3, {}},
        {"answering machine detection",
         [&] { return Ac49xAmdCommand(0, 2, &t.amd); }, 28, P, kHost, 0, 36 * 4 + C3, {}},
        {"RTCP XR Markov",
         [&] { return Ac49xGetRegularChannelRtcpXrMarkovModelStatisticsCommand(0, 2); }, 6, P, kHost, 0,
         37 * 4 + C3, {}},
        {"mediated RTCP XR Markov",
         [&] { return Ac49xGetMediatedChannelRtcpXrMarkovModelStatisticsCommand(0, 2); }, 6, P, kHost, 0,
         38 * 4 + C3, {}},
        {"RTCP XR voice quality",
         [&] { return Ac49xGetRegularChannelRtcpXrVoiceQualityStatisticsCommand(0, 2); }, 6, P, kHost, 0,
         40 * 4 + C3, {}},
        {"mediated RTCP XR voice quality",
         [&] { return Ac49xGetMediatedChannelRtcpXrVoiceQualityStatisticsCommand(0, 2); }, 6, P,
         kHost, 0, 39 * 4 + C3, {}},
        {"last CAS detection", [&] { return Ac49xGetLastCasDetectionCommand(0, 2); }, 6, P, kHost, 0, 41 * 4 + C3, {}},
        {"4-way status", [&] { return Ac49xGet4WayConferenceStatusCommand(0, 2); }, 6, P, kHost, 0, 42 * 4 + C3, {}},
        {"4-way details",
         [&] { return Ac49xGet4WayConferenceDetailsCommand(0, 2, 1); }, 8, P, kHost, 0, 43 * 4 + C3, {}},
        {"protection test of 300 and 2", [&] {
             return Ac49xProtectionTestCommand(0, 2, t.first.data(), 300, t.second.data(), 2);
         },
         312, P, kHost, 0, 48 * 4 + C3, {{6, {0x01, 0x2C, 0x00, 0x02}}, {309, {0x11, 0x22}}, {311, {0x22}}}},
        {"random number", [&] { return Ac49xGetRandomNumberCommand(0, 2); }, 6, P, kHost, 0, 49 * 4 + C3, {}},
        {"switch to modem",
         [&] { return Ac49xSwitchToModemCommand(0, 2, &t.modem); }, 18, P, kHost, 0, 50 * 4 + C3, {}},
        {"modem relay ended",
         [&] { return Ac49xModemRelayEndedCommand(0, 2, &t.modem); }, 18, P, kHost, 0, 51 * 4 + C3, {}},
        {"modem relay SSE", [&] { return Ac49xModemRelaySseCommand(0, 2, &t.sse); }, 8, P, kHost, 0, 52 * 4 + C3, {}},
    };
    ac49x_command("trace all");
    for (const Case& c : cases) {
        Log();
        ac49x_start_recording();
        g_hookMaxDepth = 0;
        EXPECT_EQ(c.send(), c.want) << c.what;
        EXPECT_EQ(g_hookDepth, 0) << c.what;
        ASSERT_EQ(g_ac49xRecorded.sent.size(), 1u) << c.what;
        const Bytes& p = g_ac49xRecorded.sent[0];
        EXPECT_EQ(p.size(), c.size) << c.what;
        ASSERT_GE(p.size(), 6u) << c.what;
        EXPECT_EQ(p[1], 2) << c.what;
        EXPECT_EQ(p[3] & 0x3F, c.protocol) << c.what;
        if (c.protocol == P) {
            EXPECT_EQ(p[4] >> 4, c.byte4) << c.what;
        } else if (c.byte4 >= 0) {
            EXPECT_EQ(p[4] & 7, c.byte4) << c.what;
        }
        if (c.byte5 >= 0) {
            EXPECT_EQ(p[5], c.byte5) << c.what;
        }
        for (const auto& [offset, bytes] : c.at)
            EXPECT_EQ(Slice(p, offset, bytes.size()), bytes) << c.what << " at " << offset;
        const std::string medium = c.network ? "network" : "host";
        EXPECT_NE(Log().find("dsp_in medium=" + medium + " ch=2 len=" + std::to_string(c.size) + " "), std::string::npos)
            << c.what;
    }
    ac49x_command("trace off");
}

TEST(Ac49x, FurtherBuildersRefuseWhatDoesNotFit)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Attrs t;
    Tac49xSetupChannelAttr& ch = t.ch;
    auto ibs0 = t.ibs, ibs1 = t.ibs, negative = t.ibs;
    ibs0.NumberOfSignals = AC49X_EXTENDED_IBS_FORMAT0_SIGNALS + 1;
    ibs1.NumberOfSignals = AC49X_EXTENDED_IBS_FORMAT1_SIGNALS + 1;
    negative.NumberOfSignals = -1;
    auto cas = t.cas;
    cas.NumberOfEntries = AC49X_CAS_STRING_ENTRIES + 1;
    auto iub = ch._3GppIubChannelConfiguration;
    iub.NumberOfTransportFormats = AC49X_3GPP_IUB_TRANSPORT_FORMATS + 1;
    auto up = ch._3GppUserPlaneInitializationConfiguration;
    up.NumberOfRfcis = AC49X_3GPP_USER_PLANE_RFCI_ENTRIES + 1;
    auto srtp = ch.SrtpProtectionConfiguration;
    srtp.MasterKeySize = AC49X_SRTP_MASTER_KEY_MAX + 1;
    auto cable = ch.PacketCableProtectionConfiguration;
    cable.RtpKeySize = AC49X_PACKET_CABLE_KEY_MAX + 1;
    auto app = t.app;
    app.DataLength = AC49X_RTCP_APP_DATA_MAX + 1;
    auto fsk = t.fsk;
    fsk.Message[1] = 255;  // names more than the message holds
    const auto unknownStandard = Dtmf(13, "A1C");
    const auto tooManyDigits = Dtmf(8, std::string(AC49X_EXTENDED_IBS_FORMAT1_SIGNALS + 1, '1'));
    Bytes big(AC49X_HPI_PACKET_SIZE, 0x7E);

    struct Case { const char* what; std::function<int()> send; int want; };
    const Case cases[] = {
        {"extended IBS format 0, 7 signals", [&] { return Ac49xSendExtendedIbsString(0, 2, &ibs0); }, -1},
        {"extended IBS format 1, 41 signals", [&] { return Ac49xSendExtendedIbsString_Format1(0, 2, &ibs1); }, -1},
        {"extended IBS, negative count", [&] { return Ac49xSendExtendedIbsString(0, 2, &negative); }, -1},
        {"CAS string of 33", [&] { return Ac49xSendCasString(0, 2, &cas); }, -1},
        {"3GPP Iub, 9 formats", [&] { return Ac49xActivate3GppIubChannelConfiguration(0, 2, &iub); }, -1},
        {"3GPP user plane, 18 RFCIs", [&] { return Ac49x3GppUserPlaneInitializationConfiguration(0, 2, &up); }, -1},
        {"SRTP key of 33", [&] { return Ac49xRegularChannelSrtpProtectionConfiguration(0, 2, &srtp); }, -1},
        {"PacketCable key of 129",
         [&] { return Ac49xRegularChannelPacketCableProtectionConfiguration(0, 2, &cable); }, -1},
        {"HDLC of 3003",
         [&] { return Ac49xSendHdlcFramerMessage(0, 2, nullptr, big.data(), 3003, TRANSFER_MEDIUM__HOST); }, -1},
        {"SS7 of 3003 in the caller's packet",
         [&] { return Ac49xSs7Mtp1Command(0, 2, big.data(), nullptr, 3003, TRANSFER_MEDIUM__HOST); }, -1},
        {"DUA of 65", [&] { return Ac49xDuaFramerCommand(0, 2, nullptr, big.data(), 65, TRANSFER_MEDIUM__HOST); }, -1},
        {"HDLC of -1",
         [&] { return Ac49xSendHdlcFramerMessage(0, 2, nullptr, big.data(), -1, TRANSFER_MEDIUM__HOST); }, -1},
        {"RTCP APP of 65", [&] { return Ac49xSendRegularRtcpAppCommand(0, 2, &app); }, -1},
        {"FSK caller ID whose length byte passes the message",
         [&] { return Ac49xSendCallerIdMessage(0, 2, &fsk); }, -1},
        {"DTMF caller ID of an unknown standard", [&] { return Ac49xSendCallerIdMessage(0, 2, &unknownStandard); },
         AC49X_CALLER_ID_UNKNOWN_STANDARD},
        {"DTMF caller ID of 41 digits", [&] { return Ac49xSendCallerIdMessage(0, 2, &tooManyDigits); }, -1},
        {"protection test of 1591",
         [&] { return Ac49xProtectionTestCommand(0, 2, big.data(), 1000, big.data(), 591); }, -1},
        {"protection test, negative length",
         [&] { return Ac49xProtectionTestCommand(0, 2, big.data(), -1, big.data(), 1); }, -1},
        {"playback voice of 3013", [&] { return Ac49xPlaybackPlayVoice(0, 2, big.data(), 3013); }, -1},
    };
    for (const Case& c : cases) {
        ac49x_start_recording();
        EXPECT_EQ(c.send(), c.want) << c.what;
        EXPECT_EQ(g_hookDepth, 0) << c.what;
        EXPECT_TRUE(g_ac49xRecorded.sent.empty()) << c.what;
    }
    // 1590 bytes of data fit the packet, but a 1600-byte packet is more than the host ring
    // takes: the transport says so, and the builder passes its word on.
    EXPECT_EQ(Ac49xProtectionTestCommand(0, 2, big.data(), 1000, big.data(), 590),
              AC49X_RESULT__PACKET_LONGER_THAN_RING);
}

TEST(Ac49x, DefaultChannelRecordsOfTheFurtherFamilies)
{
    Tac49xSetupChannelAttr ch{};
    ch.DeactivateDataRelay.ClearDownReason = 9;
    ch.ActivateFaxRelay.SwitchToFax = 1;
    Ac49xSetDefaultSetupChannelAttr(&ch);
    EXPECT_EQ(ch.DeactivateDataRelay.ClearDownReason, 5);
    EXPECT_EQ(ch.ActivateFaxRelay.SwitchToFax, 0);
    EXPECT_EQ(ch.SrtpProtectionConfiguration.MasterKeySize, 16);
    EXPECT_EQ(ch.ActivateOrUpdateAtm[1].Encoder, CODER__G711ALAW);
}

// The shared buffer is built only inside the command hook, and the hook is left on every way
// out; the DTMF caller ID holds it around the string sender, which takes it once more.
TEST(Ac49x, FurtherBuildersCommandHook)
{
    Ac49xSimBoard board;
    ASSERT_EQ(board.BootAndSetUp(), 0);
    Attrs t;
    const auto etsi = Dtmf(8, "A1C");
    const auto unknownStandard = Dtmf(13, "A1C");
    struct Case { const char* what; std::function<int()> send; int maxDepth; };
    const Case cases[] = {
        {"RFC 3558: local buffer, no hook",
         [&] { return Ac49xRfc3558InitializationConfiguration(0, 2, &t.ch.Rfc3558InitializationConfiguration); }, 0},
        {"ATM activate: local buffer in the hook",
         [&] { return Ac49xActivateAtmChannelConfiguration(0, 2, &t.ch.ActivateOrUpdateAtm[0]); }, 1},
        {"data relay deactivate", [&] { return Ac49xDeactivateDataRelayConfiguration(0, 2, &t.clear); }, 1},
        {"CAS string", [&] { return Ac49xSendCasString(0, 2, &t.cas); }, 1},
        {"playback end", [&] { return Ac49xPlaybackEnd(0, 2); }, 1},
        {"DTMF caller ID", [&] { return Ac49xSendCallerIdMessage(0, 2, &etsi); }, 2},
        {"DTMF caller ID of an unknown standard", [&] { return Ac49xSendCallerIdMessage(0, 2, &unknownStandard); }, 1},
    };
    for (const Case& c : cases) {
        g_hookMaxDepth = 0;
        c.send();
        EXPECT_EQ(g_hookMaxDepth, c.maxDepth) << c.what;
        EXPECT_EQ(g_hookDepth, 0) << c.what;
    }
}
