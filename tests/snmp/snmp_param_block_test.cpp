#include "snmp/snmp_param_block.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support/stdout_capture.h"

namespace {

void ExpectDefaults(const SnmpParamBlock& block) {
  EXPECT_EQ(20, block.heartbeat_interval);
  EXPECT_EQ(20, block.cpu_ratio_threshold);
  EXPECT_EQ(120000, block.mem_free_threshold);
  EXPECT_EQ(415, block.reserved_value);
  EXPECT_EQ(1, block.ident_number);
  EXPECT_STREQ("zorblat", block.company_name);
  EXPECT_EQ(12345, block.ident_code);
  EXPECT_EQ(2018, block.ident_year);
  EXPECT_STREQ("mac_test", block.mac_address);
}

TEST(SnmpParamBlock, DefaultsFillOnlyTheirOwnCharacters) {
  addsnmpParams = SnmpParamBlock{};
  initsnmpParams();
  ExpectDefaults(addsnmpParams);
  for (size_t i = strlen("zorblat"); i < sizeof addsnmpParams.company_name; ++i) {
    ASSERT_EQ('\0', addsnmpParams.company_name[i]) << i;
  }
  for (size_t i = strlen("mac_test"); i < sizeof addsnmpParams.mac_address; ++i) {
    ASSERT_EQ('\0', addsnmpParams.mac_address[i]) << i;
  }
}

TEST(SnmpParamBlock, SetAndGetCopyTheWholeRecord) {
  SnmpParamBlock source{};
  source.heartbeat_interval = 7;
  source.cpu_ratio_threshold = -3;
  source.mem_free_threshold = 99;
  source.reserved_value = 5;
  source.ident_number = 6;
  strcpy(source.company_name, "acme");
  source.ident_code = 8;
  source.ident_year = 1999;
  strcpy(source.mac_address, "aa:bb");
  std::string out;
  {
    zq_test::StdoutCapture capture;
    EXPECT_EQ(0, setParam(&source));
    out = capture.Text();
  }
  EXPECT_EQ("setParam\n", out);

  SnmpParamBlock copy;
  memset(&copy, 0x55, sizeof copy);
  EXPECT_EQ(0, getParam(&copy));
  EXPECT_EQ(7, copy.heartbeat_interval);
  EXPECT_EQ(-3, copy.cpu_ratio_threshold);
  EXPECT_EQ(99, copy.mem_free_threshold);
  EXPECT_EQ(5, copy.reserved_value);
  EXPECT_EQ(6, copy.ident_number);
  EXPECT_STREQ("acme", copy.company_name);
  EXPECT_EQ(8, copy.ident_code);
  EXPECT_EQ(1999, copy.ident_year);
  EXPECT_STREQ("aa:bb", copy.mac_address);
}

TEST(SnmpParamBlock, TextWithoutTerminatorIsCutAtNinetyNineCharacters) {
  SnmpParamBlock source{};
  memset(source.company_name, 'c', sizeof source.company_name);
  memset(source.mac_address, 'm', sizeof source.mac_address);
  {
    zq_test::StdoutCapture quiet;
    setParam(&source);
  }
  SnmpParamBlock copy{};
  getParam(&copy);
  EXPECT_EQ(std::string(99, 'c'), std::string(copy.company_name));
  EXPECT_EQ(std::string(99, 'm'), std::string(copy.mac_address));
}

TEST(SnmpParamBlock, InitStoresTheDefaultsIntoTheMasterRecord) {
  snmp_Param = SnmpParamBlock{};
  std::string out;
  {
    zq_test::StdoutCapture capture;
    EXPECT_EQ(0, init_snmpParam());
    out = capture.Text();
  }
  EXPECT_EQ("init\n", out);
  ExpectDefaults(snmp_Param);
  SnmpParamBlock copy{};
  getParam(&copy);
  ExpectDefaults(copy);
}

TEST(SnmpParamBlock, Str2Int) {
  EXPECT_EQ(42, str2int("42"));
  EXPECT_EQ(-7, str2int(" -7x"));
  EXPECT_EQ(0, str2int("abc"));
  EXPECT_EQ(0, str2int(nullptr));
  EXPECT_EQ(INT_MAX, str2int("99999999999999"));
}

}  // namespace
