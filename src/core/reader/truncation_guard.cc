#include "core/reader/truncation_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarndb::truncation_guard {
namespace {

// Registered mappings. The handler scans them without locks; a slot is
// claimed through `used`, and its range is published after it is set.
struct Slot {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};
constexpr int kSlots = 4096;
Slot g_slots[kSlots];

struct sigaction g_previous;
uintptr_t g_page_size = 4096;
std::once_flag g_installed;

// Pass a fault we do not handle to the handler that was there before. For a
// fault the previous action cannot resume from (the default, or ignoring
// it), put that action back: the access faults again on return and the
// system then acts as it would have without us.
void Chain(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) return g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    return g_previous.sa_handler(sig);
  }
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &dfl, nullptr);
}

void OnSigbus(int sig, siginfo_t* info, void* context) {
  const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Slot& s : g_slots) {
    if (!s.used.load(std::memory_order_acquire)) continue;
    const uintptr_t begin = s.begin.load(std::memory_order_acquire);
    if (addr < begin || addr >= s.end.load(std::memory_order_acquire)) continue;
    // mmap is a plain system call on Linux, safe here in practice.
    void* page = reinterpret_cast<void*>(addr & ~(g_page_size - 1));
    if (mmap(page, g_page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
        MAP_FAILED) {
      s.damaged.store(true, std::memory_order_release);
      return;
    }
    break;
  }
  Chain(sig, info, context);
}

void Install() {
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) g_page_size = static_cast<uintptr_t>(page);
  struct sigaction act = {};
  act.sa_sigaction = OnSigbus;
  act.sa_flags = SA_SIGINFO;
  sigemptyset(&act.sa_mask);
  sigaction(SIGBUS, &act, &g_previous);
}

}  // namespace

int Register(const void* base, size_t length) {
  std::call_once(g_installed, Install);
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    Slot& s = g_slots[i];
    if (!s.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
    s.damaged.store(false, std::memory_order_relaxed);
    s.end.store(reinterpret_cast<uintptr_t>(base) + length, std::memory_order_release);
    s.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    return i;
  }
  return -1;
}

void Unregister(int handle) {
  if (handle < 0) return;
  Slot& s = g_slots[handle];
  s.begin.store(0, std::memory_order_release);
  s.end.store(0, std::memory_order_release);
  s.used.store(false, std::memory_order_release);
}

bool Damaged(int handle) {
  return handle >= 0 && g_slots[handle].damaged.load(std::memory_order_acquire);
}

}  // namespace tarndb::truncation_guard
