#include "config/client_name_mgr.h"

#include <algorithm>
#include <random>

#include "config/delimited_list.h"
#include "platform/random.h"

namespace murvik {

namespace {

const std::string kCountKey = std::string(TClientNameMgr::kKey) + "\\IOSERVER";

std::string EntryKey(std::int64_t number) { return std::string(TClientNameMgr::kKey) + "\\" + std::to_string(number); }

// The entry number a subkey name stands for: plain decimal as we write it, 1..2^31-1; else 0.
std::int64_t EntryNumber(const std::string& name) {
  if (name.empty() || name.size() > 10 || name[0] == '0') return 0;
  std::int64_t n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n <= 0x7FFFFFFF ? n : 0;
}

}  // namespace

TClientNameMgr::TClientNameMgr(platform::KeyStore& store, RandomSource random)
    : store_(store), random_(std::move(random)) {
  if (!random_) random_ = [](void* buf, std::size_t count) { return platform::SecureRandom(buf, count); };
}

void TClientNameMgr::LoadNames() {
  items_.clear();
  highestNumber_ = 0;
  const std::int64_t count = std::max<std::int64_t>(0, store_.ReadInt(kCountKey, "COUNT").value_or(0));

  // Walk the entries that exist rather than 1..COUNT: absent ones would be skipped anyway, and a
  // damaged COUNT must not make us probe billions of keys.
  std::vector<std::int64_t> numbers;
  for (const std::string& sub : store_.SubKeys(kKey))
    if (std::int64_t n = EntryNumber(sub)) numbers.push_back(n);
  std::sort(numbers.begin(), numbers.end());

  for (std::int64_t n : numbers) {
    // Any entry subkey counts as taken, even one beyond COUNT (left by a COUNT write that failed).
    highestNumber_ = std::max(highestNumber_, n);
    if (n > count) continue;
    std::string value = store_.ReadString(EntryKey(n), "SN").value_or(std::string());
    std::vector<std::string> parts = ReadDelimitedText(value, ':');
    if (parts.size() == 2) items_.push_back({parts[0], parts[1]});
  }
}

std::string TClientNameMgr::GetClientName(const std::string& SN) {
  for (const auto& item : items_)
    if (item.SN == SN) return item.clientName;

  unsigned char bytes[6] = {};
  if (random_(bytes, sizeof bytes) != sizeof bytes) {
    // Names must differ between PCs; never fall back to a fixed pattern.
    std::random_device rd;
    for (auto& b : bytes) b = static_cast<unsigned char>(rd());
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = "TC";
  for (unsigned char b : bytes) {
    name.push_back(kHex[b & 0x0F]);
    name.push_back(kHex[b >> 4]);
  }

  // Kept first, so a failing store still leaves this run with one stable name per SN.
  items_.push_back({SN, name});
  const std::int64_t m = ++highestNumber_;
  // Plain "SN:name" for ordinary serial numbers; quoting keeps an odd SN readable next time.
  store_.WriteString(EntryKey(m), "SN", WriteDelimitedText({SN, name}, ':'));
  store_.WriteInt(kCountKey, "COUNT", static_cast<std::uint32_t>(m));
  return name;
}

TClientNameMgr& ClientNameMgr() {
  static TClientNameMgr mgr(platform::KeyStore::User());
  return mgr;
}

}  // namespace murvik
