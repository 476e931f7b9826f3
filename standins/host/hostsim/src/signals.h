// Named states that hostsim processes share, so that two sessions can wait
// for each other (a second host opening the project the first one links).
// A signal is a file in the per-user runtime directory's "hostsim-signals"
// folder; raising it is atomic (written beside, then renamed), and a wait
// takes it away when it arrives, so each raise releases one wait.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace hostsim {

// Letters, digits, '.', '_' and '-', not starting with '.', 1 to 64
// characters: a name that stays inside the signal folder.
bool ValidSignalName(const std::string& name);

// Raises the signal (again, if it is up). False with a reason when the
// runtime directory cannot be written.
bool RaiseSignal(const std::string& name, std::string* error);

// How often a waiting host runs its idle loop. A host's event loop sends
// idle messages whenever its queue is empty; an add-on limits itself (ours
// acts at most every 33 ms), so a coarse period here would only add to the
// time an edit takes to reach the renderer.
inline constexpr std::chrono::milliseconds kIdlePeriod{2};

// Waits until the signal is up, calling idle every kIdlePeriod meanwhile (the
// host stays responsive while it waits), then takes it down. False with a
// reason at the timeout or when the folder cannot be read.
bool AwaitSignal(const std::string& name, std::chrono::milliseconds timeout, const std::function<void()>& idle,
                 std::string* error);

}  // namespace hostsim
