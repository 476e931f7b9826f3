#include "mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace platform::detail {
namespace {

// A fixed table the signal handler can scan without locks or allocation.
constexpr std::size_t kSlots = 16384;

struct Slot {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<std::size_t> length{0};
  std::atomic<int> protection{0};
  std::atomic<bool> broken{false};
};

Slot g_slots[kSlots];
// Views replaced so far: lets a caller see that nothing broke without
// scanning the table view by view.
std::atomic<std::uint64_t> g_broken{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "counted from a signal handler");
struct sigaction g_previous;
std::once_flag g_installed;

// Replaces the view holding address; false when address is not in one.
bool Repair(std::uintptr_t address) {
  for (Slot& slot : g_slots) {
    const std::uintptr_t base = slot.base.load(std::memory_order_acquire);
    if (base == 0) continue;
    const std::size_t length = slot.length.load(std::memory_order_relaxed);
    if (address < base || address - base >= length) continue;
    void* replaced = ::mmap(reinterpret_cast<void*>(base), length,
                            slot.protection.load(std::memory_order_relaxed),
                            MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (replaced == MAP_FAILED) return false;
    slot.broken.store(true, std::memory_order_release);
    g_broken.fetch_add(1, std::memory_order_release);
    return true;
  }
  return false;
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (info != nullptr && Repair(reinterpret_cast<std::uintptr_t>(info->si_addr))) return;
  // Not ours: what would have happened without this handler.
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  // Default action: return with the default disposition, so the faulting
  // access repeats and the process ends as it would have.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGBUS, &fallback, nullptr);
}

void Install() {
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

bool GuardView(void* base, std::size_t length, int protection) {
  std::call_once(g_installed, Install);
  for (Slot& slot : g_slots) {
    std::uintptr_t expected = 0;
    if (slot.base.load(std::memory_order_relaxed) != 0) continue;
    // Claim the slot with a marker first, so the handler never sees a base
    // with the previous user's length.
    if (!slot.base.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    slot.length.store(length, std::memory_order_relaxed);
    slot.protection.store(protection, std::memory_order_relaxed);
    slot.broken.store(false, std::memory_order_relaxed);
    slot.base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_release);
    return true;
  }
  return false;
}

void UnguardView(const void* base) {
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  for (Slot& slot : g_slots) {
    if (slot.base.load(std::memory_order_acquire) != address) continue;
    slot.base.store(0, std::memory_order_release);
    return;
  }
}

bool ViewBroken(const void* base) {
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  for (const Slot& slot : g_slots) {
    if (slot.base.load(std::memory_order_acquire) == address)
      return slot.broken.load(std::memory_order_acquire);
  }
  return false;
}

std::uint64_t BrokenCount() { return g_broken.load(std::memory_order_acquire); }

}  // namespace platform::detail
