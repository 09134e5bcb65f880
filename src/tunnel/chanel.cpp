#include "tunnel/chanel.h"

namespace murvik {

std::uint32_t TChanel::NextSeqId() {
  std::uint32_t next;
  std::uint32_t cur = seqCounter_.load();
  do {
    next = cur + 1;
    if (next == 0) next = 1;
  } while (!seqCounter_.compare_exchange_weak(cur, next));
  return next;
}

}  // namespace murvik
