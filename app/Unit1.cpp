#include "Unit1.h"

#include "AdPort.h"
#include "KrmProtocol.h"
#include "Latin1Text.h"
#include "umEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTimer>

TForm1* Form1 = nullptr;

void SetApplicationTitle() { QApplication::setApplicationName(QStringLiteral("KRM4610W")); }

namespace {

// The form's colours (the classic Windows palette).
const QColor clBlue(0x00, 0x00, 0xFF);
const QColor clWhite(0xFF, 0xFF, 0xFF);
const QColor clGreen(0x00, 0x80, 0x00);
const QColor clTeal(0x00, 0x80, 0x80);
const QColor clAqua(0x00, 0xFF, 0xFF);
const QColor clNavy(0x00, 0x00, 0x80);
const QColor clBtnFace(0xF0, 0xF0, 0xF0);
const QColor clInactiveCaptionText(0xD4, 0xD0, 0xC8);
const QColor clGrayOnGreen(0xB0, 0xC8, 0xB0);

constexpr int DesignWidth = 547;
constexpr int DesignHeight = 478;
constexpr int DesignMonitor = 800;
constexpr int ScaleAboveMonitor = 750;
constexpr int InputHeight = 21;

QFont FormFont(bool Bold, qreal Points = 8) {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(Points);
  font.setBold(Bold);
  return font;
}

QFont PanelFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Serif"), QStringLiteral("DejaVu Serif Condensed")});
  font.setStyleHint(QFont::Serif);
  font.setPointSizeF(12);
  font.setBold(true);
  return font;
}

QStringList Texts(const auto& Table) {
  QStringList list;
  for (std::string_view text : Table) list << QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  return list;
}

void SetColours(QWidget* W, const QColor& Background, const QColor& Text) {
  QPalette palette = W->palette();
  for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button}) palette.setColor(role, Background);
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) palette.setColor(group, role, Text);
  }
  W->setPalette(palette);
  W->setAutoFillBackground(true);
}

// Inputs: bold white on green; disabled text greyed but still on green.
void StyleInput(QWidget* W) {
  SetColours(W, clGreen, clWhite);
  QPalette palette = W->palette();
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, clGrayOnGreen);
  palette.setColor(QPalette::Highlight, clNavy);
  palette.setColor(QPalette::HighlightedText, clWhite);
  W->setPalette(palette);
  W->setFont(FormFont(true));
}

void StylePanel(TPanel* Panel) {
  SetColours(Panel, clTeal, clAqua);
  QPalette palette = Panel->palette();
  palette.setColor(QPalette::Disabled, QPalette::WindowText, clAqua);  // Panel1 is disabled
  Panel->setPalette(palette);
  Panel->setFont(PanelFont());
}

// Whether Text fits W (a label or a button) in Font.
bool TextFits(const QWidget* W, const QFont& Font, const QString& Text) {
  const QFontMetrics metrics(Font);
  const int width = metrics.horizontalAdvance(Text);
  if (const auto* button = qobject_cast<const QPushButton*>(W)) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = Text;
    return button->style()->sizeFromContents(QStyle::CT_PushButton, &option, QSize(width, metrics.height()), button)
               .width() <= button->width();
  }
  const QRect room = W->contentsRect();
  return width <= room.width() && metrics.height() <= room.height();
}

// The form's fonts are not on every machine and a fallback may run wider:
// W's font shrinks until each of Texts fits.
void FitFont(QWidget* W, const QStringList& Texts) {
  QFont font = W->font();
  auto fits = [&] {
    return std::all_of(Texts.begin(), Texts.end(), [&](const QString& Text) { return TextFits(W, font, Text); });
  };
  while (font.pointSizeF() > 4 && !fits()) font.setPointSizeF(font.pointSizeF() - 0.25);
  W->setFont(font);
}

}  // namespace

