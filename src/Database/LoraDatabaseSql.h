// The statement texts of the network database, kept apart from the code that binds them. Internal
// to src/Database; every "?n" is bound by the caller, nothing here is built from outside text.
#pragma once

#include <string>

namespace lora_sql {

// The one-row version table, created before the schema script.
inline constexpr const char* kSchemaTable =
    "DROP TABLE IF EXISTS schema; "
    "CREATE TABLE schema (version CHAR[5] NOT NULL); "
    "INSERT INTO schema (version) VALUES ('17');";

// Drops and recreates every table of version 17. end_devices carries the extra column jointime
// (written when a device joins), and the table ranges holds address ranges.
inline constexpr const char* kSchemaScript =
    "DROP TABLE IF EXISTS gateways; "
    "CREATE TABLE gateways (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, gateway_eui TEXT NOT "
    "NULL, protocol_version INTEGER NOT NULL, ip_address TEXT NOT NULL, ip_port TEXT NOT NULL, "
    "last_seen TEXT NOT NULL, device_count INTEGER, latitude FLOAT, longitude FLOAT, altitude "
    "FLOAT, created_at TEXT NOT NULL); "
    "CREATE UNIQUE INDEX gateway_eui ON gateways (gateway_eui); "
    "CREATE INDEX gateway_ip_address ON gateways (ip_address); "

    "DROP TABLE IF EXISTS end_devices; "
    "CREATE TABLE end_devices (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_eui TEXT NOT "
    "NULL, serial_number TEXT DEFAULT '', product_id TEXT DEFAULT '', hardware_version TEXT "
    "DEFAULT '', firmware_version TEXT DEFAULT '', name TEXT DEFAULT '', tags TEXT DEFAULT '', "
    "class TEXT NOT NULL DEFAULT 'A', lorawan_version TEXT NOT NULL DEFAULT '1.0', rejoin_count "
    "INTEGER DEFAULT 0, rx1_delay INTEGER DEFAULT 1, rx1_datarate_offset INTEGER DEFAULT 0, "
    "rx2_datarate_index INTEGER DEFAULT 0, rx2_frequency FLOAT DEFAULT 0, channel_mask TEXT, "
    "redundancy UNSIGNED SHORT INTEGER DEFAULT 1, max_duty_cycle UNSIGNED SHORT INTEGER DEFAULT 0, "
    "downlink_dwell_time UNSIGNED SHORT INTEGER DEFAULT 0, uplink_dwell_time UNSIGNED SHORT "
    "INTEGER DEFAULT 0, max_eirp UNSIGNED SHORT INTEGER, uplink_channels TEXT, downlink_channels "
    "TEXT, adr_ack_limit INTEGER DEFAULT 64, adr_ack_delay INTEGER DEFAULT 32, "
    "ping_slot_periodicity INTEGER DEFAULT 0, ping_slot_datarate INTEGER DEFAULT 0, "
    "ping_slot_frequency FLOAT DEFAULT 0, created_at TEXT NOT NULL, jointime TEXT); "
    "CREATE UNIQUE INDEX device_eui ON end_devices (device_eui); "

    "DROP TABLE IF EXISTS nonces; "
    "CREATE TABLE nonces (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_id INTEGER, nonce "
    "INTEGER, count_seen INTEGER, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL); "
    "CREATE INDEX nonces_device ON nonces (device_id); "

    "DROP TABLE IF EXISTS uplink_packets; "
    "CREATE TABLE uplink_packets (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_id "
    "INTEGER, gateway_id INTEGER, session_id INTEGER, protocol_version UNSIGNED SHORT INTEGER, "
    "rx_time TEXT, tmst TEXT, frequency FLOAT, channel UNSIGNED SHORT INTEGER, rf_chain UNSIGNED "
    "SHORT INTEGER, modulation TEXT, datarate TEXT, coderate TEXT, rssi INTEGER, snr FLOAT, "
    "data_size UNSIGNED SHORT INTEGER, major_version UNSIGNED SHORT INTEGER, message_type "
    "UNSIGNED SHORT INTEGER, dev_addr UNSIGNED INTEGER, control UNSIGNED SHORT INTEGER, counter "
    "UNSIGNED INTEGER, commands TEXT, port UNSIGNED SHORT INTEGER, data TEXT, mic TEXT, created_at "
    "TEXT NOT NULL); "
    "CREATE INDEX uplink_packet_device ON uplink_packets (device_id); "
    "CREATE INDEX uplink_packet_gateway ON uplink_packets (gateway_id); "
    "CREATE INDEX uplink_packet_session ON uplink_packets (session_id); "
    "CREATE INDEX uplink_packet_tmst ON uplink_packets (tmst); "
    "CREATE INDEX uplink_packet_dev_addr ON uplink_packets (dev_addr); "

