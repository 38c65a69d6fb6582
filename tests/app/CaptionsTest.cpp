// The captions as the window manager reads them: the _NET_WM_NAME of each
// X window, on a display of the test's own (Xvfb), with the program's title
// set as the program sets it.
#include "Unit1.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// An X server for this process only, and the application on it.
class XDisplayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Another server may hold a number: then the next one is tried.
    std::mt19937 pick(static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> numbers(1000, 30000);
    for (int attempt = 0; attempt < 20 && !Started; ++attempt) Started = StartServer(numbers(pick));
    ASSERT_TRUE(Started) << "Xvfb did not start (is the xvfb package installed?)";
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    App = std::make_unique<QApplication>(Argc, Argv);
    SetApplicationTitle();
  }
  void TearDown() override {
    App.reset();
    if (Server > 0) {
      kill(Server, SIGTERM);
      waitpid(Server, nullptr, 0);
    }
  }

  static bool Started;

 private:
  // Xvfb writes the display number once it takes connections, and ends at
  // once when the number is taken; the server counts once a client got in.
  bool StartServer(int Display) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    const pid_t server = fork();
    if (server < 0) return false;
    if (server == 0) {
      close(ready[0]);
      const std::string name = ":" + std::to_string(Display);
      const std::string fd = std::to_string(ready[1]);
      // -noreset: the probe below is the server's first client, and a reset
      // when it leaves would refuse the application's connection.
      execlp("Xvfb", "Xvfb", name.c_str(), "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen",
             "0", "1024x768x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char number[16] = {};
    const ssize_t got = read(ready[0], number, sizeof number - 1);
    close(ready[0]);
    const std::string display = got > 0 ? ":" + std::to_string(Display) : "";
    xcb_connection_t* probe = display.empty() ? nullptr : xcb_connect(display.c_str(), nullptr);
    const bool reachable = probe && !xcb_connection_has_error(probe);
    if (probe) xcb_disconnect(probe);
    if (!reachable) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
      return false;
    }
    Server = server;
    setenv("DISPLAY", display.c_str(), 1);
    return true;
  }

  pid_t Server = -1;
  int Argc = 1;
  char Name[16] = "caption_tests";
  char* Argv[2] = {Name, nullptr};
  std::unique_ptr<QApplication> App;
};

bool XDisplayEnvironment::Started = false;

[[maybe_unused]] ::testing::Environment* const Environment =
    ::testing::AddGlobalTestEnvironment(new XDisplayEnvironment);

xcb_atom_t Atom(xcb_connection_t* X, const char* Name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(X, xcb_intern_atom(X, 0, static_cast<std::uint16_t>(strlen(Name)), Name), nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return atom;
}

// The title the window manager shows for W.
std::string WindowManagerTitle(const QWidget* W) {
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11) return "(no X11 connection)";
  xcb_connection_t* x = x11->connection();
  const xcb_atom_t name = Atom(x, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(x, "UTF8_STRING");
  const auto window = static_cast<xcb_window_t>(W->winId());
  xcb_get_property_reply_t* reply =
      xcb_get_property_reply(x, xcb_get_property(x, 0, window, name, utf8, 0, 1024), nullptr);
  std::string title;
  if (reply)
    title.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                 static_cast<std::size_t>(xcb_get_property_value_length(reply)));
  free(reply);
  return title;
}

TEST(Captions, EveryWindowAndBoxCarriesExactlyItsCaption) {
  ASSERT_TRUE(XDisplayEnvironment::Started);
  TForm1 form(750);
  form.Timer1->stop();
  form.Timer2->stop();
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_EQ(WindowManagerTitle(&form), "KRM4610 UTILITY VER 2.00");

  struct Case {
    const char* Caption;
    TBoxKind Kind;
  };
  for (const Case box : {Case{"Message", TBoxKind::Message}, Case{"Warning", TBoxKind::Warning},
                         Case{"Confirm", TBoxKind::Confirm}, Case{"KRM4610", TBoxKind::Message}}) {
    std::string shown = "(no box)";
    // Read once the box is up, then answered as the operator would.
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] {
      auto* modal = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!modal || !modal->isVisible()) return;
      shown = WindowManagerTitle(modal);
      modal->done(QMessageBox::Ok);
    });
    reader.start(20);
    form.ShowBox(QStringLiteral("text"), QString::fromLatin1(box.Caption), box.Kind);
    EXPECT_EQ(shown, box.Caption);
  }
}

}  // namespace
