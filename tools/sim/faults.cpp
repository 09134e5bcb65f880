#include "faults.h"

#include <cmath>

namespace murvik::sim {

FaultInjector::FaultInjector(std::uint64_t seed, double dropPct, double dupPct)
    : rng_(seed),
      drop_(static_cast<std::uint32_t>(std::lround(dropPct * 100))),
      dup_(static_cast<std::uint32_t>(std::lround(dupPct * 100))) {}

bool FaultInjector::Roll(std::uint32_t permyriad) {
  // Always draw, so that one setting does not shift the other's sequence.
  const bool hit = rng_() % 10000 < permyriad;
  return hit;
}

Fate FaultInjector::Next() {
  const bool drop = Roll(drop_);
  const bool dup = Roll(dup_);
  if (drop) return Fate::Drop;
  return dup ? Fate::SendTwice : Fate::Send;
}

}  // namespace murvik::sim
