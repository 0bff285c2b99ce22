#include "engine/events/TransferEvents.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/events/AnalyticsManager.h"
#include "engine/events/EventManager.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/optimizer/NodeStatistics.h"
#include "engine/optimizer/OptimizerAnalyticsRequest.h"
#include "engine/service/TransferEventRecord.h"
#include "engine/service/TransferStatusImpl.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/TrackEventWork.h"
#include "engine/work/WorkStatusData.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;

// A copy taken under the transfer's mutex: Start may be changing the
// destination on another thread while the event is built.
TransferParams ParamsOf(const TransferEventRecord& record) {
    return record.transfer ? record.transfer->CopyParams() : TransferParams();
}

const TransferBehavior& BehaviorOf(const TransferEventRecord& record) {
    static const TransferBehavior none;
    return record.transfer ? record.transfer->GetBehavior() : none;
}

TransferState StateOf(const TransferEventRecord& record) { return static_cast<TransferState>(record.status.state); }

std::string ErrorText(const TransferEventRecord& record) {
    try {
        return record.detail ? record.detail->GetSummary() : std::string();
    } catch (...) {
        return std::string();
    }
}

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

TransferEventCounters TakeTransferEventCounters(const TransferEventRecord& record) {
    TransferEventCounters counters;
    if (record.progress) {
        counters.durationMs = record.progress->TransferTimeMs().TakeDelta();
        counters.bytes = record.progress->BytesDownloaded().TakeDelta();
    }
    return counters;
}

TransferLogEvent::TransferLogEvent(const TransferParams& params, const TransferBehavior& behavior, std::string name)
    : params_(params), behavior_(behavior), name_(std::move(name)) {}

void TransferLogEvent::Fire() {
    if (behavior_.logManager == nullptr) {
        return;
    }
    const auto record = behavior_.logManager->CreateRecord(kEventRecordKind);
    if (record) {
        WriteLog(*record);
        behavior_.logManager->Submit(record);
    }
}

void TransferLogEvent::WriteLog(TrackEventWork& record) {
    ptree& tree = record.GetTree();
    tree.put("event", name_);
    ptree params;
    params_.Describe(params);
    tree.add_child("params", params);
}

TransferCallEvent::TransferCallEvent(const TransferEventRecord& record, std::string name)
    : TransferLogEvent(ParamsOf(record), BehaviorOf(record), std::move(name)),
      returned_(record.returned),
      destPath_(record.destPath) {}

void TransferCallEvent::WriteLog(TrackEventWork& record) {
    TransferLogEvent::WriteLog(record);
    ptree& tree = record.GetTree();
    tree.put("returned", Bool(returned_));
    ptree data;
    WriteData(data);
    tree.add_child("data", data);
}

CanTransferToEvent::CanTransferToEvent(const TransferEventRecord& record)
    : TransferCallEvent(record, "CanTransferTo"),
      allocatedSpace_(record.allocatedSpace),
      availableSpace_(record.availableSpace),
      transferSize_(record.transferSize) {}

void CanTransferToEvent::WriteData(ptree& data) const {
    data.put("destPath", destPath_);
    data.put("allocatedSpace", allocatedSpace_);
    data.put("availableSpace", availableSpace_);
    data.put("transferSize", transferSize_);
}

IsSupersetEvent::IsSupersetEvent(const TransferEventRecord& record)
    : TransferCallEvent(record, "IsSuperset"), failure_(record.failure), ignoreHidden_(record.option) {}

void IsSupersetEvent::WriteData(ptree& data) const {
    data.put("destPath", destPath_);
    data.put("ignoreHidden", Bool(ignoreHidden_));
    if (!returned_) {
        data.put("failure", failure_);
    }
}

IsSubsetEvent::IsSubsetEvent(const TransferEventRecord& record)
    : TransferCallEvent(record, "IsSubset"),
      failure_(record.failure),
      confirmSize_(record.option),
      hasActualSize_(record.hasActualSize),
      actualSize_(record.actualSize) {}

void IsSubsetEvent::WriteData(ptree& data) const {
    data.put("destPath", destPath_);
    data.put("confirmSize", Bool(confirmSize_));
    if (!returned_) {
        data.put("failure", failure_);
        if (hasActualSize_) {
            data.put("actualSize", actualSize_);
        }
    }
}

TransferAnalyticsEvent::TransferAnalyticsEvent(const TransferEventRecord& record, std::string name)
    : TransferLogEvent(ParamsOf(record), BehaviorOf(record), std::move(name)),
      nodeStatistics_(record.transfer ? record.transfer->GetNodeList() : nullptr) {}

void TransferAnalyticsEvent::Fire() {
    TransferLogEvent::Fire();
    if (behavior_.analyticsManager != nullptr) {
        SendAnalytics();
    }
}

void TransferAnalyticsEvent::SendRequest(std::int32_t kind, const OutputManifest& request) {
    EventManager* manager = behavior_.analyticsManager;
    const auto record = manager->CreateRecord(kind);
    if (record) {
        request.Write(record->GetTree());
        manager->Submit(record);
    }
}

void TransferAnalyticsEvent::AddNodeStatistics(TrackEventWork& record) {
    if (!nodeStatistics_) {
        return;
    }
    for (const auto& node : nodeStatistics_->GetNodes()) {
        const auto statistics = node->GetStatistics();
        const NodeStatisticsSnapshot snapshot = statistics ? statistics->Snapshot() : NodeStatisticsSnapshot();
        ptree element;
        OptimizerAnalyticsRequest(params_, node->GetHost(), snapshot).Write(element);
        record.GetTree().push_back(std::make_pair(std::string(), element));
    }
}

