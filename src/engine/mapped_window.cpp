#include "engine/mapped_window.h"

#include <atomic>
#include <utility>

#ifndef _WIN32
#include <csignal>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarrow {

#ifdef _WIN32

MappedWindow MappedWindow::Map(intptr_t, int64_t, size_t) { return {}; }
MappedWindow::~MappedWindow() = default;
void MappedWindow::Release() {}
bool MappedWindow::faulted() const { return false; }

#else

namespace {

// The windows mapped now, where the SIGBUS handler can find them: the only
// state outside the objects of a run, since a signal handler can reach no
// other. Lock-free atomics are safe to read in a handler.
constexpr int kSlots = 64;
struct GuardedRange {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<int> faulted{0};
};
GuardedRange guarded_ranges[kSlots];

// Set once, before any handler can run, and only read after.
struct BusErrorGuard {
  uintptr_t page_size = 4096;
  struct sigaction before {};
};
BusErrorGuard bus_error_guard;

void PassOn(int signal, siginfo_t* info, void* context) {
  const struct sigaction& before = bus_error_guard.before;
  if ((before.sa_flags & SA_SIGINFO) != 0 && before.sa_sigaction != nullptr) {
    before.sa_sigaction(signal, info, context);
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
  } else {
    // Back to the usual action: a faulting read faults again on return and
    // takes it; a signal that was sent is sent again.
    ::signal(SIGBUS, SIG_DFL);
    if (info->si_code <= 0) ::raise(SIGBUS);
  }
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardedRange& range : guarded_ranges) {
    const uintptr_t begin = range.begin.load();
    if (begin == 0 || at < begin || at >= range.end.load()) continue;
    void* page = reinterpret_cast<void*>(at & ~(bus_error_guard.page_size - 1));
    if (::mmap(page, bus_error_guard.page_size, PROT_READ,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
      break;
    range.faulted.store(1);
    return;
  }
  PassOn(signal, info, context);
}

bool InstallBusErrorGuard() {
  bus_error_guard.page_size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGBUS, &action, &bus_error_guard.before) == 0;
}

int ClaimSlot() {
  for (int slot = 0; slot < kSlots; ++slot) {
    bool expected = false;
    if (guarded_ranges[slot].used.compare_exchange_strong(expected, true)) return slot;
  }
  return -1;
}

}  // namespace

MappedWindow MappedWindow::Map(intptr_t handle, int64_t offset, size_t length) {
  static const bool guarded = InstallBusErrorGuard();
  MappedWindow window;
  if (!guarded || length == 0 || offset < 0) return window;
  const int slot = ClaimSlot();
  if (slot < 0) return window;
  const auto lead = static_cast<size_t>(offset % static_cast<int64_t>(bus_error_guard.page_size));
  // Populated at once: one call maps the whole window instead of a fault per
  // few pages.
  void* base = ::mmap(nullptr, lead + length, PROT_READ, MAP_SHARED | MAP_POPULATE,
                      static_cast<int>(handle),
                      static_cast<off_t>(offset) - static_cast<off_t>(lead));
  GuardedRange& range = guarded_ranges[slot];
  if (base == MAP_FAILED) {
    range.used.store(false);
    return window;
  }
  window.base_ = base;
  window.mapped_ = lead + length;
  window.slot_ = slot;
  window.bytes_ = std::string_view(static_cast<const char*>(base) + lead, length);
  range.faulted.store(0);
  range.end.store(reinterpret_cast<uintptr_t>(base) + window.mapped_);
  range.begin.store(reinterpret_cast<uintptr_t>(base));
  return window;
}

void MappedWindow::Release() {
  if (base_ == nullptr) return;
  // Unguarded before unmapped: the address may be reused by a mapping that
  // another slot guards.
  GuardedRange& range = guarded_ranges[slot_];
  range.begin.store(0);
  range.end.store(0);
  range.used.store(false);
  ::munmap(base_, mapped_);
  base_ = nullptr;
}

MappedWindow::~MappedWindow() { Release(); }

bool MappedWindow::faulted() const {
  return base_ != nullptr && guarded_ranges[slot_].faulted.load() != 0;
}

#endif

MappedWindow::MappedWindow(MappedWindow&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      mapped_(other.mapped_),
      slot_(other.slot_),
      bytes_(other.bytes_) {}

MappedWindow& MappedWindow::operator=(MappedWindow&& other) noexcept {
  if (this != &other) {
    Release();
    base_ = std::exchange(other.base_, nullptr);
    mapped_ = other.mapped_;
    slot_ = other.slot_;
    bytes_ = other.bytes_;
  }
  return *this;
}

}  // namespace quarrow
