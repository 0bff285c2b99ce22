#pragma once

// The environment an end-to-end test gives the engine: its own temporary
// directory (TMPDIR, under which the engine keeps its stored transfers and work
// logs) and no proxy variables, so that a developer's proxy cannot reroute the
// test's loopback traffic. Also the folders the engine writes under TMPDIR.

#include <string>
#include <vector>

#include "tests/support/ScopedEnvironment.h"

namespace tvl::test {

// The proxy variables the engine reads.
const std::vector<std::string>& ProxyVariables();

// For the lifetime of `environment`: TMPDIR is `temporaryDirectory` and no
// proxy variable is set. For engines running in the test's own process.
void IsolateEngineEnvironment(ScopedEnvironment& environment, const std::string& temporaryDirectory);

// The same for a child process: the test's environment as "NAME=value"
// entries, without the proxy variables, with TMPDIR set to `temporaryDirectory`.
std::vector<std::string> IsolatedChildEnvironment(const std::string& temporaryDirectory);

// The engine's folders under its temporary directory.
std::string StoredTransfersFolder(const std::string& temporaryDirectory);
std::string WorkLogsFolder(const std::string& temporaryDirectory);

// Every work log file's text, one after the other; empty when there are none.
std::string ReadWorkLogs(const std::string& temporaryDirectory);

}  // namespace tvl::test
