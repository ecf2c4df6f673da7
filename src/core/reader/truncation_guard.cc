#include "core/reader/truncation_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

namespace tarndb::truncation_guard {
namespace {

// Registered mappings, in blocks of slots that are never freed, so that the
// handler can walk them without locks while blocks are added. A slot is
// claimed through `used`, and its range is published after it is set.
struct Slot {
  std::atomic<bool> used{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};
constexpr int kBlockSlots = 4096;
struct Block {
  Slot slots[kBlockSlots];
  std::atomic<Block*> next{nullptr};
};
Block g_first;
std::mutex g_grow;

struct sigaction g_previous;  // the disposition before ours
uintptr_t g_page_size = 4096;
std::once_flag g_configured;
// Set when a fault not ours went on to the handler before ours: one that
// cannot resume from it re-raises the signal (faulthandler, say), which then
// must take the default action, not go round the handlers again.
std::atomic<bool> g_passed_on_fault{false};
// Handlers running ours: a handler installed after ours that calls ours as
// its own predecessor must not be called back.
std::atomic<int> g_depth{0};

Slot& SlotAt(int handle) {
  Block* b = &g_first;
  for (; handle >= kBlockSlots; handle -= kBlockSlots) b = b->next.load(std::memory_order_acquire);
  return b->slots[handle];
}

// The default action: the disposition back, and the signal sent again, to
// be delivered once this handler returns (for a fault, the access then
// faults again): the process ends as it would have without us.
void ActByDefault(int sig) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

// A signal that is not ours goes on as if we were not there.
void PassOn(int sig, siginfo_t* info, void* context) {
  const bool fault = info->si_code > 0;  // sent by the kernel for an access
  if (!fault && g_passed_on_fault.exchange(false)) return ActByDefault(sig);
  if (g_depth.load() > 1) return ActByDefault(sig);  // called back by the next handler
  const bool has_action = (g_previous.sa_flags & SA_SIGINFO) ? g_previous.sa_sigaction != nullptr
                                                             : g_previous.sa_handler != SIG_DFL &&
                                                                   g_previous.sa_handler != SIG_IGN;
  if (!has_action) {
    if ((g_previous.sa_flags & SA_SIGINFO) == 0 && g_previous.sa_handler == SIG_IGN) {
      // Ignored: a sent signal is dropped; a fault is faulted again and
      // the kernel ends the process, as it would have.
      if (fault) sigaction(sig, &g_previous, nullptr);
      return;
    }
    return ActByDefault(sig);
  }
  if (fault) g_passed_on_fault.store(true);
  if (g_previous.sa_flags & SA_SIGINFO) return g_previous.sa_sigaction(sig, info, context);
  return g_previous.sa_handler(sig);
}

// Whether addr lies in a registered mapping; if so, a page of zeros now
// stands where the faulting page was and the mapping is marked damaged.
bool Repair(uintptr_t addr) {
  for (Block* b = &g_first; b != nullptr; b = b->next.load(std::memory_order_acquire)) {
    for (Slot& s : b->slots) {
      if (!s.used.load(std::memory_order_acquire)) continue;
      const uintptr_t begin = s.begin.load(std::memory_order_acquire);
      if (addr < begin || addr >= s.end.load(std::memory_order_acquire)) continue;
      // mmap is a plain system call on Linux, safe here in practice.
      void* page = reinterpret_cast<void*>(addr & ~(g_page_size - 1));
      if (mmap(page, g_page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) ==
          MAP_FAILED) {
        return false;
      }
      s.damaged.store(true, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void OnSigbus(int sig, siginfo_t* info, void* context) {
  g_depth.fetch_add(1);
  // Only a fault the kernel raised for an access to a watched mapping is
  // ours; a SIGBUS sent by kill or raise never is.
  const bool ours = info->si_code > 0 && Repair(reinterpret_cast<uintptr_t>(info->si_addr));
  if (!ours) PassOn(sig, info, context);
  g_depth.fetch_sub(1);
}

bool InstalledIsOurs(const struct sigaction& act) {
  return (act.sa_flags & SA_SIGINFO) && act.sa_sigaction == OnSigbus;
}

}  // namespace

void TakeFront() {
  std::call_once(g_configured, [] {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_page_size = static_cast<uintptr_t>(page);
  });
  std::lock_guard<std::mutex> lock(g_grow);
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) != 0 || InstalledIsOurs(current)) return;
  struct sigaction act = {};
  act.sa_sigaction = OnSigbus;
  act.sa_flags = SA_SIGINFO;
  sigemptyset(&act.sa_mask);
  // Whatever is there now (the default, or a handler installed since ours)
  // gets the signals that are not ours.
  g_previous = current;
  sigaction(SIGBUS, &act, nullptr);
}

int Register(const void* base, size_t length) {
  TakeFront();
  int handle = 0;
  for (Block* b = &g_first;; b = b->next.load(std::memory_order_acquire)) {
    for (Slot& s : b->slots) {
      bool expected = false;
      if (s.used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        s.damaged.store(false, std::memory_order_relaxed);
        s.end.store(reinterpret_cast<uintptr_t>(base) + length, std::memory_order_release);
        s.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
        return handle;
      }
      ++handle;
    }
    std::lock_guard<std::mutex> lock(g_grow);
    if (b->next.load(std::memory_order_acquire) == nullptr) {
      Block* more = new (std::nothrow) Block;  // kept for the life of the process
      if (more == nullptr) return -1;
      b->next.store(more, std::memory_order_release);
    }
  }
}

void Unregister(int handle) {
  if (handle < 0) return;
  Slot& s = SlotAt(handle);
  s.begin.store(0, std::memory_order_release);
  s.end.store(0, std::memory_order_release);
  s.used.store(false, std::memory_order_release);
}

bool Damaged(int handle) {
  return handle >= 0 && SlotAt(handle).damaged.load(std::memory_order_acquire);
}

}  // namespace tarndb::truncation_guard
