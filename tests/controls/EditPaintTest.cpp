// TumEdit's own painting, checked on grabbed pixels: colours when disabled,
// alignment with and without the focus, password characters, character case.
#include "umEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QStyle>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

struct Extent {
  int Left = -1;
  int Right = -1;
  int Pixels = 0;
};

class EditPaint : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* layout = new QVBoxLayout(&Window);
    Edit = new TumEdit;
    Other = new QLineEdit;
    layout->addWidget(Edit);
    layout->addWidget(Other);
    // Without antialiasing every text pixel has exactly the pen colour.
    QFont font = Edit->font();
    font.setStyleStrategy(QFont::NoAntialias);
    Edit->setFont(font);
    Edit->setFixedSize(200, 30);
    Edit->setText("00");
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Focus(Other));
  }

  QImage Grab() const { return Edit->grab().toImage().convertToFormat(QImage::Format_RGB32); }

  // Where pixels of this colour lie, inside the frame.
  static Extent Find(const QImage& Image, const QColor& Colour) {
    Extent found;
    for (int y = 4; y < Image.height() - 4; ++y)
      for (int x = 4; x < Image.width() - 4; ++x) {
        if (Image.pixelColor(x, y) != Colour) continue;
        if (found.Left < 0 || x < found.Left) found.Left = x;
        found.Right = std::max(found.Right, x);
        ++found.Pixels;
      }
    return found;
  }

  QColor TextColour() const { return Edit->palette().color(QPalette::Active, QPalette::Text); }

  bool Focus(QWidget* Target) {
    Window.activateWindow();
    if (!QTest::qWaitForWindowActive(&Window)) return false;
    Target->setFocus();
    return QTest::qWaitFor([=, this] { return Target->hasFocus() && Edit->Focused() == (Target == Edit); }, 5000);
  }

  QWidget Window;
  TumEdit* Edit = nullptr;
  QLineEdit* Other = nullptr;
};

TEST_F(EditPaint, DisabledShowsGreyTextOnColorDisabled) {
  const QColor base = Edit->palette().color(QPalette::Active, QPalette::Base);
  const QColor grey = Edit->palette().color(QPalette::Disabled, QPalette::Text);
  ASSERT_EQ(grey.red(), grey.green());
  ASSERT_EQ(grey.green(), grey.blue());
  ASSERT_NE(grey, TextColour());
  EXPECT_EQ(Edit->ColorDisabled(), base);  // the system window colour until set

  Edit->SetColorDisabled(Qt::green);
  QImage image = Grab();  // enabled: normal colours
  EXPECT_EQ(image.pixelColor(image.width() - 8, image.height() / 2), base);
  EXPECT_GT(Find(image, TextColour()).Pixels, 0);
  EXPECT_EQ(Find(image, QColor(Qt::green)).Pixels, 0);

  Edit->setEnabled(false);
  image = Grab();
  EXPECT_EQ(image.pixelColor(image.width() - 8, image.height() / 2), QColor(Qt::green));
  EXPECT_EQ(image.pixelColor(6, 6), QColor(Qt::green));
  EXPECT_GT(Find(image, grey).Pixels, 0);
  EXPECT_EQ(Find(image, TextColour()).Pixels, 0);
}

TEST_F(EditPaint, RightAlignedTextMovesLeftWhileFocused) {
  Edit->SetAlignment(taRightJustify);
  const Extent unfocused = Find(Grab(), TextColour());
  ASSERT_GT(unfocused.Pixels, 0);
  EXPECT_GT(unfocused.Left, Edit->width() / 2);
  EXPECT_GE(unfocused.Right, Edit->width() - 12);

  ASSERT_TRUE(Focus(Edit));
  const Extent focused = Find(Grab(), TextColour());
  ASSERT_GT(focused.Pixels, 0);
  EXPECT_LT(focused.Left, 12);
  EXPECT_LT(focused.Right, Edit->width() / 2);

  ASSERT_TRUE(Focus(Other));
  const Extent again = Find(Grab(), TextColour());
  EXPECT_EQ(again.Left, unfocused.Left);
  EXPECT_EQ(again.Right, unfocused.Right);
}

TEST_F(EditPaint, LeftAndCentredPositions) {
  const Extent left = Find(Grab(), TextColour());
  ASSERT_GT(left.Pixels, 0);
  EXPECT_LT(left.Left, 12);
  ASSERT_TRUE(Focus(Edit));  // the edit's own drawing starts where ours did
  EXPECT_EQ(Find(Grab(), TextColour()).Left, left.Left);
  ASSERT_TRUE(Focus(Other));

  Edit->SetAlignment(taCenter);
  const Extent centred = Find(Grab(), TextColour());
  ASSERT_GT(centred.Pixels, 0);
  const int gapLeft = centred.Left;
  const int gapRight = Edit->width() - 1 - centred.Right;
  EXPECT_LE(std::abs(gapLeft - gapRight), 3) << gapLeft << " " << gapRight;
}

TEST_F(EditPaint, PasswordCharactersArePaintedInsteadOfText) {
  Edit->SetAlignment(taRightJustify);
  Edit->setEchoMode(QLineEdit::Password);
  const QImage hidden = Grab();

  const QChar mask(Edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, Edit));
  Edit->setEchoMode(QLineEdit::Normal);
  Edit->setText(QString(2, mask));
  EXPECT_EQ(Grab(), hidden);
  Edit->setText("00");
  EXPECT_NE(Grab(), hidden);
}

TEST_F(EditPaint, CharCaseConvertsTypedPastedAndCurrentText) {
  Edit->clear();
  Edit->SetCharCase(ecUpperCase);
  QTest::keyClicks(Edit, "ab");
  QGuiApplication::clipboard()->setText("xy");
  QTest::keyClick(Edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Edit->text(), "ABXY");

  Edit->SetCharCase(ecLowerCase);
  EXPECT_EQ(Edit->text(), "abxy");
  Edit->SetCharCase(ecNormal);
  QTest::keyClicks(Edit, "Z");
  EXPECT_EQ(Edit->text(), "abxyZ");
}

}  // namespace
