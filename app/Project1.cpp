// Project1: the program entry of the KRM4610 utility.
#include "Unit1.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KRM4610W"));
  QApplication::setApplicationDisplayName(QStringLiteral("KRM4610W"));
  TForm1 form;
  Form1 = &form;
  form.show();
  return QApplication::exec();
}
