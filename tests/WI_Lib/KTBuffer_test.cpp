// Tests of KTBuffer and CKTBuffer: storage sizes and growth steps, the
// zeroed tail behind the data, binary content, appending a buffer to itself,
// formatted appends at their boundaries, and the class's exceptions and its
// non-throwing construction.
#include "KTBuffer.h"

#include <string.h>
#include <wchar.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "WIException.h"

namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;

// The buffer's invariants: data shorter than the storage and every byte
// behind the data zero.
::testing::AssertionResult wellFormed(const KTBuffer* b) {
  if (b->dataLength >= b->bufferLength) {
    return ::testing::AssertionFailure() << "dataLength " << b->dataLength << " >= bufferLength "
                                         << b->bufferLength;
  }
  for (size_t i = b->dataLength; i < b->bufferLength; ++i) {
    if (b->pData[i] != 0) return ::testing::AssertionFailure() << "non-zero byte at " << i;
  }
  return ::testing::AssertionSuccess();
}

std::string content(const KTBuffer* b) { return std::string(b->pData, b->dataLength); }

class KTBufferTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (buf != nullptr) {
      EXPECT_TRUE(wellFormed(buf));
      EXPECT_EQ(0, KTBufferFree(&buf));
    }
  }
  KTBuffer* buf = nullptr;
};

// --- creation ------------------------------------------------------------------

TEST_F(KTBufferTest, NewBuffersHaveAtLeast1024Bytes) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  EXPECT_EQ(0u, buf->dataLength);
  EXPECT_EQ(1024u, buf->bufferLength);
  EXPECT_TRUE(wellFormed(buf));
  KTBufferFree(&buf);

  std::string big(2000, 'x');
  ASSERT_EQ(0, KTBufferStrNew(&buf, big.c_str()));
  EXPECT_EQ(2000u, buf->dataLength);
  EXPECT_EQ(2001u, buf->bufferLength);
  EXPECT_EQ(big, buf->pData);
  KTBufferFree(&buf);

  std::string exact(1023, 'y');
  ASSERT_EQ(0, KTBufferStrNew(&buf, exact.c_str()));
  EXPECT_EQ(1024u, buf->bufferLength);
}

TEST_F(KTBufferTest, BinaryContentKeepsNulBytes) {
  const char data[] = {'a', 0, 'b', 0, 0, 'c'};
  ASSERT_EQ(0, KTBufferBinNew(&buf, data, sizeof(data)));
  EXPECT_EQ(6u, buf->dataLength);
  EXPECT_EQ(0, memcmp(buf->pData, data, 6));
  ASSERT_EQ(0, KTBufferBinAppend(buf, data, sizeof(data)));
  size_t len = 0;
  ASSERT_EQ(0, KTBufferSize(buf, &len));
  EXPECT_EQ(12u, len);
  EXPECT_EQ(std::string(data, 6) + std::string(data, 6), content(buf));
  EXPECT_EQ(0, buf->pData[12]);
}

TEST_F(KTBufferTest, BadArgumentsAreRejected) {
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrNew(nullptr, "x"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrNew(&buf, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferBinNew(&buf, nullptr, 0));
  EXPECT_EQ(nullptr, buf);
  ASSERT_EQ(0, KTBufferStrNew(&buf, "keep"));
  KTBuffer* held = buf;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrNew(&buf, "other"));
  EXPECT_EQ(held, buf);

  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrSet(buf, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferBinSet(nullptr, "x", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrAppend(buf, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferBinAppend(buf, nullptr, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferStrAppendf(nullptr, "%d", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferSize(buf, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferFree(nullptr));
  KTBuffer* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTBufferFree(&none));
  EXPECT_STREQ("keep", buf->pData);

  unsigned status = 77;
  EXPECT_EQ(nullptr, KTBufferGet(nullptr, &status));
  EXPECT_EQ(5u, status);
  EXPECT_EQ(buf->pData, KTBufferGet(buf, &status));
  EXPECT_EQ(0u, status);
  EXPECT_EQ(nullptr, KTBufferGet(buf, nullptr));
}

// --- set and append ------------------------------------------------------------

TEST_F(KTBufferTest, ShorterSetLeavesNoTraceOfLongerContent) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, "a rather long first value"));
  ASSERT_EQ(0, KTBufferStrSet(buf, "short"));
  EXPECT_STREQ("short", buf->pData);
  EXPECT_EQ(5u, buf->dataLength);
  EXPECT_TRUE(wellFormed(buf));

  ASSERT_EQ(0, KTBufferBinSet(buf, "\0z", 2));
  EXPECT_EQ(2u, buf->dataLength);
  EXPECT_EQ(std::string("\0z", 2), content(buf));
  EXPECT_TRUE(wellFormed(buf));
}

TEST_F(KTBufferTest, SetGrowsToExactSizeAndNeverShrinks) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  std::string big(3000, 'q');
  ASSERT_EQ(0, KTBufferStrSet(buf, big.c_str()));
  EXPECT_EQ(3001u, buf->bufferLength);
  EXPECT_EQ(big, buf->pData);
  ASSERT_EQ(0, KTBufferStrSet(buf, "x"));
  EXPECT_EQ(3001u, buf->bufferLength);
  EXPECT_STREQ("x", buf->pData);
}

TEST_F(KTBufferTest, AppendGrowsToExactSize) {
  std::string start(1023, 'a');
  ASSERT_EQ(0, KTBufferStrNew(&buf, start.c_str()));
  ASSERT_EQ(1024u, buf->bufferLength);
  ASSERT_EQ(0, KTBufferStrAppend(buf, "bc"));
  EXPECT_EQ(1026u, buf->bufferLength);
  EXPECT_EQ(1025u, buf->dataLength);
  EXPECT_EQ(start + "bc", buf->pData);
  ASSERT_EQ(0, KTBufferStrAppend(buf, ""));
  EXPECT_EQ(1026u, buf->bufferLength);
}