TForm1::TForm1(int MonitorWidth, QWidget* Parent) : QMainWindow(Parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("KRM4610 UTILITY VER 2.00"));
  setFont(FormFont(false));

  Client = new QWidget(this);
  Client->setObjectName(QStringLiteral("Client"));
  SetColours(Client, clBlue, clWhite);
  setCentralWidget(Client);

  CreateControls();
  CreateTestBox();
  CreateDeviceList();
  CreateMenu();
  SetTabOrder();
  LoadFormSettings();
  CreatePort();
  ConnectOperations();
  CreateSettingControls();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(20);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(300);
  connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);

  FormCreate(MonitorWidth);
  Timer1->start();
  Timer2->start();
}

TForm1::~TForm1() {
  // QWidget destroys the children after this part of the window is gone;
  // their last signals and events (a focus loss, a closing list) must not
  // reach the handlers any more.
  ProductID->removeEventFilter(this);
  // The port goes first, while the window is whole: a close waiting on a
  // delivery turns the event loop, and no notice may reach the handler then.
  ApdComPort1->SetOnTrigger(nullptr);
  delete ApdComPort1;
  ApdComPort1 = nullptr;
  for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
  if (Form1 == this) Form1 = nullptr;
}

// ---- Building the form ----

void TForm1::Place(QWidget* W, int Left, int Top, int Width, int Height) {
  W->setGeometry(Left, Top, Width, Height);
  FDesign.emplace_back(W, QRect(Left, Top, Width, Height));
}

QLabel* TForm1::MakeLabel(const char* Name, const QString& Caption, int Left, int Top, QWidget* Parent) {
  auto* label = new QLabel(Caption, Parent);
  label->setObjectName(QString::fromLatin1(Name));
  label->setFont(FormFont(true));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, clWhite);
  label->setPalette(palette);
  label->adjustSize();  // labels size themselves to their caption
  Place(label, Left, Top, label->width(), label->height());
  return label;
}

TComboBox* TForm1::MakeBox(const char* Name, int Left, int Top, int Width, const QStringList& Items) {
  auto* box = new TComboBox(Client);
  box->setObjectName(QString::fromLatin1(Name));
  box->addItems(Items);
  box->SetItemIndex(-1);
  StyleInput(box);
  Place(box, Left, Top, Width, InputHeight);
  return box;
}

TumNumberEdit* TForm1::MakeNumberEdit(const char* Name, int Left, int Top, int Width) {
  auto* edit = new TumNumberEdit(Client);
  edit->setObjectName(QString::fromLatin1(Name));
  edit->SetLoading(true);
  edit->SetKind(neHex);
  edit->SetMaxValue(255);
  edit->setMaxLength(2);
  edit->SetCharCase(ecUpperCase);
  StyleInput(edit);
  edit->SetColorDisabled(clGreen);
  Place(edit, Left, Top, Width, InputHeight);
  return edit;
}

