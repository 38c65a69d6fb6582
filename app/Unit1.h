// Unit1: the main window of the utility, TForm1, and its one instance Form1.
// It holds every control of the form, the two engine timers and the shared
// UtilityState; the change handlers of the configuration inputs only raise
// pending-change flags or put a box back, they never talk to the converter.
#pragma once

#include "ConsoleStats.h"
#include "FormControls.h"
#include "KrmSettings.h"
#include "UtilityState.h"

#include <QMainWindow>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

class QAction;
class QCloseEvent;
class QKeyEvent;
class QGroupBox;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QTableWidget;
class QTimer;
class TumNumberEdit;
class TApdComPort;
class TApdCustomComPort;

// Counts a modal loop of the window for as long as it lives.
class TModalLoop {
 public:
  explicit TModalLoop(UtilityState& State) : FState(State) { ++FState.ModalLoops; }
  ~TModalLoop() { --FState.ModalLoops; }
  TModalLoop(const TModalLoop&) = delete;
  TModalLoop& operator=(const TModalLoop&) = delete;

 private:
  UtilityState& FState;
};

// What a message or confirmation box asks of the operator.
enum class TBoxKind {
  Message,  // OK only
  Warning,  // OK only, warning icon
  Confirm,  // OK (default) and Cancel, question icon
  Error,    // OK only, error icon: the application's error report
};

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  // MonitorWidth: width of the monitor that shows the window; 0 asks the screen.
  explicit TForm1(int MonitorWidth = 0, QWidget* Parent = nullptr);
  ~TForm1() override;

  UtilityState State;

  // Every message and confirmation box of the window goes through here.
  // Answers QMessageBox::Ok or QMessageBox::Cancel. While BoxHook is set it
  // answers instead of a modal box (tests see and answer boxes this way).
  int ShowBox(const QString& Text, const QString& Caption, TBoxKind Kind);
  std::function<int(const QString& Text, const QString& Caption, TBoxKind Kind)> BoxHook;
  // The application's error report for an exception: its text in a box
  // captioned with the program's title.
  void ReportException(const std::exception& E);

  // ---- Controls, under their form names ----
  QWidget* Client;
  TPanel* Panel1;
  QLabel* LabelPORT;
  TComboBox* ComPortBox1;
  QLabel* LabelSPEED;
  TComboBox* BaudBox1;
  QLabel* LabelFORMAT;
  TComboBox* FormatBox1;
  TPanel* Panel2;
  QLabel* ProtocolLabel1;
  TComboBox* ProtocolBox1;
  QLabel* AddrLabel1;
  TComboBox* AddrBox1;
  QLabel* AdrLabel1;
  TumNumberEdit* AddrEdit1;
  TUpDown* UpDown1;
  QLabel* RS485Label1;
  TComboBox* RS485Box1;
  QLabel* Label2;
  TComboBox* Format485Box1;
  QLabel* RS232Label1;
  TComboBox* RS232Box1;
  QLabel* Label1;
  TComboBox* Format232Box1;
  QLabel* TXLabel1;
  TComboBox* TxmodeBox1;
  QLabel* ECLabel1;
  TumNumberEdit* ECEdit1;
  QLabel* CrLabel1;
  TComboBox* crBox1;
  QLabel* CheckSumLabel1;
  TComboBox* CheckSumBox1;
  QLabel* DelimiterLabel1;
  TComboBox* DelimiterBox1;
  QLabel* IDLabel1;
  QLineEdit* ProductID;

  QGroupBox* TestBox;
  QLabel* TxLabel;
  QLineEdit* TxBox;
  QLabel* RXLabel;
  QLineEdit* RxBox;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* Button3;
  QLabel* StatsLabel;  // the current run's statistics, below the buttons

  QTableWidget* ShowDevice;
  TPanel* Panel3;

  QMenuBar* MainMenu1;
  QMenu* KRM46101;
  QAction* FWVERSION1;
  QAction* SAVE1;
  QMenu* TEST1;
  QAction* SCAN1;
  QAction* SINGLETEST1;
  QAction* CONTINUETEST1;
  QMenu* QUIT1;
  QAction* YES1;
  QAction* NO1;

  QTimer* Timer1;
  QTimer* Timer2;

  // The host port; closed until the first request or a port choice.
  TApdComPort* ApdComPort1;

  // The ten setting boxes, and all configuration inputs (boxes, both numeric
  // edits, the up-down and the product ID), in form order.
  std::vector<TComboBox*> SettingBoxes() const;
  std::vector<QWidget*> ConfigurationInputs() const;

  void HideSettings();
  void DisableSettings();

  // ---- Handlers ----
  void ProtocolBox1Change();
  void AddrBox1Change();
  void RS485Box1Change();
  void RS232Box1Change();
  void Format485Box1Change();
  void Format232Box1Change();
  void TxmodeBox1Change();
  void crBox1Change();
  void DelimiterBox1Change();
  void CheckSumBox1Change();
  void Box1DropDown();
  void Box1KeyUp(int Key);
  void UpDown1Click(TUDBtnType Button);
  void ECEdit1Change();
  void ProductIDKeyPress(QChar Key);
  void ProductIDExit();

  void FWVERSION1Click();
  void SAVE1Click();
  void YES1Click();

  // ---- The host port and the link (Unit1Link.cpp) ----
  // The one gate of every request: sent at once when no exchange is out,
  // else sent when the one out ends. The console's line is the Console's
  // request (Letter unused); every other owner sends command Letter.
  void Request(TExchangeOwner Owner, char Letter = 0);
  // The only two writers to the port, behind the gate. Both open it first
  // when needed.
  void SendCommand(char Letter);
  void SendTestLine();
  // Opens the host port from the three host boxes unless it is open;
  // false (and "COM Port Not Exist" shown) when it cannot be opened.
  bool EnsurePortOpen();
  void ApdComPort1Trigger(TApdCustomComPort* CP, std::uint16_t Msg, std::uint16_t TriggerHandle,
                          std::uint16_t Data);
  void ComPortBox1Change();
  void BaudBox1Change();
  void FormatBox1Change();
  void FormClose();

  // Scan, device list and read-back (Unit1Scan.cpp, Unit1Settings.cpp).
  void SCAN1Click();
  void Panel3Click();
  void ShowDeviceDblClick();
  void ShowDeviceKeyPress(QChar Key);
  void ApplyReadBack();

  // Test console and the window's own keys (Unit1Console.cpp).
  void SINGLETEST1Click();
  void CONTINUETEST1Click();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void FormKeyPress(QChar Key);

  // LinkPhaseEngine, every 20 ms.
  void Timer1Timer();
  // SettingsWriteSequencer, every 300 ms.
  void Timer2Timer();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void CreateControls();
  void CreateTestBox();
  void CreateDeviceList();
  void CreateMenu();
  void SetTabOrder();
  void LoadFormSettings();
  void FormCreate(int MonitorWidth);
  void ScaleBy(int Multiplier, int Divider);
  void FitTexts();
  void SizeDeviceList(int Multiplier, int Divider);

  // Puts W at its designed place (pixels at 96 dpi) and remembers it for scaling.
  void Place(QWidget* W, int Left, int Top, int Width, int Height);
  QLabel* MakeLabel(const char* Name, const QString& Caption, int Left, int Top, QWidget* Parent);
  TComboBox* MakeBox(const char* Name, int Left, int Top, int Width, const QStringList& Items);
  TumNumberEdit* MakeNumberEdit(const char* Name, int Left, int Top, int Width);

  // The accept rule of the setting boxes: true when the change is the
  // operator's pick (then PickArmed is spent); otherwise Box goes back to Recorded.
  bool AcceptPick(TComboBox* Box, int Recorded);
  void ShowAddress(bool Visible);
  void ChecksumInterlock();

  // Host port and reply reception (Unit1Link.cpp).
  void CreatePort();
  void ApplyHostFormat(int Item);
  void TakeTimeoutTrigger();
  void PortMissing();
  void LineLost();
  void EndPhasesWithoutPort();
  bool ArmReplyTimeout(std::int32_t Ticks);
  void Write(const std::string& Bytes);
  void StartExchange(TExchangeOwner Owner, char Letter);
  void SendWaiting();
  void GiveUpEngineRequest();
  void ReplyArrived(std::uint16_t Count);
  bool ConsoleExchange() const;  // the console is open and the exchange out is its line
  void ReplyComplete();
  void ReplyTimedOut();
  void EndExchange(bool Ok);
  void DisarmTimeout();

  // Scan and device list (Unit1Scan.cpp).
  void ScanStep();
  void EndScan();
  void ShowDeviceList();
  void DeviceListStep();
  void ChooseModule(int Row);

  // Read-back and write sequencer (Unit1Settings.cpp).
  void EnableMenu(QMenu* Menu, bool Enabled);
  void StartReadBack(int Row);
  void ReadBackStep();
  void FinishReadBack();
  void ShowRecordedFormat(TComboBox* Box, int Recorded);
  // One row of the write sequencer: its fixed place (order, verdict step,
  // failure message), its pending flag and recorded value, and how its
  // control is read and put back. One entry holds all of it.
  struct TSettingControl {
    const TWriteRow* Row;
    bool UtilityState::*Pending;
    std::int32_t UtilityState::*Recorded;         // none for the product ID
    std::function<std::int32_t()> Value;          // the control's value now
    std::function<void(std::int32_t)> Restore;    // the control back to a recorded value
    bool OnlyWhenChanged = false;                 // no frame while the control shows the recorded value
    std::function<void()> Settled;                // after the verdict, in both outcomes
  };
  void CreateSettingControls();
  void StartNextWrite();
  void WriteSetting(const TSettingControl& Control);
  void RequeueWrite();
  void JudgeWrite(int Step);
  std::vector<TSettingControl> FSettingControls;  // in the sequencer's order
  int FChosenRow = 0;  // device list row of the converter read back

  // Console and keys (Unit1Console.cpp).
  void ConnectOperations();
  bool OperationKeyFilter(QObject* Watched, QEvent* Event);
  void OpenConsole(bool Single);
  // The endless loop changes the console thousands of times a second; its
  // painting is held back to one frame per ConsolePaintMs while it runs.
  // The widgets' state itself is always current.
  void ThrottleConsolePaint();
  void ResumeConsolePaint();
  void ShowConsoleStats();
  QTimer* FConsolePaintTimer = nullptr;
  TExchangeStats FConsoleStats;

  std::vector<std::pair<QWidget*, QRect>> FDesign;
};

extern TForm1* Form1;

// The program's title, "KRM4610W", as the program sets it at start. It is
// the application's name only: a display name would be added by the
// platform to every window and box caption.
void SetApplicationTitle();
