// The device's side of downlinks, with an implementation independent of the server's, for the
// end-to-end tests. Usage: node device.js '<json>' with "mode":
//   "accept": "phy" (join accept hex), "AppKey", "DevNonce" (hex, most significant first) -> the
//             address and NetID, whether its MIC verifies, and the session keys derived from it;
//   "down":   "phy" (data down hex), "AppSKey", "NwkSKey", "fcntMsb" (hex of the counter's high
//             16 bits, most significant first; default "0000") -> header fields, MIC check and the
//             decrypted payload (with the NwkSKey for FPort 0);
//   "pingslot": "beaconTime" (the beacon's Time field), "DevAddr" (hex, most significant first),
//             "period" (slots in the beacon period) -> "offset", the device's ping offset: AES-128
//             under the zero key of Time (LE) | DevAddr (LE) | 8 zero bytes, first two bytes LE,
//             modulo the period.
// Prints one JSON object.
"use strict";
const lora = require("lora-packet");

const request = JSON.parse(process.argv[2]);
const hex = (b) => (b ? Buffer.from(b).toString("hex") : null);
const bytes = (h) => Buffer.from(h, "hex");
const out = {};
if (request.mode === "accept") {
  const key = bytes(request.AppKey);
  const wire = lora.fromWire(bytes(request.phy));
  const plain = lora.fromWire(lora.decryptJoinAccept(wire, key));
  out.micOk = lora.verifyMIC(plain, undefined, key);
  out.DevAddr = hex(plain.DevAddr);
  out.NetID = hex(plain.NetID);
  const keys = lora.generateSessionKeys(key, plain.NetID, plain.AppNonce, bytes(request.DevNonce));
  out.NwkSKey = hex(keys.NwkSKey);
  out.AppSKey = hex(keys.AppSKey);
} else if (request.mode === "down") {
  const packet = lora.fromWire(bytes(request.phy));
  const msb = bytes(request.fcntMsb || "0000");
  out.type = packet.getMType();
  out.DevAddr = hex(packet.DevAddr);
  out.FCnt = packet.getFCnt();
  out.FCtrl = hex(packet.FCtrl);
  out.FOpts = hex(packet.FOpts);
  out.FPort = packet.getFPort();
  out.micOk = lora.verifyMIC(packet, bytes(request.NwkSKey), bytes(request.AppSKey), msb);
  out.payload = packet.FRMPayload && packet.FRMPayload.length
    ? hex(lora.decrypt(packet, bytes(request.AppSKey), bytes(request.NwkSKey), msb)) : "";
} else if (request.mode === "pingslot") {
  const block = Buffer.alloc(16);
  block.writeUInt32LE(request.beaconTime >>> 0, 0);
  block.writeUInt32LE(parseInt(request.DevAddr, 16) >>> 0, 4);
  const cipher = require("crypto").createCipheriv("aes-128-ecb", Buffer.alloc(16), null);
  cipher.setAutoPadding(false);
  const rand = Buffer.concat([cipher.update(block), cipher.final()]);
  out.offset = (rand[0] + 256 * rand[1]) % request.period;
}
process.stdout.write(JSON.stringify(out));
