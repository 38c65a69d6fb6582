// Project1: the program entry of the KRM4610 utility.
#include "AdPort.h"
#include "Unit1.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  SetApplicationTitle();
  // Errors the port component reports on its own show like the window's.
  SetApplicationExceptionReport([](const std::exception& E) {
    if (Form1)
      Form1->ReportException(E);
    else
      QMessageBox::critical(nullptr, QStringLiteral("KRM4610W"), QString::fromLocal8Bit(E.what()));
  });
  TForm1 form;
  Form1 = &form;
  form.show();
  const int result = QApplication::exec();
  SetApplicationExceptionReport(nullptr);
  return result;
}
