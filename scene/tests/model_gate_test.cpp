#include "scene/model_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "scene_test_entry.h"

namespace {

using namespace std::chrono_literals;
using scene::ModelGate;

// What each side did, in the order it happened.
class Journal {
 public:
  void Note(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

TEST(ModelGate, AWalkTakesAFreeGateAndKeepsItAcrossCalls) {
  ModelGate gate;
  ASSERT_TRUE(gate.TakeForWalk(0ms));
  // Held already: granted again at once, however small the budget.
  EXPECT_EQ(std::tuple(gate.HeldByWalk(), gate.TakeForWalk(0ms)), std::tuple(true, true));
  gate.ReleaseWalk();
  gate.ReleaseWalk();  // nothing held: nothing to give up
  EXPECT_FALSE(gate.HeldByWalk());
  // Free again: another side gets it without waiting.
  gate.Take();
  gate.Release();
}

TEST(ModelGate, AWalkGivesUpAfterItsBudgetWhileAnotherSideHoldsTheGate) {
  ModelGate gate;
  gate.Take();
  const auto start = std::chrono::steady_clock::now();
  const bool took = gate.TakeForWalk(30ms);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(std::tuple(took, gate.HeldByWalk()), std::tuple(false, false));
  EXPECT_GE(waited, 30ms) << "the walk gave up before its budget";
  gate.Release();
  // What the walk gave up on is not left taken: it comes free at once.
  EXPECT_TRUE(gate.TakeForWalk(0ms));
  gate.ReleaseWalk();
}

TEST(ModelGate, AWalkWaitingWithinItsBudgetGetsTheGateWhenReleased) {
  ModelGate gate;
  Journal journal;
  gate.Take();
  bool took = false;
  std::thread walker([&] {
    took = gate.TakeForWalk(60s);
    journal.Note("walk took");
    gate.ReleaseWalk();
  });
  journal.Note("released");
  gate.Release();
  walker.join();
  EXPECT_TRUE(took);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"released", "walk took"}));
}

TEST(ModelGate, TheWorkerWaitsForAWalkToHandTheGateOn) {
  ModelGate gate;
  Journal journal;
  ASSERT_TRUE(gate.TakeForWalk(0ms));
  std::thread worker([&] {
    journal.Note("worker waits");
    gate.Take();
    journal.Note("worker took");
    gate.Release();
  });
  // The walk is let go only once the worker is on its way to the gate.
  while (journal.Events().empty()) std::this_thread::yield();
  journal.Note("walk released");
  gate.ReleaseWalk();
  worker.join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"worker waits", "walk released", "worker took"}));
  EXPECT_FALSE(gate.HeldByWalk());
}

}  // namespace