TEST_F(KTBufferTest, AppendingOwnContentSurvivesGrowth) {
  std::string start(1000, 'm');
  start += "END";
  ASSERT_EQ(0, KTBufferStrNew(&buf, start.c_str()));
  // The source is the buffer's own storage, which the growth moves.
  ASSERT_EQ(0, KTBufferStrAppend(buf, buf->pData));
  EXPECT_EQ(start + start, buf->pData);
  ASSERT_EQ(0, KTBufferBinAppend(buf, buf->pData + 1000, 3));
  EXPECT_EQ(start + start + "END", buf->pData);
  ASSERT_EQ(0, KTBufferStrSet(buf, buf->pData + 2000));
  EXPECT_EQ("mmmEND" "END", std::string(buf->pData));
}

// --- formatted append ----------------------------------------------------------

TEST_F(KTBufferTest, AppendfFormatsIntoFreeSpace) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, "pool "));
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "%s %d %u %c", "alpha", -3, 7u, '!'));
  EXPECT_STREQ("pool alpha -3 7 !", buf->pData);
  EXPECT_EQ(strlen("pool alpha -3 7 !"), buf->dataLength);
  EXPECT_EQ(1024u, buf->bufferLength);
}

TEST_F(KTBufferTest, AppendfOfLongTextGrowsIn1024Steps) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  std::string text(3000, 'z');
  text[0] = '<';
  text[2999] = '>';
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "%s", text.c_str()));
  EXPECT_EQ(3072u, buf->bufferLength);  // 1024 -> 2048 -> 3072
  EXPECT_EQ(3000u, buf->dataLength);
  EXPECT_EQ(text, buf->pData);
}

TEST_F(KTBufferTest, AppendfKeepsHeadroomOf512Bytes) {
  std::string start(600, 'h');  // leaves 424 free bytes
  ASSERT_EQ(0, KTBufferStrNew(&buf, start.c_str()));
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "%d", 5));
  EXPECT_EQ(1624u, buf->bufferLength);  // grown to dataLength + 1024 first
  EXPECT_EQ(start + "5", buf->pData);
}

TEST_F(KTBufferTest, AppendfNeedsOneSpareByteBeyondTheNul) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  std::string fits(1022, 'f');
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "%s", fits.c_str()));
  EXPECT_EQ(1024u, buf->bufferLength);
  EXPECT_EQ(fits, buf->pData);
  KTBufferFree(&buf);

  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  std::string grows(1023, 'g');
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "%s", grows.c_str()));
  EXPECT_EQ(2048u, buf->bufferLength);
  EXPECT_EQ(grows, buf->pData);
}

TEST_F(KTBufferTest, AppendfFailureLeavesContentAndZeroedTail) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, "before"));
  // A wide character that the "C" locale cannot convert makes vsnprintf fail
  // after it has already written the leading text.
  const wchar_t bad[] = {L'\u00e9', 0};
  EXPECT_EQ(ERROR_UNKNOWN, KTBufferStrAppendf(buf, "partial text %ls", bad));
  EXPECT_STREQ("before", buf->pData);
  EXPECT_EQ(6u, buf->dataLength);
  EXPECT_TRUE(wellFormed(buf));
  ASSERT_EQ(0, KTBufferStrAppendf(buf, "-%s", "after"));
  EXPECT_STREQ("before-after", buf->pData);
}

TEST_F(KTBufferTest, ManyAppendfCallsBuildOneLine) {
  ASSERT_EQ(0, KTBufferStrNew(&buf, ""));
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(0, KTBufferStrAppendf(buf, "%d;", i));
    expected += std::to_string(i) + ";";
  }
  EXPECT_EQ(expected, buf->pData);
  EXPECT_TRUE(wellFormed(buf));
  EXPECT_GE(buf->bufferLength - buf->dataLength, 1u);
}

// --- CKTBuffer -----------------------------------------------------------------

TEST(CKTBufferTest, OwnsAndExposesTheBuffer) {
  CKTBuffer b("start");
  KTBuffer* raw = b;
  ASSERT_NE(nullptr, raw);
  ASSERT_EQ(0, KTBufferStrAppendf(b, " %d", 1));
  EXPECT_STREQ("start 1", static_cast<const char*>(b));
  CKTBuffer empty;
  EXPECT_STREQ("", static_cast<const char*>(empty));
}

TEST(CKTBufferTest, ConstructionFailureThrowsWithStatus) {
  EXPECT_THAT(testsupport::ErrorOf<CWIException>([] { CKTBuffer b(nullptr); }),
              AllOf(HasSubstr("CKTBuffer(): KTBufferStrNew() failed"), EndsWith("(status=5)")));
}

TEST(CKTBufferTest, NonThrowingHolderReportsStatusesAndKeepsItsFirstBuffer) {
  CKTBuffer holder(std::nothrow);
  EXPECT_EQ(nullptr, holder.get());
  EXPECT_THAT(testsupport::ErrorOf<CWIException>([&] { (void)static_cast<const char*>(holder); }),
              EndsWith("(status=5)"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, holder.init(nullptr));
  EXPECT_EQ(nullptr, holder.get());
  ASSERT_EQ(0, holder.init("first"));
  KTBuffer* first = holder.get();
  EXPECT_EQ(ERROR_INVALID_PARAMETER, holder.init("second"));
  EXPECT_EQ(first, holder.get());
  ASSERT_EQ(0, KTBufferBinAppend(holder, "\0\1", 2));
  EXPECT_EQ(std::string("first\0\1", 7), holder.str());
}

}  // namespace
