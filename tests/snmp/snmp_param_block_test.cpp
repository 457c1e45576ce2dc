#include "snmp/snmp_param_block.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "support/stdout_capture.h"

namespace {

// Fields in declaration order: heartbeat, CPU and memory thresholds, reserved
// value, ident number, company name, ident code and year, MAC address.
const SnmpParamBlock kDefaults = {20, 20, 120000, 415, 1, "zorblat", 12345, 2018, "mac_test"};

// Every field of `actual` holds `expected`'s value (texts up to their terminator).
void ExpectRecord(const SnmpParamBlock& expected, const SnmpParamBlock& actual) {
  EXPECT_EQ(expected.heartbeat_interval, actual.heartbeat_interval);
  EXPECT_EQ(expected.cpu_ratio_threshold, actual.cpu_ratio_threshold);
  EXPECT_EQ(expected.mem_free_threshold, actual.mem_free_threshold);
  EXPECT_EQ(expected.reserved_value, actual.reserved_value);
  EXPECT_EQ(expected.ident_number, actual.ident_number);
  EXPECT_STREQ(expected.company_name, actual.company_name);
  EXPECT_EQ(expected.ident_code, actual.ident_code);
  EXPECT_EQ(expected.ident_year, actual.ident_year);
  EXPECT_STREQ(expected.mac_address, actual.mac_address);
}

void ExpectDefaults(const SnmpParamBlock& block) { ExpectRecord(kDefaults, block); }

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
  const SnmpParamBlock source = {7, -3, 99, 5, 6, "acme", 8, 1999, "aa:bb"};
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
  ExpectRecord(source, copy);
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
