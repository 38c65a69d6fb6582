// What the whole-program benchmarks share: the utility's main window on a
// simulated bus, with every box and every error report it raises recorded
// instead of shown, and a way to run its event loop for a while.
#pragma once

#include <stdlib.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "AdPort.h"
#include "Unit1.h"

namespace krmbench {

// The main window as the operator has it, its COM1 mapped to path; not
// shown, it does the same work without painting. Boxes
// and the component's error reports are recorded in Trouble: a benchmark
// that sees one has measured something else than it meant to.
class AppWindow {
 public:
  explicit AppWindow(const std::string& path, bool shown = true) {
    setenv("KRM4610_COM1", path.c_str(), 1);
    SetApplicationExceptionReport([this](const std::exception& e) { Record(QString::fromLocal8Bit(e.what())); });
    form_ = std::make_unique<TForm1>(750);
    form_->BoxHook = [this](const QString& text, const QString& caption, TBoxKind) {
      Record(caption + QStringLiteral(": ") + text);
      return static_cast<int>(QMessageBox::Ok);
    };
    if (shown) form_->show();
  }
  ~AppWindow() {
    form_.reset();
    SetApplicationExceptionReport(nullptr);
    unsetenv("KRM4610_COM1");
  }
  AppWindow(const AppWindow&) = delete;
  AppWindow& operator=(const AppWindow&) = delete;

  TForm1& Form() { return *form_; }
  // The first box or error report seen, empty while there was none.
  const std::string& Trouble() const { return trouble_; }

 private:
  void Record(const QString& what) {
    if (trouble_.empty()) trouble_ = what.toStdString();
  }
  std::unique_ptr<TForm1> form_;
  std::string trouble_;
};

// Runs the event loop for the given wall time.
inline void RunEventLoop(std::chrono::milliseconds time) {
  QEventLoop loop;
  QTimer::singleShot(time, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop until done() holds; false when the limit passed first.
// The engine's 20 ms tick wakes the loop at least that often.
inline bool RunEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace krmbench
