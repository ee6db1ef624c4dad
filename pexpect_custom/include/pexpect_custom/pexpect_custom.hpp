#pragma once
// Umbrella header: everything a caller of the library needs.

#include "pexpect_custom/command.hpp"
#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/expect_any.hpp"
#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/fdspawn.hpp"
#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "pexpect_custom/pending_ssh_connect.hpp"
#include "pexpect_custom/regex.hpp"
#include "pexpect_custom/run.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/spawn.hpp"
#include "pexpect_custom/ssh_spawn.hpp"
#include "pexpect_custom/version.hpp"