    "DROP TABLE IF EXISTS downlink_queue; "
    "CREATE TABLE downlink_queue (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_id "
    "INTEGER, device_eui TEXT, data_size UNSIGNED SHORT INTEGER, port UNSIGNED SHORT INTEGER, data "
    "TEXT, priority UNSIGNED SHORT INTEGER, ack UNSIGNED SHORT INTEGER, rx_window UNSIGNED SHORT "
    "INTEGER, retry_max UNSIGNED SHORT INTEGER, retry_count UNSIGNED SHORT INTEGER, created_at "
    "TEXT NOT NULL); "
    "CREATE INDEX downlink_queue_device_id ON downlink_queue (device_id); "
    "CREATE INDEX downlink_queue_device_eui ON downlink_queue (device_eui); "

    "DROP TABLE IF EXISTS downlink_packets; "
    "CREATE TABLE downlink_packets (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_id "
    "INTEGER, gateway_id INTEGER, session_id INTEGER, protocol_version UNSIGNED SHORT INTEGER, "
    "tx_time TEXT, tmst TEXT, frequency FLOAT, tx_power INTEGER, rf_chain UNSIGNED SHORT INTEGER, "
    "modulation TEXT, datarate TEXT, coderate TEXT, data_size UNSIGNED SHORT INTEGER, "
    "major_version UNSIGNED SHORT INTEGER, message_type UNSIGNED SHORT INTEGER, dev_addr UNSIGNED "
    "INTEGER, control UNSIGNED SHORT INTEGER, counter UNSIGNED INTEGER, commands TEXT, port "
    "UNSIGNED SHORT INTEGER, data TEXT, mic TEXT, rx_window UNSIGNED SHORT INTEGER, "
    "rx_ack_received UNSIGNED SHORT INTEGER, tx_ack_received UNSIGNED SHORT INTEGER, created_at "
    "TEXT NOT NULL); "
    "CREATE INDEX downlink_packet_device ON downlink_packets (device_id); "
    "CREATE INDEX downlink_packet_gateway ON downlink_packets (gateway_id); "
    "CREATE INDEX downlink_packet_session ON downlink_packets (session_id); "
    "CREATE INDEX downlink_packet_tmst ON downlink_packets (tmst); "
    "CREATE INDEX downlink_packet_dev_addr ON downlink_packets (dev_addr); "

    "DROP TABLE IF EXISTS sessions; "
    "CREATE TABLE sessions (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, device_id INTEGER, "
    "join_eui TEXT, app_eui TEXT, dev_addr UNSIGNED INTEGER, net_id UNSIGNED INTEGER, "
    "app_senc_key TEXT, fnwk_sint_key TEXT, snwk_sint_key TEXT, nwk_senc_key TEXT, js_enc_key "
    "TEXT, js_int_key TEXT, up_counter INTEGER DEFAULT 0, nwk_down_counter INTEGER DEFAULT 0, "
    "app_down_counter INTEGER DEFAULT 0, tx_power UNSIGNED SHORT INTEGER DEFAULT 0, tx_datarate "
    "UNSIGNED SHORT INTEGER DEFAULT 0, rx1_delay UNSIGNED SHORT INTEGER DEFAULT 1, "
    "rx1_datarate_offset UNSIGNED SHORT INTEGER DEFAULT 0, rx2_datarate_index UNSIGNED SHORT "
    "INTEGER DEFAULT 0, rx2_frequency FLOAT, channel_mask TEXT, redundancy UNSIGNED SHORT INTEGER "
    "DEFAULT 1, max_duty_cycle UNSIGNED SHORT INTEGER DEFAULT 0, downlink_dwell_time UNSIGNED "
    "SHORT INTEGER DEFAULT 0, uplink_dwell_time UNSIGNED SHORT INTEGER DEFAULT 0, max_eirp "
    "UNSIGNED SHORT INTEGER, uplink_channels TEXT, downlink_channels TEXT, adr_ack_limit UNSIGNED "
    "SHORT INTEGER, adr_ack_delay UNSIGNED SHORT INTEGER, ping_slot_periodicity INTEGER DEFAULT 0, "
    "ping_slot_datarate INTEGER DEFAULT 0, ping_slot_frequency FLOAT DEFAULT 0, status_battery "
    "UNSIGNED SHORT INTEGER DEFAULT 0, status_snr SHORT INTEGER DEFAULT 0, remote_join SHORT "
    "INTEGER DEFAULT 0, created_at TEXT NOT NULL); "
    "CREATE INDEX session_device ON sessions (device_id); "
    "CREATE INDEX session_dev_addr ON sessions (dev_addr); "

