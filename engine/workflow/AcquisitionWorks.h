#pragma once

// The works that acquire what a transfer needs before anything is downloaded:
// the package manifest and the node list (run in parallel), the user's
// geolocation, and the geofence check. Each getter reports its manifest to
// the transfer through its own complete callback, in a PackageStatusData,
// NodeListStatusData or GeolocationStatusData.
//
// Threading: ExecuteTask runs on one worker thread at a time; Abort comes
// from the thread that pauses or cancels the workflow and cancels the HTTP
// request of the fetch under way, or, before the fetch has sent it, ends the
// fetch as it would send it (see HttpManifestSource::Abort). The mutex
// guards only the current source.

#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/work/LimitedRetrySimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class HttpManifestSource;

// The common part of the three getters: the source of the fetch under way
// and the mapping of manifest exceptions to statuses.
class AcquireManifestWork : public TransferWork, public LimitedRetrySimpleWork {
  public:
    void Abort() override;

  protected:
    AcquireManifestWork(std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries,
                        WorkCompleteCallback* callback);

    // The fetch itself; throws what the manifest layer throws.
    virtual WorkStatus Acquire() = 0;
    // What a ManifestStreamException or another ManifestException becomes.
    virtual WorkStatus OnStreamFailure(std::exception_ptr exception);
    virtual WorkStatus OnContentFailure(std::exception_ptr exception);

    WorkStatus ExecuteTask() override;

    // Makes the source the one Abort cancels.
    void SetCurrentSource(std::shared_ptr<HttpManifestSource> source);
    // Registers the log manager's callbacks after the interface's.
    void RegisterLogCallbacks();

  private:
    std::mutex mutex_;
    std::shared_ptr<HttpManifestSource> currentSource_;
};

class GetPackageManifestWork : public AcquireManifestWork {
    struct Token {};

  public:
    static std::shared_ptr<GetPackageManifestWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                          std::uint32_t maxRetries);
    GetPackageManifestWork(Token, std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }

  protected:
    WorkStatus Acquire() override;
};

class GetNodeListWork : public AcquireManifestWork {
    struct Token {};

  public:
    static std::shared_ptr<GetNodeListWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                   std::uint32_t maxRetries);
    GetNodeListWork(Token, std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }

  protected:
    WorkStatus Acquire() override;
};

// An unreachable or broken geolocation service never stops a transfer by
// itself: once its retries are used up, the geofence decides with an empty
// country.
class GetGeolocationWork : public AcquireManifestWork {
    struct Token {};

  public:
    static std::shared_ptr<GetGeolocationWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                      std::uint32_t maxRetries);
    GetGeolocationWork(Token, std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }

  protected:
    WorkStatus Acquire() override;
    WorkStatus OnStreamFailure(std::exception_ptr exception) override;
    WorkStatus OnContentFailure(std::exception_ptr exception) override;

  private:
    WorkStatus Fallback();
};

// Refuses the package with transfer error 10 when the user's country may not
// receive it.
class GeofenceWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<GeofenceWork> Create(std::shared_ptr<TransferWorkInterface> interface);
    GeofenceWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;
};

}  // namespace tvl
