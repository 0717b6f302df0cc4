// The join server's transport against a real HTTP server on loopback.
#include "app/HttpClient.h"

#include <gtest/gtest.h>

#include "HttpStub.h"
#include "TestSupport.h"

namespace {

using testsupport::HttpStub;
using testsupport::LogCapture;

TEST(HttpClient, AnswersHeadersAndFailures) {
  HttpStub server;
  HttpClient client("/nonexistent-ca.pem");
  Json::Value response;

  // 201 with nothing in it is a success without an answer.
  server.Answer(201, "");
  Json::Value body;
  body["a"] = 1;
  body["token"] = "secret";
  body["timestamp"] = "2026";
  EXPECT_TRUE(client.request(server.url(), "POST", body, response, true));
  EXPECT_TRUE(response.isNull());
  ASSERT_EQ(server.exchanges().size(), 1u);
  const auto sent = server.exchanges()[0];
  EXPECT_NE(sent.head.find("POST /join"), std::string::npos);
  EXPECT_NE(sent.head.find("X-API-HASH: secret"), std::string::npos);
  EXPECT_NE(sent.head.find("X-API-TIMESTAMP: 2026"), std::string::npos);
  EXPECT_EQ(sent.body, R"({"a":1})") << "token and timestamp travel as headers only";

  server.Answer(200, R"({"Result":{"ResultCode":"Success"}})");
  EXPECT_TRUE(client.request(server.url(), "PUT", Json::Value(Json::objectValue), response, true));
  EXPECT_EQ(response["Result"]["ResultCode"].asString(), "Success");
  EXPECT_EQ(server.exchanges()[1].head.rfind("PUT /join", 0), 0u);

  LogCapture log;
  server.Answer(200, "not json");
  EXPECT_TRUE(client.request(server.url(), "POST", Json::Value(), response, true));
  EXPECT_TRUE(response.isNull());
  server.Answer(500, "broken");
  EXPECT_FALSE(client.request(server.url(), "POST", Json::Value(), response, true));
  EXPECT_TRUE(log.contains("POST failed CODE:500 BODY:[broken]")) << log.dump();
  EXPECT_FALSE(client.request("http://127.0.0.1:1/x", "POST", Json::Value(), response, true));
  EXPECT_TRUE(log.contains("CURL call to Server failed - ")) << log.dump();
}

}  // namespace
