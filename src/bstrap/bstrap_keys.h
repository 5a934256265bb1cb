// Settings-store keys of the bootstrap answer: each is also one line of the boot configuration
// file. Bootstrap (answer or prefetch) writes them; sign-on may rewrite the provisioning code; the
// idle state writes the connection keys for its own connection. Key headers name keys and nothing
// else, so any module may include them.
#pragma once

// Provisioning outcome ("MNGD.AGNT.PROV", ...). Bootstrap and sign-on write; bootstrap reads.
inline constexpr const char* kKeyProvisioningCode = "provisioningCode";
// Logical location of the router. Bootstrap and idle write; the reports read.
inline constexpr const char* kKeyLogicalLocation = "logicalLocation";
// Subscriber of the router. Bootstrap writes; the reports read.
inline constexpr const char* kKeySubscriberId = "subscriberId";
// The bootstrap messaging server. Bootstrap and idle write; the bootstrap connection reads.
inline constexpr const char* kKeyConnectionUrl = "connectionInfo.url";
inline constexpr const char* kKeyConnectionTlsEnabled = "connectionInfo.tlsEnabled";
// Attempts of the requests over the bootstrap connection. Bootstrap writes; firmware, sign-on read.
inline constexpr const char* kKeyConnectionMaxRetryCount = "connectionInfo.maxRetryCount";
// Subject of firmware validation. Bootstrap writes; firmware validation reads.
inline constexpr const char* kKeyConnectionSubject = "connectionInfo.subject";
inline constexpr const char* kKeyConnectionJournalSubject = "connectionInfo.journalSubject";
// Logical location in the idle state (optional). Bootstrap writes; idle reads.
inline constexpr const char* kKeyConnectionIdleDeviceSubject = "connectionInfo.idleDeviceSubject";
inline constexpr const char* kKeyConnectionSuspendedSubject =
    "connectionInfo.subscriptionSuspendedSubject";
// New bootstrap URL of an expired subscription. Bootstrap writes and reads.
inline constexpr const char* kKeyConnectionExpiredBootstrapUrl =
    "connectionInfo.subscriptionExpiredBootstrapUrl";
// "MIGRATION" or "CREATE" with the ACS and WAN keys below. Bootstrap writes and reads.
inline constexpr const char* kKeyWanConnection = "wanConnection";
inline constexpr const char* kKeyCwmpAcsUrl = "cwmpConfig.acsUrl";
inline constexpr const char* kKeyCwmpUsername = "cwmpConfig.username";
inline constexpr const char* kKeyCwmpPassword = "cwmpConfig.password";
inline constexpr const char* kKeyCwmpPeriodicInterval = "cwmpConfig.periodicInterval";
inline constexpr const char* kKeyWanMode = "wanConfig.mode";
inline constexpr const char* kKeyWanIpProtocolMode = "wanConfig.ipProtocolMode";
inline constexpr const char* kKeyWanIpMode = "wanConfig.ipMode";
inline constexpr const char* kKeyWanNatEnabled = "wanConfig.NATEnabled";
inline constexpr const char* kKeyWanVlanEnabled = "wanConfig.VLANEnabled";
inline constexpr const char* kKeyWanVlanId = "wanConfig.VLANId";
inline constexpr const char* kKeyWanPriority = "wanConfig.priority";
inline constexpr const char* kKeyWanMtu = "wanConfig.MTU";
inline constexpr const char* kKeyWanServiceMode = "wanConfig.serviceMode";
inline constexpr const char* kKeyWanStaticAddress = "wanConfig.static.externalIpAddress";
inline constexpr const char* kKeyWanStaticSubnetMask = "wanConfig.static.subnetMask";
inline constexpr const char* kKeyWanStaticGateway = "wanConfig.static.defaultGateway";
inline constexpr const char* kKeyWanStaticPrimaryDns = "wanConfig.static.primaryDNS";
inline constexpr const char* kKeyWanStaticSecondaryDns = "wanConfig.static.secondaryDNS";
inline constexpr const char* kKeyWanPppoeUsername = "wanConfig.PPPoE.username";
inline constexpr const char* kKeyWanPppoePassword = "wanConfig.PPPoE.password";
inline constexpr const char* kKeyWanPppoeServiceName = "wanConfig.PPPoE.serviceName";
inline constexpr const char* kKeyWanPppoeType = "wanConfig.PPPoE.PPPType";