    "DROP TABLE IF EXISTS groups; "
    "CREATE TABLE groups (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, group_eui TEXT NOT NULL, "
    "dev_addr UNSIGNED INTEGER, net_id UNSIGNED SHORT INTEGER, app_senc_key TEXT, fnwk_sint_key "
    "TEXT, snwk_sint_key TEXT, nwk_senc_key TEXT, app_down_counter INTEGER DEFAULT 0, "
    "rx2_datarate_index INTEGER DEFAULT 0, rx2_frequency FLOAT DEFAULT 0, created_at TEXT NOT "
    "NULL); "
    "CREATE UNIQUE INDEX group_eui ON groups (group_eui); "
    "CREATE INDEX group_dev_addr ON groups (dev_addr); "

    "DROP TABLE IF EXISTS group_gateways; "
    "CREATE TABLE group_gateways (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, group_id "
    "INTEGER, gateway_id INTEGER); "
    "CREATE INDEX group_gateway_group ON group_gateways (group_id); "
    "CREATE INDEX group_gateway_gateway ON group_gateways (gateway_id); "

    "DROP TABLE IF EXISTS network_statistics; "
    "CREATE TABLE network_statistics (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, mic_fails "
    "UNSIGNED INTEGER, crc_errors UNSIGNED INTEGER, join_requests INTEGER, join_requests_ok "
    "INTEGER, join_requests_nok_mic INTEGER, join_requests_nok_unknown INTEGER, join_dups UNSIGNED "
    "INTEGER, join_1st_wnd UNSIGNED INTEGER, join_2nd_wnd UNSIGNED INTEGER, join_dropped UNSIGNED "
    "INTEGER, pkt_down UNSIGNED INTEGER, pkt_up UNSIGNED INTEGER, pkt_dup UNSIGNED INTEGER, "
    "pkt_1st_wnd UNSIGNED INTEGER, pkt_2nd_wnd UNSIGNED INTEGER, pkt_dropped UNSIGNED INTEGER, "
    "tx_1st_wnd UNSIGNED INTEGER, tx_2nd_wnd UNSIGNED INTEGER, tx_ack_pkts UNSIGNED INTEGER, "
    "tx_ack_dups UNSIGNED INTEGER, created_at TEXT NOT NULL); "
    "INSERT INTO network_statistics VALUES (NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
    "0, 0, 0, 0, CURRENT_TIMESTAMP); "

    "DROP TABLE IF EXISTS gateway_statistics; "
    "CREATE TABLE gateway_statistics (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, gateway_id "
    "INTEGER, uplinks INTEGER, uplinks_ok INTEGER, uplinks_nok_mic INTEGER, uplinks_nok_unknown "
    "INTEGER, uplinks_missed INTEGER, downlinks INTEGER, downlinks_ack_requested INTEGER, "
    "downlinks_ack_missed INTEGER, rx_count INTEGER, rx_ok INTEGER, rx_forwarded INTEGER, ack_rate "
    "FLOAT, downlink_count INTEGER, tx_count INTEGER); "
    "CREATE UNIQUE INDEX gateway_statistic_gateway ON gateway_statistics (gateway_id); "

