#pragma once
// Drop and duplicate decisions for the datagrams the simulator sends. Its own generator, so the
// sequence of decisions depends only on the seed and the number of datagrams sent.
#include <cstdint>
#include <random>

namespace murvik::sim {

enum class Fate { Send, Drop, SendTwice };

class FaultInjector {
 public:
  FaultInjector(std::uint64_t seed, double dropPct, double dupPct);
  Fate Next();

 private:
  bool Roll(std::uint32_t permyriad);
  std::mt19937_64 rng_;
  std::uint32_t drop_;  // in 1/10000
  std::uint32_t dup_;
};

}  // namespace murvik::sim
