#include "mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// The handler's own reads and writes of the table. A SIGBUS raised inside
// the thread sanitizer's atomic operation (an access to a truncated view is
// often one: a lock word) arrives while the sanitizer holds its own lock, and
// any instrumented atomic in the handler would wait for that lock forever.
// Under the sanitizer the handler therefore reads and writes the table with
// plain uninstrumented accesses (aligned words: whole on this machine) and
// maps with the system call itself.
#if defined(__SANITIZE_THREAD__)
#define CORV_GUARD_UNINSTRUMENTED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORV_GUARD_UNINSTRUMENTED 1
#endif
#endif

#ifdef CORV_GUARD_UNINSTRUMENTED
template <typename T>
__attribute__((no_sanitize("thread"))) T HandlerLoad(const std::atomic<T>& value) {
  static_assert(sizeof(std::atomic<T>) == sizeof(T));
  T result = *reinterpret_cast<const volatile T*>(&value);
  asm volatile("" ::: "memory");
  return result;
}
template <typename T>
__attribute__((no_sanitize("thread"))) void HandlerStore(std::atomic<T>& value, T v) {
  asm volatile("" ::: "memory");
  *reinterpret_cast<volatile T*>(&value) = v;
}
__attribute__((no_sanitize("thread"))) void HandlerCount(std::atomic<std::uint64_t>& value) {
  static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t));
  asm volatile("lock incq %0" : "+m"(*reinterpret_cast<std::uint64_t*>(&value)) : : "memory");
}
void* HandlerMap(void* base, std::size_t length, int protection) {
  return reinterpret_cast<void*>(
      ::syscall(SYS_mmap, base, length, protection, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
}
#else
template <typename T>
T HandlerLoad(const std::atomic<T>& value) {
  return value.load(std::memory_order_acquire);
}
template <typename T>
void HandlerStore(std::atomic<T>& value, T v) {
  value.store(v, std::memory_order_release);
}
void HandlerCount(std::atomic<std::uint64_t>& value) { value.fetch_add(1, std::memory_order_release); }
void* HandlerMap(void* base, std::size_t length, int protection) {
  return ::mmap(base, length, protection, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}
#endif

// Replaces the view holding address; false when address is not in one.
#ifdef CORV_GUARD_UNINSTRUMENTED
__attribute__((no_sanitize("thread")))
#endif
bool Repair(std::uintptr_t address) {
  for (Slot& slot : g_slots) {
    const std::uintptr_t base = HandlerLoad(slot.base);
    if (base == 0) continue;
    const std::size_t length = HandlerLoad(slot.length);
    if (address < base || address - base >= length) continue;
    void* replaced = HandlerMap(reinterpret_cast<void*>(base), length, HandlerLoad(slot.protection));
    if (replaced == MAP_FAILED) return false;
    HandlerStore(slot.broken, true);
    HandlerCount(g_broken);
    return true;
  }
  return false;
}

#ifdef CORV_GUARD_UNINSTRUMENTED
__attribute__((no_sanitize("thread")))
#endif
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
    if (slot.base.load(std::memory_order_acquire) == address) return slot.broken.load(std::memory_order_acquire);
  }
  return false;
}

std::uint64_t BrokenCount() { return g_broken.load(std::memory_order_acquire); }

}  // namespace platform::detail
