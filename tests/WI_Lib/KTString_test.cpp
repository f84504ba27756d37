// Tests of the string helpers: formatting of any length with its doubling
// steps and error path, in-place replacement with the size check, and
// reading unsigned numbers from a text cursor.
#include "KTString.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTDebug.h"
#include "TestSupport.h"

namespace {

// Formats "%s" with the text through KTFormatString and returns the result
// ("<status N>" on failure).
std::string format(int* written, const char* arg) {
  char* out = nullptr;
  KTStatus st = KTFormatString(&out, written, "%s", arg);
  if (st != 0) {
    EXPECT_EQ(nullptr, out);
    return "<status " + std::to_string(st) + ">";
  }
  std::string text(out);
  free(out);
  return text;
}

// --- KTFormatString / KTVFormatString ------------------------------------------

TEST(KTFormatString, FormatsShortText) {
  char* out = nullptr;
  int written = -1;
  ASSERT_EQ(0, KTFormatString(&out, &written, "%s:%d", "host", 8080));
  EXPECT_STREQ("host:8080", out);
  EXPECT_EQ(9, written);
  free(out);

  out = nullptr;
  ASSERT_EQ(0, KTFormatString(&out, nullptr, "%s", ""));  // count is optional
  EXPECT_STREQ("", out);
  free(out);
}

TEST(KTFormatString, LongResultDoublesTheSize) {
  std::string big(20000, 'w');
  big[19999] = '$';
#ifdef KT_DEBUG_TRACE
  testsupport::TraceCapture trace(KTDEBUG_UTILS);
#endif
  int written = 0;
  EXPECT_EQ(big, format(&written, big.c_str()));
  EXPECT_EQ(20000, written);
#ifdef KT_DEBUG_TRACE
  std::string text = trace.text();
  EXPECT_NE(std::string::npos, text.find("increasing current buffer size (8192)"));
  EXPECT_NE(std::string::npos, text.find("increasing current buffer size (16384)"));
  EXPECT_EQ(std::string::npos, text.find("(32768)"));
#endif
}

TEST(KTFormatString, BoundaryOfTheFirstAttempt) {
  // The first attempt holds 8190 characters; one more needs the next size.
  for (size_t len : {8189u, 8190u, 8191u, 8192u, 16382u, 16383u}) {
    std::string text(len, 'b');
    int written = 0;
    EXPECT_EQ(text, format(&written, text.c_str())) << len;
    EXPECT_EQ((int)len, written);
  }
}

TEST(KTFormatString, RejectsBadArguments) {
  char* out = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTFormatString(nullptr, nullptr, "%d", 1));
  char keep[] = "x";
  char* used = keep;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTFormatString(&used, nullptr, "%d", 1));
  EXPECT_EQ(keep, used);
  const char* noFormat = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTFormatString(&out, nullptr, noFormat));
#pragma GCC diagnostic pop
  EXPECT_EQ(nullptr, out);
}

TEST(KTFormatString, FormattingErrorEndsWithoutLooping) {
  // In the "C" locale this wide character cannot be converted.
  const wchar_t bad[] = {L'\u00e9', 0};
  char* out = nullptr;
  int written = -5;
  EXPECT_EQ(ERROR_UNKNOWN, KTFormatString(&out, &written, "x%ls", bad));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(-5, written);
}

KTStatus formatTwice(std::string* first, std::string* second, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char* a = nullptr;
  char* b = nullptr;
  KTStatus st = KTVFormatString(&a, nullptr, fmt, args);
  if (st == 0) st = KTVFormatString(&b, nullptr, fmt, args);
  va_end(args);
  if (a) *first = a;
  if (b) *second = b;
  free(a);
  free(b);
  return st;
}

TEST(KTFormatString, ArgumentListIsNotConsumed) {
  std::string big(9000, 'k');  // forces a second attempt inside each call
  std::string first, second;
  ASSERT_EQ(0, formatTwice(&first, &second, "%s|%d", big.c_str(), 42));
  EXPECT_EQ(big + "|42", first);
  EXPECT_EQ(first, second);
}

// --- KTStringReplace ----------------------------------------------------------

// Runs a replacement in a buffer of the given size; returns the status.
KTStatus replace(std::vector<char>* buffer, size_t* size, const char* text, const char* search,
                 const char* repl) {
  buffer->assign(*size > strlen(text) + 1 ? *size : strlen(text) + 1, '#');
  memcpy(buffer->data(), text, strlen(text) + 1);
  return KTStringReplace(buffer->data(), size, search, repl);
}

