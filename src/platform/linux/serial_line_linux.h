#pragma once
// Termios access shared by the pair holder and the hidden end (Linux only).
namespace murvik::platform::linux_detail {

// Puts the pty pair in raw mode at a rate no program asks for, so the next program that sets
// its usual settings always changes the rate and the call succeeds.
bool ResetPairTermios(int masterFd);

}  // namespace murvik::platform::linux_detail
