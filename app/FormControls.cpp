#include "FormControls.h"

#include "KrmProtocol.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QToolButton>

#include <algorithm>

TComboBox::TComboBox(QWidget* Parent) : QComboBox(Parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  setCompleter(nullptr);  // typed text must not jump to an item by itself
  lineEdit()->installEventFilter(this);
  connect(this, &QComboBox::currentIndexChanged, this, [this] { emit Change(); });
  connect(lineEdit(), &QLineEdit::textEdited, this, [this] { emit Change(); });
}

int TComboBox::ItemIndex() const {
  const int index = currentIndex();
  return index >= 0 && currentText() == itemText(index) ? index : -1;
}

void TComboBox::SetItemIndex(int Index) {
  const QSignalBlocker blocker(this);
  setCurrentIndex(Index >= 0 && Index < count() ? Index : -1);
  if (currentIndex() < 0) setEditText(QString());
}

void TComboBox::SetText(const QString& Text) {
  const QSignalBlocker blocker(this);
  setCurrentIndex(-1);
  setEditText(Text);
}

void TComboBox::showPopup() {
  emit DropDown();
  QComboBox::showPopup();
}

bool TComboBox::ExceedsMaxLength(const QKeyEvent* Event) const {
  if (FMaxTextLength <= 0 || Event->text().isEmpty() || !Event->text().at(0).isPrint()) return false;
  const QLineEdit* edit = lineEdit();
  return edit->text().size() - edit->selectedText().size() + Event->text().size() > FMaxTextLength;
}

void TComboBox::keyPressEvent(QKeyEvent* Event) {
  if (ExceedsMaxLength(Event)) return;
  QComboBox::keyPressEvent(Event);
}

void TComboBox::keyReleaseEvent(QKeyEvent* Event) {
  emit KeyUp(Event->key());
  QComboBox::keyReleaseEvent(Event);
}

// Keys delivered straight to the text part (not forwarded by the box).
bool TComboBox::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == lineEdit()) {
    if (Event->type() == QEvent::KeyPress && ExceedsMaxLength(static_cast<QKeyEvent*>(Event))) return true;
    if (Event->type() == QEvent::KeyRelease) emit KeyUp(static_cast<QKeyEvent*>(Event)->key());
  }
  return QComboBox::eventFilter(Watched, Event);
}

TPanel::TPanel(const QString& Caption, QWidget* Parent) : QLabel(Caption, Parent) {
  setAlignment(Qt::AlignCenter);
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(1);
  setAutoFillBackground(true);
}

void TPanel::mouseReleaseEvent(QMouseEvent* Event) {
  QLabel::mouseReleaseEvent(Event);
  if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) emit Click();
}

TUpDown::TUpDown(QWidget* Parent) : QWidget(Parent), FUp(new QToolButton(this)), FDown(new QToolButton(this)) {
  FUp->setArrowType(Qt::UpArrow);
  FDown->setArrowType(Qt::DownArrow);
  for (QToolButton* button : {FUp, FDown}) {
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
  }
  setFocusPolicy(Qt::StrongFocus);
  connect(FUp, &QToolButton::clicked, this, [this] { Step(btNext); });
  connect(FDown, &QToolButton::clicked, this, [this] { Step(btPrev); });
}

void TUpDown::SetRange(int Min, int Max) {
  FMin = Min;
  FMax = std::max(Min, Max);
  SetPosition(FPosition);
}

void TUpDown::SetPosition(int Value) { FPosition = std::clamp(Value, FMin, FMax); }

void TUpDown::Step(TUDBtnType Button) {
  FPosition = Button == btNext ? std::min(FPosition + 1, FMax + 1) : std::max(FPosition - 1, FMin - 1);
  emit Click(Button);
}

void TUpDown::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  const int upper = height() / 2;
  FUp->setGeometry(0, 0, width(), upper);
  FDown->setGeometry(0, upper, width(), height() - upper);
}

void TUpDown::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Up) return Step(btNext);
  if (Event->key() == Qt::Key_Down) return Step(btPrev);
  QWidget::keyPressEvent(Event);
}

QValidator::State TWireTextValidator::validate(QString& Input, int&) const {
  for (const QChar c : Input) {
    if (c.unicode() > 0xFF) return Invalid;
    if (FFrameText && !IsFrameCharacter(static_cast<char>(c.unicode()))) return Invalid;
  }
  return Acceptable;
}
