// The registry on POSIX systems: one SQLite database holding the keys of the predefined roots
// with Win32 semantics.
//
// Keys form a tree in reg_keys (the roots are rows 1 to 3); values live in reg_values. Names
// are kept as given and matched through a folded copy (Windows-1252 upper case), which also
// orders the subkeys; values keep their creation order. Ids are never reused, so a handle to
// a deleted key stays dead even when a key of the same name is created again.
//
// Several threads share one connection under a mutex; several processes share the file: WAL
// journal, a busy timeout, writes in IMMEDIATE transactions and retries while the database is
// busy. The database is the file named by $QBNOTIFY_REGISTRY, else
// $XDG_CONFIG_HOME/qbnotify/registry.sqlite3 (or ~/.config/...); the path is looked up on every
// call and the database reopened when it changes. Handles of the previous database die then.
// A new database file and its folders are created readable by their owner only.
//
// Fault seams: Op::RegistryOpen fails RegOpenKey and RegCreateKey; Op::RegistryWrite fails
// RegCreateKey, RegSetValue, RegDeleteValue and RegDeleteKey.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "framework/module_end.h"
#include "framework/posix/fault_injection.h"
#include "framework/posix/user_paths.h"
#include "framework/registry.h"
#include "framework/strings.h"

namespace fw {

// What a handle refers to. Handles are the addresses of these objects, valid while the map of
// open handles holds them.
struct RegKeyOpaque {
  sqlite3_int64 id;
};

namespace {

namespace faults = posix::faults;

constexpr RegStatus kErrorOutOfMemory = 14;
constexpr RegStatus kErrorRegistryCorrupt = 1015;
constexpr RegStatus kErrorRegistryIoFailed = 1016;

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kBusyRetryWindow = std::chrono::seconds(15);

using KeyId = sqlite3_int64;

// Thrown inside this file for a failed SQLite call; never leaves it.
struct DbError {
  int code;
};

bool IsBusy(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

RegStatus StatusOf(int code) {
  const int primary = code & 0xFF;
  if (primary == SQLITE_NOMEM) return kErrorOutOfMemory;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) return kErrorRegistryCorrupt;
  return kErrorRegistryIoFailed;
}

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = ToUpperAnsi(c);
  return folded;
}

// The key names of a subkey path (null names the key itself), as Windows resolves them.
RegStatus SplitPath(const char* subKey, std::vector<std::string_view>& parts) {
  return RegSplitPath(subKey != nullptr ? std::string_view(subKey) : std::string_view(), parts);
}

// One open database with its prepared statements and the handles issued for its keys.
struct State {
  std::mutex mutex;
  std::string path;
  pid_t owner = 0;  // the process that opened the connection
  sqlite3* db = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements;  // by SQL text literal
  std::unordered_map<HKEY, std::unique_ptr<RegKeyOpaque>> handles;
};

State& TheState() {
  static State* state = KeepUntilModuleEnd(new State);  // outlives every static user; Closer closes the database
  return *state;
}

// A cached statement, reset when the query ends.
class Query {
 public:
  Query(State& state, const char* sql) : m_db(state.db) {
    sqlite3_stmt*& cached = state.statements[sql];
    if (cached == nullptr) {
      const int rc = sqlite3_prepare_v3(state.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr);
      if (rc != SQLITE_OK) {
        cached = nullptr;
        throw DbError{rc};
      }
    }
    m_stmt = cached;
  }
  ~Query() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, sqlite3_int64 value) {
    Check(sqlite3_bind_int64(m_stmt, index, value));
    return *this;
  }
  // Binds bytes (never NULL, also when empty); they must live until the query ends.
  Query& Bind(int index, const void* data, std::size_t size) {
    Check(sqlite3_bind_blob64(m_stmt, index, size == 0 ? "" : data, size, SQLITE_STATIC));
    return *this;
  }
  Query& Bind(int index, std::string_view bytes) { return Bind(index, bytes.data(), bytes.size()); }

  // True when a row is ready, false when the statement is done.
  bool Step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DbError{rc};
  }
  sqlite3_int64 Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
  std::string_view Bytes(int column) const {
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    return data == nullptr ? std::string_view() : std::string_view(static_cast<const char*>(data), size);
  }
  int Changes() const { return sqlite3_changes(m_db); }

 private:
  void Check(int rc) const {
    if (rc != SQLITE_OK) throw DbError{rc};
  }
  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw DbError{rc};
}

