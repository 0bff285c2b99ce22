#pragma once

// The columns both stores insert, in the order they bind them: one list, so
// that the SQLite and PostgreSQL statements cannot drift apart.

namespace tvl::analytics {

inline constexpr const char* kEventColumns =
    "received_ms, post_id, element, pid, pkgid, vid, metric, count, error, node, bytes, success_bytes, "
    "first_byte_time, request_time, success_time, num_requests, num_errors, num_connect_failures, "
    "num_http_server_errors, num_connections_reset, num_data_mismatches, num_request_timeouts";
inline constexpr int kEventColumnCount = 22;

inline constexpr const char* kTransferColumns =
    "received_ms, post_id, pid, pkgid, vid, tid, status, transfer_bytes, duration";
inline constexpr int kTransferColumnCount = 9;

}  // namespace tvl::analytics
