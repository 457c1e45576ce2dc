// The signed common header: members, kinds, order, signature, RequestId
// counting across threads, escaping of reply values, keys kept out of logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "base/md5.h"
#include "service/auth_service.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::AuthService;
using zq_camera_service::ConfigManager;

const char* const kMac = "12:43:94:27:66:24";

// Hands `reply` to `service` as the back end's answer to a request made
// with "device-key"; HandleAuthReply's result.
int HandleReply(AuthService& service, const std::string& reply) {
  return service.HandleAuthReply(reply.data(), static_cast<int>(reply.size()), "device-key", kMac, "s", "1");
}

class CommonHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("ConfigPath");
    zq_test::WriteFile(dir_ / "BaseConfig.json", "{\"NewKey\": \"device-key\"}");
    zq_test::WriteFile(dir_ / "VersionConfig.json", "{\"major\": 1}");
    zq_test::ScopedLogSettings quiet(0, 3, "");
    ConfigManager::GetInstance()->LoadConfigs(dir_.path() + "/");
  }

  // The service after the back end accepted `reply`.
  void Accept(const std::string& reply) {
    zq_test::ScopedLogSettings quiet(0, 3, "");
    ASSERT_EQ(0, HandleReply(service_, reply));
  }

  zq_test::TempDir dir_;
  AuthService service_;
};

std::string StringMember(const rapidjson::Value& object, const char* name) {
  std::string value;
  zq_camera_service::json::GetString(object, name, &value);
  return value;
}

TEST_F(CommonHeaderTest, MembersKindsAndOrderWithAVerifiableSignature) {
  Accept("{\"Response\":{\"Key\":\"cloud-key\",\"CompanyId\":\"company-9\",\"ShopId\":42}}");
  zq_test::ScopedLogSettings quiet(0, 3, "");
  rapidjson::Document header;
  ASSERT_EQ(0, service_.GetMessageToCompose(header));
  ASSERT_TRUE(header.IsObject());

  const std::vector<std::pair<const char*, rapidjson::Type>> expected = {
      {"ProtocolVersion", rapidjson::kNumberType}, {"Mac", rapidjson::kStringType},
      {"Key", rapidjson::kStringType},             {"CompanyId", rapidjson::kStringType},
      {"ShopId", rapidjson::kNumberType},          {"RequestId", rapidjson::kStringType},
      {"Signature", rapidjson::kStringType},       {"TimeStamp", rapidjson::kNumberType}};
  ASSERT_EQ(expected.size(), header.MemberCount());
  size_t i = 0;
  for (auto it = header.MemberBegin(); it != header.MemberEnd(); ++it, ++i) {
    EXPECT_EQ(expected[i].first, std::string(it->name.GetString())) << i;
    EXPECT_EQ(expected[i].second, it->value.GetType()) << expected[i].first;
  }
  EXPECT_EQ(1, header["ProtocolVersion"].GetInt());
  EXPECT_EQ(kMac, StringMember(header, "Mac"));
  EXPECT_EQ("cloud-key", StringMember(header, "Key"));
  EXPECT_EQ("company-9", StringMember(header, "CompanyId"));
  EXPECT_EQ(42, header["ShopId"].GetInt());
  EXPECT_EQ("1", StringMember(header, "RequestId"));

  ASSERT_TRUE(header["TimeStamp"].IsInt64());
  long long now = static_cast<long long>(time(nullptr));
  EXPECT_LE(std::llabs(now - header["TimeStamp"].GetInt64()), 5);
  std::string stamp = std::to_string(header["TimeStamp"].GetInt64());
  EXPECT_EQ(md5("Key=cloud-key&Mac=12:43:94:27:66:24&TimeStamp=" + stamp), StringMember(header, "Signature"));
}

TEST_F(CommonHeaderTest, TextIsTheTemplateByteForByte) {
  Accept("{\"Response\":{\"Key\":\"k\",\"CompanyId\":\"c1\",\"ShopId\":3}}");
  zq_test::ScopedLogSettings quiet(0, 3, "");
  const std::string blanks(33, ' ');
  std::string text = service_.ComposeNewMessage(service_.AuthReply(), "k", kMac, "abc", "1700000000");
  EXPECT_EQ("{" + blanks + "\"ProtocolVersion\":1," + blanks + "\"Mac\":\"12:43:94:27:66:24\"," + blanks +
                "\"Key\":\"k\"," + blanks + "\"CompanyId\":\"c1\"," + blanks + "\"ShopId\":3," + blanks +
                "\"RequestId\":\"1\"," + blanks + "\"Signature\":\"abc\"," + blanks + "\"TimeStamp\":1700000000" +
                blanks + "}",
            text);
}

