#pragma once
// The per-SN client name that this PC presents at every registration ("TC" + 12 hex digits),
// created once per SN and kept in the user key store under "Software\ZOZIZOR".
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/key_store.h"

namespace murvik {

struct TNameItem {
  std::string SN;
  std::string clientName;
};

class TClientNameMgr {
 public:
  // Fills buf with count random bytes and answers count (0 on failure); SecureRandom by default.
  using RandomSource = std::function<std::size_t(void* buf, std::size_t count)>;

  explicit TClientNameMgr(platform::KeyStore& store, RandomSource random = nullptr);
  // Reads the store into the map; entries that do not split into SN and name are skipped.
  void LoadNames();
  // Finds or creates (and stores) the client name; a store write failure throws KeyStoreError,
  // and the new entry stays in the map so this run keeps presenting the same name.
  std::string GetClientName(const std::string& SN);
  const std::vector<TNameItem>& Items() const { return items_; }

  static constexpr const char* kKey = "Software\\ZOZIZOR";

 private:
  platform::KeyStore& store_;
  RandomSource random_;
  std::vector<TNameItem> items_;
  // Highest entry number that holds a value, stored or given out; new entries go after it so a
  // skipped (unreadable) entry is never overwritten.
  std::int64_t highestNumber_ = 0;
};

// The one global map, over the user key store.
TClientNameMgr& ClientNameMgr();

}  // namespace murvik
