// Opening and using a port that cannot be had: every failure raises its own
// exception, leaves the port closed, and the next attempt starts clean.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <vector>

#include "AdExcept.h"
#include "AdPort.h"
#include "AdSelCom.h"
#include "PortTestSupport.h"

using namespace porttest;

namespace {

constexpr const char* Missing = "/nonexistent/krm-port";

// Another program holding the device: a child process that opens it and
// takes the lock, until the test ends it.
class HeldByChild {
 public:
  explicit HeldByChild(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    child_ = fork();
    if (child_ == 0) {
      int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
      char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
      (void)!write(ready[1], &ok, 1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    (void)!read(ready[0], &ok, 1);
    close(ready[0]);
    if (!ok) throw std::runtime_error("child could not hold the port");
  }
  ~HeldByChild() { Release(); }
  void Release() {
    if (child_ <= 0) return;
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
    child_ = -1;
  }

 private:
  pid_t child_ = -1;
};

// Answers the selection dialog from the test: sees the real dialog, picks an
// entry and clicks one of its buttons.
class DialogAnswer {
 public:
  explicit DialogAnswer(std::function<void(TComSelectForm&)> answer) {
    TComSelectForm::SetModalHook([this, answer](TComSelectForm& form) {
      ++Shown;
      Listed.clear();
      for (int i = 0; i < form.PortsComboBox->count(); ++i)
        Listed.push_back(form.PortsComboBox->itemText(i).toStdString());
      Selected = form.PortsComboBox->currentIndex();
      form.open();
      answer(form);
      return form.result();
    });
  }
  ~DialogAnswer() { TComSelectForm::SetModalHook(nullptr); }

  int Shown = 0;
  std::vector<std::string> Listed;
  int Selected = -2;
};

void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

// The next control that Tab reaches.
QWidget* NextTabStop(QWidget* from) {
  QWidget* next = from->nextInFocusChain();
  while (next != from && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
  return next;
}

}  // namespace

class AdPortFailures : public ::testing::Test {
 protected:
  void SetUp() override { Port.SetAutoOpen(false); }
  PtyPeer Peer;
  TApdComPort Port;
};

TEST_F(AdPortFailures, NoPortNumberWithoutPromptRaisesNoPortSelected) {
  Port.SetPromptForPort(false);
  try {
    Port.SetOpen(true);
    FAIL() << "opened without a port number";
  } catch (const ENoPortSelected& e) {
    EXPECT_EQ(e.ErrorCode, -2011);
    EXPECT_STREQ(e.what(), "The ComNumber property of the TApdComPort has not been set");
  }
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
}

TEST_F(AdPortFailures, CancelledSelectionDialogRaisesNoPortSelected) {
  std::vector<std::unique_ptr<PortName>> names;
  for (int n = 1; n <= 50; ++n) names.push_back(std::make_unique<PortName>(n, Missing));
  PortName com2(2, Peer.SlavePath());
  DialogAnswer answer([](TComSelectForm& form) { Click(form.AbortBtn); });

  EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
  EXPECT_EQ(answer.Shown, 1);
  EXPECT_EQ(answer.Listed, std::vector<std::string>{"COM2"});
  EXPECT_EQ(Port.ComNumber(), 0);
  EXPECT_FALSE(Port.Open());
}

TEST_F(AdPortFailures, SelectionDialogListsPresentAndHeldPortsAndOpensThePick) {
  PtyPeer held;
  PtyPeer third;
  PtyPeer above;
  std::vector<std::unique_ptr<PortName>> names;
  for (int n = 1; n <= 51; ++n) names.push_back(std::make_unique<PortName>(n, Missing));
  PortName com1(1, Peer.SlavePath());
  PortName com2(2, held.SlavePath());
  PortName com3(3, third.SlavePath());
  PortName com51(51, above.SlavePath());  // above 50: never listed
  HeldByChild holder(held.SlavePath());

  DialogAnswer answer([](TComSelectForm& form) {
    form.PortsComboBox->setCurrentIndex(2);
    Click(form.OkBtn);
  });
  Port.SetOpen(true);
  EXPECT_EQ(answer.Listed, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(answer.Selected, 0);
  EXPECT_EQ(Port.ComNumber(), 3);
  EXPECT_TRUE(Port.Open());
  Port.SendText("on three");
  EXPECT_EQ(third.Read(8), "on three");
}

TEST_F(AdPortFailures, OkWithAnEmptyListIsAConversionError) {
  std::vector<std::unique_ptr<PortName>> names;
  for (int n = 1; n <= 50; ++n) names.push_back(std::make_unique<PortName>(n, Missing));
  DialogAnswer answer([](TComSelectForm& form) { Click(form.OkBtn); });
  EXPECT_THROW(Port.SetOpen(true), EConvertError);
  EXPECT_EQ(answer.Selected, -1);
  EXPECT_FALSE(Port.Open());
}

TEST_F(AdPortFailures, SelectionDialogLayout) {
  PortName com1(1, Missing);
  TComSelectForm form;
  EXPECT_EQ(form.windowTitle(), "Select Port");
  EXPECT_EQ(form.size(), QSize(220, 131));
  EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
  EXPECT_EQ(form.Label1->geometry(), QRect(18, 14, 176, 13));
  EXPECT_EQ(form.Label2->text(), "Please choose another port.");
  EXPECT_EQ(form.Label2->geometry(), QRect(18, 30, 133, 13));
  EXPECT_EQ(form.PortsComboBox->geometry(), QRect(8, 64, 201, 21));
  EXPECT_FALSE(form.PortsComboBox->isEditable());
  EXPECT_EQ(form.OkBtn->text(), "OK");
  EXPECT_EQ(form.OkBtn->geometry(), QRect(8, 95, 85, 27));
  EXPECT_TRUE(form.OkBtn->isDefault());
  EXPECT_EQ(form.AbortBtn->text(), "Cancel");
  EXPECT_EQ(form.AbortBtn->geometry(), QRect(124, 95, 85, 27));
  EXPECT_EQ(NextTabStop(form.OkBtn), form.AbortBtn);
  EXPECT_EQ(NextTabStop(form.AbortBtn), form.PortsComboBox);
  EXPECT_EQ(NextTabStop(form.PortsComboBox), form.OkBtn);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(AdPortFailures, ProbingLeavesNoPortOpen) {
  PortName com1(1, Peer.SlavePath());
  EXPECT_FALSE(TComSelectForm::PortExists(0));
  EXPECT_TRUE(TComSelectForm::PortExists(1));
  // Were the probe still holding it, this open would find the port taken.
  Port.SetComNumber(1);
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
}

TEST_F(AdPortFailures, MissingPortRaisesBadIdAndTheNextAttemptStartsClean) {
  PortName com5(5, Missing);
  Port.SetComNumber(5);
  try {
    Port.SetOpen(true);
    FAIL() << "a missing port opened";
  } catch (const EBadId& e) {
    EXPECT_EQ(e.ErrorCode, -2001);
  }
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortPhase(), phClosed);
  EXPECT_EQ(Port.LastFailure(), std::string("COM5 (") + Missing + "): no such device");

  PortName now(5, Peer.SlavePath());
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.LastFailure(), "");
}

TEST_F(AdPortFailures, PortHeldByAnotherProgramRaisesAlreadyOpen) {
  PortName com6(6, Peer.SlavePath());
  HeldByChild holder(Peer.SlavePath());
  Port.SetComNumber(6);
  try {
    Port.SetOpen(true);
    FAIL() << "a held port opened";
  } catch (const EAlreadyOpen& e) {
    EXPECT_EQ(e.ErrorCode, -2008);
    EXPECT_STREQ(e.what(), "ie_Open - device already open");
  }
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.LastFailure(), "COM6 (" + Peer.SlavePath() + "): in use by another program");

  holder.Release();
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
}

// A user who may not use the device is told what to check. Root passes any
// permission check, so the open runs in a child that gave up root.
TEST_F(AdPortFailures, PortWithoutPermissionSaysWhatToCheck) {
  PortName com4(4, Peer.SlavePath());
  ASSERT_EQ(chmod(Peer.SlavePath().c_str(), 0600), 0);
  int reply[2];
  ASSERT_EQ(pipe(reply), 0);
  pid_t child = fork();
  if (child == 0) {
    alarm(10);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    std::string failure = "opened";
    {
      TApdComPort port;
      port.SetAutoOpen(false);
      port.SetComNumber(4);
      try {
        port.SetOpen(true);
      } catch (const std::exception&) {
        failure = port.LastFailure();
      }
    }
    (void)!write(reply[1], failure.data(), failure.size());
    _exit(0);
  }
  close(reply[1]);
  std::string failure;
  char buffer[256];
  for (ssize_t n; (n = read(reply[0], buffer, sizeof buffer)) > 0;) failure.append(buffer, n);
  close(reply[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not drop root";
  EXPECT_EQ(failure, "COM4 (" + Peer.SlavePath() +
                         "): permission denied (is the user in the dialout group?)");
}

TEST_F(AdPortFailures, ClosedPortWithoutAutoOpenRaisesCommNotOpen) {
  PortName com1(1, Peer.SlavePath());
  Port.SetComNumber(1);
  EXPECT_THROW(Port.SendText("x"), ECommNotOpen);
  EXPECT_THROW(Port.ReadChar(), ECommNotOpen);
  EXPECT_THROW(Port.ClearInput(), ECommNotOpen);
  EXPECT_THROW(Port.ClearOutput(), ECommNotOpen);
  EXPECT_THROW(Port.NewTimerTrigger(), ECommNotOpen);
  EXPECT_THROW(Port.ArmTimerTrigger(1, 10, true), ECommNotOpen);
  EXPECT_THROW(Port.YieldTime(), ECommNotOpen);
  EXPECT_FALSE(Port.Open());
}

TEST_F(AdPortFailures, AutoOpenOpensBeforeTheOperation) {
  PortName com1(1, Peer.SlavePath());
  Port.SetComNumber(1);
  Port.SetAutoOpen(true);
  Port.SendText("auto");
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Peer.Read(4), "auto");

  TApdComPort other;
  PtyPeer second;
  PortName com2(2, second.SlavePath());
  other.SetComNumber(2);
  EXPECT_NE(other.NewTimerTrigger(), 0);
  EXPECT_TRUE(other.Open());

  // Giving up the time slice goes to the dispatcher too, which answers 0.
  TApdComPort third;
  PtyPeer thirdPeer;
  PortName com3(3, thirdPeer.SlavePath());
  third.SetComNumber(3);
  EXPECT_NO_THROW(third.YieldTime());
  EXPECT_TRUE(third.Open());
  EXPECT_NO_THROW(third.YieldTime());
}

TEST_F(AdPortFailures, AnOutputBufferOfNoBytesIsRefusedAtOpen) {
  PortName com1(1, Peer.SlavePath());
  Port.SetComNumber(1);
  Port.SetOutSize(0);
  EXPECT_THROW(Port.SetOpen(true), EOutputBufferTooSmall);
  EXPECT_FALSE(Port.Open());
  Port.SetOutSize(16);
  Port.SetOpen(true);
  Port.SendText("sixteen bytes ok");
  EXPECT_EQ(Peer.Read(16), "sixteen bytes ok");
}

TEST_F(AdPortFailures, ReadingWithNothingReceivedRaisesBufferIsEmpty) {
  PortName com1(1, Peer.SlavePath());
  Port.SetComNumber(1);
  Port.SetOpen(true);
  try {
    Port.ReadChar();
    FAIL() << "read from an empty buffer";
  } catch (const EBufferIsEmpty& e) {
    EXPECT_EQ(e.ErrorCode, -3007);
  }
  EXPECT_TRUE(Port.Open());
}

TEST_F(AdPortFailures, UnknownTriggerHandleRaisesBadTriggerHandle) {
  PortName com1(1, Peer.SlavePath());
  Port.SetComNumber(1);
  Port.SetOpen(true);
  EXPECT_THROW(Port.ArmTimerTrigger(999, 1, true), EBadTriggerHandle);
}
