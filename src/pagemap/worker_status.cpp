#include "pagemap/worker_status.h"

namespace quarrow {

PageStatus WorkerStatus::At(const Match& match) {
  const BufferView& view = *match.view;
  if (view.start() != window_start_ || view.bytes().data() != window_.data() ||
      view.bytes().size() != window_.size()) {
    window_start_ = view.start();
    window_ = view.bytes();
    cursor_.SetWindow(start_offset_ + window_start_, window_);
  }
  return cursor_.StatusAt(start_offset_ + match.position);
}

}  // namespace quarrow
