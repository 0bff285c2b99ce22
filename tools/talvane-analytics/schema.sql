-- The collector's tables. Written for SQLite as it stands; the PostgreSQL store
-- runs the same text with "INTEGER PRIMARY KEY" read as "BIGSERIAL PRIMARY KEY",
-- so that collectors sharing one database draw ids from one sequence.
-- Times are ms since 1970 UTC; durations and the node times are seconds.

-- One row per accepted events post element.
CREATE TABLE IF NOT EXISTS event_records (
  id INTEGER PRIMARY KEY,
  received_ms BIGINT NOT NULL,      -- when the collector accepted the post
  post_id TEXT NOT NULL,            -- unique per accepted post (collector-made); elements share it
  element INTEGER NOT NULL,         -- position in the post, 0 for a single object
  pid TEXT NOT NULL,
  pkgid TEXT NOT NULL,
  vid TEXT NOT NULL,
  metric TEXT,                      -- counter or error element: its one metric name; NULL for a node element
  count BIGINT,                     -- that metric's value
  error TEXT,                       -- dimensions.error when present
  node TEXT,                        -- dimensions.cdn of a node element
  bytes BIGINT,
  success_bytes BIGINT,
  first_byte_time DOUBLE PRECISION,
  request_time DOUBLE PRECISION,
  success_time DOUBLE PRECISION,
  num_requests BIGINT,
  num_errors BIGINT,
  num_connect_failures BIGINT,
  num_http_server_errors BIGINT,
  num_connections_reset BIGINT,
  num_data_mismatches BIGINT,
  num_request_timeouts BIGINT
);

-- One row per accepted transfers post.
CREATE TABLE IF NOT EXISTS transfer_records (
  id INTEGER PRIMARY KEY,
  received_ms BIGINT NOT NULL,
  post_id TEXT NOT NULL,
  pid TEXT NOT NULL,
  pkgid TEXT NOT NULL,
  vid TEXT NOT NULL,
  tid TEXT NOT NULL,
  status TEXT NOT NULL,             -- active, suspended, completed, canceled
  transfer_bytes BIGINT NOT NULL,
  duration DOUBLE PRECISION NOT NULL
);

CREATE INDEX IF NOT EXISTS event_records_received ON event_records(received_ms);
CREATE INDEX IF NOT EXISTS transfer_records_received ON transfer_records(received_ms);
CREATE INDEX IF NOT EXISTS transfer_records_tid ON transfer_records(tid);
