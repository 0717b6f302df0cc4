// The radio packet forwarder's configuration, written at start-up when the LoRa card options are
// given, so that each concentrator card listens on exactly the channels this server expects and
// forwards to this server's own UDP ports.
//
// Called once on the main thread during start-up, after the channel plan's regional defaults are
// in the configuration document and before any other thread runs.
#pragma once

#include <json/json.h>

#include <string>

struct Settings;

// Writes `path`/1/global_conf.json for the card-1 EUI and, when `card2Eui` is not empty,
// `path`/2/global_conf.json for the second card, each derived from the template
// (settings.paths.templateDir, else settings.paths.templateFallbackDir, "global_conf.json") and the
// "lora", "network" and "udp" sections of `config` for the region `band` ("US915", "AU915",
// "EU868", "AS923", "KR920", "IN865").
//
// Writes back into `config`: the channel map of card 1 under "packetForwarders", "lora"
// "frequencySubBand"/"frequencySubBand2" when they had to be defaulted, and "network"."public" = 1
// when "lora"."syncWord" is the public sync word 52.
//
// A card folder under `path` is created when missing (the folder `path` itself is not). Returns
// false when nothing could be written (unknown band, card-1 EUI not 16 hex digits) or when a file
// could not be written; an unwritable file is not logged.
bool WritePacketForwarderConfiguration(Json::Value& config, const Settings& settings,
                                       const std::string& band, const std::string& path,
                                       const std::string& card1Eui, const std::string& card2Eui);
