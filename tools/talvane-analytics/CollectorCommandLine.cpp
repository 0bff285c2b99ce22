#include "tools/talvane-analytics/CollectorCommandLine.h"

#include <signal.h>

#include <boost/program_options/value_semantic.hpp>
#include <chrono>
#include <ostream>

#include "tools/common/CommandLine.h"
#include "tools/talvane-analytics/AnalyticsStore.h"
#include "tools/talvane-analytics/CollectorServer.h"
#include "tools/talvane-analytics/GroupCommitter.h"

namespace tvl::analytics {
namespace {

namespace po = boost::program_options;

constexpr const char* kDefaultDatabase = "talvane-analytics.sqlite";

void AddStoreOptions(cli::CommandLine& commandLine) {
    commandLine.Add()  //
        ("database", po::value<std::string>()->value_name("PATH"),
         "the SQLite database file, created when missing (default talvane-analytics.sqlite)")  //
        ("postgres", po::value<std::string>()->value_name("CONNINFO"),
         "a PostgreSQL database instead, as a libpq connection string or postgresql:// URI");
}

std::unique_ptr<AnalyticsStore> OpenStore(const po::variables_map& values, SqliteSync sync) {
    if (values.count("postgres") != 0) {
        if (values.count("database") != 0) {
            throw cli::UsageError("--database and --postgres exclude each other");
        }
        return OpenPostgresStore(cli::Text(values, "postgres"));
    }
    const std::string path = values.count("database") != 0 ? cli::Text(values, "database") : kDefaultDatabase;
    if (path.empty()) {
        throw cli::UsageError("--database needs a file name");
    }
    return OpenSqliteStore(path, sync);
}

std::optional<ListenAddress> Address(const po::variables_map& values, const std::string& name) {
    if (values.count(name) == 0) {
        return std::nullopt;
    }
    const std::optional<ListenAddress> address = ParseListenAddress(cli::Text(values, name));
    if (!address) {
        throw cli::UsageError("--" + name + " takes HOST:PORT (port 0 for any free port)");
    }
    return address;
}

}  // namespace

int RunServe(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    cli::CommandLine commandLine(
        "talvane-analytics serve",
        {"--listen HOST:PORT [--database PATH | --postgres CONNINFO] [options]",
         "--events-listen HOST:PORT --transfers-listen HOST:PORT [--database PATH | --postgres CONNINFO] [options]"},
        "Receives the engine's analytics posts and stores their records. Prints the events and transfers\n"
        "URLs to give the engine, then \"ready\"; an answer 204 means the records are committed. Serves\n"
        "until SIGINT or SIGTERM, then answers the posts it has read and exits 0.");
    commandLine.Add()  //
        ("listen", po::value<std::string>()->value_name("HOST:PORT"),
         "one port for both kinds: events posted to /events, transfers to /transfers")  //
        ("events-listen", po::value<std::string>()->value_name("HOST:PORT"),
         "the events endpoint: posts to / (the engine's analyticsEventsUrl)")  //
        ("transfers-listen", po::value<std::string>()->value_name("HOST:PORT"),
         "the transfers endpoint: posts to / (the engine's analyticsTransfersUrl)");
    AddStoreOptions(commandLine);
    commandLine.Add()  //
        ("sqlite-sync", po::value<std::string>()->value_name("full|normal"),
         "full (default): a committed post survives a power loss; normal: it survives a killed collector "
         "but the last commits may be lost with the power")  //
        ("threads", po::value<std::string>()->value_name("N"), "threads serving connections, 1 to 64 (default 2)")  //
        ("max-connections", po::value<std::string>()->value_name("N"),
         "connections served at once, 1 to 100000 (default 1024); more wait to be accepted")  //
        ("max-batch", po::value<std::string>()->value_name("N"),
         "records committed in one transaction at most, 1 to 1000000 (default 20000)");
    return commandLine.Run(arguments, out, err, [&](const po::variables_map& values) {
        CollectorOptions options;
        options.both = Address(values, "listen");
        options.events = Address(values, "events-listen");
        options.transfers = Address(values, "transfers-listen");
        if (options.both && (options.events || options.transfers)) {
            throw cli::UsageError("--listen excludes --events-listen and --transfers-listen");
        }
        if (!options.both && (!options.events || !options.transfers)) {
            throw cli::UsageError("give --listen, or both --events-listen and --transfers-listen");
        }
        cli::SetNumber(values, "threads", 1, 64, options.threads);
        cli::SetNumber(values, "max-connections", 1, 100000, options.maxConnections);
        std::size_t maxBatch = 20000;
        cli::SetNumber(values, "max-batch", 1, 1000000, maxBatch);
        SqliteSync sync = SqliteSync::Full;
        const std::string syncText = cli::Text(values, "sqlite-sync");
        if (syncText == "normal") {
            sync = SqliteSync::Normal;
        } else if (!syncText.empty() && syncText != "full") {
            throw cli::UsageError("--sqlite-sync takes full or normal");
        }

        // Blocked before any thread starts, so that only sigwait below sees them.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        std::unique_ptr<AnalyticsStore> store = OpenStore(values, sync);
        const std::string described = store->Describe();
        GroupCommitter committer(std::move(store), maxBatch);
        CollectorServer server(options, committer);
        out << "events " << server.EventsUrl() << "\n"
            << "transfers " << server.TransfersUrl() << "\n"
            << "store " << described << "\n"
            << "ready" << std::endl;
        int received = 0;
        sigwait(&signals, &received);

        server.Close(std::chrono::seconds(10));
        committer.Stop();
        err << "talvane-analytics: stopped: " << committer.CommittedPosts() << " posts stored ("
            << committer.CommittedRecords() << " records in " << committer.Batches() << " transactions), "
            << server.RefusedPosts() << " refused, " << committer.FailedPosts() << " not stored" << std::endl;
        return 0;
    });
}

int RunPrune(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    cli::CommandLine commandLine("talvane-analytics prune",
                                 {"--older-than DAYS [--database PATH | --postgres CONNINFO]"},
                                 "Deletes the records the collector received more than DAYS days ago.");
    commandLine.Add()  //
        ("older-than", po::value<std::string>()->value_name("DAYS"), "whole days, 0 to 100000 (required)");
    AddStoreOptions(commandLine);
    return commandLine.Run(arguments, out, err, [&](const po::variables_map& values) {
        if (values.count("older-than") == 0) {
            throw cli::UsageError("--older-than is required");
        }
        std::int64_t days = 0;
        cli::SetNumber(values, "older-than", 0, 100000, days);
        if (values.count("postgres") == 0 && values.count("database") != 0) {
            // Pruning a file that is not there would create an empty database.
            const std::string path = cli::Text(values, "database");
            if (FILE* file = std::fopen(path.c_str(), "rb")) {
                std::fclose(file);
            } else {
                err << "talvane-analytics prune: no database at " << path << std::endl;
                return 1;
            }
        }
        std::unique_ptr<AnalyticsStore> store = OpenStore(values, SqliteSync::Full);
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        const std::uint64_t deleted = store->Prune(now - days * 86400000);
        out << "pruned " << deleted << " records received more than " << days << " days ago from "
            << store->Describe() << std::endl;
        return 0;
    });
}

}  // namespace tvl::analytics
