// TumNumberEdit driven by real key events: what typing, pasting and property
// writes do to the text, the value, the caret and OnChange.
#include "umEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <gtest/gtest.h>

namespace {

TEST(NumberConversions, FormatAndParseAsTheMainWindowNeedsThem) {
  EXPECT_EQ(NumberToHex(0), "00");
  EXPECT_EQ(NumberToHex(13), "0D");
  EXPECT_EQ(NumberToHex(255), "FF");
  EXPECT_EQ(NumberToHex(256), "100");
  EXPECT_EQ(NumberToHex(-1), "FFFFFFFF");
  EXPECT_EQ(NumberToBin(0), "0");
  EXPECT_EQ(NumberToBin(5), "101");
  EXPECT_EQ(NumberToBin(-2147483647 - 1), "1" + QString(31, u'0'));

  EXPECT_EQ(HexToNumber(""), 0);
  EXPECT_EQ(HexToNumber("0D"), 13);
  EXPECT_EQ(HexToNumber("FF"), 255);
  EXPECT_EQ(HexToNumber("ff"), 255);
  EXPECT_EQ(HexToNumber("FFFFFFFF"), -1);
  EXPECT_EQ(HexToNumber("123456789"), 0x23456789);  // bits beyond 32 are lost
  EXPECT_EQ(HexToNumber("1G"), 16);                 // not a hex digit: counts 0
  EXPECT_EQ(BinToNumber(""), 0);
  EXPECT_EQ(BinToNumber("101"), 5);
  EXPECT_EQ(BinToNumber("1x1"), 5);
}

class NumberEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    QObject::connect(&Edit, &TumNumberEdit::OnChange, [this](QObject* Sender) {
      ++Changes;
      LastSender = Sender;
    });
    Edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Edit));
  }

  // The address and stop-character edits of the main window.
  void MakeHexByte() {
    Edit.SetKind(neHex);
    Edit.SetMaxValue(255);
    Edit.setMaxLength(2);
    Edit.SetCharCase(ecUpperCase);
  }

  void StartEmpty() {
    Edit.clear();
    Changes = 0;
  }

  void Paste(const QString& Text) {
    QGuiApplication::clipboard()->setText(Text);
    QTest::keyClick(&Edit, Qt::Key_V, Qt::ControlModifier);
  }

  TumNumberEdit Edit;
  int Changes = 0;
  QObject* LastSender = nullptr;
};

TEST_F(NumberEdit, HexByteTypingFiltersDigitsAndTracksValue) {
  MakeHexByte();
  StartEmpty();

  QTest::keyClick(&Edit, 'G');
  EXPECT_EQ(Edit.text(), "");
  EXPECT_EQ(Changes, 0);

  QTest::keyClick(&Edit, 'F');
  EXPECT_EQ(Edit.text(), "F");
  EXPECT_EQ(Edit.Value(), 15);
  QTest::keyClick(&Edit, 'F');
  EXPECT_EQ(Edit.text(), "FF");
  EXPECT_EQ(Edit.Value(), 255);
  EXPECT_EQ(Changes, 2);
  EXPECT_EQ(LastSender, &Edit);

  QTest::keyClick(&Edit, 'F');  // a third character does not fit
  EXPECT_EQ(Edit.text(), "FF");

  QTest::keyClick(&Edit, Qt::Key_Backspace);
  EXPECT_EQ(Edit.text(), "F");
  EXPECT_EQ(Edit.Value(), 15);
  EXPECT_EQ(Changes, 3);
  QTest::keyClick(&Edit, Qt::Key_Backspace);
  EXPECT_EQ(Edit.text(), "");
  EXPECT_EQ(Edit.Value(), 0);
  EXPECT_EQ(Changes, 4);

  QTest::keyClicks(&Edit, "a c");  // lower case typed, shown upper case; blank ignored
  EXPECT_EQ(Edit.text(), "AC");
  EXPECT_EQ(Edit.Value(), 0xAC);
  EXPECT_EQ(Changes, 6);  // one check per digit, none for the lower-case step
}