TEST_F(CommonHeaderTest, MissingOrMistypedReplyValuesReadAsEmptyAndZero) {
  struct Case {
    const char* name;
    std::string reply;
    std::string key;
    std::string company;
    int shop;
  };
  const Case cases[] = {
      {"ShopId missing", "{\"Response\":{\"Key\":\"k\",\"CompanyId\":\"c\"}}", "k", "c", 0},
      {"ShopId as text", "{\"Response\":{\"Key\":\"k\",\"ShopId\":\"12\"}}", "k", "", 0},
      {"ShopId fractional", "{\"Response\":{\"Key\":\"k\",\"ShopId\":1.5}}", "k", "", 0},
      {"nothing but Response", "{\"Response\":{}}", "", "", 0},
      {"CompanyId a number", "{\"Response\":{\"CompanyId\":5,\"ShopId\":-4}}", "", "", -4},
  };
  for (const Case& c : cases) {
    AuthService service;
    zq_test::ScopedLogSettings quiet(0, 3, "");
    ASSERT_EQ(0, HandleReply(service, c.reply)) << c.name;
    rapidjson::Document header;
    ASSERT_EQ(0, service.GetMessageToCompose(header)) << c.name;
    EXPECT_EQ(c.key, StringMember(header, "Key")) << c.name;
    EXPECT_EQ(c.company, StringMember(header, "CompanyId")) << c.name;
    ASSERT_TRUE(header["ShopId"].IsInt()) << c.name;
    EXPECT_EQ(c.shop, header["ShopId"].GetInt()) << c.name;
  }
}

TEST_F(CommonHeaderTest, UnauthenticatedLeavesTheCallersDocumentAlone) {
  AuthService never_accepted;
  AuthService refused;
  const std::string refusal = "{\"Response\":{\"Error\":{\"Code\":\"1\"},\"Key\":\"k\"}}";
  {
    zq_test::ScopedLogSettings quiet(0, 3, "");
    ASSERT_EQ(AuthService::kReplyRefused, HandleReply(refused, refusal));
  }
  for (AuthService* service : {&never_accepted, &refused}) {
    rapidjson::Document document;
    document.Parse("{\"Mine\":[1,2,3]}");
    int before = service->NextRequestId();
    EXPECT_EQ(-1, service->GetMessageToCompose(document));
    EXPECT_EQ(1u, document.MemberCount());
    EXPECT_TRUE(document.HasMember("Mine"));
    EXPECT_EQ(before, service->NextRequestId());
  }
}

TEST_F(CommonHeaderTest, ValuesWithQuotesBackslashesAndControlsStayValues) {
  const std::string company = "a\"b,\"Injected\":\"x\\y\n";
  // The reply as the wire carries it: the same texts JSON-escaped.
  Accept("{\"Response\":{\"Key\":\"k\\\"q\",\"CompanyId\":\"a\\\"b,\\\"Injected\\\":\\\"x\\\\y\\n\",\"ShopId\":1}}");
  zq_test::ScopedLogSettings quiet(0, 3, "");
  rapidjson::Document header;
  ASSERT_EQ(0, service_.GetMessageToCompose(header));
  ASSERT_TRUE(header.IsObject());
  EXPECT_EQ(8u, header.MemberCount());
  EXPECT_FALSE(header.HasMember("Injected"));
  EXPECT_EQ(company, StringMember(header, "CompanyId"));
  EXPECT_EQ("k\"q", StringMember(header, "Key"));
  std::string stamp = std::to_string(header["TimeStamp"].GetInt64());
  EXPECT_EQ(md5("Key=k\"q&Mac=12:43:94:27:66:24&TimeStamp=" + stamp), StringMember(header, "Signature"));
}

