// The uplink JSON and its three topics.
#include "app/AppEvents.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const uint8_t kHeader[] = {0x40, 0xd4, 0x1b, 0x01, 0x26, 0xb2, 0x2a, 0x00};
const uint8_t kOpts[] = {0x02, 0x07};
const uint8_t kPayload[] = {'h', 'e', 'l', 'l', 'o'};

UplinkRecord Uplink() {
  UplinkRecord up;
  up.rxpk = R"({"tmst":3512348611,"chan":2,"rfch":0,"freq":868.5,"stat":1,"modu":"LORA",)"
            R"("datr":"SF7BW125","codr":"4/5","lsnr":9.5,"rssi":-35,"size":20,"data":"QNQbASay")"
            R"(})";
  up.fcnt = 42;
  up.fctrl = 0xb2;  // ADR, ACK, class B, 2 bytes of FOpts
  up.port = 10;
  up.header = kHeader;
  up.fopts = kOpts;
  up.foptsLength = sizeof kOpts;
  up.payload = kPayload;
  up.payloadLength = sizeof kPayload;
  up.appEui = "16-ea-76-f6-ab-66-3d-80";
  up.devEui = "00-80-00-00-00-00-e1-9c";
  up.gatewayEui = 0x0080000000a00001;
  up.seqn = 65578;
  up.nowTime = "2026-12-07T01:02:03.000004Z";
  return up;
}

TEST(UplinkJson, GatewayMembersFirstThenTheServersInOrder) {
  EXPECT_EQ(
      AppEvents::UplinkJson(Uplink()),
      R"({"tmst":3512348611,"chan":2,"rfch":0,"freq":868.5,"stat":1,"modu":"LORA",)"
      R"("datr":"SF7BW125","codr":"4/5","lsnr":9.5,"rssi":-35,)"
      R"("fcnt":42,"cls":1,"port":10,"mhdr":"40d41b0126b22a00","opts":"0207","size":5,)"
      R"("data":"aGVsbG8=","appeui":"16-ea-76-f6-ab-66-3d-80",)"
      R"("deveui":"00-80-00-00-00-00-e1-9c","ack":true,"adr":true,)"
      R"("gweui":"00-80-00-00-00-a0-00-01","seqn":65578,"time":"2026-12-07T01:02:03.000004Z"})");
}

TEST(UplinkJson, FskGatewayTimeAndBareFrame) {
  UplinkRecord up = Uplink();
  up.rxpk =
      R"({"time":"2026-12-07T00:00:00Z","tmst":1,"modu":"FSK","datr":50000,"lsnr":3,"fdev":3000})";
  up.fsk = true;
  up.fctrl = 0x00;
  up.port = 1;
  up.fopts = nullptr;
  up.foptsLength = 0;
  up.payloadLength = 0;
  EXPECT_EQ(AppEvents::UplinkJson(up),
            R"({"time":"2026-12-07T00:00:00Z","tmst":1,"modu":"FSK",)"
            R"("fdev":"25000","datr":"50000","lsnr":0,"fcnt":42,"cls":0,"port":1,)"
            R"("mhdr":"40d41b0126b22a00","opts":"","size":0,"data":"",)"
            R"("appeui":"16-ea-76-f6-ab-66-3d-80","deveui":"00-80-00-00-00-00-e1-9c",)"
            R"("ack":false,"adr":false,"gweui":"00-80-00-00-00-a0-00-01","seqn":65578})");
}

}  // namespace
