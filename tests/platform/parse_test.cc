// Record parsers of the Realtek backend with real-looking and malformed input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/realtek/driver_abi.h"
#include "platform/realtek/journal_parse.h"
#include "platform/realtek/neigh_parse.h"
#include "platform/realtek/rtl_internal.h"
#include "platform/realtek/stats_parse.h"
#include "platform/realtek/wlan_parse.h"

namespace rtl {
NeighborApRecord SurveyEntryToRecord(const uint8_t* entry, uint32_t band);
}

namespace {

const char kStats[] =
    "tx_packets: 1200\nrx_packets: 3400\ntx_bytes: 5000000000\nrx_bytes: 0x10\n"
    "tx_retrys: 7\ntx_fails: 2\nrx_errors: 1\ntx_ucast_pkts: 11\nrx_ucast_pkts: 12\n"
    "tx_mcast_pkts: 13\nrx_mcast_pkts: 14\ntx_bcast_pkts: 15\nrx_bcast_pkts: 16\n"
    "tx_avarage: 100\nrx_avarage: 200\ngarbage line without separator\ntx_bytes_extra: 99\n";

TEST(WlanStats, SixtyFourBitCountersInFieldOrder) {
  uint64_t c[kWlanCounterCount];
  std::memset(c, 0xff, sizeof c);
  rtl::ParseWlanStats(kStats, c);
  EXPECT_EQ(c[WLC_BYTES_SENT], 5000000000ULL);  // past 2^31: no saturation
  EXPECT_EQ(c[WLC_BYTES_RECEIVED], 16u);        // base from the text
  EXPECT_EQ(c[WLC_PACKETS_SENT], 1200u);
  EXPECT_EQ(c[WLC_PACKETS_RECEIVED], 3400u);
  EXPECT_EQ(c[WLC_RETRANS], 7u);
  EXPECT_EQ(c[WLC_FAILED_RETRANS], 2u);
  EXPECT_EQ(c[WLC_ERRORS_RECEIVED], 1u);
  EXPECT_EQ(c[WLC_UNICAST_SENT], 11u);
  EXPECT_EQ(c[WLC_BROADCAST_RECEIVED], 16u);
  EXPECT_EQ(c[WLC_RETRY], 0u);  // not in the file: cleared
  EXPECT_EQ(c[WLC_UNKNOWN_RECEIVED], 0u);
  EXPECT_EQ(rtl::StatsValue(kStats, "tx_bytes"), 5000000000ULL);
  EXPECT_EQ(rtl::StatsValue(kStats, "tx_bytes_x"), 0u);
  EXPECT_EQ(rtl::StatsValue("tx_bytes: -5\n", "tx_bytes"), 0u);
  EXPECT_EQ(rtl::StatsValue("tx_bytes: 99999999999999999999999\n", "tx_bytes"), 0u);
}

const char kStaInfo[] =
    "-- STA info table -- (active: 3)\n"
    "1: stat_info...\n"
    "    hwaddr: 025a000000a1\n    tx_bytes: 4000000000\n    rx_bytes: 3400\n"
    "    tx_pkts2: 12\n    rx_pkts: 34\n    rssi: 62\n    snr: 30\n"
    "    current_tx_rate: MCS7 72\n    current_rx_rate: 54\n"
    "    link_time: 1 day 2 hr 3 min 4 sec\n    expired_time: 30000\n"
    "2: stat_info...\n"
    "    hwaddr: 025a000000a2\n    current_tx_rate: VHT NSS2-MCS9 866\n"
    "    current_rx_rate: MCS15 300\n    link_time: 0 day 0 hr 0 min 9 sec\n"
    "3: stat_info...\n"
    "    hwaddr: not-a-mac\n    tx_bytes: 5\n";

TEST(StaInfo, StationsRatesAndLinkTime) {
  EXPECT_EQ(rtl::CountStaInfo(kStaInfo), 3u);
  auto s = rtl::ParseStaInfo(kStaInfo, 3);
  ASSERT_EQ(s.size(), 2u);  // the malformed block is not reported as an empty record
  EXPECT_STREQ(s[0].mac, "02:5a:00:00:00:a1");
  EXPECT_STREQ(s[0].ip, "NA");
  EXPECT_EQ(s[0].txBytes, 4000000000ULL);
  EXPECT_EQ(s[0].rxBytes, 3400u);
  EXPECT_EQ(s[0].txPackets, 12u);
  EXPECT_EQ(s[0].rxPackets, 34u);
  EXPECT_EQ(s[0].rssi, -38);
  EXPECT_EQ(s[0].snr, 30);
  EXPECT_EQ(s[0].txMcs, 7);
  EXPECT_EQ(s[0].txRate, 72);
  EXPECT_EQ(s[0].rxMcs, 0);
  EXPECT_EQ(s[0].rxRate, 54);
  EXPECT_EQ(s[0].connectedSeconds, 93784u);
  EXPECT_EQ(s[0].expiredTime, 30000u);
  EXPECT_EQ(s[1].txMcs, 9);
  EXPECT_EQ(s[1].txRate, 866);
  EXPECT_EQ(s[1].rxMcs, 15);
  EXPECT_EQ(s[1].rxRate, 300);
  EXPECT_EQ(s[1].connectedSeconds, 9u);
}

TEST(StaInfo, CountLimitsAndShortFiles) {
  // Fewer blocks than the count read earlier: only the stations present.
  EXPECT_EQ(rtl::ParseStaInfo(kStaInfo, 10).size(), 2u);
  EXPECT_EQ(rtl::ParseStaInfo(kStaInfo, 1).size(), 1u);
  EXPECT_TRUE(rtl::ParseStaInfo("-- STA info table -- (active: 0)\n", 4).empty());
  EXPECT_TRUE(rtl::ParseStaInfo("", 4).empty());
  int32_t mcs = -1, rate = -1;
  rtl::ParseRate("", &mcs, &rate);
  EXPECT_EQ(mcs, 0);
  EXPECT_EQ(rate, 0);
  rtl::ParseRate("VHT", &mcs, &rate);
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(rtl::ParseLinkTime("3 min"), 180u);
  EXPECT_EQ(rtl::ParseLinkTime("junk"), 0u);
}

TEST(DriverCodes, StandardSecurityWidthBand) {
  EXPECT_EQ(rtl::StandardFromBand(11), 7u);
  EXPECT_EQ(rtl::StandardFromBand(76), 11u);
  EXPECT_EQ(rtl::StandardFromBand(5), 0u);
  struct Case {
    uint32_t enc, psk, wpa, wpa2, encryption, security;
  } cases[] = {{0, 9, 9, 9, 0, 1}, {1, 0, 0, 0, 0, 2}, {5, 0, 0, 0, 0, 3}, {2, 1, 2, 0, 1, 4},
               {2, 1, 8, 0, 2, 4}, {4, 2, 0, 8, 2, 5}, {4, 2, 0, 2, 1, 5}, {4, 3, 2, 2, 1, 6},
               {4, 3, 8, 8, 2, 6}, {4, 3, 2, 8, 3, 6}, {2, 1, 8, 8, 0, 0}};
  for (const auto& c : cases) {
    uint32_t e = 99, s = 99;
    rtl::EncryptionAndSecurity(c.enc, c.psk, c.wpa, c.wpa2, &e, &s);
    EXPECT_EQ(e, c.encryption) << c.enc << " " << c.psk << " " << c.wpa << " " << c.wpa2;
    EXPECT_EQ(s, c.security) << c.enc << " " << c.psk << " " << c.wpa << " " << c.wpa2;
  }
  EXPECT_EQ(rtl::ChannelWidthFromUse40M(0), 1u);
  EXPECT_EQ(rtl::ChannelWidthFromUse40M(2), 3u);
  EXPECT_EQ(rtl::ChannelWidthFromUse40M(7), 0u);
  EXPECT_EQ(rtl::BandFromChannel(0), 0u);
  EXPECT_EQ(rtl::BandFromChannel(14), 1u);
  EXPECT_EQ(rtl::BandFromChannel(36), 2u);
  EXPECT_EQ(rtl::OperModeFromOpmode(8), 2u);
}

TEST(Neighbours, ArpTableAndIpNeighbour) {
  const std::string arp =
      "IP address       HW type     Flags       HW address            Mask     Device\n"
      "192.168.1.23     0x1         0x2         02:5a:00:00:00:17     *        br0\n"
      "fe80::1234:5678:9abc:def0 0x1 0x2 02:5a:00:00:00:18 * br0\n"
      "192.168.1.99     0x1         0x0         00:00:00:00:00:00     *        br0\n" +
      std::string(300, 'x') + " 0x1 0x2 aa * br0\n" +
      "10.0.0.1 0x1\n"
      "192.168.1.50     0x1         0x2         02:5a:00:00:00:50     *        br0\n";
  auto lines = rtl::ParseProcNetArp(arp);
  ASSERT_EQ(lines.size(), 2u);  // IPv6 and over-long fields skipped; the short line ends the walk
  EXPECT_EQ(lines[0].ip, "192.168.1.23");
  EXPECT_EQ(lines[0].flags, 2u);
  EXPECT_EQ(lines[0].mac, "02:5a:00:00:00:17");
  EXPECT_EQ(lines[0].device, "br0");
  EXPECT_EQ(lines[1].flags, 0u);

  const char neigh[] =
      "fe80::1234:5678:9abc:def0 dev br0 lladdr 02:5a:00:00:00:18 REACHABLE\n"
      "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff dev br0 lladdr 02:5a:00:00:00:19 STALE\n"
      "192.168.1.23 dev br0 lladdr 02:5a:00:00:00:17 REACHABLE \n"
      "192.168.1.99 dev br0 INCOMPLETE \n"
      "192.168.1.24 dev br0 lladdr 02:5a:00:00:00:24 router STALE\n";
  auto table = rtl::ParseIpNeighbor(neigh);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(rtl::NeighStateOf(table, "192.168.1.23"), "REACHABLE");
  EXPECT_EQ(rtl::NeighStateOf(table, "192.168.1.24"), "STALE");
  EXPECT_FALSE(rtl::NeighStateOf(table, "192.168.1.99"));
}

TEST(Neighbours, HostNamesMatchTheWholeAddress) {
  const char hosts[] =
      "192.168.1.10 02:5a:00:00:00:10 laptop\n"
      "192.168.1.1 02:5a:00:00:00:01 router\n"
      "192.168.1.2 02:5a:00:00:00:02\n";
  EXPECT_EQ(rtl::HostNameFor(hosts, "192.168.1.1"), "router");
  EXPECT_EQ(rtl::HostNameFor(hosts, "192.168.1.10"), "laptop");
  EXPECT_EQ(rtl::HostNameFor(hosts, "192.168.1.2"), "");
  EXPECT_EQ(rtl::HostNameFor(hosts, "192.168.1."), "");
  std::string longName(200, 'h');
  EXPECT_EQ(rtl::HostNameFor("10.0.0.1 m " + longName + "\n", "10.0.0.1").size(), 63u);
}

TEST(Fingerprints, LookupRewriteAndBound) {
  std::string file = "02:5a:00:00:00:aa 1 4 3 0\n02:5A:00:00:00:BB 2 0 1 0\n";
  auto fp = rtl::FingerprintOf(file, "02:5a:00:00:00:bb");
  ASSERT_TRUE(fp);
  EXPECT_EQ(fp->deviceType, 2u);
  EXPECT_EQ(fp->osType, 1u);
  EXPECT_FALSE(rtl::FingerprintOf(file, "02:5a:00:00:00:cc"));
  rtl::Fingerprint phone{1, 6, 4, 0};
  std::string rewritten = rtl::FingerprintRewrite(file, "02:5a:00:00:00:aa", phone, 512);
  EXPECT_EQ(rewritten, "02:5A:00:00:00:BB 2 0 1 0\n02:5a:00:00:00:aa 1 6 4 0\n");
  std::string grown;
  for (int i = 0; i < 20; ++i) {
    grown = rtl::FingerprintRewrite(grown, "02:00:00:00:00:" + std::to_string(10 + i), phone, 8);
  }
  EXPECT_EQ(std::count(grown.begin(), grown.end(), '\n'), 8);
  EXPECT_EQ(grown.substr(0, 17), "02:00:00:00:00:22");  // the oldest lines went first
  EXPECT_STREQ(rtl::OsName(4), "ANDROID");
  EXPECT_STREQ(rtl::OsName(77), "OTHERS");
  EXPECT_STREQ(rtl::BrandName(18), "OPPO");
  EXPECT_STREQ(rtl::ModelName(4), "MI4LTE");
  EXPECT_STREQ(rtl::DeviceTypeName(2), "COMPUTER");
}

TEST(MacForms, NormalisedToColonForm) {
  EXPECT_EQ(rtl::CanonicalMac("00-11-22-33-44-55"), "00:11:22:33:44:55");
  EXPECT_EQ(rtl::CanonicalMac("001122AABBCC"), "00:11:22:aa:bb:cc");
  EXPECT_EQ(rtl::CanonicalMac("00:11:22:33:44"), "");
  EXPECT_EQ(rtl::CanonicalMac("00:11:22:33:44:55; reboot"), "");
  EXPECT_EQ(rtl::CanonicalMac(nullptr), "");
  uint8_t b[6];
  EXPECT_TRUE(rtl::ParseColonMac("0a:0B:0c:0d:0e:0f", b));
  EXPECT_EQ(b[1], 0x0b);
  EXPECT_FALSE(rtl::ParseColonMac("0a-0b-0c-0d-0e-0f", b));
  EXPECT_TRUE(rtl::IsSafeIfName("wlan0-vap1"));
  EXPECT_FALSE(rtl::IsSafeIfName("wlan0 up"));
  EXPECT_FALSE(rtl::IsSafeIfName("-h"));
  EXPECT_FALSE(rtl::IsSafeIfName("averyveryverylongname"));
  EXPECT_EQ(rtl::WanIfNameFromIndex(130816), "nas0_0");
  EXPECT_EQ(rtl::WanIfNameFromIndex(65535), "");
  EXPECT_EQ(rtl::WanIfNameFromIndex(0x0100), "ppp1");
  EXPECT_EQ(rtl::WanIfNameFromIndex(0xFF05), "vc5");
  EXPECT_EQ(rtl::WanIfNameFromIndex(0x2FF03), "ipip3");
}

TEST(SystemStats, CpuMemoryUptime) {
  rtl::CpuSample a, b;
  ASSERT_TRUE(rtl::ParseCpuLine("cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 1\n", &a));
  EXPECT_EQ(a.total, 1000u);
  ASSERT_TRUE(rtl::ParseCpuLine("cpu  3000000000 0 1000000000 4000000000 0 0 0 0\n", &b));
  EXPECT_EQ(b.total, 8000000000ULL);
  EXPECT_EQ(rtl::CpuPercent(a, b), 50u);
  EXPECT_EQ(rtl::CpuPercent(b, b), 0u);  // equal totals
  EXPECT_EQ(rtl::CpuPercent(b, a), 0u);  // counters went back
  EXPECT_FALSE(rtl::ParseCpuLine("cpu0 1 2 3\n", &a));
  EXPECT_FALSE(rtl::ParseCpuLine("cpu 1 2 3\n", &a));
  auto mem = rtl::ParseMemInfo(
      "MemTotal:         249856 kB\nMemFree:           98304 kB\nBuffers:            4096 kB\n"
      "Cached:            65536 kB\nShmem: 1024 kB\n");
  EXPECT_EQ(mem.total, 249856u);
  EXPECT_EQ(mem.free, 98304u + 4096u + 65536u);
  EXPECT_EQ(rtl::ParseUptime("12345.67 890.12\n"), 12345u);
  EXPECT_EQ(rtl::ParseUptime(""), 0u);
}

TEST(SystemStats, FirmwareMemoryCpuinfoVersionAndPppoe) {
  EXPECT_EQ(rtl::AvailableMemoryKb("MemTotal: 60000 kB\nMemFree: 20000 kB\nBuffers: 1000 kB\n"),
            21000);
  // A file whose sum does not fit is read as all the memory there is, not as a negative amount
  // (that would refuse every update) or a signed overflow.
  EXPECT_EQ(rtl::AvailableMemoryKb("MemFree: 9223372036854775807 kB\nBuffers: 4096 kB\n"),
            INT64_MAX);
  EXPECT_EQ(rtl::AvailableMemoryKb("MemFree: -5 kB\n"), 0);
  EXPECT_EQ(rtl::BogoMips("processor\t: 0\nBogoMIPS\t: 598.01\n"), "598.01");
  EXPECT_EQ(rtl::BogoMips("processor\t: 0\n"), "");
  std::string version, built;
  rtl::SplitVersionLine("V2.1.9 -- Mon Jan 1 00:00:00 UTC 2024\nsecond line\n", &version, &built);
  EXPECT_EQ(version, "V2.1.9");
  EXPECT_EQ(built, "Mon Jan 1 00:00:00 UTC 2024");
  rtl::SplitVersionLine("V2.2.0\n", &version, &built);
  EXPECT_EQ(built, "");
  EXPECT_EQ(rtl::PppoeLowerInterface("ETH=nas0_0\nPPPOE nas0_0 ppp0\n"), "nas0_0");
  EXPECT_EQ(rtl::PppoeLowerInterface("one line only\n"), "");
}

TEST(Journal, SyslogDatagrams) {
  JournalRecord r{};
  ASSERT_TRUE(rtl::ParseSyslogDatagram("<11>myprog: a message\n", &r));
  EXPECT_STREQ(r.source, "/dev/log");
  EXPECT_STREQ(r.severity, "err");
  EXPECT_STREQ(r.module, "myprog");
  EXPECT_STREQ(r.processId, "NA");
  EXPECT_STREQ(r.log, " a message");

  ASSERT_TRUE(rtl::ParseSyslogDatagram("<30>Jan  5 10:20:30 dnsmasq[123]: query", &r));
  EXPECT_STREQ(r.severity, "info");
  EXPECT_STREQ(r.module, "dnsmasq");
  EXPECT_STREQ(r.processId, "123");
  EXPECT_STREQ(r.log, " query");

  ASSERT_TRUE(rtl::ParseSyslogDatagram("word", &r));
  EXPECT_STREQ(r.severity, "notice");
  EXPECT_STREQ(r.module, "NA");
  EXPECT_STREQ(r.log, "word");

  ASSERT_TRUE(rtl::ParseSyslogDatagram("<14>a\tb\rc\nd", &r));
  EXPECT_STREQ(r.log, "a\tb^Mc d");
  ASSERT_TRUE(rtl::ParseSyslogDatagram("<0>kernel: x", &r));
  EXPECT_STREQ(r.severity, "user");
  ASSERT_TRUE(rtl::ParseSyslogDatagram("<99999>x", &r));
  EXPECT_STREQ(r.severity, "notice");
  ASSERT_TRUE(rtl::ParseSyslogDatagram("<100>x", &r));
  EXPECT_STREQ(r.severity, "<100>");
  ASSERT_TRUE(rtl::ParseSyslogDatagram(std::string_view("<9>first: a\0<12>second[7]: b", 28), &r));
  EXPECT_STREQ(r.module, "second");
  EXPECT_STREQ(r.severity, "warn");
  ASSERT_TRUE(rtl::ParseSyslogDatagram(" spaced: text", &r));
  EXPECT_STREQ(r.module, "NA");
  EXPECT_STREQ(r.log, " spaced: text");
  EXPECT_FALSE(rtl::ParseSyslogDatagram(std::string_view("\n\0\0", 3), &r));
  std::string huge(600, 'z');
  ASSERT_TRUE(rtl::ParseSyslogDatagram(huge, &r));
  EXPECT_EQ(std::strlen(r.log), sizeof r.log - 1);
}

TEST(SiteSurvey, EntryWithFullLengthSsid) {
  uint8_t e[rtl::kSurveyEntrySize] = {};
  const uint8_t bssid[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
  std::memcpy(e + rtl::kSurveyBssidOff, bssid, 6);
  e[rtl::kSurveySsidLenOff] = 200;  // a length the entry cannot hold
  std::memset(e + rtl::kSurveySsidOff, 'N', rtl::kSurveySsidMax);
  std::memset(e + rtl::kSurveyChannelOff, 0x7f, 1);  // the byte right after the SSID
  e[rtl::kSurveyChannelOff] = 11;
  uint16_t beacon = 100;
  std::memcpy(e + rtl::kSurveyBeaconOff, &beacon, 2);
  e[rtl::kSurveyDtimOff] = 3;
  e[rtl::kSurveySignalOff] = 45;
  uint32_t infra = 1;
  std::memcpy(e + rtl::kSurveyNetworkTypeOff, &infra, 4);
  NeighborApRecord r = rtl::SurveyEntryToRecord(e, 1);
  EXPECT_EQ(std::string(r.ssid), std::string(32, 'N'));
  EXPECT_STREQ(r.bssid, "02:aa:bb:cc:dd:ee");
  EXPECT_EQ(r.channel, 11);
  EXPECT_EQ(r.beaconPeriod, 100u);
  EXPECT_EQ(r.dtimPeriod, 3u);
  EXPECT_EQ(r.rssi, -55);
  EXPECT_EQ(r.mode, 2u);
  EXPECT_EQ(r.band, 1u);
}

}  // namespace
