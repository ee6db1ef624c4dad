#pragma once
// A helper child with every pause at 0. When it goes, it kills and reaps the child for certain,
// so a failed assertion never leaves a process or descriptor behind.

#include <signal.h>

#include <string>
#include <vector>

#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

namespace test_support {

class helper_child {
 public:
  explicit helper_child(std::vector<std::string> modes, double timeout = 10)
      : child_(helper, std::move(modes), timeout) {
    child_.delaybeforesend = child_.delayafterclose = child_.delayafterterminate = 0;
    child_.delayafterread = 0;
  }
  ~helper_child() { finish(); }
  helper_child(const helper_child&) = delete;
  helper_child& operator=(const helper_child&) = delete;

  pexpect_custom::spawn* operator->() { return &child_; }
  pexpect_custom::spawn& operator*() { return child_; }

  void finish() {
    if (child_.closed) return;
    if (!child_.terminated) ::kill(*child_.pid, SIGKILL);
    try {
      if (child_.isalive()) child_.wait();
    } catch (const pexpect_custom::ExceptionPexpect&) {  // reaped between the two calls
    }
    child_.close();
  }

 private:
  pexpect_custom::spawn child_;
};

}  // namespace test_support
