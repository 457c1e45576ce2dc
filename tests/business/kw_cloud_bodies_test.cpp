#include "business/kw_cloud_bodies.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/json_member.h"
#include "base/log.h"
#include "support/log_settings.h"

namespace {

using namespace zq_camera_service;

// A common header as the authentication service composes it.
const char* const kHeader =
    "{\"ProtocolVersion\":1,\"Mac\":\"12:43:94:27:66:24\",\"Key\":\"k-1\",\"CompanyId\":\"company-1\","
    "\"ShopId\":7,\"RequestId\":\"5\",\"Signature\":\"0123456789abcdef0123456789abcdef\","
    "\"TimeStamp\":1700000000}";

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

std::vector<std::string> MemberNames(const rapidjson::Value& object) {
  std::vector<std::string> names;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) names.emplace_back(it->name.GetString());
  return names;
}

const std::vector<std::string> kHeaderMembers = {"ProtocolVersion", "Mac",       "Key",      "CompanyId",
                                                 "ShopId",          "RequestId", "Signature", "TimeStamp"};

std::vector<std::string> HeaderThen(std::vector<std::string> more) {
  std::vector<std::string> names = kHeaderMembers;
  names.insert(names.end(), more.begin(), more.end());
  return names;
}

class KwCloudBodiesTest : public ::testing::Test {
 protected:
  // The composers' trace lines go nowhere.
  zq_test::ScopedLogSettings quiet_{0, 3, ""};
};

TEST_F(KwCloudBodiesTest, HeartbeatBodyExactText) {
  rapidjson::Document header = Parse(kHeader);
  EXPECT_EQ(
      "{\n"
      "    \"ProtocolVersion\": 1,\n"
      "    \"Mac\": \"12:43:94:27:66:24\",\n"
      "    \"Key\": \"k-1\",\n"
      "    \"CompanyId\": \"company-1\",\n"
      "    \"ShopId\": 7,\n"
      "    \"RequestId\": \"5\",\n"
      "    \"Signature\": \"0123456789abcdef0123456789abcdef\",\n"
      "    \"TimeStamp\": 1700000000,\n"
      "    \"DeviceId\": \"device-1\",\n"
      "    \"InfoSet\": [\n"
      "        {\n"
      "            \"Level\": 4,\n"
      "            \"Type\": 10000,\n"
      "            \"Msg\": \"{\\\"v\\\":10000}\",\n"
      "            \"Time\": 1700000000\n"
      "        }\n"
      "    ]\n"
      "}",
      kw_cloud::HeartbeatBody(header, "device-1"));
  // The caller's header is left as it was.
  EXPECT_EQ(kHeaderMembers, MemberNames(header));
}

TEST_F(KwCloudBodiesTest, MonitorBodyMembersItemsAndFigures) {
  rapidjson::Document header = Parse(kHeader);
  rapidjson::Document body = Parse(kw_cloud::MonitorBody(header, "dev \"7\"", 12.7f, 55.2f));
  EXPECT_EQ(HeaderThen({"DeviceId", "InfoSet"}), MemberNames(body));
  EXPECT_STREQ("dev \"7\"", body["DeviceId"].GetString());
  EXPECT_STREQ("5", body["RequestId"].GetString());
  const rapidjson::Value& items = body["InfoSet"];
  ASSERT_TRUE(items.IsArray());
  ASSERT_EQ(3u, items.Size());
  struct Expected {
    int type;
    const char* msg;
  };
  const Expected expected[] = {{10001, "[{\"v\":12,\"n\":\"cpu0\"}]"}, {10002, "{\"v\":55}"}, {10003, "{\"v\":1}"}};
  for (rapidjson::SizeType i = 0; i < 3; ++i) {
    const rapidjson::Value& item = items[i];
    EXPECT_EQ((std::vector<std::string>{"Level", "Type", "Msg", "Time"}), MemberNames(item));
    EXPECT_EQ(3, item["Level"].GetInt());
    EXPECT_EQ(expected[i].type, item["Type"].GetInt());
    ASSERT_TRUE(item["Msg"].IsString());
    EXPECT_STREQ(expected[i].msg, item["Msg"].GetString());
    // "Msg" is itself a JSON text for the back end to parse.
    rapidjson::Document inner;
    inner.Parse(item["Msg"].GetString());
    EXPECT_FALSE(inner.HasParseError());
    EXPECT_EQ(body["TimeStamp"].GetInt64(), item["Time"].GetInt64());
  }
}

TEST_F(KwCloudBodiesTest, UsageFiguresAreClampedThenTruncated) {
  struct Case {
    float figure;
    int percent;
  };
  const Case cases[] = {{0.0f, 0},      {37.9f, 37},  {99.99f, 99},  {100.0f, 100},
                        {250.0f, 100},  {-3.5f, 0},   {-0.5f, 0},    {std::numeric_limits<float>::infinity(), 100},
                        {-std::numeric_limits<float>::infinity(), 0}, {std::nanf(""), 0}};
  for (const Case& c : cases) EXPECT_EQ(c.percent, kw_cloud::UsagePercent(c.figure)) << c.figure;

  rapidjson::Document header = Parse(kHeader);
  rapidjson::Document body = Parse(kw_cloud::MonitorBody(header, "d", 1e30f, -7.0f));
  EXPECT_STREQ("[{\"v\":100,\"n\":\"cpu0\"}]", body["InfoSet"][0]["Msg"].GetString());
  EXPECT_STREQ("{\"v\":0}", body["InfoSet"][1]["Msg"].GetString());
}

TEST_F(KwCloudBodiesTest, HeaderWithoutObjectOrTimeStamp) {
  struct Case {
    const char* header;
    int64_t time;
    std::vector<std::string> members;
  };
  const Case cases[] = {
      {"null", 0, {"DeviceId", "InfoSet"}},
      {"{\"Mac\":\"m\"}", 0, {"Mac", "DeviceId", "InfoSet"}},
      {"{\"TimeStamp\":\"1700000000\"}", 0, {"TimeStamp", "DeviceId", "InfoSet"}},
      {"{\"TimeStamp\":1.5}", 0, {"TimeStamp", "DeviceId", "InfoSet"}},
      {"{\"TimeStamp\":4102444800}", 4102444800LL, {"TimeStamp", "DeviceId", "InfoSet"}},
  };
  for (const Case& c : cases) {
    rapidjson::Document header = Parse(c.header);
    EXPECT_EQ(c.time, kw_cloud::HeaderTimeStamp(header)) << c.header;
    rapidjson::Document body = Parse(kw_cloud::HeartbeatBody(header, "d"));
    EXPECT_EQ(c.members, MemberNames(body)) << c.header;
    EXPECT_EQ(c.time, body["InfoSet"][0]["Time"].GetInt64()) << c.header;
  }
}

TEST_F(KwCloudBodiesTest, WarningAndPictureBodies) {
  rapidjson::Document header = Parse(kHeader);
  rapidjson::Document warning = Parse(kw_cloud::WarningBody(header));
  EXPECT_EQ(kHeaderMembers, MemberNames(warning));

  rapidjson::Document picture = Parse(kw_cloud::PictureBody(header, 17, 42, "AP8A"));
  EXPECT_EQ(HeaderThen({"CameraId", "ActId", "Picture"}), MemberNames(picture));
  EXPECT_EQ(17, picture["CameraId"].GetInt());
  EXPECT_EQ(42, picture["ActId"].GetInt());
  EXPECT_STREQ("AP8A", picture["Picture"].GetString());
  EXPECT_EQ(1700000000, picture["TimeStamp"].GetInt64());
}

}  // namespace
