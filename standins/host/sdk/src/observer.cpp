#include "hostsdk/observer.h"

#include <algorithm>

namespace GS {

EventObserver::~EventObserver() {
  // Copy first: Forget takes the source's lock, and a source being destroyed
  // on another thread takes them in the other order.
  std::vector<EventSource*> sources;
  {
    std::lock_guard lock(sourcesMutex_);
    sources.swap(sources_);
  }
  for (EventSource* source : sources) source->Forget(this);
}

void EventObserver::SourceDestroyed(EventSource*) {}

EventSource::~EventSource() {
  std::lock_guard lock(mutex_);
  // Observers hear of the end before they lose the link to this source.
  for (EventObserver* o : observers_) {
    {
      std::lock_guard olock(o->sourcesMutex_);
      auto& s = o->sources_;
      s.erase(std::remove(s.begin(), s.end(), this), s.end());
    }
    o->SourceDestroyed(this);
  }
  observers_.clear();
}

void EventSource::AttachObserver(EventObserver& observer) const {
  std::lock_guard lock(mutex_);
  if (std::find(observers_.begin(), observers_.end(), &observer) != observers_.end()) return;
  observers_.push_back(&observer);
  std::lock_guard olock(observer.sourcesMutex_);
  observer.sources_.push_back(const_cast<EventSource*>(this));
}

void EventSource::DetachObserver(EventObserver& observer) const {
  std::lock_guard lock(mutex_);
  auto it = std::find(observers_.begin(), observers_.end(), &observer);
  if (it == observers_.end()) return;
  observers_.erase(it);
  std::lock_guard olock(observer.sourcesMutex_);
  auto& s = observer.sources_;
  s.erase(std::remove(s.begin(), s.end(), this), s.end());
}

bool EventSource::HasObserver(const EventObserver& observer) const {
  std::lock_guard lock(mutex_);
  return std::find(observers_.begin(), observers_.end(), &observer) != observers_.end();
}

std::size_t EventSource::ObserverCount() const {
  std::lock_guard lock(mutex_);
  return observers_.size();
}

void EventSource::Forget(EventObserver* observer) const {
  std::lock_guard lock(mutex_);
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

}  // namespace GS