TEST_F(NumberEdit, DigitBeyondMaximumsLengthIsRefusedWithCaretKept) {
  Edit.SetKind(neHex);
  Edit.SetMaxValue(255);
  StartEmpty();

  QTest::keyClicks(&Edit, "00");
  ASSERT_EQ(Changes, 2);
  QTest::keyClick(&Edit, '1');
  EXPECT_EQ(Edit.text(), "00");
  EXPECT_EQ(Edit.Value(), 0);
  EXPECT_EQ(Edit.cursorPosition(), 2);
  EXPECT_FALSE(Edit.hasSelectedText());
  EXPECT_EQ(Changes, 4);  // once for the restore, once for the check

  // Refused in the middle: the caret goes back to where it was.
  QTest::keyClick(&Edit, Qt::Key_Left);
  QTest::keyClick(&Edit, 'F');
  EXPECT_EQ(Edit.text(), "00");
  EXPECT_EQ(Edit.cursorPosition(), 1);
}

TEST_F(NumberEdit, EqualLengthTextIsComparedWithTheMaximum) {
  Edit.SetKind(neHex);
  Edit.SetMaxValue(200);  // "C8"
  StartEmpty();
  QTest::keyClicks(&Edit, "C9");
  EXPECT_EQ(Edit.text(), "C");
  EXPECT_EQ(Edit.Value(), 12);

  StartEmpty();
  QTest::keyClicks(&Edit, "C8");
  EXPECT_EQ(Edit.text(), "C8");
  EXPECT_EQ(Edit.Value(), 200);

  StartEmpty();
  QTest::keyClicks(&Edit, "0F");
  EXPECT_EQ(Edit.text(), "0F");
  EXPECT_EQ(Edit.Value(), 15);

  // Without forced upper case a lower-case digit weighs as its upper-case twin.
  StartEmpty();
  QTest::keyClicks(&Edit, "a0");
  EXPECT_EQ(Edit.text(), "a0");
  EXPECT_EQ(Edit.Value(), 160);
}

TEST_F(NumberEdit, UnlimitedTextStopsAtThirtyTwoBits) {
  StartEmpty();
  QTest::keyClicks(&Edit, "2147483647");
  EXPECT_EQ(Edit.Value(), 2147483647);
  QTest::keyClick(&Edit, '0');
  EXPECT_EQ(Edit.text(), "2147483647");
  EXPECT_EQ(Edit.Value(), 2147483647);

  StartEmpty();
  QTest::keyClicks(&Edit, "2147483648");
  EXPECT_EQ(Edit.text(), "214748364");

  Edit.SetKind(neHex);
  StartEmpty();
  QTest::keyClicks(&Edit, "123456789");
  EXPECT_EQ(Edit.text(), "12345678");
  EXPECT_EQ(Edit.Value(), 0x12345678);
}

TEST_F(NumberEdit, ValueWritesClampAndReformat) {
  MakeHexByte();
  Changes = 0;
  Edit.SetValue(13);
  EXPECT_EQ(Edit.text(), "0D");
  EXPECT_EQ(Edit.Value(), 13);
  EXPECT_EQ(Changes, 1);
  EXPECT_EQ(LastSender, &Edit);

  Edit.SetValue(-5);
  EXPECT_EQ(Edit.text(), "00");
  EXPECT_EQ(Edit.Value(), 0);
  Edit.SetValue(300);
  EXPECT_EQ(Edit.text(), "FF");
  EXPECT_EQ(Edit.Value(), 255);

  Edit.SetKind(neBin);  // the text stays as it is
  EXPECT_EQ(Edit.text(), "FF");
  EXPECT_EQ(Edit.Value(), 255);
  Edit.setMaxLength(8);
  Edit.SetValue(5);
  EXPECT_EQ(Edit.text(), "101");
}

TEST_F(NumberEdit, ALengthLimitShorterThanTheMaximumsTextKeepsTextAndValueEqual) {
  Edit.SetMaxValue(255);
  Edit.setMaxLength(2);
  Edit.SetValue(20);
  Edit.SetValue(200);  // "200" is cut to the same "20": the value follows the text
  EXPECT_EQ(Edit.text(), "20");
  EXPECT_EQ(Edit.Value(), 20);
  Edit.SetValue(255);
  EXPECT_EQ(Edit.text(), "25");
  EXPECT_EQ(Edit.Value(), 25);

  Edit.SetKind(neHex);  // even "00" is longer than one character
  Edit.setMaxLength(1);
  Edit.SetValue(13);
  EXPECT_EQ(Edit.text(), "0");
  EXPECT_EQ(Edit.Value(), 0);
  Edit.SetLoading(true);  // no checks while loading: the write alone must agree
  Edit.SetValue(0xFF);
  EXPECT_EQ(Edit.text(), "F");
  EXPECT_EQ(Edit.Value(), 15);
}

