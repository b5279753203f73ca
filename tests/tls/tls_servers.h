// What the TLS test fixture (tls_test_server.py) wrote for the run into QB_TLS_SERVER_DIR:
// its servers' ports, the certificates' fingerprints and the ends of their connections.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace tlstest {

// A value of servers.txt: a scenario's port ("tls13", "relay"), "fingerprint.NAME" and the like.
inline std::string ServerValue(const std::string& key) {
  static const std::map<std::string, std::string> values = [] {
    std::map<std::string, std::string> read;
    std::istringstream lines(qbtest::ReadBytes(std::string(QB_TLS_SERVER_DIR) + "/servers.txt"));
    for (std::string line; std::getline(lines, line);) {
      const auto equals = line.find('=');
      if (equals != std::string::npos) read[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return read;
  }();
  const auto it = values.find(key);
  if (it == values.end()) throw std::runtime_error("no " + key + " in servers.txt (is the TLS fixture running?)");
  return it->second;
}

inline std::string Fingerprint(const std::string& certificate) {
  return ServerValue("fingerprint." + certificate);
}

inline std::uint16_t ServerPort(const std::string& scenario) {
  return static_cast<std::uint16_t>(std::stoi(ServerValue(scenario)));
}

// The "outcome bytes" that a scenario's server wrote to events.txt when the connection from
// `clientPort` ended; empty when none came.
inline std::string WaitForEnd(const std::string& scenario, std::uint16_t clientPort) {
  const std::string prefix = scenario + " " + std::to_string(clientPort) + " ";
  std::string found;
  qbtest::Eventually([&] {
    std::istringstream events(qbtest::ReadBytes(std::string(QB_TLS_SERVER_DIR) + "/events.txt"));
    for (std::string line; std::getline(events, line);) {
      if (line.rfind(prefix, 0) == 0) found = line.substr(prefix.size());
    }
    return !found.empty();
  });
  return found;
}

}  // namespace tlstest
