// FormControls: the few framework controls the main window needs that Qt
// does not offer as such: a combo box that reports its drop-down and key
// releases, a clickable caption panel and an up-down arrow pair.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QValidator>
#include <QWidget>

class QKeyEvent;
class QToolButton;

// Editable drop-down box. Change is raised for a new item (list, arrow keys)
// and for every edit typed into the text part; items set by the program
// raise nothing.
class TComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TComboBox(QWidget* Parent = nullptr);

  // The item the text part shows, or -1 (none chosen, or text typed over it).
  int ItemIndex() const;
  void SetItemIndex(int Index);
  // Shows Text with no item chosen.
  void SetText(const QString& Text);

  // Longest text the operator may type; 0 for no limit. Texts set by the
  // program (items included) are never cut.
  int MaxTextLength() const { return FMaxTextLength; }
  void SetMaxTextLength(int Value) { FMaxTextLength = Value; }

  void showPopup() override;

 signals:
  void Change();
  void DropDown();
  void KeyUp(int Key);

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
  void keyReleaseEvent(QKeyEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  bool ExceedsMaxLength(const QKeyEvent* Event) const;

  int FMaxTextLength = 0;
};

// A raised panel with a centred caption; it can be clicked.
class TPanel : public QLabel {
  Q_OBJECT
 public:
  explicit TPanel(const QString& Caption, QWidget* Parent = nullptr);

 signals:
  void Click();

 protected:
  void mouseReleaseEvent(QMouseEvent* Event) override;
};

enum TUDBtnType { btNext, btPrev };  // up arrow, down arrow

// Two stacked arrows that step Position. A step may go one past the range
// (Min - 1 or Max + 1); the owner's Click handler decides what that means.
class TUpDown : public QWidget {
  Q_OBJECT
 public:
  explicit TUpDown(QWidget* Parent = nullptr);

  int Min() const { return FMin; }
  int Max() const { return FMax; }
  void SetRange(int Min, int Max);
  int Position() const { return FPosition; }
  void SetPosition(int Value);  // clamped to Min..Max

  QToolButton* UpButton() const { return FUp; }
  QToolButton* DownButton() const { return FDown; }

  void Step(TUDBtnType Button);

 signals:
  void Click(TUDBtnType Button);

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  QToolButton* FUp;
  QToolButton* FDown;
  int FMin = 0;
  int FMax = 100;
  int FPosition = 0;
};

// Refuses a typed or pasted character that cannot go on the wire as one
// byte, and with FrameText also a control character (it would end the frame).
class TWireTextValidator : public QValidator {
 public:
  TWireTextValidator(bool FrameText, QObject* Parent) : QValidator(Parent), FFrameText(FrameText) {}
  State validate(QString& Input, int& Position) const override;

 private:
  bool FFrameText;
};
