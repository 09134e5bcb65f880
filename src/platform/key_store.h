#pragma once
// The registry of the system, as a small typed store: keys are backslash paths
// ("Software\ZOZIZOR\IOSERVER"), each holding named text or 32-bit integer values. User scope
// lives in the configuration directory, machine scope in the driver state directory. Every write
// re-reads the file under a lock and replaces it atomically with mode 0600, so two programs that
// share a store do not lose each other's values.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace murvik::platform {

class KeyStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class KeyStore {
 public:
  using Value = std::variant<std::string, std::uint32_t>;

  // The file behind the store; created on the first write.
  explicit KeyStore(std::string filePath);
  static KeyStore& User();     // <config dir>/keystore.json
  static KeyStore& Machine();  // <driver state dir>/machine.json

  std::optional<Value> Read(const std::string& key, const std::string& name) const;
  // A text value, or the decimal text of an integer value.
  std::optional<std::string> ReadString(const std::string& key, const std::string& name) const;
  // An integer value, or the decimal conversion of a text value (nullopt when it does not convert).
  std::optional<std::int64_t> ReadInt(const std::string& key, const std::string& name) const;
  std::vector<std::string> ValueNames(const std::string& key) const;
  std::vector<std::string> SubKeys(const std::string& key) const;

  // Writes throw KeyStoreError when the file cannot be written.
  void WriteString(const std::string& key, const std::string& name, const std::string& value);
  // Written as an integer, or as its decimal text when a text value of that name exists.
  void WriteInt(const std::string& key, const std::string& name, std::uint32_t value);
  void DeleteValue(const std::string& key, const std::string& name);
  void DeleteKey(const std::string& key);  // with its subkeys

  const std::string& FilePath() const { return path_; }

 private:
  std::string path_;
};

}  // namespace murvik::platform
