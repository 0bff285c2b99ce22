#pragma once

// Transfer events: what a transfer raises for every accepted operation and
// every state-changing callback. An event is built from the transfer's event
// record after the transfer's mutex is released, fired once on that thread and
// destroyed; Fire only builds records and hands them to the behavior's log and
// analytics managers, which write and post them on their own threads.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/events/SimpleEventAnalyticsRequest.h"
#include "engine/events/TransferAnalyticsRequest.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"

namespace tvl {

class NodeListManifest;
class TrackEventWork;
struct TransferEventRecord;

// Record kinds handed to the managers' CreateRecord.
inline constexpr std::int32_t kEventRecordKind = 1;
inline constexpr std::int32_t kTransferRecordKind = 32;

// The progress counters since the previous event that took them: transfer
// time first, then bytes, taken once per event.
struct TransferEventCounters {
    std::uint64_t durationMs = 0;
    std::uint64_t bytes = 0;
};
TransferEventCounters TakeTransferEventCounters(const TransferEventRecord& record);

class TransferEvent {
public:
    virtual ~TransferEvent() = default;
    TransferEvent(const TransferEvent&) = delete;
    TransferEvent& operator=(const TransferEvent&) = delete;
    virtual void Fire() = 0;

protected:
    TransferEvent() = default;
};

class TransferLogEvent : public TransferEvent {
public:
    TransferLogEvent(const TransferParams& params, const TransferBehavior& behavior, std::string name);
    void Fire() override;
    // "event", then "params".
    virtual void WriteLog(TrackEventWork& record);

protected:
    TransferParams params_;
    TransferBehavior behavior_;
    std::string name_;
};

// A destination check: logs its arguments and its result, no analytics.
class TransferCallEvent : public TransferLogEvent {
public:
    TransferCallEvent(const TransferEventRecord& record, std::string name);
    void WriteLog(TrackEventWork& record) override;

protected:
    // The keys of "data".
    virtual void WriteData(boost::property_tree::ptree& data) const = 0;

    bool returned_;
    std::string destPath_;
};

class CanTransferToEvent : public TransferCallEvent {
public:
    explicit CanTransferToEvent(const TransferEventRecord& record);

private:
    void WriteData(boost::property_tree::ptree& data) const override;
    std::uint64_t allocatedSpace_, availableSpace_, transferSize_;
};

class IsSupersetEvent : public TransferCallEvent {
public:
    explicit IsSupersetEvent(const TransferEventRecord& record);

private:
    void WriteData(boost::property_tree::ptree& data) const override;
    std::string failure_;
    bool ignoreHidden_;
};

class IsSubsetEvent : public TransferCallEvent {
public:
    explicit IsSubsetEvent(const TransferEventRecord& record);

private:
    void WriteData(boost::property_tree::ptree& data) const override;
    std::string failure_;
    bool confirmSize_;
    bool hasActualSize_;
    std::uint64_t actualSize_;
};

// A logged event that also reports to the analytics endpoints.
class TransferAnalyticsEvent : public TransferLogEvent {
public:
    TransferAnalyticsEvent(const TransferEventRecord& record, std::string name);
    void Fire() override;
    virtual void SendAnalytics() = 0;
    void SendRequest(std::int32_t kind, const OutputManifest& request);

protected:
    // One optimizer element per node of the transfer's node list.
    void AddNodeStatistics(TrackEventWork& record);
    // An events-endpoint array: `first` (when given), then the node statistics.
    void SendEventArray(const OutputManifest* first);

    std::shared_ptr<NodeListManifest> nodeStatistics_;
};

// Counts one occurrence at the events endpoint; Start and Restore also send
// the transfer's state.
class SimpleTransferEvent : public TransferAnalyticsEvent {
public:
    SimpleTransferEvent(const TransferEventRecord& record, std::string name, std::string counterKey);
    void SendAnalytics() override;

protected:
    SimpleEventAnalyticsRequest counter_;
};

class TransferStateEvent : public SimpleTransferEvent {
public:
    TransferStateEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                       TransferState state, std::uint64_t transferBytes, std::uint64_t durationMs);
    void SendAnalytics() override;

protected:
    TransferAnalyticsRequest transfer_;
};

// Cancel, Suspend, Complete: the state with the counters since the previous
// report, then the counter and the node statistics as one array.
class TransferEndEvent : public TransferStateEvent {
public:
    TransferEndEvent(const TransferEventRecord& record, std::string name, std::string counterKey);
    void SendAnalytics() override;

private:
    TransferEndEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                     const TransferEventCounters& counters);
};

class TransferPeriodicEvent : public TransferAnalyticsEvent {
public:
    explicit TransferPeriodicEvent(const TransferEventRecord& record);
    void SendAnalytics() override;

private:
    TransferPeriodicEvent(const TransferEventRecord& record, const TransferEventCounters& counters);
    TransferAnalyticsRequest transfer_;
};

class TransferErrorEvent : public TransferAnalyticsEvent {
public:
    TransferErrorEvent(const TransferEventRecord& record, std::string name, std::string counterKey);
    void SendAnalytics() override;

private:
    TransferErrorEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                       const TransferEventCounters& counters);

    ErrorAnalyticsRequest error_;
    std::uint64_t transferBytes_;
    std::uint64_t durationMs_;
    TransferAnalyticsRequest transfer_;
};

// Builds the event the record names and fires it.
void FireTransferEvent(const TransferEventRecord& record);

}  // namespace tvl
