#pragma once
// The group login remembered by the group login dialog, under "Software\MURVIK3\GROUP".
#include <string>

#include "platform/key_store.h"

namespace murvik {

struct GroupLogin {
  bool save = true;  // remember the login
  std::string name;  // group name
  std::string pwd;   // group password, as typed
};

constexpr const char* kGroupLoginKey = "Software\\MURVIK3\\GROUP";

// Missing values read as their defaults (save true, texts empty).
GroupLogin ReadGroupLogin(platform::KeyStore& store);
// Throws platform::KeyStoreError when the store cannot be written.
void WriteGroupLogin(platform::KeyStore& store, const GroupLogin& login);

}  // namespace murvik
