#include "AwMessages.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(ErrorMessageText, FindsEveryTableEntryBySignOrMagnitude) {
  auto table = ErrorMessageTable();
  ASSERT_GT(table.size(), 100u);
  for (const TErrorMessage& entry : table) {
    EXPECT_EQ(ErrorMessageText(entry.Code), entry.Text) << entry.Code;
    EXPECT_EQ(ErrorMessageText(-entry.Code), entry.Text) << entry.Code;
  }
}

TEST(ErrorMessageText, KnownTexts) {
  EXPECT_EQ(ErrorMessageText(0), "OK");
  EXPECT_EQ(ErrorMessageText(-2011), "The ComNumber property of the TApdComPort has not been set");
  EXPECT_EQ(ErrorMessageText(2011), ErrorMessageText(-2011));
  EXPECT_EQ(ErrorMessageText(-1001), "Bad handle passed to com function");
  EXPECT_EQ(ErrorMessageText(-3002), "Function not supported by driver");
  EXPECT_EQ(ErrorMessageText(-2), "File not found");
}

TEST(ErrorMessageText, FallsBackToTheSystemOrNothing) {
#ifdef __linux__
  EXPECT_EQ(ErrorMessageText(-87), "Too many users");
  EXPECT_EQ(ErrorMessageText(13), "Permission denied");
#endif
  // Numbers neither the table nor the system knows.
  EXPECT_EQ(ErrorMessageText(-7009), "");
  EXPECT_EQ(ErrorMessageText(99999), "");
  EXPECT_EQ(ErrorMessageText(INT32_MIN), "");
}

TEST(TidySystemMessage, ControlCharactersAndRunsOfSpaces) {
  EXPECT_EQ(TidySystemMessage("The parameter is incorrect.\r\n"), "The parameter is incorrect. ");
  EXPECT_EQ(TidySystemMessage("a \t\t b"), "a b");
  EXPECT_EQ(TidySystemMessage("  lead   and trail  "), " lead and trail ");
  EXPECT_EQ(TidySystemMessage("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(TidySystemMessage(""), "");
}

}  // namespace
