#include "business/report_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zq_camera_service::ReadReportReply;
using zq_camera_service::ReportReply;

TEST(ReportReply, Table) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    bool has_response;
    bool catch_pic;
    int act_id;
    bool gap_usable;
    int gap;
  };
  const Case cases[] = {
      {"empty", "", -1, false, false, 0, false, 0},
      {"blank only", "  \n", -2, false, false, 0, false, 0},
      {"trailing text", "{\"Response\":{\"ReportGap\":4}} x", -2, false, false, 0, false, 0},
      {"two values", "{\"Response\":{}}{}", -2, false, false, 0, false, 0},
      // Nothing of a reply is stored: a note in another encoding than UTF-8
      // costs nothing of what stands beside it.
      {"not UTF-8", "{\"Response\":{\"ReportGap\":4,\"Note\":\"\xFF\xFE\"}}", 0, true, false, 0, true, 4},
      {"legacy two-byte text beside a command",
       "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":5},\"ReportGap\":30,\"Note\":\"\xB2\xE2\"}}", 0,
       true, true, 5, true, 30},
      {"legacy text in the refusal", "{\"Response\":{\"Error\":{\"Code\":\"E\",\"Message\":\"\xB2\xE2\"}}}", -3, true,
       false, 0, false, 0},
      {"escape that is no character", "{\"Response\":{\"ReportGap\":4,\"Note\":\"\\uDC00\"}}", 0, true, false, 0,
       true, 4},
      {"not UTF-8 and not JSON", "{\"Response\":{\"ReportGap\":4,\"Note\":\"\xFF\xFE}}", -2, false, false, 0, false, 0},
      {"UTF-8 text", "{\"Response\":{\"ReportGap\":4,\"Note\":\"caf\xC3\xA9\"}}", 0, true, false, 0, true, 4},
      {"trailing blanks", "{\"Response\":{\"ReportGap\":4}} \r\n", 0, true, false, 0, true, 4},
      {"bare status code", "404", 0, false, false, 0, false, 0},
      {"array", "[{\"Response\":{}}]", 0, false, false, 0, false, 0},
      {"Response not an object", "{\"Response\":\"ok\"}", 0, false, false, 0, false, 0},
      {"no Response", "{\"ReportGap\":4}", 0, false, false, 0, false, 0},
      {"plain acceptance", "{\"Response\":{\"RequestId\":\"3\"}}", 0, true, false, 0, false, 0},
      {"Error object", "{\"Response\":{\"Error\":{\"Code\":\"E1\",\"Message\":\"bad\"},\"ReportGap\":9}}", -3, true,
       false, 0, false, 0},
      {"Error null", "{\"Response\":{\"Error\":null,\"ExtMsg\":{\"cmd\":\"CatchCameraPic\"}}}", -3, true, false, 0,
       false, 0},
      {"Error empty string", "{\"Response\":{\"Error\":\"\"}}", -3, true, false, 0, false, 0},
      {"catch with act id", "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":77}}}", 0, true, true, 77,
       false, 0},
      {"catch without act id", "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\"}}}", 0, true, true, 0, false, 0},
      {"catch with act id as text", "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":\"77\"}}}", 0,
       true, true, 0, false, 0},
      {"act id too large", "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":4294967296}}}", 0, true,
       true, 0, false, 0},
      {"other command", "{\"Response\":{\"ExtMsg\":{\"cmd\":\"Reboot\",\"actid\":5}}}", 0, true, false, 0, false, 0},
      {"cmd not a string", "{\"Response\":{\"ExtMsg\":{\"cmd\":1}}}", 0, true, false, 0, false, 0},
      {"ExtMsg not an object", "{\"Response\":{\"ExtMsg\":\"CatchCameraPic\"}}", 0, true, false, 0, false, 0},
      {"gap and catch", "{\"Response\":{\"ReportGap\":120,\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":-2}}}", 0,
       true, true, -2, true, 120},
      {"gap zero", "{\"Response\":{\"ReportGap\":0}}", 0, true, false, 0, false, 0},
      {"gap negative", "{\"Response\":{\"ReportGap\":-5}}", 0, true, false, 0, false, 0},
      {"gap fraction", "{\"Response\":{\"ReportGap\":2.5}}", 0, true, false, 0, false, 0},
      {"gap text", "{\"Response\":{\"ReportGap\":\"4\"}}", 0, true, false, 0, false, 0},
      {"gap null", "{\"Response\":{\"ReportGap\":null}}", 0, true, false, 0, false, 0},
      {"gap a day", "{\"Response\":{\"ReportGap\":86400}}", 0, true, false, 0, true, 86400},
      {"gap above a day", "{\"Response\":{\"ReportGap\":86401}}", 0, true, false, 0, true, 86400},
      {"gap beyond int", "{\"Response\":{\"ReportGap\":99999999999}}", 0, true, false, 0, true, 86400},
  };
  for (const Case& c : cases) {
    ReportReply reply = ReadReportReply(c.text);
    EXPECT_EQ(c.result, reply.result) << c.name;
    EXPECT_EQ(c.has_response, reply.has_response) << c.name;
    EXPECT_EQ(c.catch_pic, reply.catch_camera_pic) << c.name;
    EXPECT_EQ(c.act_id, reply.act_id) << c.name;
    EXPECT_EQ(c.gap_usable, reply.report_gap_usable) << c.name;
    if (c.gap_usable) {
      EXPECT_EQ(c.gap, reply.report_gap) << c.name;
    }
  }
}

TEST(ReportReply, RefusalTextsAreTypeChecked) {
  struct Case {
    const char* text;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {"{\"Response\":{\"Error\":{\"Code\":\"AuthFailure\",\"Message\":\"signature mismatch\"}}}", "AuthFailure",
       "signature mismatch"},
      {"{\"Response\":{\"Error\":{\"Code\":401,\"Message\":[\"x\"]}}}", "", ""},
      {"{\"Response\":{\"Error\":null}}", "", ""},
      {"{\"Response\":{\"Error\":{\"Message\":\"only\"}}}", "", "only"},
  };
  for (const Case& c : cases) {
    ReportReply reply = ReadReportReply(c.text);
    EXPECT_EQ(-3, reply.result) << c.text;
    EXPECT_EQ(c.code, reply.error_code) << c.text;
    EXPECT_EQ(c.message, reply.error_message) << c.text;
  }
}

TEST(ReportReply, ReplyBytesAreNotCutAtANul) {
  std::string text = "{\"Response\":{\"ReportGap\":4}}";
  text.push_back('\0');
  text += "junk";
  EXPECT_EQ(-2, ReadReportReply(text).result);
  // A gap present but ignored is still reported as present.
  ReportReply ignored = ReadReportReply("{\"Response\":{\"ReportGap\":\"soon\"}}");
  EXPECT_TRUE(ignored.has_report_gap);
  EXPECT_FALSE(ignored.report_gap_usable);
}

}  // namespace