void TransferAnalyticsEvent::SendEventArray(const OutputManifest* first) {
    EventManager* manager = behavior_.analyticsManager;
    const auto record = manager->CreateRecord(kEventRecordKind);
    if (!record) {
        return;
    }
    if (first != nullptr) {
        ptree element;
        first->Write(element);
        record->GetTree().push_back(std::make_pair(std::string(), element));
    }
    AddNodeStatistics(*record);
    manager->Submit(record);
}

SimpleTransferEvent::SimpleTransferEvent(const TransferEventRecord& record, std::string name, std::string counterKey)
    : TransferAnalyticsEvent(record, std::move(name)), counter_(params_, std::move(counterKey)) {}

void SimpleTransferEvent::SendAnalytics() { SendRequest(kEventRecordKind, counter_); }

TransferStateEvent::TransferStateEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                                       TransferState state, std::uint64_t transferBytes, std::uint64_t durationMs)
    : SimpleTransferEvent(record, std::move(name), std::move(counterKey)),
      transfer_(params_, state, transferBytes, durationMs) {}

void TransferStateEvent::SendAnalytics() {
    SimpleTransferEvent::SendAnalytics();
    SendRequest(kTransferRecordKind, transfer_);
}

TransferEndEvent::TransferEndEvent(const TransferEventRecord& record, std::string name, std::string counterKey)
    : TransferEndEvent(record, std::move(name), std::move(counterKey), TakeTransferEventCounters(record)) {}

TransferEndEvent::TransferEndEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                                   const TransferEventCounters& counters)
    : TransferStateEvent(record, std::move(name), std::move(counterKey), StateOf(record), counters.bytes,
                         counters.durationMs) {}

void TransferEndEvent::SendAnalytics() {
    SendRequest(kTransferRecordKind, transfer_);
    SendEventArray(&counter_);
}

TransferPeriodicEvent::TransferPeriodicEvent(const TransferEventRecord& record)
    : TransferPeriodicEvent(record, TakeTransferEventCounters(record)) {}

TransferPeriodicEvent::TransferPeriodicEvent(const TransferEventRecord& record, const TransferEventCounters& counters)
    : TransferAnalyticsEvent(record, "PeriodicUpdate"),
      transfer_(params_, StateOf(record), counters.bytes, counters.durationMs) {}

void TransferPeriodicEvent::SendAnalytics() {
    SendRequest(kTransferRecordKind, transfer_);
    SendEventArray(nullptr);
}

TransferErrorEvent::TransferErrorEvent(const TransferEventRecord& record, std::string name, std::string counterKey)
    : TransferErrorEvent(record, std::move(name), std::move(counterKey), TakeTransferEventCounters(record)) {}

TransferErrorEvent::TransferErrorEvent(const TransferEventRecord& record, std::string name, std::string counterKey,
                                       const TransferEventCounters& counters)
    : TransferAnalyticsEvent(record, std::move(name)),
      error_(params_, std::move(counterKey), ErrorText(record)),
      transferBytes_(counters.bytes),
      durationMs_(counters.durationMs),
      transfer_(params_, StateOf(record), counters.bytes, counters.durationMs) {}

void TransferErrorEvent::SendAnalytics() {
    if (transferBytes_ != 0 || durationMs_ != 0) {
        SendRequest(kTransferRecordKind, transfer_);
    }
    SendEventArray(&error_);
}

void FireTransferEvent(const TransferEventRecord& record) {
    switch (record.kind) {
        case TransferEventKind::Initialize:
            SimpleTransferEvent(record, "Initialize", "numInitializes").Fire();
            break;
        case TransferEventKind::InitializeComplete:
            SimpleTransferEvent(record, "InitializeComplete", "numInitializeCompletes").Fire();
            break;
        case TransferEventKind::Pause:
            SimpleTransferEvent(record, "Pause", "numPauses").Fire();
            break;
        case TransferEventKind::Resume:
            SimpleTransferEvent(record, "Resume", "numResumes").Fire();
            break;
        case TransferEventKind::Retry:
            SimpleTransferEvent(record, "Retry", "numRetries").Fire();
            break;
        case TransferEventKind::Start:
            TransferStateEvent(record, "Start", "numStarts", TransferState::Transferring, 0, 0).Fire();
            break;
        case TransferEventKind::Restore:
            TransferStateEvent(record, "Restore", "numRestores", TransferState::Initializing, 0, 0).Fire();
            break;
        case TransferEventKind::Cancel:
            TransferEndEvent(record, "Cancel", "numCancels").Fire();
            break;
        case TransferEventKind::Suspend:
            TransferEndEvent(record, "Suspend", "numSuspends").Fire();
            break;
        case TransferEventKind::Complete:
            TransferEndEvent(record, "Complete", "numCompletes").Fire();
            break;
        case TransferEventKind::RetryableError:
            TransferErrorEvent(record, "RetryableError", "numRetryableErrors").Fire();
            break;
        case TransferEventKind::FatalError:
            TransferErrorEvent(record, "FatalError", "numFatalErrors").Fire();
            break;
        case TransferEventKind::PeriodicUpdate:
            TransferPeriodicEvent(record).Fire();
            break;
        case TransferEventKind::CanTransferTo:
            CanTransferToEvent(record).Fire();
            break;
        case TransferEventKind::IsSubset:
            IsSubsetEvent(record).Fire();
            break;
        case TransferEventKind::IsSuperset:
            IsSupersetEvent(record).Fire();
            break;
    }
}

}  // namespace tvl
