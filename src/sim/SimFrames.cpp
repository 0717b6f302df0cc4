#include "sim/SimFrames.h"

#include "lora/Aes.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "lora/Frame.h"

namespace Sim {

namespace {

void PutLE(Bytes& out, uint64_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendMic(Bytes& frame, const MicBytes& mic) { frame.insert(frame.end(), mic.begin(), mic.end()); }

}  // namespace

Bytes BuildUplink(const Uplink& up, const Lora::CypherKey& nwkSKey, const Lora::CypherKey& appSKey) {
  Bytes frame;
  frame.push_back(Lora::MakeMhdr(up.confirmed ? Lora::kConfirmedUp : Lora::kUnconfirmedUp));
  PutLE(frame, up.devAddr, 4);
  const size_t foptsLen = up.fopts.size() > Lora::kMaxFOptsLen ? Lora::kMaxFOptsLen : up.fopts.size();
  uint8_t fctrl = static_cast<uint8_t>(foptsLen);
  if (up.adr) fctrl |= Lora::kFCtrlAdr;
  if (up.ack) fctrl |= Lora::kFCtrlAck;
  if (up.classB) fctrl |= Lora::kFCtrlClassB;
  frame.push_back(fctrl);
  PutLE(frame, up.fcnt & 0xFFFF, 2);
  frame.insert(frame.end(), up.fopts.begin(), up.fopts.begin() + static_cast<long>(foptsLen));
  if (up.port >= 0) {
    frame.push_back(static_cast<uint8_t>(up.port));
    const size_t at = frame.size();
    frame.insert(frame.end(), up.payload.begin(), up.payload.end());
    // Port 0 carries MAC commands, encrypted with the network key.
    EncryptPayload(frame.data() + at, up.payload.size(), up.port == 0 ? nwkSKey : appSKey,
                   up.devAddr, true, up.fcnt, frame.data() + at);
  }
  AppendMic(frame, ComputeDataMic(frame.data(), frame.size(), nwkSKey, up.devAddr, true, up.fcnt));
  return frame;
}

Bytes BuildJoinRequest(uint64_t joinEui, uint64_t devEui, uint16_t devNonce,
                       const Lora::CypherKey& appKey) {
  Bytes frame;
  frame.push_back(Lora::MakeMhdr(Lora::kJoinRequest));
  PutLE(frame, joinEui, 8);
  PutLE(frame, devEui, 8);
  PutLE(frame, devNonce, 2);
  AppendMic(frame, ComputeJoinMic(frame.data(), frame.size(), appKey));
  return frame;
}

uint32_t PingOffset(uint32_t beaconTime, uint32_t devAddr, uint32_t period) {
  Bytes block;
  PutLE(block, beaconTime, 4);
  PutLE(block, devAddr, 4);
  block.resize(kAesBlockSize, 0);
  const uint8_t zeroKey[kAesBlockSize] = {};
  AesContext aes;
  AesSetKey(zeroKey, sizeof zeroKey, aes);
  uint8_t random[kAesBlockSize];
  AesEncrypt(block.data(), random, aes);
  return period == 0 ? 0 : (random[0] + 256u * random[1]) % period;
}

uint32_t PeekDevAddr(const Bytes& phy) {
  return phy.size() < Lora::kFOptsOffset ? 0
                                         : static_cast<uint32_t>(Lora::ReadLE(phy.data() + 1, 4));
}

Downlink ReadDownlink(const Bytes& phy, const Lora::CypherKey& nwkSKey,
                      const Lora::CypherKey& appSKey, uint16_t fcntHigh) {
  Downlink down;
  const Lora::Frame frame(phy.data(), phy.size());
  const unsigned mtype = frame.MType();
  if (phy.size() < Lora::kFOptsOffset + Lora::kMicSize ||
      (mtype != Lora::kUnconfirmedDown && mtype != Lora::kConfirmedDown)) {
    down.fault = "not a data downlink";
    return down;
  }
  if (!frame.HasFOpts() || phy.size() < Lora::kFOptsOffset + frame.FOptsLen() + Lora::kMicSize) {
    down.fault = "FOpts longer than the frame";
    return down;
  }
  down.devAddr = frame.DevAddr();
  down.fcnt = frame.FCnt();
  down.confirmed = mtype == Lora::kConfirmedDown;
  down.ack = frame.IsAck();
  down.fpending = (frame.FCtrl() & Lora::kFCtrlFPending) != 0;
  down.fopts.assign(frame.FOpts(), frame.FOpts() + frame.FOptsLen());
  const uint32_t fullCount = (uint32_t{fcntHigh} << 16) | down.fcnt;
  const MicBytes mic = ComputeDataMic(phy.data(), phy.size() - Lora::kMicSize, nwkSKey,
                                      down.devAddr, false, fullCount);
  if (!frame.MicEquals(mic.data())) {
    down.fault = "MIC mismatch";
    return down;
  }
  if (frame.HasFPort()) {
    down.port = frame.FPort();
    down.payload.assign(phy.begin() + static_cast<long>(frame.FrmPayloadOffset()),
                        phy.end() - static_cast<long>(Lora::kMicSize));
    EncryptPayload(down.payload.data(), down.payload.size(), down.port == 0 ? nwkSKey : appSKey,
                   down.devAddr, false, fullCount, down.payload.data());
  }
  down.valid = true;
  return down;
}

JoinAccept ReadJoinAccept(const Bytes& phy, const Lora::CypherKey& appKey, uint16_t devNonce) {
  JoinAccept accept;
  if ((phy.size() != Lora::kJoinAcceptLength && phy.size() != Lora::kJoinAcceptCfListLength) ||
      (phy[0] >> Lora::kMTypeShift) != Lora::kJoinAccept) {
    accept.fault = "not a join accept";
    return accept;
  }
  // The device undoes the server's inverse cipher with the forward one.
  Bytes plain(phy);
  AesContext aes;
  AesSetKey(appKey.data, 16, aes);
  for (size_t at = 1; at + kAesBlockSize <= plain.size(); at += kAesBlockSize) {
    AesEncrypt(plain.data() + at, plain.data() + at, aes);
  }
  const MicBytes mic = ComputeJoinMic(plain.data(), plain.size() - Lora::kMicSize, appKey);
  if (!std::equal(mic.begin(), mic.end(), plain.end() - Lora::kMicSize)) {
    accept.fault = "MIC mismatch";
    return accept;
  }
  accept.netId = static_cast<uint32_t>(Lora::ReadLE(plain.data() + Lora::kNetIdOffset, 3));
  accept.devAddr = static_cast<uint32_t>(Lora::ReadLE(plain.data() + Lora::kJoinAcceptDevAddrOffset, 4));
  accept.dlSettings = plain[Lora::kDlSettingsOffset];
  accept.rxDelay = plain[Lora::kRxDelayOffset];
  if (plain.size() == Lora::kJoinAcceptCfListLength) {
    accept.cfList.assign(plain.begin() + Lora::kCfListOffset,
                         plain.begin() + Lora::kCfListOffset + Lora::kCfListSize);
  }
  const uint8_t netIdBE[3] = {static_cast<uint8_t>(accept.netId >> 16),
                              static_cast<uint8_t>(accept.netId >> 8),
                              static_cast<uint8_t>(accept.netId)};
  DeriveSessionKeys(appKey, plain.data() + Lora::kAppNonceOffset, netIdBE, devNonce,
                    accept.nwkSKey, accept.appSKey);
  accept.valid = true;
  return accept;
}

std::string ToHex(const Bytes& bytes) { return BytesToHex(bytes.data(), bytes.size(), true, 0); }

std::string ToBase64(const Bytes& bytes) {
  std::string text(Base64EncodedCapacity(bytes.size()), '\0');
  text.resize(Base64Encode(bytes.data(), bytes.size(), &text[0], true));
  return text;
}

Bytes FromBase64(const std::string& text) {
  Bytes out(text.size() * 3 / 4 + 3);
  out.resize(Base64Decode(text.c_str(), out.data(), out.size()));
  return out;
}

}  // namespace Sim
