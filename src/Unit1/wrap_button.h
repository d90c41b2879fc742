// A push button whose caption wraps onto several lines when it is wider than
// the button. text() stays the caption as given. Belongs to the window's thread.
#ifndef QUARROW_UNIT1_WRAP_BUTTON_H_
#define QUARROW_UNIT1_WRAP_BUTTON_H_

#include <QPushButton>

namespace quarrow {

class WrapButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace quarrow

#endif  // QUARROW_UNIT1_WRAP_BUTTON_H_