TEST_F(CommonHeaderTest, RequestIdsFromConcurrentCallersAreDistinctAndContiguous) {
  Accept("{\"Response\":{\"Key\":\"k\",\"CompanyId\":\"c\",\"ShopId\":1}}");
  zq_test::ScopedLogSettings quiet(0, 3, "");
  constexpr int kThreads = 8;
  constexpr int kCalls = 250;
  int first = service_.NextRequestId();
  std::vector<std::vector<int>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kCalls; ++n) {
        rapidjson::Document header;
        if (service_.GetMessageToCompose(header) != 0) continue;
        std::string id = StringMember(header, "RequestId");
        ids[t].push_back(id.empty() ? -1 : std::stoi(id));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> all;
  for (const auto& list : ids) {
    // Each caller sees its own ids rise.
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    all.insert(all.end(), list.begin(), list.end());
  }
  ASSERT_EQ(static_cast<size_t>(kThreads * kCalls), all.size());
  std::sort(all.begin(), all.end());
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(first + static_cast<int>(i), all[i]) << i;
  EXPECT_EQ(first + kThreads * kCalls, service_.NextRequestId());
}

TEST_F(CommonHeaderTest, LogLinesCarryNoKey) {
  struct Case {
    const char* name;
    std::string reply;
    std::string key;
  };
  const Case cases[] = {
      {"plain key", "{\"Response\":{\"Key\":\"s3cr3t-key\",\"CompanyId\":\"c\"}}", "s3cr3t-key"},
      {"key with a quote", "{\"Response\":{\"Key\":\"se\\\"cret\"}}", "se\"cret"},
  };
  for (const Case& c : cases) {
    AuthService service;
    zq_test::ScopedLogSettings loud(4, 3, "");
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, HandleReply(service, c.reply)) << c.name;
    rapidjson::Document header;
    ASSERT_EQ(0, service.GetMessageToCompose(header)) << c.name;
    ASSERT_EQ(c.key, StringMember(header, "Key")) << c.name;
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos, out.find("Service | INFO: Key=***&Mac=12:43:94:27:66:24&TimeStamp=")) << out;
    EXPECT_NE(std::string::npos, out.find("Service | DEBUG: Auth Response {")) << out;
    EXPECT_NE(std::string::npos, out.find("\"Key\":\"***\"")) << out;
    EXPECT_NE(std::string::npos, out.find("auth response: ")) << out;
    EXPECT_EQ(std::string::npos, out.find(c.key)) << c.name << ":\n" << out;
    EXPECT_EQ(std::string::npos, out.find("device-key")) << c.name << ":\n" << out;
  }
}

TEST_F(CommonHeaderTest, LogLinesMaskOnlyTheKeysPlace) {
  // Short keys that also stand elsewhere in the lines: the MAC text, the
  // time stamp, the template's own words. Only the key's place is masked.
  const std::string blanks(33, ' ');
  for (const std::string key : {"12", "1", "Key", "00", "s3cr3t-key"}) {
    AuthService service;
    std::string reply = "{\"Response\":{\"Key\":\"" + key + "\",\"CompanyId\":\"c12\",\"ShopId\":12}}";
    {
      zq_test::ScopedLogSettings quiet(0, 3, "");
      ASSERT_EQ(0, HandleReply(service, reply)) << key;
    }
    zq_test::ScopedLogSettings loud(4, 3, "");
    zq_test::StdoutCapture capture;
    EXPECT_EQ(md5("Key=" + key + "&Mac=12:43:94:27:66:24&TimeStamp=1700000012"),
              AuthService::GetSignature(key, kMac, "1700000012"))
        << key;
    std::string text = service.ComposeNewMessage(service.AuthReply(), key, kMac, "0012ab", "1700000012");
    auto header = [&](const std::string& shown_key) {
      return "{" + blanks + "\"ProtocolVersion\":1," + blanks + "\"Mac\":\"12:43:94:27:66:24\"," + blanks +
             "\"Key\":\"" + shown_key + "\"," + blanks + "\"CompanyId\":\"c12\"," + blanks + "\"ShopId\":12," +
             blanks + "\"RequestId\":\"1\"," + blanks + "\"Signature\":\"0012ab\"," + blanks +
             "\"TimeStamp\":1700000012" + blanks + "}";
    };
    EXPECT_EQ(header(key), text) << key;
    EXPECT_EQ("Service | INFO: Key=***&Mac=12:43:94:27:66:24&TimeStamp=1700000012"
              "Service | DEBUG: Auth Response " + header("***") + "\n",
              capture.Text())
        << key;
  }
}

TEST(GetSignature, Md5OfTheKeyMacAndTimeStampOnly) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  // Digest computed independently of this code base.
  EXPECT_EQ("a6dce000bd9bd578e3d13c4db2a91f8d", AuthService::GetSignature("abc", kMac, "1700000000"));
  EXPECT_EQ(md5(std::string("Key=&Mac=&TimeStamp=")), AuthService::GetSignature("", "", ""));
}

}  // namespace