void TForm1::CreateControls() {
  const QStringList bauds = Texts(BaudListTexts);
  const QStringList formats = Texts(FormatListTexts);
  QStringList ports;
  for (int n = 1; n <= HostComPorts; ++n) ports << QStringLiteral("COM%1").arg(n);
  const QStringList delimiters = Texts(DelimiterListTexts);

  Panel1 = new TPanel(QStringLiteral("HOST COM Port Configuration"), Client);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Place(Panel1, 148, 24, 249, 20);
  StylePanel(Panel1);
  Panel1->setEnabled(false);

  LabelPORT = MakeLabel("LabelPORT", QStringLiteral("COM PORT"), 24, 60, Client);
  ComPortBox1 = MakeBox("ComPortBox1", 96, 56, 69, ports);
  LabelSPEED = MakeLabel("LabelSPEED", QStringLiteral("BAUD RATE"), 184, 60, Client);
  BaudBox1 = MakeBox("BaudBox1", 264, 56, 93, bauds);
  LabelFORMAT = MakeLabel("LabelFORMAT", QStringLiteral("DATA FORMAT"), 376, 60, Client);
  FormatBox1 = MakeBox("FormatBox1", 468, 56, 61, formats);

  Panel2 = new TPanel(QStringLiteral("KRM4610 Configuration"), Client);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  Place(Panel2, 148, 104, 249, 20);
  StylePanel(Panel2);

  ProtocolLabel1 = MakeLabel("ProtocolLabel1", QStringLiteral("PROTOCOL"), 28, 136, Client);
  ProtocolBox1 = MakeBox("ProtocolBox1", 164, 136, 81, {"RS-485", "RS-422"});
  AddrLabel1 = MakeLabel("AddrLabel1", QStringLiteral("ADDRESS MODE"), 28, 164, Client);
  AddrBox1 = MakeBox("AddrBox1", 164, 164, 73, {"ON", "OFF"});
  AdrLabel1 = MakeLabel("AdrLabel1", QStringLiteral("ADDRESS "), 284, 164, Client);
  AddrEdit1 = MakeNumberEdit("AddrEdit1", 356, 164, 33);
  AddrEdit1->setReadOnly(true);  // the address changes only through UpDown1
  UpDown1 = new TUpDown(Client);
  UpDown1->setObjectName(QStringLiteral("UpDown1"));
  UpDown1->SetRange(0, 255);
  Place(UpDown1, 388, 164, 18, InputHeight);
  RS485Label1 = MakeLabel("RS485Label1", QStringLiteral("RS-485 SETTING"), 28, 193, Client);
  RS485Box1 = MakeBox("RS485Box1", 164, 193, 98, bauds);
  Label2 = MakeLabel("Label2", QStringLiteral("FORMAT"), 284, 193, Client);
  Format485Box1 = MakeBox("Format485Box1", 356, 193, 61, formats);
  RS232Label1 = MakeLabel("RS232Label1", QStringLiteral("RS-232 SETTING"), 28, 221, Client);
  RS232Box1 = MakeBox("RS232Box1", 164, 221, 98, bauds);
  Label1 = MakeLabel("Label1", QStringLiteral("FORMAT"), 284, 221, Client);
  Format232Box1 = MakeBox("Format232Box1", 356, 221, 61, formats);
  TXLabel1 = MakeLabel("TXLabel1", QStringLiteral("TX MODE"), 28, 250, Client);
  TxmodeBox1 = MakeBox("TxmodeBox1", 164, 250, 177, {"NORMAL MODE", "FAST RESPONSE MODE"});
  ECLabel1 = MakeLabel("ECLabel1", QStringLiteral("STOP CHARACTER"), 28, 278, Client);
  ECEdit1 = MakeNumberEdit("ECEdit1", 164, 278, 25);
  CrLabel1 = MakeLabel("CrLabel1", QStringLiteral("APPEND STOP CHAR."), 28, 307, Client);
  crBox1 = MakeBox("crBox1", 164, 307, 57, {"YES  ", "NO  "});
  CheckSumLabel1 = MakeLabel("CheckSumLabel1", QStringLiteral("CHECKSUM MODE"), 28, 335, Client);
  CheckSumBox1 = MakeBox("CheckSumBox1", 164, 335, 57, {"ON", "OFF"});
  DelimiterLabel1 = MakeLabel("DelimiterLabel1", QStringLiteral("DELIMITER"), 28, 364, Client);
  DelimiterBox1 = MakeBox("DelimiterBox1", 164, 364, 57, delimiters);
  IDLabel1 = MakeLabel("IDLabel1", QStringLiteral("PRODUCT ID"), 28, 392, Client);
  ProductID = new QLineEdit(Client);
  ProductID->setObjectName(QStringLiteral("ProductID"));
  ProductID->setMaxLength(static_cast<int>(MaxParameterLength));
  // The text goes into a frame that ends at the first CR: control characters
  // (a pasted line break) would cut it and send the rest as a frame of its own.
  ProductID->setValidator(new TWireTextValidator(true, ProductID));
  StyleInput(ProductID);
  Place(ProductID, 164, 392, 249, InputHeight);
  ProductID->installEventFilter(this);

  for (TComboBox* box : {ComPortBox1, BaudBox1, FormatBox1, Format485Box1, Format232Box1})
    box->SetMaxTextLength(1);
  for (TComboBox* box : {BaudBox1, RS485Box1, RS232Box1, FormatBox1, Format485Box1, Format232Box1})
    box->setMaxVisibleItems(10);

  const std::pair<TComboBox*, void (TForm1::*)()> changes[] = {
      {ProtocolBox1, &TForm1::ProtocolBox1Change},   {AddrBox1, &TForm1::AddrBox1Change},
      {RS485Box1, &TForm1::RS485Box1Change},         {Format485Box1, &TForm1::Format485Box1Change},
      {RS232Box1, &TForm1::RS232Box1Change},         {Format232Box1, &TForm1::Format232Box1Change},
      {TxmodeBox1, &TForm1::TxmodeBox1Change},       {crBox1, &TForm1::crBox1Change},
      {CheckSumBox1, &TForm1::CheckSumBox1Change},   {DelimiterBox1, &TForm1::DelimiterBox1Change}};
  for (const auto& [box, handler] : changes) {
    connect(box, &TComboBox::Change, this, handler);
    connect(box, &TComboBox::DropDown, this, &TForm1::Box1DropDown);
    connect(box, &TComboBox::KeyUp, this, &TForm1::Box1KeyUp);
  }
  connect(UpDown1, &TUpDown::Click, this, &TForm1::UpDown1Click);
  connect(ECEdit1, &TumNumberEdit::OnChange, this, &TForm1::ECEdit1Change);
}