// Replaces every occurrence when the buffer is large enough; otherwise
// leaves the text alone and reports the size it would need.
TEST(KTStringReplace, ReplacesEveryOccurrenceOrReportsTheRequiredSize) {
  struct Case {
    const char* text;
    const char* search;
    const char* repl;
    size_t size;
    KTStatus status;
    const char* result;
    size_t required;  // checked when the buffer is too small
  };
  const Case cases[] = {
      {"a-b-c-", "-", "::", 64, 0, "a::b::c::", 0},
      {"xxABCyyABC", "ABC", "z", 64, 0, "xxzyyz", 0},
      {"keep all", "none", "x", 64, 0, "keep all", 0},
      {"aXa", "a", "aa", 64, 0, "aaXaa", 0},  // replacement holds the search text
      {"\x01\x01item\x01\x01", "\x01\x01", "", 64, 0, "item", 0},
      {"a-b-c", "-", "<=>", 9, ERROR_INSUFFICIENT_BUFFER, "a-b-c", 10},  // 5 + (3 - 1) * 2 + 1
      {"a-b-c", "-", "<=>", 10, 0, "a<=>b<=>c", 0},
      // Overlapping occurrences count for the size but are replaced once.
      {"aaa", "aa", "bbb", 5, ERROR_INSUFFICIENT_BUFFER, "aaa", 6},  // 3 + 1 * 2 + 1
      {"aaa", "aa", "bbb", 6, 0, "bbba", 0},
      // Overlapping hits with an empty replacement make the estimate
      // negative; that must never turn into a huge size.
      {"aaaa", "aa", "", 5, 0, "", 0},
      {"aaa", "aa", "", 4, 0, "a", 0},
  };
  for (const Case& c : cases) {
    std::vector<char> b;
    size_t size = c.size;
    ASSERT_EQ(c.status, replace(&b, &size, c.text, c.search, c.repl)) << c.text << " / " << c.search;
    EXPECT_STREQ(c.result, b.data()) << c.text << " / " << c.search;
    if (c.status != 0) {
      EXPECT_EQ(c.required, size) << c.text << " / " << c.search;
    }
  }
}

TEST(KTStringReplace, RejectsBadArguments) {
  char text[] = "abc";
  size_t size = sizeof(text);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringReplace(nullptr, &size, "a", "b"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringReplace(text, nullptr, "a", "b"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringReplace(text, &size, nullptr, "b"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringReplace(text, &size, "a", nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringReplace(text, &size, "", "b"));
  EXPECT_STREQ("abc", text);
  EXPECT_EQ(sizeof(text), size);
}

// --- KTGetUIntFromString -------------------------------------------------------

TEST(KTGetUIntFromString, ReadsSuccessiveNumbersSkippingSigns) {
  char text[] = "  -42 abc +7,1000x";
  char* cursor = text;
  int value = -1;
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(42, value);
  EXPECT_EQ(text + 5, cursor);
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(7, value);
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(1000, value);
  EXPECT_STREQ("x", cursor);
  EXPECT_EQ(ERROR_PASSED_END_OF_BUFFER, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ('\0', *cursor);
  EXPECT_EQ(text + strlen(text), cursor);
  EXPECT_EQ(1000, value);
}

TEST(KTGetUIntFromString, NumberEndingTheTextAndEmptyText) {
  char text[] = "007";
  char* cursor = text;
  int value = -1;
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(7, value);
  EXPECT_EQ('\0', *cursor);
  char empty[] = "";
  cursor = empty;
  EXPECT_EQ(ERROR_PASSED_END_OF_BUFFER, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(empty, cursor);
}

TEST(KTGetUIntFromString, NumbersBeyondIntAreRefused) {
  char text[] = "2147483647 2147483648 99999999999999999999 5";
  char* cursor = text;
  int value = 0;
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(INT_MAX, value);
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTGetUIntFromString(&cursor, &value));
  EXPECT_EQ(INT_MAX, value);
  EXPECT_EQ(' ', *cursor);
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTGetUIntFromString(&cursor, &value));
  ASSERT_EQ(0, KTGetUIntFromString(&cursor, &value));  // the cursor moved past them
  EXPECT_EQ(5, value);
}

TEST(KTGetUIntFromString, RejectsBadArguments) {
  int value = 0;
  char* none = nullptr;
  char text[] = "1";
  char* cursor = text;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTGetUIntFromString(nullptr, &value));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTGetUIntFromString(&none, &value));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTGetUIntFromString(&cursor, nullptr));
  EXPECT_EQ(text, cursor);
}

}  // namespace
