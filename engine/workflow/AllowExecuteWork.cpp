#include "engine/workflow/AllowExecuteWork.h"

#include <boost/property_tree/ptree.hpp>
#include <limits>
#include <stdexcept>

#include "engine/file/FileExceptions.h"
#include "engine/file/SharedFile.h"
#include "engine/file/SharedFileFactory.h"
#include "engine/manifest/PackageManifest.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/workflow/FileWorks.h"

namespace tvl {

std::shared_ptr<AllowExecuteWork> AllowExecuteWork::Create(std::shared_ptr<TransferWorkInterface> interface) {
    return std::make_shared<AllowExecuteWork>(Token(), std::move(interface));
}

AllowExecuteWork::AllowExecuteWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SimpleWork(LogCompleteCallback(interface_->GetBehavior())) {}

void AllowExecuteWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "AllowExecuteWork");
    tree.put("important", IsImportant());
    DescribeTransfer(tree);
}

WorkStatus AllowExecuteWork::ExecuteTask() {
    const std::shared_ptr<PackageManifest> package = interface_->GetPackage();
    if (!package) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "AllowExecuteWork::ExecuteTask has no package");
    }
    try {
        SharedFileFactory* files = interface_->GetBehavior().sharedFileFactory;
        if (files == nullptr) {
            throw std::logic_error("AllowExecuteWork::ExecuteTask has no shared file factory");
        }
        const std::string folder = interface_->CopyParams().destPath;
        for (const auto& manifest : package->GetFiles()) {
            const std::string& path = manifest->GetPath();
            if (!IsProgramFile(*interface_, folder, path)) {
                continue;
            }
            const std::shared_ptr<SharedFile> file = files->Open(
                folder, path, OpenMode::OpenExisting, true, 0, std::numeric_limits<std::uint64_t>::max());
            if (!file->AllowExecute()) {
                throw FileInUseException();
            }
        }
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return FileExceptionStatus(std::current_exception());
    }
}

}  // namespace tvl
