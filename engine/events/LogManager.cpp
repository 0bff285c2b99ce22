#include "engine/events/LogManager.h"

#include <chrono>
#include <cstdio>
#include <limits>

#include "engine/file/FileExceptions.h"
#include "engine/file/SharedFile.h"
#include "engine/file/SharedFileFactory.h"
#include "engine/file/UserDirectories.h"

namespace tvl {
namespace {

// Names taken within one second are counted up; a folder that refuses every
// name (a locked drive answers "in use" forever) must not hold the line forever.
constexpr unsigned kMaxNameAttempts = 1000;

std::string FormatUtc(std::time_t when, const char* format) {
    std::tm parts{};
    if (gmtime_r(&when, &parts) == nullptr) {
        return std::string();
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

std::time_t Now() {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

}  // namespace

LogManager::LogManager(std::uint32_t threadCount, bool drainOnDestroy, std::int32_t levelMask,
                       std::string logsFolder, SharedFileFactory* sharedFileFactory)
    : EventManager(threadCount, drainOnDestroy),
      levelMask_(levelMask),
      logsFolder_(std::move(logsFolder)),
      sharedFileFactory_(sharedFileFactory) {}

LogManager::~LogManager() = default;

std::string LogManager::LogFileName(std::time_t when, unsigned n) {
    std::string name = FormatUtc(when, "Log.%Y.%m.%d.%H.%M.%S.txt");
    if (n != 0) {
        name += '.';
        name += std::to_string(n);
    }
    return name;
}

std::string LogManager::LinePrefix(std::time_t when) {
    return FormatUtc(when, "[%Y-%m-%d %H:%M:%S] ");
}

std::string LogManager::GetLogFilePath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return filePath_;
}

void LogManager::OpenFile() {
    const std::string folder = ResolveUserPath(logsFolder_);
    // The log names the user's files and servers: nobody else may read it or
    // plant a link in its place.
    if (!CreatePrivateDirectories(folder)) {
        return;
    }
    const std::time_t opened = Now();
    for (unsigned n = 0; n < kMaxNameAttempts; ++n) {
        const std::string name = LogFileName(opened, n);
        try {
            file_ = sharedFileFactory_->Open(folder, name, OpenMode::CreateNew, false, 0,
                                             std::numeric_limits<std::uint64_t>::max());
            filePath_ = folder + "/" + name;
            return;
        } catch (const FileInUseException&) {
            // Taken, by an earlier run or another manager in the same second.
        }
    }
}

void LogManager::WriteLine(std::int32_t level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsLogged(level)) {
        return;
    }
    try {
        if (!file_) {
            OpenFile();
            if (!file_) {
                return;
            }
        }
        // One write for the whole line: a failure half-way must not leave a
        // bare prefix for the next line to run into.
        const std::string line = LinePrefix(Now()) + text;
        const char* data = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            const std::size_t written = file_->Write(data, left);
            if (written == 0) {
                return;
            }
            data += written;
            left -= written;
        }
    } catch (...) {
        // Diagnostics never fail their producer: the line is lost.
    }
}

}  // namespace tvl