void TForm1::CreateTestBox() {
  TestBox = new QGroupBox(QStringLiteral("SINGLE COMMAND TEST"), Client);
  TestBox->setObjectName(QStringLiteral("TestBox"));
  SetColours(TestBox, clInactiveCaptionText, clNavy);
  TestBox->setFont(FormFont(true));
  Place(TestBox, 28, 128, 497, 257);

  TxLabel = MakeLabel("TxLabel", QStringLiteral("DATA TRANSMITE ......"), 54, 46, TestBox);
  RXLabel = MakeLabel("RXLabel", QStringLiteral("DATA RECEIVED ......"), 54, 126, TestBox);
  for (QLabel* label : {TxLabel, RXLabel}) label->setPalette(TestBox->palette());

  TxBox = new QLineEdit(TestBox);
  TxBox->setObjectName(QStringLiteral("TxBox"));
  // Sent exactly as typed, control characters included; one byte a character.
  TxBox->setValidator(new TWireTextValidator(false, TxBox));
  Place(TxBox, 64, 64, 345, InputHeight);
  RxBox = new QLineEdit(TestBox);
  RxBox->setObjectName(QStringLiteral("RxBox"));
  RxBox->setReadOnly(true);
  RxBox->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  Place(RxBox, 64, 144, 345, InputHeight);

  Button1 = new QPushButton(QStringLiteral("START TEST"), TestBox);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setDefault(true);
  Place(Button1, 56, 200, 97, 25);
  Button2 = new QPushButton(QStringLiteral("STOP TEST"), TestBox);
  Button2->setObjectName(QStringLiteral("Button2"));
  Place(Button2, 192, 200, 97, 25);
  Button3 = new QPushButton(QStringLiteral("END TEST"), TestBox);
  Button3->setObjectName(QStringLiteral("Button3"));
  Place(Button3, 320, 200, 94, 25);
  StatsLabel = new QLabel(TestBox);
  StatsLabel->setObjectName(QStringLiteral("StatsLabel"));
  StatsLabel->setFont(FormFont(false));
  StatsLabel->setPalette(TestBox->palette());
  Place(StatsLabel, 8, 232, 481, 16);
  // The console's own controls keep the system colours, in its bold navy text.
  for (QWidget* w : std::initializer_list<QWidget*>{TxBox, RxBox, Button1, Button2, Button3}) {
    w->setFont(FormFont(true));
    QPalette palette = QApplication::palette(w);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
      palette.setColor(group, QPalette::Text, clNavy);
      palette.setColor(group, QPalette::ButtonText, clNavy);
    }
    w->setPalette(palette);
  }
  TestBox->hide();
}

