#pragma once
// The per-SN client name that this PC presents at every registration ("TC" + 12 hex digits),
// created once per SN and kept in the user key store under "Software\ZOZIZOR".
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
  explicit TClientNameMgr(platform::KeyStore& store);
  // Reads the store into the map; entries that do not split into SN and name are skipped.
  void LoadNames();
  // Finds or creates (and stores) the client name; a store write failure throws KeyStoreError.
  std::string GetClientName(const std::string& SN);
  const std::vector<TNameItem>& Items() const { return items_; }

  static constexpr const char* kKey = "Software\\ZOZIZOR";

 private:
  platform::KeyStore& store_;
  std::vector<TNameItem> items_;
  int highestNumber_ = 0;  // highest entry number seen in the store
};

// The one global map, over the user key store.
TClientNameMgr& ClientNameMgr();

}  // namespace murvik
