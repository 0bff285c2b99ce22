#pragma once

// The deployment this build serves: the updater's string table and the
// engine's deployment values, compiled in from the deployment file chosen at
// configure time (TALVANE_DEPLOYMENT). Immutable; safe from any thread.

#include <string>

namespace tvl {

struct DeploymentStringEntry {
    unsigned id;
    const char* text;  // UTF-8
};

struct DeploymentValues {
    const char* manifestHost;           // authority: host with optional port
    const char* geolocationUrl;         // http URL, path "/geo-location"
    const char* analyticsEventsUrl;     // http URL without a path
    const char* analyticsTransfersUrl;  // http URL without a path
    const char* supportHost;            // host name named in the user messages
    const char* publisherKeys;          // "ed25519:..." keys separated by blanks; empty: none
    const DeploymentStringEntry* strings;  // ends with id 0
};

const DeploymentValues& CompiledDeployment();

// The string-table entry with this id, or nullptr when the deployment has none.
const char* FindDeploymentString(const DeploymentValues& deployment, unsigned id);

}  // namespace tvl
