// Tests of request objects: column comparisons and thresholds.
#include "framework/tables/request.h"

#include <string.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "framework/situations/condition.h"
#include "tables/tvx_vxlogent_base.h"
#include "tables/x7srv_rnodests_base.h"

namespace {

std::string StampAgo(long seconds) {
  char stamp[17];
  HOV_FormatTimestamp(static_cast<long>(time(nullptr)) - seconds, stamp);
  return stamp;
}

// An sshd entry made two hours ago. ENTRYTYPE is padded with NULs, the other
// text columns with blanks.
tvx_vxlogent_data_t SshEntry() {
  tvx_vxlogent_data_t r;
  memset(&r, ' ', sizeof r);
  SetTextColumn(r.entrysrc, sizeof r.entrysrc, "sshd");
  SetTextColumn(r.entrydesc, sizeof r.entrydesc, "Failed password for root");
  memset(r.entrytype, '\0', sizeof r.entrytype);
  memcpy(r.entrytype, "INFO", 4);
  SetTextColumn(r.entrytime, sizeof r.entrytime, StampAgo(2 * 3600).c_str());
  SetTextColumn(r.timestamp, sizeof r.timestamp, StampAgo(0).c_str());
  r.freqthresh = 5;
  r.periodthrs = -3;
  r.sampleno = 0;
  r.rowno = 0;
  return r;
}

RequestDetail Detail(const char* appl, const char* table,
                     const std::string& condition) {
  RequestDetail d;
  d.appl = appl;
  d.table = table;
  std::string err;
  EXPECT_TRUE(ParseCondition(condition, &d.thresholds, &err))
      << condition << ": " << err;
  return d;
}

// TextContains finds what memmem finds, for texts and parts of every length
// around the 16-byte blocks it screens, of bytes that repeat (many places to
// look at again), padding and bytes past ASCII.
TEST(TextContainsTest, AgreesWithMemmem) {
  const char alphabet[] = {'a', 'b', ' ', '\0', '\xff'};
  unsigned seed = 20261209;
  char text[200];
  char part[24];
  for (int n = 0; n < 40000; ++n) {
    const size_t length = static_cast<size_t>(rand_r(&seed)) % sizeof text;
    const size_t size = static_cast<size_t>(rand_r(&seed)) % sizeof part;
    for (size_t i = 0; i < length; ++i) {
      text[i] = alphabet[rand_r(&seed) % 5];
    }
    for (size_t i = 0; i < size; ++i) {
      part[i] = alphabet[rand_r(&seed) % (n % 2 == 0 ? 2 : 5)];
    }
    if (size > 0 && size <= length && n % 3 == 0) {  // planted: found
      memcpy(text + static_cast<size_t>(rand_r(&seed)) % (length - size + 1),
             part, size);
    }
    ASSERT_EQ(TextContains(text, length, part, size),
              size == 0 || memmem(text, length, part, size) != nullptr)
        << "length " << length << ", size " << size;
  }
}

// Wide fields are passed over 64 bytes of padding at a time: the text's end
// is found wherever it lies in them.
TEST(TextContainsTest, UnpaddedLengthOfWideFields) {
  for (int width = 60; width <= 300; width += 7) {
    for (int text = 0; text <= width; ++text) {
      std::string field(static_cast<size_t>(width), text % 2 ? ' ' : '\0');
      field.replace(0, static_cast<size_t>(text),
                    std::string(static_cast<size_t>(text), ' '));
      if (text > 0) {
        field[static_cast<size_t>(text - 1)] = text % 3 ? '\x01' : '\xa0';
      }
      ASSERT_EQ(UnpaddedLength(field.data(), width), text) << width;
    }
  }
}

TEST(VanduTest, ThresholdsOnTextAndIntegerColumns) {
  const struct {
    const char* condition;
    int holds;
  } cases[] = {
      {"", 1},
      {"ENTRYSRC == \"sshd\"",
       1},  // the column's blanks are not part of the value
      {"ENTRYSRC == \"ssh\"", 0},
      {"ENTRYSRC != \"sshd\"", 0},
      {"ENTRYSRC != \"cron\"", 1},
      {"ENTRYSRC >= \"sshd\"", 1},
      {"ENTRYSRC >= \"sshe\"", 0},
      {"ENTRYSRC <= \"sshd\"", 1},
      {"ENTRYSRC <= \"sshc\"", 0},
      {"ENTRYSRC < \"sshda\"", 1},  // a prefix orders first
      {"ENTRYSRC < \"sshd\"", 0},
      {"ENTRYSRC > \"ssh\"", 1},
      {"ENTRYSRC > \"sshd\"", 0},
      {"ENTRYSRC < \"\xc3\xa9t\xc3\xa9\"",
       1},                           // bytewise: 0xC3 orders after 's'
      {"ENTRYTYPE == \"INFO\"", 1},  // NUL padding is ignored too
      {"ENTRYTYPE > \"INFO\"", 0},
      {"ENTRYSYS == \"\"", 1},
      {"ENTRYDESC ~ \"password for\"", 1},
      {"ENTRYDESC ~ \"Password\"", 0},
      {"ENTRYDESC ~ \"Failed password for root!\"", 0},
      {"ENTRYDESC =~ \"^Failed (password|publickey) for [a-z]+$\"", 1},
      {"ENTRYDESC =~ \"^password\"", 0},
      {"FREQTHRESH == 5", 1},
      {"FREQTHRESH == 4", 0},
      {"FREQTHRESH != 5", 0},
      {"FREQTHRESH >= 5", 1},
      {"FREQTHRESH >= 6", 0},
      {"FREQTHRESH <= 5", 1},
      {"FREQTHRESH <= 4", 0},
      {"FREQTHRESH < 6", 1},
      {"FREQTHRESH < 5", 0},
      {"FREQTHRESH > 4", 1},
      {"FREQTHRESH > 5", 0},
      {"PERIODTHRS < 0 AND PERIODTHRS > -4", 1},  // signed
      {"FREQTHRESH < 5000000000 AND FREQTHRESH > -5000000000", 1},
      {"FREQTHRESH > 4294967301", 0},  // no truncation to 32 bits
      {"ENTRYTIME < \"-1h\"", 1},
      {"ENTRYTIME < \"-3h\"", 0},
      {"ENTRYTIME > \"-150m\" AND ENTRYTIME > \"-1d\"", 1},
      {"TIMESTAMP >= \"-30s\"", 1},
      {"TIMESTAMP < \"-30s\"", 0},
      {"ENTRYSRC ~ \"ssh\" AND FREQTHRESH >= 5", 1},
      {"ENTRYSRC ~ \"ssh\" AND FREQTHRESH >= 6", 0},
  };
  const tvx_vxlogent_data_t row = SshEntry();
  for (const auto& c : cases) {
    RequestDetail d = Detail("TVX", "VXLOGENT", c.condition);
    ContextInfo context;
    tvx_vxlogent_base request(&d, &context, nullptr);
    EXPECT_EQ(request.CheckForException(reinterpret_cast<const char*>(&row)),
              c.holds)
        << c.condition;
  }
}

TEST(VanduTest, UnsignedColumnComparesUnsigned) {
  x7srv_rnodests_data_t row;
  memset(&row, 0, sizeof row);
  row.sampleno = 0xFFFFFFFFu;
  const struct {
    const char* condition;
    int holds;
  } cases[] = {{"SAMPLENO > 0", 1},
               {"SAMPLENO == 4294967295", 1},
               {"SAMPLENO == -1", 0}};
  for (const auto& c : cases) {
    RequestDetail d = Detail("X7SRV", "RNODESTS", c.condition);
    ContextInfo context;
    x7srv_rnodests_base request(&d, &context, nullptr);
    EXPECT_EQ(request.CheckForException(reinterpret_cast<const char*>(&row)),
              c.holds)
        << c.condition;
  }
}

TEST(VanduTest, BadRegularExpressionIsRejectedWithTheEngineMessage) {
  RequestDetail d;
  d.appl = "TVX";
  d.table = "VXLOGENT";
  Threshold_Spec spec;
  spec.column = "ENTRYDESC";
  spec.oper = GIR1_REGEX;
  spec.text = "fail(ed";
  d.thresholds.push_back(spec);
  ContextInfo context;
  tvx_vxlogent_base request(&d, &context, nullptr);
  EXPECT_EQ(request.ThresholdError(),
            "bad regular expression for ENTRYDESC: missing ): fail(ed");
  tvx_vxlogent_data_t row = SshEntry();
  SetTextColumn(row.entrydesc, sizeof row.entrydesc, "fail(ed");
  EXPECT_EQ(request.CheckForException(reinterpret_cast<const char*>(&row)), 0);
}

}  // namespace
