#include "Unit1/wrap_button.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace quarrow {

void WrapButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  const QString caption = option.text;
  option.text.clear();  // the style draws the frame; the caption is drawn below
  painter.drawControl(QStyle::CE_PushButton, option);
  const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this);
  const QRect area = rect().adjusted(margin, margin, -margin, -margin);
  style()->drawItemText(&painter, area, Qt::AlignCenter | Qt::TextWordWrap,
                        option.palette, isEnabled(), caption, QPalette::ButtonText);
}

}  // namespace quarrow