void TForm1::CreateDeviceList() {
  ShowDevice = new QTableWidget(7, 2, Client);
  ShowDevice->setObjectName(QStringLiteral("ShowDevice"));
  ShowDevice->horizontalHeader()->hide();  // row 0 is the grid's own fixed header row
  ShowDevice->verticalHeader()->hide();
  ShowDevice->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ShowDevice->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ShowDevice->setSelectionBehavior(QAbstractItemView::SelectRows);
  ShowDevice->setSelectionMode(QAbstractItemView::SingleSelection);
  ShowDevice->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ShowDevice->setFont(FormFont(true));
  SetColours(ShowDevice, clBtnFace, clNavy);
  for (int row = 0; row < ShowDevice->rowCount(); ++row) {
    for (int column = 0; column < ShowDevice->columnCount(); ++column) {
      auto* cell = new QTableWidgetItem;
      cell->setForeground(clNavy);
      if (row == 0) {
        cell->setFlags(Qt::ItemIsEnabled);  // the fixed row cannot be chosen
        cell->setBackground(QColor(0xD4, 0xD0, 0xC8));
      }
      ShowDevice->setItem(row, column, cell);
    }
  }
  ShowDevice->item(0, 0)->setText(QString::fromLatin1(DeviceListAddressHeader.data()));
  ShowDevice->item(0, 1)->setText(QString::fromLatin1(DeviceListProductHeader.data()));
  Place(ShowDevice, 92, 152, 354, 180);
  SizeDeviceList(1, 1);
  ShowDevice->hide();

  Panel3 = new TPanel(QString::fromStdString(ScanAddressCaption(0)), Client);
  Panel3->setObjectName(QStringLiteral("Panel3"));
  SetColours(Panel3, clBtnFace, clBlue);
  Panel3->setFont(FormFont(true, 12));
  Place(Panel3, 127, 192, 278, 53);
  Panel3->hide();
}

void TForm1::CreateMenu() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  auto action = [this](QMenu* Menu, const char* Name, const QString& Caption) {
    QAction* item = Menu->addAction(Caption);
    item->setObjectName(QString::fromLatin1(Name));
    return item;
  };
  KRM46101 = MainMenu1->addMenu(QStringLiteral("KRM4610"));
  KRM46101->setObjectName(QStringLiteral("KRM46101"));
  FWVERSION1 = action(KRM46101, "FWVERSION1", QStringLiteral("F/W VERSION"));
  SAVE1 = action(KRM46101, "SAVE1", QStringLiteral("SAVE"));
  TEST1 = MainMenu1->addMenu(QStringLiteral("TEST"));
  TEST1->setObjectName(QStringLiteral("TEST1"));
  SCAN1 = action(TEST1, "SCAN1", QStringLiteral("SCAN"));
  SINGLETEST1 = action(TEST1, "SINGLETEST1", QStringLiteral("SINGLE TEST"));
  CONTINUETEST1 = action(TEST1, "CONTINUETEST1", QStringLiteral("CONTINUE TEST"));
  QUIT1 = MainMenu1->addMenu(QStringLiteral("QUIT"));
  QUIT1->setObjectName(QStringLiteral("QUIT1"));
  YES1 = action(QUIT1, "YES1", QStringLiteral("YES"));
  NO1 = action(QUIT1, "NO1", QStringLiteral("NO"));

  connect(FWVERSION1, &QAction::triggered, this, &TForm1::FWVERSION1Click);
  connect(SAVE1, &QAction::triggered, this, &TForm1::SAVE1Click);
  connect(YES1, &QAction::triggered, this, &TForm1::YES1Click);
  // A click on these titles commits a product ID being typed; "KRM4610" does not.
  connect(TEST1, &QMenu::aboutToShow, this, &TForm1::ProductIDExit);
  connect(QUIT1, &QMenu::aboutToShow, this, &TForm1::ProductIDExit);
}