void Disconnect(State& state) {
  state.handles.clear();
  if (state.db != nullptr && state.owner == getpid()) {
    for (auto& entry : state.statements) sqlite3_finalize(entry.second);
    sqlite3_close(state.db);
  }
  // A connection inherited through fork() belongs to the parent and is left alone.
  state.statements.clear();
  state.db = nullptr;
  state.path.clear();
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " UNIQUE(key, fold));"
    "INSERT OR IGNORE INTO reg_keys(id, parent, name, fold) VALUES"
    " (1, 0, CAST('HKEY_CURRENT_USER' AS BLOB), CAST('HKEY_CURRENT_USER' AS BLOB)),"
    " (2, 0, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('HKEY_LOCAL_MACHINE' AS BLOB)),"
    " (3, 0, CAST('HKEY_USERS' AS BLOB), CAST('HKEY_USERS' AS BLOB));";

// Runs `step` again while the database is busy beyond the busy timeout.
template <typename Step>
auto RetryWhileBusy(Step step) {
  const auto deadline = std::chrono::steady_clock::now() + kBusyRetryWindow;
  for (int attempt = 1;; ++attempt) {
    try {
      return step();
    } catch (const DbError& error) {
      if (!IsBusy(error.code) || std::chrono::steady_clock::now() >= deadline) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(attempt < 20 ? attempt : 20));
    }
  }
}

// Opens the database named by the environment, unless it is open already.
void Connect(State& state) {
  const std::string path = posix::RegistryFilePath();
  if (state.db != nullptr && state.owner == getpid() && path == state.path) return;
  Disconnect(state);
  if (path.empty()) throw DbError{SQLITE_CANTOPEN};

  // The file and its folder are the owner's alone (SQLite gives its -wal and -shm files the
  // mode of the database file).
  posix::CreatePrivateDirectories(std::filesystem::path(path).parent_path().string());
  if (const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    throw DbError{rc};
  }
  state.db = db;
  state.owner = getpid();
  try {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    RetryWhileBusy([&] {
      Exec(db, "PRAGMA journal_mode=WAL");
      return 0;
    });
    Exec(db, "PRAGMA synchronous=NORMAL");
    RetryWhileBusy([&] {
      Exec(db, "BEGIN IMMEDIATE");
      try {
        Exec(db, kSchema);
        Exec(db, "COMMIT");
      } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
      return 0;
    });
  } catch (...) {
    Disconnect(state);
    throw;
  }
  state.path = path;
}

