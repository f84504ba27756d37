// Tests of KTStringList and CKTStringList: owned copies, positions and
// their range errors, clearing and reuse, the searches, conversion to and
// from string vectors, and splitting at delimiter characters.
#include "KTStringList.h"

#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KTStatus.h"
#include "TestSupport.h"
#include "WIException.h"

namespace {

typedef std::vector<std::string> Strings;

Strings contents(KTStringList* list) {
  Strings out;
  int size = -1;
  EXPECT_EQ(0, KTStringListSize(list, &size));
  for (int i = 0; i < size; ++i) {
    KTStatus status = -1;
    out.emplace_back(KTStringListElementAt(list, i, &status));
    EXPECT_EQ(0, status);
  }
  return out;
}

long startsWith(void* element, va_list args) {
  const char* prefix = va_arg(args, const char*);
  return strncmp((const char*)element, prefix, strlen(prefix)) == 0;
}

long stopAtText(void* element, va_list args) {
  Strings* visited = va_arg(args, Strings*);
  const char* stop = va_arg(args, const char*);
  visited->emplace_back((const char*)element);
  return strcmp((const char*)element, stop) == 0 ? 42 : 0;
}

class KTStringListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, KTStringListNew(&list)); }
  void TearDown() override {
    if (list != nullptr) {
      EXPECT_EQ(0, KTStringListFree(&list));
    }
    EXPECT_EQ(nullptr, list);
  }
  KTStringList* list = nullptr;
};

}  // namespace

TEST(ParseStringListTest, SplitsAtEveryDelimiterWithoutEmptyTokens) {
  EXPECT_EQ((Strings{"a", "b", "c"}), CKTStringList::parseStringList(" a, b,,c ", " \t,"));
  EXPECT_EQ((Strings{"10.0.0.1", "10.0.0.2"}),
            CKTStringList::parseStringList("\t10.0.0.1\t \t10.0.0.2", " \t,"));
  EXPECT_EQ((Strings{"word"}), CKTStringList::parseStringList("word", " \t,"));
  EXPECT_TRUE(CKTStringList::parseStringList("", " \t,").empty());
  EXPECT_TRUE(CKTStringList::parseStringList(" ,\t, ", " \t,").empty());
  EXPECT_EQ((Strings{" a, b "}), CKTStringList::parseStringList(" a, b ", ""));
  EXPECT_TRUE(CKTStringList::parseStringList("", "").empty());
  // Only the listed characters separate.
  EXPECT_EQ((Strings{"a-b", "c"}), CKTStringList::parseStringList("a-b;c;", ";"));
}

TEST_F(KTStringListTest, StoresIndependentCopies) {
  char text[] = "original";
  ASSERT_EQ(0, KTStringListAdd(list, text));
  ASSERT_EQ(0, KTStringListAdd(list, text));
  text[0] = 'X';
  KTStatus status = -1;
  const char* first = KTStringListElementAt(list, 0, &status);
  const char* second = KTStringListElementAt(list, 1, &status);
  EXPECT_STREQ("original", first);
  EXPECT_STREQ("original", second);
  EXPECT_NE(first, second) << "each addition is a separate copy";
  EXPECT_NE((const char*)text, first);
}

TEST_F(KTStringListTest, InsertAndRemoveAtPositions) {
  for (const char* t : {"a", "c", "e"}) ASSERT_EQ(0, KTStringListAdd(list, t));
  EXPECT_EQ(0, KTStringListInsertAt(list, "b", 1));
  EXPECT_EQ(0, KTStringListInsertAt(list, "start", 0));
  EXPECT_EQ((Strings{"start", "a", "b", "c", "e"}), contents(list));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTStringListInsertAt(list, "end", 5))
      << "appending is the job of add";
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTStringListInsertAt(list, "neg", -1));
  EXPECT_EQ(0, KTStringListRemoveAt(list, 2));
  EXPECT_EQ(0, KTStringListRemoveAt(list, 3));
  EXPECT_EQ((Strings{"start", "a", "c"}), contents(list));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTStringListRemoveAt(list, 3));
  KTStatus status = 0;
  EXPECT_EQ(nullptr, KTStringListElementAt(list, 3, &status));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, status);
  EXPECT_EQ(nullptr, KTStringListElementAt(list, -1, &status));
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, status);
}

