#pragma once
// The one list of module sessions: every configured module has exactly one session here.
#include <memory>
#include <string>
#include <vector>

#include "tunnel/client.h"

namespace murvik {

class TClientMgr {
 public:
  TClientMgr() = default;
  ~TClientMgr();
  TClientMgr(const TClientMgr&) = delete;
  TClientMgr& operator=(const TClientMgr&) = delete;

  int Count() const { return static_cast<int>(sessions_.size()); }
  TClient* At(int i) const { return sessions_.at(static_cast<std::size_t>(i)).get(); }
  void Add(std::unique_ptr<TClient> session);
  // Takes the session out of the list when it is there and destroys it in any case.
  void Remove(TClient* session);
  void Clear();
  TClient* FindByName(const std::string& name) const;
  TClient* FindBySN(const std::string& sn) const;
  // Whether s may start next to the running sessions; each problem goes to the error box.
  bool CheckConflicts(TClient* s) const;

  // A session of the model row with the row's channels and every field at its default; nullptr
  // for a row outside the model table.
  static std::unique_ptr<TClient> CreateIOServer(std::int32_t row);
  static std::unique_ptr<TClient> FindModel(std::int32_t modelId);
  static void FillModelNames(std::vector<std::string>& names);

 private:
  std::vector<std::unique_ptr<TClient>> sessions_;
};

}  // namespace murvik
