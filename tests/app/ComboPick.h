// Choosing an item of a setting box as the operator does: drop the list
// down and click the item in it.
#pragma once

#include <QAbstractItemView>
#include <QTest>
#include <gtest/gtest.h>

#include "FormControls.h"

inline void Pick(TComboBox* Box, int Item) {
  Box->showPopup();
  QAbstractItemView* view = Box->view();
  ASSERT_TRUE(QTest::qWaitFor([view] { return view->isVisible(); }));
  const QRect cell = view->visualRect(view->model()->index(Item, 0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
  ASSERT_TRUE(QTest::qWaitFor([view] { return !view->isVisible(); }));
}
