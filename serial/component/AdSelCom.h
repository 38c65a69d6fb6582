// The "Select Port" dialog, shown when a port is to be opened without a
// port number: it lists the serial ports 1 to 50 that exist.
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  // Shows a modal dialog and returns its result instead of exec(), so that
  // tests can answer the real dialog. Empty: exec().
  using TModalHook = std::function<int(TComSelectForm& Form)>;
  static void SetModalHook(TModalHook hook);

  explicit TComSelectForm(QWidget* parent = nullptr);

  // Port N can be used, or is there but held by another program.
  static bool PortExists(uint16_t N);
  // The number of the selected entry; EConvertError when none is selected.
  int SelectedPort() const;
  int ShowModal();

  QLabel* Label1;
  QLabel* Label2;
  QFrame* Bevel1;
  QComboBox* PortsComboBox;
  QPushButton* OkBtn;
  QPushButton* AbortBtn;

 private:
  void FormCreate();
};
