// LoRaWAN 1.0.x security operations: data and join MICs, FRMPayload encryption, join-accept
// encryption, session-key derivation, and the server's own derivations (network key from a pass
// phrase, zero-touch application keys, network EUI from the network name).
//
// Pure functions: no state between calls, no logging, no exceptions. The MIC and payload
// operations sit on the uplink path (the MIC up to ~100 times per frame while a lost counter is
// searched), so they work on stack buffers only and expand the key on each call.
// Multi-byte values (DevAddr, frame counter, DevNonce) are passed as numbers and laid out least
// significant byte first inside the blocks, as on air.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "lora/Eui.h"

// The first 4 bytes of a CMAC tag, in tag order: exactly the MIC bytes of a frame.
using MicBytes = std::array<uint8_t, 4>;

// CMAC(key, B0 | message)[0..3]. `message` is MHDR..FRMPayload (the frame without its MIC);
// `uplink` selects direction 0 (set) or 1 (clear); `frameCounter` is the full 32-bit counter.
MicBytes ComputeDataMic(const uint8_t* message, std::size_t length, const Lora::CypherKey& key,
                        uint32_t devAddr, bool uplink, uint32_t frameCounter);

// XORs `length` bytes with the AES key stream of the A blocks (i = 1, 2, ...) into `out`.
// Encryption and decryption are the same operation; `out` may equal `data`; length 0 writes
// nothing.
void EncryptPayload(const uint8_t* data, std::size_t length, const Lora::CypherKey& key,
                    uint32_t devAddr, bool uplink, uint32_t frameCounter, uint8_t* out);

// CMAC(key, message)[0..3]: join request (first 19 bytes) and join accept (MHDR..CFList).
MicBytes ComputeJoinMic(const uint8_t* message, std::size_t length, const Lora::CypherKey& key);

// The server side of join-accept encryption: the AES inverse cipher over the first 16 bytes, and
// over the next 16 as well when length >= 17, so that the device recovers the plain text with
// the forward cipher. `length` is 16 or 32 (the join accept after its MHDR, MIC included);
// `out` may equal `data`.
void EncryptJoinAccept(const uint8_t* data, std::size_t length, const Lora::CypherKey& key,
                       uint8_t* out);

// NwkSKey and AppSKey of LoRaWAN 1.0.x. `appNonce` is the 3 bytes exactly as sent in the join
// accept; `netId` is the 3-byte NetID most significant byte first (as configured); `devNonce`
// is the value read least significant byte first from the join request.
void DeriveSessionKeys(const Lora::CypherKey& appKey, const uint8_t* appNonce, const uint8_t* netId,
                       uint16_t devNonce, Lora::CypherKey& nwkSKey, Lora::CypherKey& appSKey);

// CMAC over the characters of a text (no terminator) under the fixed product key; the key's
// text() is its 32-digit form. Used for the network key from a pass phrase.
Lora::CypherKey CmacKeyFromText(const char* text, std::size_t length);
Lora::CypherKey CmacKeyFromText(const std::string& text);

// Zero-touch application key: CmacKeyFromText of
//   hex(DevEUI) + hex(AppEUI) + baseKey + salt
// where hex() is 16 lowercase digits without separators and the base key and salt texts are
// appended unchanged. Both EUIs are in display order.
Lora::CypherKey ZeroTouchAppKey(const Lora::EUI& devEui, const Lora::EUI& appEui,
                                const std::string& baseKey, const std::string& salt);

// Network EUI from the network name: Crc64 over its characters, written most significant byte
// first. Shown as eui.compactText() (16 lowercase digits, leading zeros kept).
Lora::EUI NetworkEuiFromName(const std::string& name);
