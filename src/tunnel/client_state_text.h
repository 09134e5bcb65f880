#pragma once
// The state of a session as the module frame and murvikd show it.
#include <string>

namespace murvik {

class TClient;

// The state label text; `previous` is kept for registration states the text does not know.
std::string ClientStateText(const TClient& session, const std::string& previous = std::string());
// The same text without the live traffic figures, to tell a change of state from a change of numbers.
std::string ClientStateKey(const TClient& session);

}  // namespace murvik
