#include "umEdit.h"

#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QValidator>

#include <algorithm>

namespace {

// QLineEdit's own text margins inside its contents rectangle; painting with the
// same ones keeps left-aligned text in place when the focus comes and goes.
constexpr int EditMarginX = 2;
constexpr int EditMarginY = 1;

QString ApplyCharCase(const QString& Text, TEditCharCase Case) {
  switch (Case) {
    case ecUpperCase: return Text.toUpper();
    case ecLowerCase: return Text.toLower();
    case ecNormal: break;
  }
  return Text;
}

std::u16string_view View(const QString& Text) {
  return {reinterpret_cast<const char16_t*>(Text.utf16()), static_cast<std::size_t>(Text.size())};
}

}  // namespace

// Converts the text on every change, whether typed, pasted or set by the program.
class TumCharCaseValidator : public QValidator {
 public:
  explicit TumCharCaseValidator(QObject* Parent) : QValidator(Parent) {}
  TEditCharCase Case = ecNormal;

  State validate(QString& Input, int&) const override {
    Input = ApplyCharCase(Input, Case);
    return Acceptable;
  }
};

QString NumberToHex(std::int32_t Value) { return QString::fromStdU16String(umtext::NumberToHex(Value)); }
std::int32_t HexToNumber(const QString& Text) { return umtext::HexToNumber(View(Text)); }
QString NumberToBin(std::int32_t Value) { return QString::fromStdU16String(umtext::NumberToBin(Value)); }
std::int32_t BinToNumber(const QString& Text) { return umtext::BinToNumber(View(Text)); }

// ---------------------------------------------------------------- TumEdit

TumEdit::TumEdit(QWidget* Parent)
    : QLineEdit(Parent),
      FColorDisabled(palette().color(QPalette::Active, QPalette::Base)),
      FCaseValidator(new TumCharCaseValidator(this)) {}

void TumEdit::SetAlignment(TAlignment Value) {
  if (FAlignment == Value) return;
  FAlignment = Value;
  update();
}

void TumEdit::SetColorDisabled(const QColor& Value) {
  if (FColorDisabled == Value) return;
  FColorDisabled = Value;
  update();
}

void TumEdit::SetCharCase(TEditCharCase Value) {
  FCharCase = Value;
  FCaseValidator->Case = Value;
  setValidator(Value == ecNormal ? nullptr : FCaseValidator);
  const QString converted = ApplyCharCase(text(), Value);
  if (converted != text()) setText(converted);
}

void TumEdit::SetFocused(bool Value) { FFocused = Value; }  // the caller repaints when it must

void TumEdit::focusInEvent(QFocusEvent* Event) {
  SetFocused(true);
  QLineEdit::focusInEvent(Event);
}

void TumEdit::focusOutEvent(QFocusEvent* Event) {
  QLineEdit::focusOutEvent(Event);
  // A context menu borrows the focus only while the operator picks from it.
  if (Event->reason() == Qt::PopupFocusReason) return;
  SetFocused(false);
  update();
}

void TumEdit::paintEvent(QPaintEvent* Event) {
  // With the focus the edit draws itself, left-aligned, with caret and selection.
  if (FFocused) {
    QLineEdit::paintEvent(Event);
    return;
  }

  QPainter painter(this);
  QStyleOptionFrame panel;
  initStyleOption(&panel);
  const QColor background = isEnabled() ? palette().color(QPalette::Base) : FColorDisabled;
  panel.palette.setColor(QPalette::Base, background);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);

  const QRect client =
      style()->subElementRect(QStyle::SE_LineEditContents, &panel, this).marginsRemoved(textMargins());
  painter.setClipRect(client);
  painter.setFont(font());
  painter.setPen(isEnabled() ? palette().color(QPalette::Active, QPalette::Text)
                             : palette().color(QPalette::Disabled, QPalette::Text));

  const QString shown = displayText();  // password characters already applied
  const QFontMetrics metrics = fontMetrics();
  const int textWidth = metrics.horizontalAdvance(shown);

  TAlignment alignment = FAlignment;
  if (layoutDirection() == Qt::RightToLeft && alignment != taCenter)
    alignment = alignment == taLeftJustify ? taRightJustify : taLeftJustify;
  int x = client.x();
  switch (alignment) {
    case taLeftJustify: x += EditMarginX; break;
    case taRightJustify: x += client.width() - textWidth - EditMarginX - 1; break;
    case taCenter: x += (client.width() - textWidth) / 2; break;
  }

  int y = client.y();
  switch (QLineEdit::alignment() & Qt::AlignVertical_Mask) {
    case Qt::AlignTop: y += EditMarginY; break;
    case Qt::AlignBottom: y += client.height() - metrics.height() - EditMarginY; break;
    default: y += (client.height() - metrics.height() + 1) / 2; break;
  }
  painter.drawText(x, y + metrics.ascent(), shown);
}

// ---------------------------------------------------------------- TumNumberEdit

TumNumberEdit::TumNumberEdit(QWidget* Parent) : TumEdit(Parent) {
  SetKind(neDec);
  setText(QStringLiteral("0"));
  FLastText = text();
  connect(this, &QLineEdit::textChanged, this, &TumNumberEdit::TextChanged);
}

void TumNumberEdit::SetKind(TumNumberEditKind Value) { FKind = Value; }

void TumNumberEdit::SetMaxValue(std::int32_t Value) {
  FMaxValue = Value;
  if (Value != 0 && Value < FValue) SetValue(Value);
}

void TumNumberEdit::SetValue(std::int32_t Value) {
  const umtext::TNumberRule::TShown shown = Rule().Shown(Value, maxLength());
  FValue = shown.Value;
  setText(QString::fromStdU16String(shown.Text));
}

void TumNumberEdit::TextChanged() {
  if (FLoading) return;
  const QString current = text();
  if (const auto number = Rule().Accepted(View(current))) {
    FValue = *number;  // the text stays as typed, leading zeros included
    FLastText = current;
  } else {
    Restore();
  }
  emit OnChange(this);
}

void TumNumberEdit::Restore() {
  const int caret = FLastCaret;
  setText(FLastText);  // checks the old text once more, which raises OnChange
  setCursorPosition(caret);  // also selects nothing
}

void TumNumberEdit::keyPressEvent(QKeyEvent* Event) {
  FLastText = text();
  FLastCaret = cursorPosition();
  // Shortcuts (paste, undo, ...) and editing keys pass; their result is checked
  // by TextChanged. A typed character must be a digit of the kind.
  const bool shortcut = Event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  const QString typed = Event->text();
  const bool printable = std::any_of(typed.begin(), typed.end(), [](QChar c) { return c.isPrint(); });
  const std::u16string_view digits = umtext::DigitSet(FKind);
  if (!shortcut && printable && View(typed).find_first_not_of(digits) != std::u16string_view::npos) {
    Event->accept();
    return;
  }
  TumEdit::keyPressEvent(Event);
}