TEST_F(KTStringListTest, InsertIntoEmptyListIsOutOfRange) {
  EXPECT_EQ(ERROR_INDEX_OUT_OF_RANGE, KTStringListInsertAt(list, "x", 0));
  EXPECT_TRUE(contents(list).empty());
}

TEST_F(KTStringListTest, ClearReleasesEverythingAndListIsReusable) {
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0, KTStringListAdd(list, std::to_string(i).c_str()));
  EXPECT_EQ(0, KTStringListClear(list));
  EXPECT_TRUE(contents(list).empty());
  EXPECT_EQ(0, KTStringListClear(list));
  ASSERT_EQ(0, KTStringListAdd(list, "again"));
  EXPECT_EQ((Strings{"again"}), contents(list));
}

TEST_F(KTStringListTest, SearchesAndWalks) {
  for (const char* t : {"alpha", "beta", "albert", "gamma"}) ASSERT_EQ(0, KTStringListAdd(list, t));
  int index = 99;
  EXPECT_EQ(0, KTStringListFirstThat(list, startsWith, &index, "al"));
  EXPECT_EQ(0, index);
  EXPECT_EQ(0, KTStringListNextThat(list, 0, startsWith, &index, "al"));
  EXPECT_EQ(0, index) << "start index 0 searches from the first element";
  EXPECT_EQ(0, KTStringListNextThat(list, 1, startsWith, &index, "al"));
  EXPECT_EQ(2, index);
  EXPECT_EQ(0, KTStringListNextThat(list, 3, startsWith, &index, "al"));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(0, KTStringListFirstThat(list, startsWith, &index, "zeta"));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListNextThat(list, -1, startsWith, &index, "al"));

  Strings visited;
  EXPECT_EQ(42, KTStringListForEach(list, stopAtText, &visited, "beta"));
  EXPECT_EQ((Strings{"alpha", "beta"}), visited);
  visited.clear();
  EXPECT_EQ(0, KTStringListForEach(list, stopAtText, &visited, "none"));
  EXPECT_EQ(4u, visited.size());
}

TEST_F(KTStringListTest, BadArgumentsAreRejected) {
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListAdd(list, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListAdd(nullptr, "x"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListInsertAt(list, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListSize(list, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListClear(nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListRemoveAt(nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListForEach(list, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListFirstThat(list, startsWith, nullptr, "a"));
  KTStatus status = 0;
  EXPECT_EQ(nullptr, KTStringListElementAt(nullptr, 0, &status));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, status);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListNew(&list)) << "pointer must be null";
  KTStringList* none = nullptr;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListFree(&none));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, KTStringListFree(nullptr));
  EXPECT_TRUE(contents(list).empty());
}

TEST(CKTStringListTest, ConvertsToAndFromVectors) {
  CKTStringList list;
  EXPECT_EQ(0, list.size());
  CKTStringList::makeStringList({"x", "y"}, list.getList(), false);
  CKTStringList::makeStringList({"z"}, list.getList(), false);
  EXPECT_EQ((Strings{"x", "y", "z"}), list.toStringVector()) << "appends behind the existing ones";
  CKTStringList::makeStringList({"only", ""}, list.getList(), true);
  EXPECT_EQ((Strings{"only", ""}), list.toStringVector());
  EXPECT_EQ(2, list.size());
  EXPECT_STREQ("only", list.elementAt(0));
  CKTStringList::makeStringList({}, list.getList(), true);
  EXPECT_TRUE(list.toStringVector().empty());
}

TEST(CKTStringListTest, FailuresBecomeExceptionsWithStatus) {
  CKTStringList list;
  EXPECT_EQ("CKTStringList::elementAt(): KTStringListElementAt() failed (status=3)",
            testsupport::ErrorOf<CWIException>([&] { list.elementAt(0); }));
  EXPECT_EQ("CKTStringList::makeStringList(): KTStringListAdd() failed (status=5)",
            testsupport::ErrorOf<CWIException>([] { CKTStringList::makeStringList({"a"}, nullptr, false); }));
  EXPECT_THROW(CKTStringList::makeStringList({}, nullptr, true), CWIException);
}
