// umEdit: single-line edits that paint their own text (TumEdit) and hold an
// integer in decimal, hexadecimal or binary (TumNumberEdit).
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>
#include <cstdint>

#include "umNumberText.h"

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };

// 8 upper-case hex digits with leading zeros dropped down to 2: 13 -> "0D", 256 -> "100".
QString NumberToHex(std::int32_t Value);
// Read from the last character with weights 1, 16, 256...; bits beyond 32 are lost.
// "0".."9", "A".."F" and "a".."f" count their digit value, any other character 0.
std::int32_t HexToNumber(const QString& Text);
// 32 binary digits with leading zeros dropped down to 1: 0 -> "0", 5 -> "101".
QString NumberToBin(std::int32_t Value);
// Each "1" adds its weight 1, 2, 4...; any other character adds nothing.
std::int32_t BinToNumber(const QString& Text);

class TumCharCaseValidator;

class TumEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TumEdit(QWidget* Parent = nullptr);

  TAlignment Alignment() const { return FAlignment; }
  virtual void SetAlignment(TAlignment Value);

  QColor ColorDisabled() const { return FColorDisabled; }
  void SetColorDisabled(const QColor& Value);

  // Typed, pasted and program-set text is converted; switching converts the current text.
  TEditCharCase CharCase() const { return FCharCase; }
  void SetCharCase(TEditCharCase Value);

  // Set on focus enter, cleared on focus exit: decides the alignment the text is painted in.
  bool Focused() const { return FFocused; }
  virtual void SetFocused(bool Value);

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void focusInEvent(QFocusEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;

 private:
  QColor FColorDisabled;
  bool FFocused = false;
  TAlignment FAlignment = taLeftJustify;
  TEditCharCase FCharCase = ecNormal;
  TumCharCaseValidator* FCaseValidator;
};

class TumNumberEdit : public TumEdit {
  Q_OBJECT
 public:
  explicit TumNumberEdit(QWidget* Parent = nullptr);

  TumNumberEditKind Kind() const { return FKind; }
  virtual void SetKind(TumNumberEditKind Value);  // the text is not reformatted

  std::int32_t MaxValue() const { return FMaxValue; }  // 0: no limit
  virtual void SetMaxValue(std::int32_t Value);

  std::int32_t Value() const { return FValue; }
  // Clamps to 0..MaxValue and shows the value; a text cut by the length
  // limit sets the value it holds.
  virtual void SetValue(std::int32_t Value);

  // While the owner applies its settings: no text checks and no OnChange.
  bool Loading() const { return FLoading; }
  void SetLoading(bool Value) { FLoading = Value; }

 signals:
  // Raised after every check of the text, accepted or refused.
  void OnChange(QObject* Sender);

 protected:
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void TextChanged();
  umtext::TNumberRule Rule() const { return {FKind, FMaxValue}; }
  void Restore();

  TumNumberEditKind FKind = neDec;
  std::int32_t FValue = 0;
  std::int32_t FMaxValue = 0;
  QString FLastText;
  int FLastCaret = 0;
  bool FLoading = false;
};
