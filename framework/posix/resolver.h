// Host-name lookups of the posix backend through c-ares, driven by an event loop: the queries'
// sockets and time-outs are polled with the loop's other work, so answers arrive on the loop's
// own thread, and a lookup is cancelled at once (nothing waits for a resolver, and no helper
// thread outlives the loop). c-ares reads the system's resolver configuration and hosts file
// itself and loads nothing, unlike the C library's resolver.
//
// Owner thread only: a resolver belongs to the loop, and so to the thread, that made it.
#pragma once

#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct hostent;

namespace fw::posix {

// The IPv4 entry of a resolved name.
struct HostData {
  std::string name;
  std::vector<std::array<unsigned char, 4>> addresses;
};

class Resolver {
 public:
  // The lookup's id, and 0 with the entry or a Winsock error (kWsaHostNotFound, kWsaNoData,
  // kWsaTryAgain, ...).
  using Completion = std::function<void(std::uint64_t id, int error, const HostData& host)>;

  // A resolver with the system's configuration (or the servers a test set); null when c-ares
  // cannot start.
  static std::unique_ptr<Resolver> Create();
  // Cancels every lookup still under way; no completion runs from here on.
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Starts resolving `name` to IPv4 addresses and returns the lookup's id, which is unique in
  // the process. `done` runs once, on this thread, from Process (or from Start itself when the
  // answer is known at once, as for a name of the hosts file, or when `failWith` names an
  // error to end the lookup with), unless the lookup is cancelled first.
  std::uint64_t Start(const std::string& name, Completion done, int failWith = 0);
  // Cancels a lookup under way: its completion never runs. False when it has ended already.
  bool Cancel(std::uint64_t id);
  bool HasLookups() const { return !m_lookups.empty(); }

  // For the loop: appends the descriptors to poll and returns how many; the poll's time-out
  // (ms, -1 for none) shortened to the next resolver time-out; and the poll's outcome for
  // the descriptors appended, which runs the completions that are due.
  std::size_t AppendPollFds(std::vector<pollfd>& fds) const;
  int TimeoutMs(int timeoutMs) const;
  void Process(const pollfd* fds, std::size_t count);

 private:
  struct Lookup;
  explicit Resolver(void* channel) : m_channel(channel) {}
  static void OnHost(void* arg, int status, int timeouts, ::hostent* host);

  void* m_channel;                                       // ares_channel
  std::unordered_map<std::uint64_t, Lookup*> m_lookups;  // under way, not cancelled
};

// A lookup that blocks until it ends (gethostbyname): 0 and the entry, or a Winsock error.
int ResolveNow(const std::string& name, HostData& host);

namespace testing {
// Sends the DNS queries of resolvers made from now on to these servers ("host:port,...", one
// try each, and a server that does not answer is given up only after a minute); empty
// restores the system's configuration.
void SetResolverServers(const std::string& servers);
}  // namespace testing

}  // namespace fw::posix