TEST_F(NumberEdit, AMaximumBelowZeroAdmitsOnlyTheEmptyText) {
  Edit.SetKind(neHex);
  Edit.SetMaxValue(-5);
  EXPECT_EQ(Edit.text(), "");
  EXPECT_EQ(Edit.Value(), 0);
  Edit.SetValue(3);
  EXPECT_EQ(Edit.text(), "");
  EXPECT_EQ(Edit.Value(), 0);
}

TEST_F(NumberEdit, LowerMaximumPullsValueDown) {
  Edit.SetValue(150);
  Edit.SetMaxValue(100);
  EXPECT_EQ(Edit.Value(), 100);
  EXPECT_EQ(Edit.text(), "100");

  Edit.SetMaxValue(0);  // no limit: nothing to pull
  Edit.SetMaxValue(120);
  EXPECT_EQ(Edit.Value(), 100);

  Edit.SetKind(neHex);
  Edit.SetMaxValue(0x10);
  EXPECT_EQ(Edit.text(), "10");
}

TEST_F(NumberEdit, PastedTextBreakingTheRulesIsRestored) {
  MakeHexByte();
  Edit.SetMaxValue(200);
  Edit.SetValue(13);
  for (const char* bad : {"c9", "G1", "1-", " 5"}) {
    QTest::keyClick(&Edit, Qt::Key_A, Qt::ControlModifier);
    ASSERT_EQ(Edit.selectedText(), "0D");
    Paste(bad);
    EXPECT_EQ(Edit.text(), "0D") << bad;
    EXPECT_EQ(Edit.Value(), 13) << bad;
    EXPECT_EQ(Edit.cursorPosition(), 2) << bad;
    EXPECT_FALSE(Edit.hasSelectedText()) << bad;
  }

  Edit.selectAll();
  Paste("c8");
  EXPECT_EQ(Edit.text(), "C8");
  EXPECT_EQ(Edit.Value(), 200);

  // A paste that is not a keystroke (the context menu) returns to the last accepted text.
  Edit.selectAll();
  QGuiApplication::clipboard()->setText("ZZ");
  Edit.paste();
  EXPECT_EQ(Edit.text(), "C8");

  Edit.SetKind(neDec);
  Edit.SetMaxValue(0);
  Edit.SetValue(42);
  Edit.selectAll();
  Paste("1a");
  EXPECT_EQ(Edit.text(), "42");
  Edit.selectAll();
  Paste("-7");
  EXPECT_EQ(Edit.text(), "42");
  EXPECT_EQ(Edit.Value(), 42);
}

TEST_F(NumberEdit, LoadingSuppressesChecksAndOnChange) {
  MakeHexByte();
  Changes = 0;
  Edit.SetLoading(true);
  Edit.SetValue(13);
  EXPECT_EQ(Edit.text(), "0D");
  EXPECT_EQ(Edit.Value(), 13);
  Edit.setText("ZZ");
  EXPECT_EQ(Edit.text(), "ZZ");
  EXPECT_EQ(Changes, 0);

  Edit.SetLoading(false);
  Edit.SetValue(200);
  EXPECT_EQ(Edit.text(), "C8");
  EXPECT_EQ(Changes, 1);
}

TEST_F(NumberEdit, ReadOnlyEditIgnoresTyping) {
  MakeHexByte();
  Edit.setReadOnly(true);
  Edit.SetValue(0x42);
  Changes = 0;
  QTest::keyClicks(&Edit, "1");
  QTest::keyClick(&Edit, Qt::Key_Backspace);
  EXPECT_EQ(Edit.text(), "42");
  EXPECT_EQ(Changes, 0);
}

}  // namespace
