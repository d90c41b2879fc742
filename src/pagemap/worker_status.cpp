#include "pagemap/worker_status.h"

namespace quarrow {

void WorkerStatus::SetWindow(const BufferView& view) {
  window_start_ = view.start();
  window_ = view.bytes();
  cursor_.SetWindow(start_offset_ + window_start_, window_);
}

}  // namespace quarrow
