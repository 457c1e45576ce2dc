// The wire schema of the private cloud: exact request bytes, reply decoding,
// and the schema's messages and field numbers.
#include "proto/retail_preprocess.pb.h"

#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/wire_bytes.h"

namespace {

using zq_test::FromHex;
using zq_test::Hex;

// One face with negative, zero and fractional values, every field set.
zarnu::FaceDetectReq GoldenRequest() {
  zarnu::FaceDetectReq request;
  request.set_company_id("C1");
  request.set_shop_id(0);
  request.set_camera_id(3);
  zarnu::FaceInfo* face = request.add_faces();
  face->set_image(std::string("\x00\xff", 2));
  face->mutable_face_rect()->set_x(-1);
  face->mutable_face_rect()->set_y(2);
  face->mutable_face_rect()->set_width(0);
  face->mutable_face_rect()->set_height(4);
  face->set_face_pitch(-12.0f);
  face->set_face_yaw(0.0f);
  face->set_face_roll(1.5f);
  face->set_face_confidence(0.0f);
  face->set_face_score(88.0f);
  request.set_timestamp(1700000000);
  request.set_type(1);
  request.set_session_id("");
  request.set_protocol_version(0);
  request.set_mac("m");
  request.set_signature("s");
  return request;
}

const char kGoldenHex[] =
    "0A 02 43 31 10 00 18 03 "                     // company_id "C1", shop_id 0, camera_id 3
    "22 30 "                                       // faces[0], 48 bytes
    "0A 02 00 FF "                                 //   image
    "12 11 08 FF FF FF FF FF FF FF FF FF 01 "      //   face_rect: x -1 as ten bytes
    "10 02 18 00 20 04 "                           //   y 2, width 0, height 4
    "1D 00 00 40 C1 25 00 00 00 00 2D 00 00 C0 3F "  // pitch -12, yaw 0, roll 1.5
    "35 00 00 00 00 3D 00 00 B0 42 "               //   confidence 0, score 88
    "38 80 E2 CF AA 06 40 01 4A 00 "               // timestamp, type 1, session_id ""
    "A0 01 00 AA 01 01 6D B2 01 01 73";            // protocol_version 0, mac, signature

TEST(RetailPreprocessTest, FaceDetectReqGoldenBytes) {
  std::string bytes;
  ASSERT_TRUE(GoldenRequest().SerializeToString(&bytes));
  EXPECT_EQ(Hex(FromHex(kGoldenHex)), Hex(bytes));
}

TEST(RetailPreprocessTest, FieldsNeverSetAreAbsentAndAnEmptyFaceListHasNoField4) {
  zarnu::FaceDetectReq request;
  std::string bytes;
  ASSERT_TRUE(request.SerializeToString(&bytes));
  EXPECT_EQ("", Hex(bytes));
  request.set_shop_id(0);
  ASSERT_TRUE(request.SerializeToString(&bytes));
  EXPECT_EQ("10 00", Hex(bytes));
  request.set_timestamp(static_cast<uint64_t>(static_cast<int64_t>(-2)));  // a negative second widened with its sign
  ASSERT_TRUE(request.SerializeToString(&bytes));
  EXPECT_EQ("10 00 38 FE FF FF FF FF FF FF FF FF 01", Hex(bytes));
}

TEST(RetailPreprocessTest, GoldenBytesDecodeRawIndependently) {
  std::string bytes;
  ASSERT_TRUE(GoldenRequest().SerializeToString(&bytes));
  std::string decoded = zq_test::DecodeRaw(bytes);
  EXPECT_EQ(
      "1: \"C1\"\n2: 0\n3: 3\n4 {\n  1: \"\\000\\377\"\n  2 {\n    1: 18446744073709551615\n    2: 2\n    3: 0\n"
      "    4: 4\n  }\n  3: 0xc1400000\n  4: 0x00000000\n  5: 0x3fc00000\n  6: 0x00000000\n  7: 0x42b00000\n}\n"
      "7: 1700000000\n8: 1\n9: \"\"\n20: 0\n21: \"m\"\n22: \"s\"\n",
      decoded);
}

struct ReplyCase {
  const char* name;
  std::string hex;
  bool parses;
  int error_code;
  std::string error_msg;
  std::string session_id;
  size_t unknown_fields;
};

TEST(RetailPreprocessTest, CommonResultRspParseTable) {
  auto digits = [](const char* text) { return Hex(text); };
  const ReplyCase cases[] = {
      {"empty body", "", true, 0, "", "", 0},
      {"all three fields", "08 07 12 02 6F 6B 1A 03 73 2D 31", true, 7, "ok", "s-1", 0},
      {"negative error code", "08 FB FF FF FF FF FF FF FF FF 01", true, -5, "", "", 0},
      {"message with NUL bytes", "12 03 61 00 62", true, 0, std::string("a\0b", 3), "", 0},
      {"unknown field kept aside", "30 05 08 02 4A 01 78", true, 2, "", "", 2},
      {"known number, other wire type, is unknown", "0D 01 02 03 04", true, 0, "", "", 1},
      {"second error code wins", "08 01 08 02", true, 2, "", "", 0},
      {"status text 500", digits("500"), false, 0, "", "", 0},
      {"status text 404", digits("404"), false, 0, "", "", 0},
      {"status text 200", digits("200"), false, 0, "", "", 0},
      {"truncated varint", "08 FF", false, 0, "", "", 0},
      {"length past the end", "12 05 61", false, 0, "", "", 0},
  };
  for (const ReplyCase& c : cases) {
    zarnu::CommonResultRsp reply;
    bool parsed = reply.ParseFromString(FromHex(c.hex));
    EXPECT_EQ(c.parses, parsed) << c.name;
    if (!c.parses) continue;
    EXPECT_EQ(c.error_code, reply.error_code()) << c.name;
    EXPECT_EQ(c.error_msg, reply.error_msg()) << c.name;
    EXPECT_EQ(c.session_id, reply.session_id()) << c.name;
    EXPECT_EQ(c.unknown_fields, static_cast<size_t>(reply.GetReflection()->GetUnknownFields(reply).field_count()))
        << c.name;
  }
}

// name=number:type, optional unless marked "repeated".
std::vector<std::string> FieldsOf(const google::protobuf::Descriptor* message) {
  std::vector<std::string> fields;
  for (int i = 0; i < message->field_count(); ++i) {
    const google::protobuf::FieldDescriptor* field = message->field(i);
    std::string type = field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE
                           ? field->message_type()->full_name()
                           : field->type_name();
    fields.push_back(std::string(field->is_repeated() ? "repeated " : "") + field->name() + "=" +
                     std::to_string(field->number()) + ":" + type);
  }
  return fields;
}

TEST(RetailPreprocessTest, SchemaMessagesAndFieldNumbers) {
  const std::vector<std::string> request_tail = {"timestamp=7:uint64", "type=8:uint32", "session_id=9:string",
                                                 "protocol_version=20:uint32", "mac=21:string",
                                                 "signature=22:string"};
  auto with_head = [&](std::vector<std::string> head) {
    head.insert(head.end(), request_tail.begin(), request_tail.end());
    return head;
  };
  const std::vector<std::string> rect = {"x=1:int32", "y=2:int32", "width=3:int32", "height=4:int32"};
  struct Case {
    const google::protobuf::Descriptor* message;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {zarnu::HeaderCountReq::descriptor(),
       with_head({"company_id=1:string", "shop_id=2:uint32", "camera_id=3:uint32", "person_num=4:uint32",
                  "person_in_num=5:uint32", "person_out_num=6:uint32"})},
      {zarnu::Position::descriptor(), {"head=1:zarnu.Position.Rect", "body=2:zarnu.Position.Rect", "time=3:uint64"}},
      {zarnu::Position_Rect::descriptor(), rect},
      {zarnu::Trace::descriptor(), {"repeated trace=1:zarnu.Position"}},
      {zarnu::PushBodyTraceReq::descriptor(),
       with_head({"company_id=1:string", "shop_id=2:uint32", "camera_id=3:uint32", "repeated traces=4:zarnu.Trace"})},
      {zarnu::FaceInfo::descriptor(),
       {"image=1:bytes", "face_rect=2:zarnu.FaceInfo.Rect", "face_pitch=3:float", "face_yaw=4:float",
        "face_roll=5:float", "face_confidence=6:float", "face_score=7:float"}},
      {zarnu::FaceInfo_Rect::descriptor(), rect},
      {zarnu::FaceDetectReq::descriptor(),
       with_head({"company_id=1:string", "shop_id=2:uint32", "camera_id=3:uint32", "repeated faces=4:zarnu.FaceInfo"})},
      {zarnu::CommonResultRsp::descriptor(), {"error_code=1:int32", "error_msg=2:string", "session_id=3:string"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.fields, FieldsOf(c.message)) << c.message->full_name();

  // The whole file, declaration order included, as the embedded descriptor.
  const google::protobuf::FileDescriptor* file = zarnu::FaceDetectReq::descriptor()->file();
  EXPECT_EQ("retail_preprocess.proto", file->name());
  EXPECT_EQ("zarnu", file->package());
  std::vector<std::string> order;
  for (int i = 0; i < file->message_type_count(); ++i) order.push_back(file->message_type(i)->name());
  EXPECT_EQ((std::vector<std::string>{"HeaderCountReq", "Position", "Trace", "PushBodyTraceReq", "FaceInfo",
                                      "FaceDetectReq", "CommonResultRsp"}),
            order);
  google::protobuf::FileDescriptorProto proto;
  file->CopyTo(&proto);
  EXPECT_EQ(1231u, proto.SerializeAsString().size());
}

}  // namespace
