#include "tools/talvane-pack/PackCommandLine.h"

#include <boost/program_options/value_semantic.hpp>
#include <ostream>
#include <sstream>

#include "tools/common/CommandLine.h"

namespace tvl::pack {
namespace {

namespace po = boost::program_options;
using cli::NumberInRange;
using cli::SetNumber;
using cli::Text;
using cli::UsageError;

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

cli::CommandLine PackCommandLine() {
    cli::CommandLine commandLine(
        "talvane-pack",
        {"--input DIR --output ROOT --partner ID --package ID --package-version ID --name NAME [options]",
         "keygen --out FILE"},
        "Turns a folder into a package the download nodes serve: the package manifest (a CRC-32 per chunk,\n"
        "and a SHA-256 when signing), optionally current.xml and the node list, and the files under the\n"
        "node path, all below the content root. \"keygen\" makes a publisher's Ed25519 key pair.");
    const auto text = [](const char* name) { return po::value<std::string>()->value_name(name); };
    commandLine.Add()                                                                                 //
        ("input", text("DIR"), "the folder to pack")                                                  //
        ("output", text("ROOT"), "the content root the package is written below")                     //
        ("partner", text("ID"), "the partner id")                                                     //
        ("package", text("ID"), "the package id")                                                     //
        ("package-version", text("ID"), "the package's version id")                                   //
        ("name", text("NAME"), "the package's display name")                                          //
        ("run", text("PATH"), "the run file, relative to the input folder")                           //
        ("chunk-size", text("BYTES"), "bytes per chunk, 1 to 4294967295 (default 1048576)")           //
        ("policy", text("POLICY"), "the geofence policy: None, Whitelist or Blacklist")               //
        ("countries", text("CC,..."), "the country codes the policy names")                           //
        ("inactive", po::bool_switch(), "mark the package inactive")                                  //
        ("current", po::bool_switch(), "also write the manifest as current.xml")                      //
        ("nodes", text("[https://]HOST:PORT,..."), "write the partner's node list with these nodes")  //
        ("node-path", text("PATH"), "the path of the packages on the nodes (default /packages/)")     //
        ("weights", text("N,..."), "one weight per node")                                             //
        ("threads", text("N"), "hashing threads, 0 to 1024 (default 0: every core)")                  //
        ("sign-key", text("FILE"),
         "the publisher's private key: a SHA-256 per chunk in the manifest and a detached signature "
         "beside every document")                                                                    //
        ("issued", text("SECONDS"), "the signatures' issue time, seconds since 1970 (default now)")  //
        ("expires-in", text("DAYS"), "the signatures expire this many days after their issue, 1 to 365000");
    return commandLine;
}

PackageOptions PackOptionsFrom(const po::variables_map& values) {
    PackageOptions options;
    options.input = Text(values, "input");
    options.output = Text(values, "output");
    options.partnerId = Text(values, "partner");
    options.packageId = Text(values, "package");
    options.versionId = Text(values, "package-version");
    options.name = Text(values, "name");
    options.run = Text(values, "run");
    SetNumber(values, "chunk-size", 1, 0xFFFFFFFFll, options.chunkSize);
    options.policy = Text(values, "policy");
    options.countries = SplitList(Text(values, "countries"));
    options.inactive = values["inactive"].as<bool>();
    options.current = values["current"].as<bool>();
    options.nodes = SplitList(Text(values, "nodes"));
    if (values.count("node-path") != 0) {
        options.nodePath = Text(values, "node-path");
        if (!options.nodePath.empty() && options.nodePath.back() != '/') {
            options.nodePath += '/';
        }
    }
    for (const std::string& weight : SplitList(Text(values, "weights"))) {
        options.weights.push_back(
            static_cast<std::uint32_t>(NumberInRange("--weights", weight, 0, 0xFFFFFFFFll)));
    }
    SetNumber(values, "threads", 0, 1024, options.threads);
    if (values.count("sign-key") != 0) {
        options.signKey = Text(values, "sign-key");
        if (options.signKey.empty()) {
            throw UsageError("--sign-key needs a file");
        }
    }
    // Beyond the year 30 000 a signature reader would not take it.
    SetNumber(values, "issued", 0, 999999999999999ll, options.issued);
    SetNumber(values, "expires-in", 1, 365000, options.expiresInDays);
    return options;
}

}  // namespace

PackageOptions ParsePackArguments(const std::vector<std::string>& arguments) {
    return PackOptionsFrom(PackCommandLine().Parse(arguments));
}

int RunPack(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    return PackCommandLine().Run(arguments, out, err, [&](const po::variables_map& values) {
        const PackageOptions options = PackOptionsFrom(values);
        for (const auto& [option, value] :
             {std::pair<const char*, const std::string*>{"--input", &options.input},
              {"--output", &options.output},
              {"--partner", &options.partnerId},
              {"--package", &options.packageId},
              {"--package-version", &options.versionId},
              {"--name", &options.name}}) {
            if (value->empty()) {
                throw UsageError(std::string(option) + " is required");
            }
        }
        const PackResult result = BuildPackage(options);
        out << "packed " << result.files.size() << " files, " << result.totalBytes
            << " bytes: " << result.manifestPath << "\n";
        return 0;
    });
}

int RunKeygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    cli::CommandLine commandLine(
        "talvane-pack keygen", {"--out FILE"},
        "Makes a publisher's Ed25519 key pair: the private key in FILE (mode 0600), the "
        "public key in FILE.pub.\nPrints the line a deployment file takes. Never replaces "
        "a file.");
    commandLine.Add()("out", po::value<std::string>()->value_name("FILE"),
                      "where the private key is written");
    return commandLine.Run(arguments, out, err, [&](const po::variables_map& values) {
        if (values.count("out") == 0) {
            throw UsageError("--out is required");
        }
        const std::string path = values["out"].as<std::string>();
        if (path.empty()) {
            throw UsageError("--out needs a file");
        }
        const std::string publicKey = MakeKeyPair(path);
        out << "publisherKeys = " << publicKey << "\n";
        err << "talvane-pack: private key in " << path
            << " (mode 0600: keep it offline, with a backup), public key in " << path << ".pub\n";
        return 0;
    });
}

}  // namespace tvl::pack