    "DROP TABLE IF EXISTS ranges; "
    "CREATE TABLE ranges (start INTEGER NOT NULL, size INTEGER NOT NULL); "
    "CREATE UNIQUE INDEX range_start ON ranges (start);";

// For version-17 files written without the ranges table.
inline constexpr const char* kRangesTable =
    "CREATE TABLE IF NOT EXISTS ranges (start INTEGER NOT NULL, size INTEGER NOT NULL); "
    "CREATE UNIQUE INDEX IF NOT EXISTS range_start ON ranges (start);";

inline constexpr const char* kOldNodesQuery =
    "SELECT address, nodes.appeui, nodes.deveui, authenticationkey, encryptionkey, "
    "lastdownmsgseqno, lastmessagems, packets.seqno as lastupseqno, jointime, class, "
    "appkeys.appkey "
    "as appkey FROM nodes JOIN packets ON packets.node = nodes.address LEFT JOIN appkeys ON "
    "appkeys.deveui == nodes.deveui AND appkeys.appeui == nodes.appeui;";

inline constexpr const char* kDropOldTables =
    "DROP TABLE IF EXISTS nodes; DROP TABLE IF EXISTS appkeys; DROP TABLE IF EXISTS network; DROP "
    "TABLE IF EXISTS packets; DROP TABLE IF EXISTS statistics; ";

inline constexpr const char* kDeleteBadDevices =
    "DELETE FROM end_devices WHERE id IN (SELECT device_id FROM sessions WHERE dev_addr = "
    "4294967295); DELETE FROM sessions WHERE dev_addr = 4294967295;";

// end_devices columns that JSON members and the field update may name (member = column).
inline constexpr const char* kDeviceColumns[] = {"serial_number",
                                                 "product_id",
                                                 "hardware_version",
                                                 "firmware_version",
                                                 "name",
                                                 "tags",
                                                 "class",
                                                 "lorawan_version",
                                                 "rejoin_count",
                                                 "rx1_delay",
                                                 "rx1_datarate_offset",
                                                 "rx2_datarate_index",
                                                 "rx2_frequency",
                                                 "channel_mask",
                                                 "redundancy",
                                                 "max_duty_cycle",
                                                 "downlink_dwell_time",
                                                 "uplink_dwell_time",
                                                 "max_eirp",
                                                 "uplink_channels",
                                                 "downlink_channels",
                                                 "adr_ack_limit",
                                                 "adr_ack_delay",
                                                 "ping_slot_periodicity",
                                                 "ping_slot_datarate",
                                                 "ping_slot_frequency"};

enum class MemberKind { kPlain, kEui, kDevAddr, kNetId };
struct SessionMember {
  const char* member;
  const char* column;
  MemberKind kind;
};
// Session JSON members and their columns; both spellings of the EUIs are accepted.
inline constexpr SessionMember kSessionMembers[] = {
    {"join_eui", "join_eui", MemberKind::kEui},
    {"joineui", "join_eui", MemberKind::kEui},
    {"app_eui", "app_eui", MemberKind::kEui},
    {"appeui", "app_eui", MemberKind::kEui},
    {"dev_addr", "dev_addr", MemberKind::kDevAddr},
    {"net_id", "net_id", MemberKind::kNetId},
    {"app_senc_key", "app_senc_key", MemberKind::kPlain},
    {"fnwk_sint_key", "fnwk_sint_key", MemberKind::kPlain},
    {"snwk_sint_key", "snwk_sint_key", MemberKind::kPlain},
    {"nwk_senc_key", "nwk_senc_key", MemberKind::kPlain},
    {"js_enc_key", "js_enc_key", MemberKind::kPlain},
    {"js_int_key", "js_int_key", MemberKind::kPlain},
    {"up_counter", "up_counter", MemberKind::kPlain},
    {"nwk_down_counter", "nwk_down_counter", MemberKind::kPlain},
    {"app_down_counter", "app_down_counter", MemberKind::kPlain},
    {"tx_power", "tx_power", MemberKind::kPlain},
    {"tx_datarate", "tx_datarate", MemberKind::kPlain},
    {"rx1_delay", "rx1_delay", MemberKind::kPlain},
    {"rx1_datarate_offset", "rx1_datarate_offset", MemberKind::kPlain},
    {"rx2_datarate_index", "rx2_datarate_index", MemberKind::kPlain},
    {"rx2_frequency", "rx2_frequency", MemberKind::kPlain},
    {"channel_mask", "channel_mask", MemberKind::kPlain},
    {"redundancy", "redundancy", MemberKind::kPlain},
    {"max_duty_cycle", "max_duty_cycle", MemberKind::kPlain},
    {"downlink_dwell_time", "downlink_dwell_time", MemberKind::kPlain},
    {"uplink_dwell_time", "uplink_dwell_time", MemberKind::kPlain},
    {"max_eirp", "max_eirp", MemberKind::kPlain},
    {"uplink_channels", "uplink_channels", MemberKind::kPlain},
    {"downlink_channels", "downlink_channels", MemberKind::kPlain},
    {"adr_ack_limit", "adr_ack_limit", MemberKind::kPlain},
    {"adr_ack_delay", "adr_ack_delay", MemberKind::kPlain},
    {"ping_slot_periodicity", "ping_slot_periodicity", MemberKind::kPlain},
    {"ping_slot_datarate", "ping_slot_datarate", MemberKind::kPlain},
    {"ping_slot_frequency", "ping_slot_frequency", MemberKind::kPlain},
    {"status_battery", "status_battery", MemberKind::kPlain},
    {"status_snr", "status_snr", MemberKind::kPlain},
    {"remote_join", "remote_join", MemberKind::kPlain},
};

// The newest uplink of the device whose end_devices row is aliased "d".
#define LORA_SQL_LAST_SEEN                                                                  \
  "(SELECT uplink_packets.created_at FROM uplink_packets WHERE uplink_packets.device_id = " \
  "d.id ORDER BY uplink_packets.created_at DESC LIMIT 1)"

// Every end_devices column aliased by its own name, with last_seen.
inline const std::string& DeviceQuery() {
  static const std::string query = [] {
    std::string q = "SELECT d.id AS id, d.device_eui AS device_eui";
    for (const char* column : kDeviceColumns) {
      q.append(", d.").append(column).append(" AS ").append(column);
    }
    q.append(", d.created_at AS created_at, d.jointime AS jointime, ");
    q.append(LORA_SQL_LAST_SEEN " AS last_seen FROM end_devices d ORDER BY d.id ASC;");
    return q;
  }();
  return query;
}

// Every sessions column with the device's EUI, class and newest uplink; with byAddress the
// sessions of the address bound as ?1.
inline const std::string& SessionQuery(bool byAddress) {
  static const std::string base = [] {
    std::string q =
        "SELECT s.id AS id, s.device_id AS device_id, s.dev_addr AS dev_addr, d.device_eui AS "
        "device_eui, d.class AS class, s.net_id AS net_id";
    for (const auto& member : kSessionMembers) {
      if (std::string(member.column) == "dev_addr" || std::string(member.column) == "net_id" ||
          std::string(member.member) != member.column) {
        continue;
      }
      q.append(", s.").append(member.column).append(" AS ").append(member.column);
    }
    q.append(", s.created_at AS created_at, ");
    q.append(LORA_SQL_LAST_SEEN
             " AS last_seen FROM sessions s LEFT JOIN end_devices d ON d.id = s.device_id");
    return q;
  }();
  static const std::string all = std::string(base).append(" ORDER BY s.id ASC;");
  static const std::string one = std::string(base).append(" WHERE s.dev_addr = ?1;");
  return byAddress ? one : all;
}

#define LORA_SQL_DEVICE_SESSIONS                                                                  \
  "SELECT sessions.dev_addr, end_devices.device_eui, sessions.join_eui, sessions.app_eui, "       \
  "net_id, app_senc_key, fnwk_sint_key,  nwk_down_counter, up_counter, sessions.created_at, "     \
  "class, (SELECT uplink_packets.created_at FROM uplink_packets  WHERE uplink_packets.device_id " \
  "= end_devices.id ORDER BY uplink_packets.created_at DESC LIMIT 1) as last_seen  FROM "         \
  "end_devices JOIN sessions ON sessions.device_id = end_devices.id"

// The restore query of every session, and the same for one address (?1).
inline constexpr const char* kDeviceSessionsQuery = LORA_SQL_DEVICE_SESSIONS ";";
inline constexpr const char* kDeviceSessionQuery =
    LORA_SQL_DEVICE_SESSIONS " WHERE sessions.dev_addr = ?1;";

// ?1 dev_addr, ?2 gateway EUI, then the columns in order, ?23 created_at.
inline constexpr const char* kInsertUplink =
    "INSERT INTO uplink_packets (device_id, gateway_id, session_id, protocol_version, rx_time, "
    "tmst, frequency, channel, rf_chain, modulation, datarate, coderate, rssi, snr, data_size, "
    "major_version, message_type, dev_addr, control, counter, commands, port, data, mic, "
    "created_at) VALUES ((SELECT device_id FROM sessions WHERE dev_addr = ?1 LIMIT 1), (SELECT id "
    "FROM gateways WHERE gateway_eui = ?2), (SELECT id FROM sessions WHERE dev_addr = ?1 LIMIT "
    "1), ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?1, ?17, ?18, ?19, ?20, "
    "?21, ?22, ?23);";

// ?1 dev_addr, ?2 gateway EUI, then the columns in order, ?24 created_at.
inline constexpr const char* kInsertDownlink =
    "INSERT INTO downlink_packets (device_id, gateway_id, session_id, protocol_version, tx_time, "
    "tmst, frequency, tx_power, rf_chain, modulation, datarate, coderate, data_size, "
    "major_version, message_type, dev_addr, control, counter, commands, port, data, mic, "
    "rx_window, rx_ack_received, tx_ack_received, created_at) VALUES ((SELECT device_id FROM "
    "sessions WHERE dev_addr = ?1 LIMIT 1), (SELECT id FROM gateways WHERE gateway_eui = ?2), "
    "(SELECT id FROM sessions WHERE dev_addr = ?1 LIMIT 1), ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
    "?12, ?13, ?14, ?1, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24);";

inline constexpr const char* kUpdateNetworkStatistics =
    "UPDATE network_statistics SET mic_fails = ?1, crc_errors = ?2, join_requests = ?3, "
    "join_requests_ok = ?4, join_requests_nok_mic = ?5, join_requests_nok_unknown = ?6, "
    "join_dups = ?7, join_1st_wnd = ?8, join_2nd_wnd = ?9, join_dropped = ?10, pkt_down = ?11, "
    "pkt_up = ?12, pkt_dup = ?13, pkt_1st_wnd = ?14, pkt_2nd_wnd = ?15, pkt_dropped = ?16, "
    "tx_1st_wnd = ?17, tx_2nd_wnd = ?18, tx_ack_pkts = ?19, tx_ack_dups = ?20;";
inline constexpr const char* kInsertNetworkStatistics =
    "INSERT INTO network_statistics VALUES (NULL, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
    "?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21);";

#define LORA_SQL_PACKET_JOINS(table)                          \
  " FROM " table                                              \
  " p LEFT JOIN gateways g ON g.id = p.gateway_id LEFT JOIN " \
  "sessions s ON s.id = p.session_id LEFT JOIN end_devices d ON d.id = p.device_id"

// Uplinks and downlinks, newest first.
inline constexpr const char* kPacketsQuery =
    "SELECT p.id AS id, g.gateway_eui AS gweui, s.app_eui AS appeui, d.device_eui AS deveui, "
    "p.frequency AS frequency, p.datarate AS datarate, p.coderate AS coderate, p.dev_addr AS "
    "dev_addr, p.control AS control, p.counter AS counter, p.rssi AS rssi, p.data_size AS "
    "data_size, p.tmst AS tmst, p.rx_time AS trx_time, p.major_version AS major_version, "
    "p.message_type AS message_type, p.port AS port, p.mic AS mic, p.commands AS commands, p.data "
    "AS data, p.created_at AS created_at, 'up' AS direction" LORA_SQL_PACKET_JOINS("uplink_packets")
    " UNION ALL "
    "SELECT p.id, g.gateway_eui, s.app_eui, d.device_eui, p.frequency, p.datarate, p.coderate, "
    "p.dev_addr, p.control, p.counter, NULL, p.data_size, p.tmst, p.tx_time, p.major_version, "
    "p.message_type, p.port, p.mic, p.commands, p.data, p.created_at, "
    "'down'" LORA_SQL_PACKET_JOINS("downlink_packets") " ORDER BY created_at DESC, id DESC;";

// Join requests (uplink message type 0) and join accepts (downlink message type 1), newest first.
inline constexpr const char* kJoinPacketsQuery =
    "SELECT p.id AS id, g.gateway_eui AS gweui, s.join_eui AS joineui, d.device_eui AS deveui, "
    "p.counter AS nonce, p.mic AS mic, p.tmst AS tmst, p.frequency AS frequency, p.datarate AS "
    "datarate, p.rssi AS rssi, p.rx_time AS trx_time, p.created_at AS created_at, 'up' AS "
    "direction" LORA_SQL_PACKET_JOINS("uplink_packets") " WHERE p.message_type = 0"
    " UNION ALL "
    "SELECT p.id, g.gateway_eui, s.join_eui, d.device_eui, p.counter, p.mic, p.tmst, p.frequency, "
    "p.datarate, NULL, p.tx_time, p.created_at, 'down'" LORA_SQL_PACKET_JOINS("downlink_packets")
    " WHERE p.message_type = 1 ORDER BY created_at DESC, id DESC;";

inline constexpr const char* kUplinkPacketsQuery =
    "SELECT p.id AS id, g.gateway_eui AS gweui, s.app_eui AS appeui, d.device_eui AS deveui, "
    "p.protocol_version AS protocol_version, p.frequency AS frequency, p.channel AS channel, "
    "p.rf_chain AS rf_chain, p.modulation AS modulation, p.datarate AS datarate, p.coderate AS "
    "coderate, p.dev_addr AS dev_addr, p.control AS control, p.counter AS counter, p.rssi AS rssi, "
    "p.snr AS snr, p.tmst AS tmst, p.rx_time AS rx_time, p.data_size AS data_size, "
    "p.major_version AS major_version, p.message_type AS message_type, p.port AS port, p.mic AS "
    "mic, p.commands AS commands, p.data AS data, p.created_at AS "
    "created_at" LORA_SQL_PACKET_JOINS(
        "uplink_packets") " WHERE p.message_type != 0 ORDER BY p.created_at DESC, p.id DESC;";

inline constexpr const char* kDownlinkPacketsQuery =
    "SELECT p.id AS id, g.gateway_eui AS gweui, s.app_eui AS appeui, d.device_eui AS deveui, "
    "p.protocol_version AS protocol_version, p.frequency AS frequency, p.tx_power AS tx_power, "
    "p.rf_chain AS rf_chain, p.modulation AS modulation, p.datarate AS datarate, p.coderate AS "
    "coderate, p.dev_addr AS dev_addr, p.control AS control, p.counter AS counter, p.tmst AS "
    "tmst, p.tx_time AS tx_time, p.data_size AS data_size, p.major_version AS major_version, "
    "p.message_type AS message_type, p.port AS port, p.mic AS mic, p.commands AS commands, p.data "
    "AS data, p.rx_window AS rx_window, p.rx_ack_received AS rx_ack_received, p.tx_ack_received AS "
    "tx_ack_received, p.created_at AS created_at" LORA_SQL_PACKET_JOINS(
        "downlink_packets") " ORDER BY p.created_at DESC, p.id DESC;";

inline constexpr const char* kGatewayListQuery =
    "SELECT g.gateway_eui AS gateway_eui, g.protocol_version AS protocol_version, g.ip_address AS "
    "ip_address, g.ip_port AS ip_port, g.last_seen AS last_seen, g.latitude AS latitude, "
    "g.longitude AS longitude, g.altitude AS altitude, g.created_at AS created_at, "
    "st.downlink_count AS downlink_count, st.rx_ok AS rx_ok, st.tx_count AS tx_count, st.ack_rate "
    "AS ack_rate, st.rx_forwarded AS rx_forwarded, st.rx_count AS rx_count FROM gateways g LEFT "
    "JOIN gateway_statistics st ON st.gateway_id = g.id ORDER BY g.gateway_eui ASC;";

}  // namespace lora_sql
