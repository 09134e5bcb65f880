#include "config/group_login_store.h"

namespace murvik {

GroupLogin ReadGroupLogin(platform::KeyStore& store) {
  GroupLogin g;
  // "1"/"0" as text, or an integer value; anything that is not a number keeps the default.
  if (auto v = store.ReadInt(kGroupLoginKey, "save")) g.save = *v != 0;
  g.name = store.ReadString(kGroupLoginKey, "name").value_or(std::string());
  g.pwd = store.ReadString(kGroupLoginKey, "pwd").value_or(std::string());
  return g;
}

void WriteGroupLogin(platform::KeyStore& store, const GroupLogin& login) {
  store.WriteString(kGroupLoginKey, "save", login.save ? "1" : "0");
  store.WriteString(kGroupLoginKey, "name", login.name);
  store.WriteString(kGroupLoginKey, "pwd", login.pwd);
}

}  // namespace murvik
