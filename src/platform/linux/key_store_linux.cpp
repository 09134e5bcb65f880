#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/key_store.h"
#include "platform/paths.h"

namespace murvik::platform {

using nlohmann::json;

namespace {

// Parses the store; an absent file is an empty store, a damaged one is reported.
bool LoadStore(const std::string& path, json* out, std::string* error) {
  std::string text;
  if (!FileExists(path)) {
    *out = json::object();
    return true;
  }
  if (!ReadFile(path, &text)) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    if (error) *error = "damaged key store " + path;
    return false;
  }
  *out = std::move(j);
  return true;
}

class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~FileLock() {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string Dir(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

template <typename Fn>
void Modify(const std::string& path, Fn fn) {
  if (!MakeDirs(Dir(path))) throw KeyStoreError("cannot create the folder of " + path + ": " + std::strerror(errno));
  FileLock lock(path);
  if (!lock.ok()) throw KeyStoreError("cannot lock " + path + ": " + std::strerror(errno));
  json store;
  std::string error;
  if (!LoadStore(path, &store, &error)) throw KeyStoreError(error);
  try {
    fn(store);
  } catch (const json::exception&) {
    // A key that is not an object: the store was edited by hand or damaged; leave it alone.
    throw KeyStoreError("damaged key store " + path);
  }
  if (!WriteFileAtomic(path, store.dump(1), 0600, &error)) throw KeyStoreError(error);
}

const json* FindKey(const json& store, const std::string& key) {
  auto it = store.find(key);
  if (it == store.end() || !it->is_object()) return nullptr;
  return &*it;
}

}  // namespace

KeyStore::KeyStore(std::string filePath) : path_(std::move(filePath)) {}

KeyStore& KeyStore::User() {
  static KeyStore store(JoinPath(ConfigDir(), "keystore.json"));
  return store;
}

KeyStore& KeyStore::Machine() {
  static KeyStore store(JoinPath(DriverStateDir(), "machine.json"));
  return store;
}

std::optional<KeyStore::Value> KeyStore::Read(const std::string& key, const std::string& name) const {
  json store;
  if (!LoadStore(path_, &store, nullptr)) return std::nullopt;
  const json* k = FindKey(store, key);
  if (!k) return std::nullopt;
  auto it = k->find(name);
  if (it == k->end()) return std::nullopt;
  if (it->is_string()) return Value(it->get<std::string>());
  if (it->is_number_unsigned()) return Value(static_cast<std::uint32_t>(it->get<std::uint64_t>()));
  if (it->is_number_integer()) return Value(static_cast<std::uint32_t>(it->get<std::int64_t>()));
  return std::nullopt;
}

std::optional<std::string> KeyStore::ReadString(const std::string& key, const std::string& name) const {
  auto v = Read(key, name);
  if (!v) return std::nullopt;
  if (auto* s = std::get_if<std::string>(&*v)) return *s;
  return std::to_string(std::get<std::uint32_t>(*v));
}

std::optional<std::int64_t> KeyStore::ReadInt(const std::string& key, const std::string& name) const {
  auto v = Read(key, name);
  if (!v) return std::nullopt;
  if (auto* n = std::get_if<std::uint32_t>(&*v)) return *n;
  const std::string& s = std::get<std::string>(*v);
  std::int64_t out = 0;
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  if (r.ec != std::errc() || r.ptr != e || b == e) return std::nullopt;
  return out;
}

std::vector<std::string> KeyStore::ValueNames(const std::string& key) const {
  std::vector<std::string> out;
  json store;
  if (!LoadStore(path_, &store, nullptr)) return out;
  if (const json* k = FindKey(store, key))
    for (auto it = k->begin(); it != k->end(); ++it) out.push_back(it.key());
  return out;
}

std::vector<std::string> KeyStore::SubKeys(const std::string& key) const {
  std::vector<std::string> out;
  json store;
  if (!LoadStore(path_, &store, nullptr)) return out;
  const std::string prefix = key + "\\";
  for (auto it = store.begin(); it != store.end(); ++it) {
    const std::string& k = it.key();
    if (k.size() > prefix.size() && k.compare(0, prefix.size(), prefix) == 0) {
      std::string rest = k.substr(prefix.size());
      rest = rest.substr(0, rest.find('\\'));
      if (std::find(out.begin(), out.end(), rest) == out.end()) out.push_back(rest);
    }
  }
  return out;
}

void KeyStore::WriteString(const std::string& key, const std::string& name, const std::string& value) {
  Modify(path_, [&](json& store) { store[key][name] = value; });
}

void KeyStore::WriteInt(const std::string& key, const std::string& name, std::uint32_t value) {
  Modify(path_, [&](json& store) {
    json& k = store[key];
    auto it = k.find(name);
    if (it != k.end() && it->is_string())
      *it = std::to_string(value);
    else
      k[name] = value;
  });
}

void KeyStore::DeleteValue(const std::string& key, const std::string& name) {
  Modify(path_, [&](json& store) {
    auto it = store.find(key);
    if (it != store.end() && it->is_object()) it->erase(name);
  });
}

void KeyStore::DeleteKey(const std::string& key) {
  Modify(path_, [&](json& store) {
    const std::string prefix = key + "\\";
    for (auto it = store.begin(); it != store.end();) {
      if (it.key() == key || it.key().compare(0, prefix.size(), prefix) == 0)
        it = store.erase(it);
      else
        ++it;
    }
  });
}

}  // namespace murvik::platform
