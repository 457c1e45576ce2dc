// Numbers beyond the double range in outside JSON. RapidJSON refuses some
// (1e400) and reads others (24E308) as infinity, which its writers cannot
// spell: such a document would be written back cut short. Every outside
// text is therefore refused when it holds one.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/json_member.h"
#include "base/lock_file.h"
#include "service/config_service.h"
#include "service/ipc_message.h"
#include "service/upgrade_package.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/upgrade_package.h"

namespace {

using zq_camera_service::json::kOutsideTextFlags;

TEST(JsonNumberRange, ParseRefusesNumbersBeyondTheDoubleRange) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"{\"a\":24E308}", false},
      {"{\"a\":-24E308}", false},
      {"[1,[2,{\"b\":[99E307,100E307]}]]", false},
      {"{\"a\":{\"b\":{\"c\":3}},\"d\":[1e308,-1.7976931348623157e308,5e-324]}", true},
      {"{\"a\":1e400}", false},
      {"17", true},
  };
  for (const Case& c : cases) {
    rapidjson::Document document;
    std::string text = c.text;
    EXPECT_EQ(c.accepted, zq_camera_service::json::Parse<kOutsideTextFlags>(document, text.data(), text.size()))
        << c.text;
  }
}

TEST(JsonNumberRange, EncoderReplyWithSuchANumberIsLoggedAsNull) {
  zq_test::ScopedLogSettings log(0, 3, "");
  const std::string body = "{\"Response\":{\"RequestId\":\"4\",\"Data\":{\"Height\":24E308}}}";
  zq_camera_service::IpcMessage reply;
  ASSERT_EQ(0, reply.SetJsonRequest("4", body.data(), body.size()));
  EXPECT_EQ("null", zq_camera_service::ConfigService::DescribeReply(reply));
}

TEST(JsonNumberRange, PackageWhoseVersionDocumentHoldsSuchANumberIsRefused) {
  zq_test::ScopedLogSettings log(4, 3, "");
  zq_test::InstallRoot root;
  g_zq_safe_file_path = root / "safe_file";
  zq_test::PopulateRunningSlot(root, 3);
  const std::string document =
      "{\"major\":4,\"limit\":24E308,\"incre_file\":[],"
      "\"all_file\":[{\"name\":\"VersionConfig.json\",\"path\":\"/config/VersionConfig.json\"},"
      "{\"name\":\"zq_camera_service\",\"path\":\"/bin/zq_camera_service\"}]}";
  zq_test::UpgradePackageBuilder builder(4);
  builder.SetDocumentText(document);
  const std::string bytes = builder.Build();
  std::unique_ptr<zq_camera_service::CheckedPackage> package;
  int result = 0;
  std::string printed;
  {
    zq_test::StdoutCapture capture;
    result = zq_camera_service::CheckUpgradePackage(bytes.data(), bytes.size(), zq_test::Md5Hex(bytes), root.path(),
                                                    &package);
    printed = capture.Text();
  }
  EXPECT_EQ(-1, result);
  EXPECT_NE(std::string::npos, printed.find("parase config ERROR")) << printed;
  EXPECT_EQ(nullptr, package);

  // The same document with a number in range passes.
  std::string in_range = document;
  builder.SetDocumentText(in_range.replace(in_range.find("24E308"), 6, "17E307"));
  const std::string fine = builder.Build();
  {
    zq_test::StdoutCapture capture;
    result = zq_camera_service::CheckUpgradePackage(fine.data(), fine.size(), zq_test::Md5Hex(fine), root.path(),
                                                    &package);
    printed = capture.Text();
  }
  EXPECT_EQ(0, result) << printed;
  g_zq_safe_file_path.clear();
}

}  // namespace