void TForm1::SetTabOrder() {
  // Panels and the group box take no focus; TestBox's own order sits at its place.
  QWidget* const order[] = {ComPortBox1, BaudBox1,     FormatBox1,    ProtocolBox1,  AddrBox1,   ShowDevice,
                            RS485Box1,   Format485Box1, RS232Box1,    Format232Box1, TxmodeBox1, Button1,
                            Button2,     Button3,      TxBox,         crBox1,        CheckSumBox1, DelimiterBox1,
                            ProductID,   ECEdit1,      UpDown1,       AddrEdit1};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::LoadFormSettings() {
  ComPortBox1->SetItemIndex(0);
  BaudBox1->SetItemIndex(5);
  FormatBox1->SetText(QStringLiteral("N,8,1"));
  ProtocolBox1->SetText(QStringLiteral("RS-485"));
  AddrBox1->SetText(QStringLiteral("ON"));
  RS485Box1->SetText(QStringLiteral("9600 bps"));
  Format485Box1->SetText(QStringLiteral("N,8,1"));
  RS232Box1->SetText(QStringLiteral("9600 bps"));
  Format232Box1->SetText(QStringLiteral("N,8,1"));
  TxmodeBox1->SetText(QStringLiteral("NORMAL MODE"));
  crBox1->SetText(QStringLiteral("YES"));
  CheckSumBox1->SetText(QStringLiteral("ON"));
  DelimiterBox1->SetText(QStringLiteral("   :"));
  AddrEdit1->SetValue(0);
  UpDown1->SetPosition(0);
  ECEdit1->SetValue(13);
  AddrEdit1->SetLoading(false);
  ECEdit1->SetLoading(false);
}

void TForm1::FormCreate(int MonitorWidth) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int width = MonitorWidth > 0 ? MonitorWidth : (screen ? screen->geometry().width() : DesignMonitor);
  if (width > ScaleAboveMonitor) {
    ScaleBy(width, DesignMonitor);
    resize(width * DesignWidth / DesignMonitor, width * DesignHeight / DesignMonitor);
  } else {
    resize(DesignWidth, DesignHeight);
  }
  if (screen) move(screen->availableGeometry().center() - rect().center());

  FitTexts();
  HideSettings();
  KRM46101->setEnabled(false);
}

void TForm1::FitTexts() {
  for (QLabel* label : findChildren<QLabel*>()) {
    if (label != Panel3 && label != StatsLabel && !label->objectName().isEmpty()) FitFont(label, {label->text()});
  }
  for (QPushButton* button : {Button1, Button2, Button3}) FitFont(button, {button->text()});
  FitFont(Panel3, {Latin1(ScanCompleteCaption(256)), Latin1(ScanAddressCaption(0xFF))});
  // A long day's run at full speed, and round trips up to the longest time-out.
  FitFont(StatsLabel, {QStringLiteral("EXCHANGES 999999999  TIME-OUTS 1  99999.9/S  RTT 4510.0 (MIN 4510.0 "
                                      "MEAN 4510.0 MAX 4510.0) MS")});
}

void TForm1::ScaleBy(int Multiplier, int Divider) {
  auto scale = [&](int Value) { return Value * Multiplier / Divider; };
  for (const auto& [widget, design] : FDesign) {
    widget->setGeometry(scale(design.left()), scale(design.top()), scale(design.width()), scale(design.height()));
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * Multiplier / Divider);
    widget->setFont(font);
  }
  SizeDeviceList(Multiplier, Divider);
}

