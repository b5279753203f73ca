// The guard around each export's body: no exception reaches the host, and nothing is
// reported to it.
#pragma once

template <typename Body>
void Guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    // Nothing is reported to the host.
  }
}
