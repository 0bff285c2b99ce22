#include "engine/work/AsioWorkManager.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/thread/thread.hpp>
#include <optional>

#include "engine/work/SimpleWork.h"
#include "engine/work/WorkStatusData.h"
#include "engine/work/Workflow.h"

namespace tvl {

struct AsioWorkManager::Pool {
    using Guard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

    boost::asio::io_context io;
    // Keeps the threads in the event loop while no task is queued.
    std::optional<Guard> guard{boost::asio::make_work_guard(io)};
    boost::thread_group threads;
    bool joined = false;

    void Join() {
        if (!joined) {
            threads.join_all();
            joined = true;
        }
    }
};

AsioWorkManager::AsioWorkManager(std::uint32_t threadCount, bool drainOnDestroy)
    : pool_(std::make_unique<Pool>()), threadCount_(threadCount), drainOnDestroy_(drainOnDestroy) {
    for (std::uint32_t i = 0; i < threadCount_; ++i) {
        pool_->threads.create_thread([this] { pool_->io.run(); });
    }
}

AsioWorkManager::~AsioWorkManager() {
    if (drainOnDestroy_) {
        Drain();
    } else {
        pool_->io.stop();
        pool_->Join();
    }
    // Tasks that never ran are destroyed with the io_context, releasing what they hold.
    pool_.reset();
}

void AsioWorkManager::Drain() {
    pool_->guard.reset();
    pool_->Join();
}

void AsioWorkManager::Post(std::function<void()> function) {
    boost::asio::post(pool_->io, [function = std::move(function)] {
        // A throwing task must not take its pool thread down with it.
        try {
            function();
        } catch (...) {
        }
    });
}

void AsioWorkManager::Execute(std::shared_ptr<SimpleWork> work) {
    boost::asio::post(pool_->io, [work = std::move(work)] {
        try {
            const WorkStatus status = work->Run();
            work->NotifyComplete(status);
        } catch (...) {
        }
    });
}

void AsioWorkManager::ExecuteInWorkflow(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) {
    boost::asio::post(pool_->io, [workflow = std::move(workflow), work = std::move(work)] {
        WorkStatus status;
        std::exception_ptr failure;
        try {
            status = work->Run();
            work->NotifyComplete(status);
        } catch (...) {
            // A listener threw while the completion travelled up the tree, so
            // the tree can no longer finish by itself.
            failure = std::current_exception();
        }
        try {
            workflow->OnSimpleWorkComplete(work, status);
            if (failure) {
                workflow->Cancel(WorkStatus(WorkResult::Error, std::make_shared<WorkExceptionData>(failure)));
            }
        } catch (...) {
        }
    });
}

}  // namespace tvl
