// Host-name lookups through c-ares, driven by an event loop (see resolver.h).
#include "framework/posix/resolver.h"

#include <ares.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "framework/async_socket.h"
#include "framework/owner_thread.h"

namespace fw::posix {
namespace {

// The most addresses and the longest name that a host entry carries.
constexpr std::size_t kMaxAddresses = 35;
constexpr std::size_t kMaxNameLength = 1024;

// Test servers are on loopback: one that does not answer at once never will.
constexpr int kTestServerTimeoutMs = 60000;

// Lookup ids, unique in the process; they serve as the lookups' handles.
std::atomic<std::uint64_t> g_lastId{0x20000};

std::mutex g_serversMutex;
std::string g_servers;  // set by tests; empty: the system's configuration

int WinsockErrorFromAres(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
    case ARES_ENONAME:
    case ARES_EBADNAME:
      return kWsaHostNotFound;
    case ARES_ENODATA:
      return kWsaNoData;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ESERVFAIL:
    case ARES_EREFUSED:
      return kWsaTryAgain;
    case ARES_ENOMEM:
      return kWsaENoBufs;
    default:
      return kWsaNoRecovery;
  }
}

// The IPv4 addresses of `entry`, without repeats and at most kMaxAddresses.
int HostDataOf(const ::hostent* entry, const std::string& requested, HostData& host) {
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4) return kWsaNoData;
  host.name = requested;
  if (entry->h_name != nullptr && std::strlen(entry->h_name) <= kMaxNameLength) host.name = entry->h_name;
  for (char** address = entry->h_addr_list; address != nullptr && *address != nullptr; ++address) {
    std::array<unsigned char, 4> bytes;
    std::memcpy(bytes.data(), *address, 4);
    if (std::find(host.addresses.begin(), host.addresses.end(), bytes) == host.addresses.end() &&
        host.addresses.size() < kMaxAddresses) {
      host.addresses.push_back(bytes);
    }
  }
  return host.addresses.empty() ? kWsaNoData : 0;
}

ares_channel Channel(void* channel) {
  return static_cast<ares_channel>(channel);
}

}  // namespace

struct Resolver::Lookup {
  Resolver* owner;
  std::uint64_t id;
  std::string name;
  Completion done;
  bool cancelled = false;
};

std::unique_ptr<Resolver> Resolver::Create() {
  static const int initialised = ares_library_init(ARES_LIB_INIT_ALL);
  if (initialised != ARES_SUCCESS) return nullptr;
  std::string servers;
  {
    std::lock_guard<std::mutex> lock(g_serversMutex);
    servers = g_servers;
  }
  ares_channel channel = nullptr;
  ares_options options{};
  int optionMask = 0;
  if (!servers.empty()) {
    options.timeout = kTestServerTimeoutMs;
    options.tries = 1;
    optionMask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
  }
  if (ares_init_options(&channel, &options, optionMask) != ARES_SUCCESS) return nullptr;
  if (!servers.empty() && ares_set_servers_ports_csv(channel, servers.c_str()) != ARES_SUCCESS) {
    ares_destroy(channel);
    return nullptr;
  }
  return std::unique_ptr<Resolver>(new Resolver(channel));
}

Resolver::~Resolver() {
  for (auto& [id, lookup] : m_lookups) {
    lookup->cancelled = true;
    debug::Forget(debug::Owned::kLookup, id);
  }
  m_lookups.clear();
  ares_destroy(Channel(m_channel));  // every lookup's callback runs now, cancelled
}

std::uint64_t Resolver::Start(const std::string& name, Completion done, int failWith) {
  const std::uint64_t id = g_lastId += 0x10;
  if (failWith == 0 && (name.empty() || name.size() > kMaxNameLength)) failWith = kWsaHostNotFound;
  if (failWith != 0) {
    done(id, failWith, HostData{});
    return id;
  }
  auto* lookup = new Lookup{this, id, name, std::move(done)};
  m_lookups.emplace(id, lookup);
  debug::Claim(debug::Owned::kLookup, id);
  ares_gethostbyname(Channel(m_channel), name.c_str(), AF_INET, &Resolver::OnHost, lookup);
  return id;
}

bool Resolver::Cancel(std::uint64_t id) {
  const auto it = m_lookups.find(id);
  if (it == m_lookups.end()) return false;
  // c-ares cancels only all queries at once: this one runs on and its answer is dropped.
  it->second->cancelled = true;
  m_lookups.erase(it);
  debug::Forget(debug::Owned::kLookup, id);
  return true;
}

void Resolver::OnHost(void* arg, int status, int /*timeouts*/, ::hostent* host) {
  std::unique_ptr<Lookup> lookup(static_cast<Lookup*>(arg));
  if (lookup->cancelled || status == ARES_ECANCELLED || status == ARES_EDESTRUCTION) return;
  lookup->owner->m_lookups.erase(lookup->id);
  debug::Forget(debug::Owned::kLookup, lookup->id);
  HostData data;
  const int error = status == ARES_SUCCESS ? HostDataOf(host, lookup->name, data) : WinsockErrorFromAres(status);
  lookup->done(lookup->id, error, data);
}

std::size_t Resolver::AppendPollFds(std::vector<pollfd>& fds) const {
  ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
  const int bits = ares_getsock(Channel(m_channel), sockets, ARES_GETSOCK_MAXNUM);
  std::size_t added = 0;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short events = 0;
    if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
    if (events == 0) continue;
    fds.push_back({sockets[i], events, 0});
    ++added;
  }
  return added;
}

int Resolver::TimeoutMs(int timeoutMs) const {
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  timeval next{};
  const timeval* due = ares_timeout(Channel(m_channel), timeoutMs >= 0 ? &limit : nullptr, &next);
  if (due == nullptr) return timeoutMs;
  // Rounded up, so that the wait never ends just before the time-out is due.
  return static_cast<int>(due->tv_sec * 1000 + (due->tv_usec + 999) / 1000);
}

void Resolver::Process(const pollfd* fds, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    const bool writable = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    ares_process_fd(Channel(m_channel), readable ? fds[i].fd : ARES_SOCKET_BAD, writable ? fds[i].fd : ARES_SOCKET_BAD);
  }
  ares_process_fd(Channel(m_channel), ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
}

int ResolveNow(const std::string& name, HostData& host) {
  std::unique_ptr<Resolver> resolver = Resolver::Create();
  if (!resolver) return kWsaNoRecovery;
  bool done = false;
  int result = kWsaNoRecovery;
  resolver->Start(name, [&](std::uint64_t, int error, const HostData& found) {
    done = true;
    result = error;
    if (error == 0) host = found;
  });
  std::vector<pollfd> fds;
  while (!done) {
    fds.clear();
    const std::size_t count = resolver->AppendPollFds(fds);
    const int timeoutMs = resolver->TimeoutMs(-1);
    if (count == 0 && timeoutMs < 0) break;  // nothing left that could answer
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
    resolver->Process(fds.data(), count);
  }
  return result;
}

namespace testing {

void SetResolverServers(const std::string& servers) {
  std::lock_guard<std::mutex> lock(g_serversMutex);
  g_servers = servers;
}

}  // namespace testing

}  // namespace fw::posix
