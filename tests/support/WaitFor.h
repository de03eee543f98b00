// Polls a condition until it holds or a time limit passes (for effects that
// other threads of the server bring about).
#pragma once

#include <chrono>
#include <thread>

namespace ordex::test {

template <class F>
bool WaitFor(F Condition, std::chrono::milliseconds Limit = std::chrono::milliseconds(3000)) {
  const auto End = std::chrono::steady_clock::now() + Limit;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace ordex::test
