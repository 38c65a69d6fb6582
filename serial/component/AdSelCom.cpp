#include "AdSelCom.h"

#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <string>

#include "AdExcept.h"
#include "AdPlatform.h"

namespace {

TComSelectForm::TModalHook& ModalHook() {
  static TComSelectForm::TModalHook hook;
  return hook;
}

constexpr uint16_t HighestListedPort = 50;

}  // namespace

void TComSelectForm::SetModalHook(TModalHook hook) { ModalHook() = std::move(hook); }

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle("Select Port");
  setFixedSize(220, 131);
  QFont font("MS Sans Serif");
  font.setPointSize(8);
  setFont(font);
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, Qt::black);
  colours.setColor(QPalette::ButtonText, Qt::black);
  colours.setColor(QPalette::Text, Qt::black);
  setPalette(colours);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);
  Label1 = new QLabel("The configured serial port is not valid.", this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(18, 14, 176, 13);
  Label2 = new QLabel("Please choose another port.", this);
  Label2->setObjectName("Label2");
  Label2->setGeometry(18, 30, 133, 13);
  PortsComboBox = new QComboBox(this);
  PortsComboBox->setObjectName("PortsComboBox");
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, 21);
  OkBtn = new QPushButton("OK", this);
  OkBtn->setObjectName("OkBtn");
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  AbortBtn = new QPushButton("Cancel", this);
  AbortBtn->setObjectName("AbortBtn");
  AbortBtn->setGeometry(124, 95, 85, 27);
  connect(OkBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(AbortBtn, &QPushButton::clicked, this, &QDialog::reject);

  setTabOrder(OkBtn, AbortBtn);
  setTabOrder(AbortBtn, PortsComboBox);
  OkBtn->setFocus();

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  FormCreate();
}

void TComSelectForm::FormCreate() {
  for (uint16_t port = 1; port <= HighestListedPort; ++port)
    if (PortExists(port)) PortsComboBox->addItem("COM" + QString::number(port));
  PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

bool TComSelectForm::PortExists(uint16_t N) {
  if (N == 0) return false;
  // The device-open step alone: no line settings, no threads.
  TPlatformDispatcher probe(nullptr);
  intptr_t result = probe.OpenDeviceHandle("\\\\.\\COM" + std::to_string(N), 64, 64);
  if (result >= 0) {
    probe.CloseDeviceHandle();
    return true;
  }
  return PortHeldByAnotherProgram(static_cast<int32_t>(result));
}

int TComSelectForm::SelectedPort() const {
  QString text = PortsComboBox->currentText().mid(3);
  bool ok = false;
  int port = text.toInt(&ok, 10);
  if (!ok) throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
  return port;
}

int TComSelectForm::ShowModal() {
  if (ModalHook()) return ModalHook()(*this);
  return exec();
}
