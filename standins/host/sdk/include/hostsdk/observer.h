// Observers of host objects. An observer may be attached to several sources;
// destroying either side detaches it, so neither is ever called after its
// end: a source that goes away first tells its observers SourceDestroyed.
#pragma once

#include <mutex>
#include <vector>

namespace GS {

class EventSource;

class EventObserver {
 public:
  EventObserver() = default;
  EventObserver(const EventObserver&) = delete;
  EventObserver& operator=(const EventObserver&) = delete;
  virtual ~EventObserver();
  // The source this observer was attached to is being destroyed.
  virtual void SourceDestroyed(EventSource* source);

 private:
  friend class EventSource;
  std::mutex sourcesMutex_;
  std::vector<EventSource*> sources_;
};

class EventSource {
 public:
  EventSource() = default;
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;
  virtual ~EventSource();

  // Attaching twice keeps one attachment; detaching an observer that is not
  // attached does nothing.
  void AttachObserver(EventObserver& observer) const;
  void DetachObserver(EventObserver& observer) const;
  bool HasObserver(const EventObserver& observer) const;
  std::size_t ObserverCount() const;

 protected:
  // Calls fn on every attached observer, in attachment order. Observers may
  // detach themselves (or others) from inside fn on the same thread.
  template <typename Fn>
  void ForEachObserver(Fn&& fn) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < observers_.size(); ++i) {
      EventObserver* o = observers_[i];
      fn(*o);
      // fn may have detached o: only step on when o is still at i.
      if (i < observers_.size() && observers_[i] != o) --i;
    }
  }

 private:
  friend class EventObserver;
  void Forget(EventObserver* observer) const;
  mutable std::recursive_mutex mutex_;
  mutable std::vector<EventObserver*> observers_;
};

}  // namespace GS
