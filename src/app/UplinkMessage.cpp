#include "app/UplinkMessage.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <vector>

#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "gateway/Gateway.h"
#include "lora/Bytes.h"

// A plain first form: the receiving gateway's rxpk members with the decrypted payload and the
// device's identity put in; the application interface gives it its final shape.
std::string PostUplink(AppMessageQueue& messages, const UplinkMessage& uplink) {
  const Lora::ReceivedFrame& frame = *uplink.frame;
  rapidjson::Document rxpk;
  rxpk.Parse(frame.rxpk.c_str());
  const bool hasRxpk = !rxpk.HasParseError() && rxpk.IsObject();

  std::vector<char> base64(Base64EncodedCapacity(uplink.payloadLength));
  Base64Encode(uplink.payload, uplink.payloadLength, base64.data(), true);

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  if (hasRxpk) {
    for (auto& member : rxpk.GetObject()) {
      const std::string name = member.name.GetString();
      if (name == "data" || name == "size") continue;
      w.Key(member.name.GetString(), member.name.GetStringLength());
      member.value.Accept(w);
    }
  }
  w.Key("size");
  w.Uint(static_cast<unsigned>(uplink.payloadLength));
  w.Key("data");
  w.String(base64.data());
  w.Key("port");
  w.Int(uplink.port);
  w.Key("fcnt");
  w.Uint(frame.FCnt());
  w.Key("mhdr");
  w.String(BytesToHex(frame.data, 1, true, 0).c_str());
  w.Key("appeui");
  w.String(uplink.appEui->text().c_str());
  w.Key("deveui");
  w.String(uplink.devEui->text().c_str());
  w.Key("ack");
  w.Bool(frame.IsAck());
  w.Key("adr");
  w.Bool(frame.IsAdr());
  w.Key("gweui");
  w.String(Gateway::EuiText(frame.gatewayEui).c_str());
  w.Key("seqn");
  w.Uint(uplink.seqn);
  w.EndObject();
  const std::string json = buffer.GetString();

  AppEvents events(messages);
  const std::string& dev = uplink.devEui->text();
  const std::string app = uplink.appEui->text() + "/" + dev;
  events.Post(dev, "up", json);
  events.Post(app, "up", json);
  events.Post(app + "/" + std::to_string(uplink.port), "up", json);
  return json;
}
