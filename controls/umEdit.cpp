#include "umEdit.h"

#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QValidator>

#include <algorithm>
#include <limits>

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

// Leading zeros do not count toward the 32 bits a text may hold.
qsizetype SignificantDigits(const QString& Text) {
  qsizetype first = 0;
  while (first < Text.size() - 1 && Text.at(first) == u'0') ++first;
  return Text.size() - first;
}

std::uint32_t HexDigitValue(QChar c) {
  const char16_t u = c.unicode();
  if (u >= u'0' && u <= u'9') return u - u'0';
  if (u >= u'A' && u <= u'F') return u - u'A' + 10;
  if (u >= u'a' && u <= u'f') return u - u'a' + 10;
  return 0;
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

QString NumberToHex(std::int32_t Value) {
  QString text = QStringLiteral("%1").arg(static_cast<std::uint32_t>(Value), 8, 16, QChar(u'0')).toUpper();
  while (text.size() > 2 && text.startsWith(u'0')) text.remove(0, 1);
  return text;
}

std::int32_t HexToNumber(const QString& Text) {
  std::uint32_t number = 0;
  std::uint32_t weight = 1;
  for (qsizetype i = Text.size() - 1; i >= 0; --i) {
    number += HexDigitValue(Text.at(i)) * weight;
    weight *= 16;
  }
  return static_cast<std::int32_t>(number);
}

QString NumberToBin(std::int32_t Value) {
  QString text = QStringLiteral("%1").arg(static_cast<std::uint32_t>(Value), 32, 2, QChar(u'0'));
  while (text.size() > 1 && text.startsWith(u'0')) text.remove(0, 1);
  return text;
}

std::int32_t BinToNumber(const QString& Text) {
  std::uint32_t number = 0;
  std::uint32_t weight = 1;
  for (qsizetype i = Text.size() - 1; i >= 0; --i) {
    if (Text.at(i) == u'1') number += weight;
    weight *= 2;
  }
  return static_cast<std::int32_t>(number);
}

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

void TumNumberEdit::SetKind(TumNumberEditKind Value) {
  FKind = Value;
  switch (Value) {
    case neDec: FDigits = QStringLiteral("0123456789"); break;
    case neHex: FDigits = QStringLiteral("0123456789abcdefABCDEF"); break;
    case neBin: FDigits = QStringLiteral("01"); break;
  }
}

void TumNumberEdit::SetMaxValue(std::int32_t Value) {
  FMaxValue = Value;
  if (Value != 0 && Value < FValue) SetValue(Value);
}

void TumNumberEdit::SetValue(std::int32_t Value) {
  if (Value < 0) Value = 0;
  if (FMaxValue != 0 && Value > FMaxValue) Value = FMaxValue;
  FValue = Value;
  setText(Format(Value));
}

QString TumNumberEdit::Format(std::int32_t Number) const {
  switch (FKind) {
    case neHex: return NumberToHex(Number);
    case neBin: return NumberToBin(Number);
    case neDec: break;
  }
  return QString::number(Number);
}

bool TumNumberEdit::Convert(const QString& Text, std::int32_t& Number) const {
  // Only the digits of the kind make a number; pasted text with anything else
  // is refused, as is a number that needs more than 32 bits.
  if (!std::all_of(Text.begin(), Text.end(), [this](QChar c) { return FDigits.contains(c); })) return false;
  const qsizetype digits = SignificantDigits(Text);
  switch (FKind) {
    case neDec: {
      if (digits > 10) return false;
      const qlonglong number = Text.toLongLong();
      if (number > std::numeric_limits<std::int32_t>::max()) return false;
      Number = static_cast<std::int32_t>(number);
      return true;
    }
    case neHex:
      Number = HexToNumber(Text);
      return digits <= 8;
    case neBin:
      Number = BinToNumber(Text);
      return digits <= 32;
  }
  return false;
}

bool TumNumberEdit::WithinMax(const QString& Text, std::int32_t Number) const {
  if (FMaxValue == 0) return true;
  if (Number > FMaxValue || Number < 0) return false;
  const QString maxText = Format(FMaxValue);
  if (Text.size() != maxText.size()) return Text.size() < maxText.size();
  return Text.toUpper() <= maxText;  // character-code order; "a".."f" weigh as "A".."F"
}

void TumNumberEdit::TextChanged() {
  if (FLoading) return;
  const QString current = text();
  std::int32_t number = 0;
  if (current.isEmpty() || (Convert(current, number) && WithinMax(current, number))) {
    FValue = number;  // the text stays as typed, leading zeros included
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
  if (!shortcut && printable &&
      !std::all_of(typed.begin(), typed.end(), [this](QChar c) { return FDigits.contains(c); })) {
    Event->accept();
    return;
  }
  TumEdit::keyPressEvent(Event);
}
