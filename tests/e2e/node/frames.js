// Builds LoRaWAN PHYPayloads with an implementation independent of the server's, for the
// end-to-end tests. Usage: node frames.js '<json>' where the JSON holds "fields" (lora-packet's
// field names; byte fields as hex text, most significant byte first as lora-packet expects)
// and optional "keys" (AppSKey, NwkSKey, AppKey as hex). Prints the PHYPayload as hex; with
// "count" n, prints n frames one per line, the FCnt going up by one from the given one.
"use strict";
const lora = require("lora-packet");

const request = JSON.parse(process.argv[2]);
const bytes = (hex) => (typeof hex === "string" ? Buffer.from(hex, "hex") : undefined);
const fields = Object.assign({}, request.fields);
for (const name of ["DevAddr", "AppEUI", "DevEUI", "DevNonce", "AppNonce", "NetID", "FOpts", "CFList"]) {
  if (typeof fields[name] === "string") fields[name] = bytes(fields[name]);
}
if (typeof fields.payloadHex === "string") {
  fields.payload = bytes(fields.payloadHex);
  delete fields.payloadHex;
}
const keys = request.keys || {};
const build = (f) =>
  lora.fromFields(f, bytes(keys.AppSKey), bytes(keys.NwkSKey), bytes(keys.AppKey)).getPHYPayload().toString("hex");
if (typeof request.count === "number") {
  const lines = [];
  for (let i = 0; i < request.count; i++) lines.push(build(Object.assign({}, fields, { FCnt: fields.FCnt + i })));
  process.stdout.write(lines.join("\n"));
} else {
  process.stdout.write(build(fields));
}
