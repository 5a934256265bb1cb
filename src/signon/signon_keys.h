// Settings-store keys of sign-on: servers, subjects, intervals and retry settings. Sign-on writes
// them (the idle state writes its own command-connection subset); the timers, the NATS session and
// the reporting and configuration modules read them. Key headers name keys and nothing else, so
// any module may include them.
#pragma once

// Subject of the sign-on request. Firmware validation writes; sign-on reads.
inline constexpr const char* kKeySignonSubject = "signon_subject";

// Per-connection settings: prefix + field ("nats.natsConnectionInfoMSG.url"). Sign-on writes
// (idle: the CMD ones); the main and idle timers read.
inline constexpr const char* kKeyConnInfoMsgPrefix = "nats.natsConnectionInfoMSG.";
inline constexpr const char* kKeyConnInfoCmdPrefix = "nats.natsConnectionInfoCMD.";
inline constexpr const char* kKeyConnInfoEdgePrefix = "nats.natsConnectionInfoEDGE.";
inline constexpr const char* kKeyConnInfoUrl = "url";
inline constexpr const char* kKeyConnInfoPort = "port";
inline constexpr const char* kKeyConnInfoPingInterval = "pingIntervalInSeconds";
inline constexpr const char* kKeyConnInfoMaxPing = "maxPing";
inline constexpr const char* kKeyConnInfoTlsEnabled = "tlsEnabled";
inline constexpr const char* kKeyConnInfoAllow = "allow";

// Connection URLs ("nats://host:port" or "disabled"). Sign-on (idle: the command one) writes; the
// main or idle timer reads each once and removes it when its connection is up.
inline constexpr const char* kKeyNatsMsgUrl = "nats_msg_url";
inline constexpr const char* kKeyNatsCmdUrl = "nats_cmd_url";
inline constexpr const char* kKeyNatsEdgeUrl = "nats_edge_url";
// "yes" when the edge connection (and with it the DNS engine) is allowed. Sign-on writes; the
// health report reads.
inline constexpr const char* kKeyRunZunDns = "runzundns";

// Sign-on answer values. Sign-on writes; the diagnostics and reporting modules read.
inline constexpr const char* kKeySpeedServerIp = "speedServerIp";
inline constexpr const char* kKeyUserData = "userData";
inline constexpr const char* kKeyDnsMetricsInterval = "publishIntervalsInSeconds.dnsMetrics";
inline constexpr const char* kKeyTelemetryInterval = "publishIntervalsInSeconds.telemetry";
inline constexpr const char* kKeyEventRequestSubject = "nats.requestSubject.event";
inline constexpr const char* kKeyRetryMaxCount = "nats.retry.max_retry_count";
inline constexpr const char* kKeyRetryRequestTimeout = "nats.retry.request_timeout";

// Publish subjects. Sign-on writes (idle: configResponse and debugCLI); the publishers read.
inline constexpr const char* kKeyPubLog = "nats.publishSubject.log";
inline constexpr const char* kKeyPubConfigResponse = "nats.publishSubject.configResponse";
inline constexpr const char* kKeyPubFingerPrint = "nats.publishSubject.fingerPrint";
inline constexpr const char* kKeyPubTelemetry = "nats.publishSubject.telemetry";
inline constexpr const char* kKeyPubDns = "nats.publishSubject.dns";
inline constexpr const char* kKeyPubSpeedTest = "nats.publishSubject.speedTest";
inline constexpr const char* kKeyPubSpeedtestResult = "nats.publishSubject.speedtestResult";
inline constexpr const char* kKeyPubTraceRoute = "nats.publishSubject.traceRoute";
inline constexpr const char* kKeyPubPingIp = "nats.publishSubject.pingIP";
inline constexpr const char* kKeyPubDebugCli = "nats.publishSubject.debugCLI";
inline constexpr const char* kKeyPubDnsMetrics = "nats.publishSubject.dnsMetrics";
inline constexpr const char* kKeyPubAcsSurvey = "nats.publishSubject.acs_survey";
inline constexpr const char* kKeyPubAcsOptimize = "nats.publishSubject.acs_optimize";
inline constexpr const char* kKeyPubScanAndOptimizeWifi =
    "nats.publishSubject.scan_and_optimize_wifi";

// Subscribe-subject lists: base + ".count" and base + ".<i>". Sign-on writes (idle: debugCLI and
// debugFirmware); the configuration intake reads.
inline constexpr const char* kKeySubDebugFirmware = "nats.subscribeSubject.debugFirmware";
inline constexpr const char* kKeySubStableFirmware = "nats.subscribeSubject.stableFirmware";
inline constexpr const char* kKeySubImmediateFirmware = "nats.subscribeSubject.immediateFirmware";
inline constexpr const char* kKeySubBetaFirmware = "nats.subscribeSubject.betaFirmware";
inline constexpr const char* kKeySubDebugCli = "nats.subscribeSubject.debugCLI";
inline constexpr const char* kKeySubCommandGroup = "nats.subscribeSubject.commandGroup";
inline constexpr const char* kKeyListCountSuffix = ".count";