// A transaction that rolls back unless committed.
class Transaction {
 public:
  Transaction(State& state, bool write) : m_db(state.db) { Exec(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN"); }
  ~Transaction() {
    if (m_open) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    Exec(m_db, "COMMIT");
    m_open = false;
  }

 private:
  sqlite3* m_db;
  bool m_open = true;
};

// Runs `body` in one transaction on the current database and, when it succeeded and was
// committed, `done` (still under the lock). No exception leaves this function.
template <typename Body, typename Done>
RegStatus Run(bool write, Body body, Done done) {
  try {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    try {
      Connect(state);
      const RegStatus status = RetryWhileBusy([&] {
        Transaction transaction(state, write);
        const RegStatus result = body(state);
        if (result == kErrorSuccess) transaction.Commit();
        return result;
      });
      if (status == kErrorSuccess) done(state);
      return status;
    } catch (const DbError& error) {
      return StatusOf(error.code);
    }
  } catch (const std::bad_alloc&) {
    return kErrorOutOfMemory;
  } catch (...) {
    return kErrorRegistryIoFailed;
  }
}

template <typename Body>
RegStatus Run(bool write, Body body) {
  return Run(write, body, [](State&) {});
}

KeyId RootId(HKEY key) {
  if (key == HKeyCurrentUser()) return 1;
  if (key == HKeyLocalMachine()) return 2;
  if (key == HKeyUsers()) return 3;
  return 0;
}

bool KeyExists(State& state, KeyId id) {
  Query query(state, "SELECT 1 FROM reg_keys WHERE id = ?");
  return query.Bind(1, id).Step();
}

// The key that `key` refers to: kErrorInvalidHandle for an unknown handle, kErrorKeyDeleted
// when the key has been deleted meanwhile.
RegStatus ResolveHandle(State& state, HKEY key, KeyId& id) {
  id = RootId(key);
  if (id != 0) return kErrorSuccess;
  const auto found = state.handles.find(key);
  if (found == state.handles.end()) return kErrorInvalidHandle;
  id = found->second->id;
  return KeyExists(state, id) ? kErrorSuccess : kErrorKeyDeleted;
}

bool FindChild(State& state, KeyId parent, std::string_view name, KeyId& child) {
  Query query(state, "SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
  const std::string folded = Fold(name);
  if (!query.Bind(1, parent).Bind(2, folded).Step()) return false;
  child = query.Int(0);
  return true;
}

// Walks `subKey` down from `id`; kErrorFileNotFound when a component does not exist.
RegStatus FindPath(State& state, KeyId& id, const char* subKey) {
  std::vector<std::string_view> parts;
  if (const RegStatus status = SplitPath(subKey, parts); status != kErrorSuccess) return status;
  for (const std::string_view part : parts) {
    if (part.size() > kMaxKeyNameLength || !FindChild(state, id, part, id)) return kErrorFileNotFound;
  }
  return kErrorSuccess;
}

HKEY NewHandle(State& state, KeyId id) {
  auto handle = std::make_unique<RegKeyOpaque>(RegKeyOpaque{id});
  HKEY key = handle.get();
  state.handles.emplace(key, std::move(handle));
  return key;
}

void CopyOut(std::string_view bytes, void* out) {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
}

}  // namespace

RegStatus RegOpenKey(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = nullptr;
  if (const int error = faults::Take(faults::Op::RegistryOpen)) return error;
  KeyId id = 0;
  return Run(
      false,
      [&](State& state) {
        const RegStatus status = ResolveHandle(state, key, id);
        return status != kErrorSuccess ? status : FindPath(state, id, subKey);
      },
      [&](State& state) { *result = NewHandle(state, id); });
}

RegStatus RegCreateKey(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  *result = nullptr;
  if (const int error = faults::Take(faults::Op::RegistryOpen)) return error;
  if (const int error = faults::Take(faults::Op::RegistryWrite)) return error;
  std::vector<std::string_view> parts;
  if (const RegStatus status = SplitPath(subKey, parts); status != kErrorSuccess) return status;
  for (const std::string_view part : parts) {
    if (part.size() > kMaxKeyNameLength) return kErrorInvalidParameter;
  }
  KeyId id = 0;
  return Run(
      true,
      [&](State& state) {
        const RegStatus status = ResolveHandle(state, key, id);
        if (status != kErrorSuccess) return status;
        for (const std::string_view part : parts) {
          if (FindChild(state, id, part, id)) continue;
          Query insert(state, "INSERT INTO reg_keys(parent, name, fold) VALUES(?, ?, ?)");
          const std::string folded = Fold(part);
          insert.Bind(1, id).Bind(2, part).Bind(3, folded).Step();
          id = sqlite3_last_insert_rowid(state.db);
        }
        return kErrorSuccess;
      },
      [&](State& state) { *result = NewHandle(state, id); });
}

RegStatus RegCloseKey(HKEY key) {
  if (RootId(key) != 0) return kErrorSuccess;
  try {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.handles.erase(key) != 0 ? kErrorSuccess : kErrorInvalidHandle;
  } catch (...) {
    return kErrorInvalidHandle;
  }
}

RegStatus RegQueryValue(HKEY key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size) {
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  const std::string folded = Fold(name != nullptr ? name : "");
  return Run(false, [&](State& state) {
    KeyId id = 0;
    const RegStatus status = ResolveHandle(state, key, id);
    if (status != kErrorSuccess) return status;
    Query query(state, "SELECT type, data FROM reg_values WHERE key = ? AND fold = ?");
    if (!query.Bind(1, id).Bind(2, folded).Step()) return kErrorFileNotFound;
    const std::string_view bytes = query.Bytes(1);
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (type != nullptr) *type = static_cast<std::uint32_t>(query.Int(0));
    RegStatus result = kErrorSuccess;
    if (data != nullptr) {
      if (*size < needed) {
        result = kErrorMoreData;
      } else {
        CopyOut(bytes, data);
      }
    }
    if (size != nullptr) *size = needed;
    return result;
  });
}

RegStatus RegSetValue(HKEY key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
  if (data == nullptr && size != 0) return kErrorInvalidParameter;
  const std::string_view valueName = name != nullptr ? name : "";
  if (valueName.size() > kMaxValueNameLength) return kErrorInvalidParameter;
  if (const int error = faults::Take(faults::Op::RegistryWrite)) return error;
  const std::string folded = Fold(valueName);
  return Run(true, [&](State& state) {
    KeyId id = 0;
    const RegStatus status = ResolveHandle(state, key, id);
    if (status != kErrorSuccess) return status;
    // An existing value keeps its name and its place in the enumeration.
    Query upsert(state,
                 "INSERT INTO reg_values(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                 " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, id).Bind(2, valueName).Bind(3, folded).Bind(4, type).Bind(5, data, size).Step();
    return kErrorSuccess;
  });
}

RegStatus RegDeleteValue(HKEY key, const char* name) {
  if (const int error = faults::Take(faults::Op::RegistryWrite)) return error;
  const std::string folded = Fold(name != nullptr ? name : "");
  return Run(true, [&](State& state) {
    KeyId id = 0;
    const RegStatus status = ResolveHandle(state, key, id);
    if (status != kErrorSuccess) return status;
    Query remove(state, "DELETE FROM reg_values WHERE key = ? AND fold = ?");
    remove.Bind(1, id).Bind(2, folded).Step();
    return remove.Changes() != 0 ? kErrorSuccess : kErrorFileNotFound;
  });
}

RegStatus RegEnumKey(HKEY key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  if (name == nullptr) return kErrorInvalidParameter;
  return Run(false, [&](State& state) {
    KeyId id = 0;
    const RegStatus status = ResolveHandle(state, key, id);
    if (status != kErrorSuccess) return status;
    Query query(state, "SELECT name FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
    if (!query.Bind(1, id).Bind(2, static_cast<sqlite3_int64>(index)).Step()) return kErrorNoMoreItems;
    const std::string_view found = query.Bytes(0);
    if (found.size() >= nameSize) return kErrorMoreData;
    CopyOut(found, name);
    name[found.size()] = '\0';
    return kErrorSuccess;
  });
}

RegStatus RegEnumValue(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                       void* data, std::uint32_t* dataSize) {
  if (name == nullptr || nameSize == nullptr || (data != nullptr && dataSize == nullptr)) return kErrorInvalidParameter;
  return Run(false, [&](State& state) {
    KeyId id = 0;
    const RegStatus status = ResolveHandle(state, key, id);
    if (status != kErrorSuccess) return status;
    Query query(state, "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
    if (!query.Bind(1, id).Bind(2, static_cast<sqlite3_int64>(index)).Step()) return kErrorNoMoreItems;
    const std::string_view valueName = query.Bytes(0);
    const std::string_view bytes = query.Bytes(2);
    RegStatus result = kErrorSuccess;
    if (valueName.size() >= *nameSize) {
      result = kErrorMoreData;
    } else {
      CopyOut(valueName, name);
      name[valueName.size()] = '\0';
    }
    *nameSize = static_cast<std::uint32_t>(valueName.size());
    if (type != nullptr) *type = static_cast<std::uint32_t>(query.Int(1));
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (data != nullptr) {
      if (*dataSize < needed) {
        result = kErrorMoreData;
      } else {
        CopyOut(bytes, data);
      }
    }
    if (dataSize != nullptr) *dataSize = needed;
    return result;
  });
}

RegStatus RegDeleteKey(HKEY key, const char* subKey) {
  if (subKey == nullptr) return kErrorInvalidParameter;
  if (const int error = faults::Take(faults::Op::RegistryWrite)) return error;
  return Run(true, [&](State& state) {
    KeyId id = 0;
    RegStatus status = ResolveHandle(state, key, id);
    if (status == kErrorSuccess) status = FindPath(state, id, subKey);
    if (status != kErrorSuccess) return status;
    if (id <= 3) return kErrorAccessDenied;  // a root
    Query children(state, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
    if (children.Bind(1, id).Step()) return kErrorAccessDenied;
    Query values(state, "DELETE FROM reg_values WHERE key = ?");
    values.Bind(1, id).Step();
    Query self(state, "DELETE FROM reg_keys WHERE id = ?");
    self.Bind(1, id).Step();
    return kErrorSuccess;
  });
}

namespace {

// Closes the database when the module or program ends.
struct Closer {
  Closer() = default;
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  ~Closer() {
    try {
      State& state = TheState();
      std::lock_guard<std::mutex> lock(state.mutex);
      Disconnect(state);
    } catch (...) {
    }
  }
};
const Closer g_closer;

}  // namespace
}  // namespace fw