void TForm1::SizeDeviceList(int Multiplier, int Divider) {
  ShowDevice->setColumnWidth(0, 70 * Multiplier / Divider);
  ShowDevice->setColumnWidth(1, 280 * Multiplier / Divider);
  for (int row = 0; row < ShowDevice->rowCount(); ++row) ShowDevice->setRowHeight(row, 24 * Multiplier / Divider);
}

// ---- Message boxes ----

int TForm1::ShowBox(const QString& Text, const QString& Caption, TBoxKind Kind) {
  const TModalLoop modal(State);
  if (BoxHook) return BoxHook(Text, Caption, Kind);
  QMessageBox box(this);
  box.setWindowTitle(Caption);
  box.setText(Text);
  switch (Kind) {
    case TBoxKind::Message:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TBoxKind::Warning:
      box.setIcon(QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TBoxKind::Error:
      box.setIcon(QMessageBox::Critical);
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case TBoxKind::Confirm:
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
  }
  return box.exec() == QMessageBox::Ok ? QMessageBox::Ok : QMessageBox::Cancel;
}

// ---- Modes ----

std::vector<TComboBox*> TForm1::SettingBoxes() const {
  return {ProtocolBox1, AddrBox1,   RS485Box1, Format485Box1, RS232Box1,
          Format232Box1, TxmodeBox1, crBox1,    CheckSumBox1,  DelimiterBox1};
}

std::vector<QWidget*> TForm1::ConfigurationInputs() const {
  const std::vector<TComboBox*> boxes = SettingBoxes();
  std::vector<QWidget*> inputs(boxes.begin(), boxes.end());
  for (QWidget* w : std::initializer_list<QWidget*>{AddrEdit1, UpDown1, ECEdit1, ProductID}) inputs.push_back(w);
  return inputs;
}

void TForm1::HideSettings() {
  for (QWidget* input : ConfigurationInputs()) input->hide();
}

void TForm1::DisableSettings() {
  for (QWidget* input : ConfigurationInputs()) input->setEnabled(false);
}

// ---- Configuration fields ----

bool TForm1::AcceptPick(TComboBox* Box, int Recorded) {
  if (State.PickArmed && Box->ItemIndex() != -1) {
    State.PickArmed = false;
    return true;
  }
  if (Box == Format485Box1 || Box == Format232Box1)
    ShowRecordedFormat(Box, Recorded);  // may be "Unknow"
  else
    Box->SetItemIndex(Recorded);
  return false;
}

void TForm1::ShowAddress(bool Visible) {
  AddrEdit1->setVisible(Visible);
  UpDown1->setVisible(Visible);
}

void TForm1::ProtocolBox1Change() {
  if (AcceptPick(ProtocolBox1, State.DevProtocol)) State.PendProtocol = true;
}

void TForm1::AddrBox1Change() {
  if (!AcceptPick(AddrBox1, State.DevAddrMode)) return;
  State.PendAddrMode = true;
  ShowAddress(AddrBox1->ItemIndex() == 0);
}

void TForm1::RS485Box1Change() {
  if (AcceptPick(RS485Box1, State.DevRs485Baud)) State.PendRs485Baud = true;
}

void TForm1::RS232Box1Change() {
  if (AcceptPick(RS232Box1, State.DevRs232Baud)) State.PendRs232Baud = true;
}

void TForm1::Format485Box1Change() {
  if (AcceptPick(Format485Box1, State.DevRs485Format)) State.PendRs485Format = true;
}

void TForm1::Format232Box1Change() {
  if (AcceptPick(Format232Box1, State.DevRs232Format)) State.PendRs232Format = true;
}

void TForm1::TxmodeBox1Change() {
  if (AcceptPick(TxmodeBox1, State.DevTxMode)) State.PendTxMode = true;
}

void TForm1::crBox1Change() {
  if (AcceptPick(crBox1, State.DevAppendStop)) State.PendAppendStop = true;
}

void TForm1::DelimiterBox1Change() {
  if (AcceptPick(DelimiterBox1, State.DevDelimiter)) State.PendDelimiter = true;
}

void TForm1::CheckSumBox1Change() {
  if (!AcceptPick(CheckSumBox1, State.DevChecksum)) return;
  State.PendChecksum = true;
  ChecksumInterlock();
}

// With the checksum on, the address mode must be on and the TX mode normal.
void TForm1::ChecksumInterlock() {
  if (CheckSumBox1->ItemIndex() == 1) {
    TxmodeBox1->setEnabled(true);
    AddrBox1->setEnabled(true);
    return;
  }
  if (AddrBox1->ItemIndex() == 1) {
    AddrBox1->SetItemIndex(0);
    ShowAddress(true);
    State.PendAddrMode = true;
  }
  if (TxmodeBox1->ItemIndex() == 1) {
    TxmodeBox1->SetItemIndex(0);
    State.PendTxMode = true;
  }
  AddrBox1->setEnabled(false);
  TxmodeBox1->setEnabled(false);
}

void TForm1::Box1DropDown() { State.PickArmed = true; }

void TForm1::Box1KeyUp(int Key) {
  if (Key == Qt::Key_Up || Key == Qt::Key_Down) State.PickArmed = true;
}

void TForm1::UpDown1Click(TUDBtnType) {
  int position = UpDown1->Position();
  if (position == -1) position = 255;
  if (position == 256) position = 0;
  UpDown1->SetPosition(position);
  AddrEdit1->SetValue(position);
  State.PendAddress = true;
}

void TForm1::ECEdit1Change() {
  State.PendStopChar = true;
  State.ParStopChar = HexByte(ECEdit1->Value());
}

void TForm1::ProductIDKeyPress(QChar Key) {
  if (Key == QChar(u'\r')) {
    State.PendProductId = true;
    State.ProductIdEdited = false;
  } else {
    State.ProductIdEdited = true;
  }
}

void TForm1::ProductIDExit() {
  if (State.ProductIdEdited) State.PendProductId = true;
  State.ProductIdEdited = false;
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
  if (OperationKeyFilter(Watched, Event)) return true;
  if (Watched == ProductID) {
    if (Event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(Event);
      // Tab moves the focus and Delete is no character: neither is typing.
      const bool navigation =
          key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Delete;
      if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
        ProductIDKeyPress(QChar(u'\r'));
      else if (!key->text().isEmpty() && !navigation)
        ProductIDKeyPress(key->text().at(0));
    } else if (Event->type() == QEvent::FocusOut) {
      // A menu or another window taking the keyboard is not leaving the field.
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(Event)->reason();
      if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason &&
          reason != Qt::MenuBarFocusReason)
        ProductIDExit();
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}

// ---- Menu ----

void TForm1::FWVERSION1Click() { State.VersionRequested = true; }

void TForm1::SAVE1Click() {
  if (ShowBox(QStringLiteral("CHANGE KRM4610 SETTING?"), QStringLiteral("Confirm"), TBoxKind::Confirm) ==
      QMessageBox::Ok)
    State.SaveRequested = true;
}

void TForm1::YES1Click() {
  if (State.Busy)
    State.QuitRequested = true;  // closes at the reply or time-out
  else
    close();
}

// ---- Engines ----

void TForm1::Timer1Timer() {
  if (State.ModalLoops > 0) return;
  if (State.Scanning && State.ReplyEvent) return ScanStep();
  switch (State.LinkPhase) {
    case 2:
      Panel3->setText(QString::fromStdString(ScanCompleteCaption(State.ModuleCount)));
      break;
    case 3:
      if (State.ReplyEvent) DeviceListStep();
      break;
    case 5:
      if (State.ReplyEvent) ReadBackStep();
      break;
    default:
      break;
  }
}

