#include "tool.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <thread>

#include "corvo/network.h"
#include "history.h"

namespace po = boost::program_options;

namespace corvo::tool {

namespace {

const char* const kWordsKey = "corvo-subcommand-words";

// A word such as -5 or -.5 is a value, not an option.
std::vector<po::option> negativeNumberAsWord(std::vector<std::string>& args)
{
    std::vector<po::option> result;
    if (!args.empty()) {
        const std::string& a = args.front();
        if (a.size() > 1 && a[0] == '-' && (std::isdigit(static_cast<unsigned char>(a[1])) || a[1] == '.')) {
            po::option word;
            word.value.push_back(a);
            word.original_tokens.push_back(a);
            word.position_key = 0;
            result.push_back(word);
            args.erase(args.begin());
        }
    }
    return result;
}

struct CommandLine {
    std::vector<std::string> words;         // subcommand and its arguments
    std::vector<std::string> optionTokens;  // everything else, in order
    bool help = false;
    bool version = false;
};

// Separates the subcommand words from the options with the same option table
// the application parses later. False when the options themselves are wrong;
// the application's parser then reports them.
bool splitCommandLine(const po::options_description& desc, int argc, char** argv, CommandLine& out)
{
    po::options_description all;
    all.add(desc);
    all.add_options()(kWordsKey, po::value<std::vector<std::string>>());
    po::positional_options_description positional;
    positional.add(kWordsKey, -1);
    try {
        po::parsed_options parsed = po::command_line_parser(argc, argv)
                                        .options(all)
                                        .positional(positional)
                                        .extra_style_parser(negativeNumberAsWord)
                                        .run();
        po::variables_map vm;
        po::store(parsed, vm);
        po::notify(vm);
        for (const po::option& o : parsed.options) {
            if (o.string_key == kWordsKey)
                out.words.insert(out.words.end(), o.value.begin(), o.value.end());
            else
                out.optionTokens.insert(out.optionTokens.end(), o.original_tokens.begin(), o.original_tokens.end());
        }
        out.help = vm.count("help") != 0;
        out.version = vm.count("version") && vm["version"].as<bool>();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

long parseDuration(const std::string& text)
{
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        return -1;
    }
    std::string unit = text.substr(used);
    long scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
    if (scale == 0 || value <= 0 || value > 86400 / scale || !std::isdigit(static_cast<unsigned char>(text[0])))
        return -1;
    return value * scale;
}

namespace {

void usageError(const std::string& message)
{
    std::cerr << "corvo: " << message << " (try --help)" << std::endl;
}

}  // namespace

CorvoTool::CorvoTool() : Client("corvo", false)
{
    optionParser.addOption<double>("timeout", 't', "seconds to wait for a peer or a confirmation (default 5)");
    optionParser.addSwitch("json", 'j', "machine-readable (JSON) output");
    optionParser.addOption<long>("count", 'c', "watch, log: stop after this many records");
    optionParser.addOption<std::string>("wait", 'w', "cmd: wait for the peer's next broadcast of this property");
    addHistoryOptions(optionParser);
    optionParser.addOption<std::string>("for", 0, "lock: lease (90, 90s, 30m, 2h; at most 24h)");
    optionParser.addSwitch("hold", 0, "lock: renew until interrupted, then release");
    optionParser.addOption<std::string>("output", 'o', "fetch: file or directory to write the image to");
    optionParser.addSwitch("follow", 0, "fetch: fetch each image the camera announces, until interrupted");
    optionParser.addOption<std::string>("compress", 0, "fetch: ask for compressed chunks: zstd or none (default)");
    optionParser.addOption<std::string>("names", 0, "keys new: component names the identity may announce");
    optionParser.addOption<std::string>("groups", 0, "keys new: groups of the identity");
}

int CorvoTool::main(int argc, char** argv)
{
    CommandLine line;
    if (!splitCommandLine(optionParser.desc, argc, argv, line)) {
        optionParser.parseArgs(argc, argv);  // reports the bad option and ends the process
        usageError("cannot read the command line");
        return EXIT_USAGE;
    }
    std::vector<char*> args{argv[0]};
    for (std::string& token : line.optionTokens)
        args.push_back(token.data());
    args.push_back(nullptr);
    int nargs = static_cast<int>(args.size()) - 1;

    if (line.help)
        printUsage(stderr);
    if (line.help || line.version) {
        run(nargs, args.data());  // prints help or version and ends the process
        return line.help ? EXIT_PARSE : EXIT_OK;
    }
    if (line.words.empty()) {
        usageError("missing subcommand");
        return EXIT_USAGE;
    }
    subcommand = line.words[0];
    if (subcommand == "help") {
        printUsage(stdout);
        return EXIT_OK;
    }
    if (subcommand == "fitshdr") {
        if (line.words.size() != 2) {
            usageError("usage: corvo fitshdr FILE");
            return EXIT_USAGE;
        }
        return dumpFitsHeader(line.words[1]);
    }
    if (subcommand == "history") {
        optionParser.parseArgs(nargs, args.data());  // a bad option ends the process
        return runHistory(line.words, optionParser.vm);
    }
    if (subcommand == "keys")
        return runKeys(line.words, keysOptions(nargs, args.data()));
    int status = EXIT_USAGE;
    task = makeTask(line.words, status);
    if (!task)
        return status;
    run(nargs, args.data());
    std::cout.flush();
    return exitStatus;
}

KeysOptions CorvoTool::keysOptions(int argc, char** argv)
{
    optionParser.parseArgs(argc, argv);
    const po::variables_map& vm = optionParser.vm;
    KeysOptions options;
    auto text = [&](const char* key) { return vm.count(key) ? vm[key].as<std::string>() : std::string(); };
    options.directory = text("keys");
    options.names = text("names");
    options.groups = text("groups");
    options.json = vm.count("json") && vm["json"].as<bool>();
    return options;
}

void CorvoTool::processOptions()
{
    Client::processOptions();
    const po::variables_map& vm = optionParser.vm;
    if (vm.count("timeout")) {
        opts.timeout = vm["timeout"].as<double>();
        opts.timeoutGiven = true;
        if (!std::isfinite(opts.timeout) || opts.timeout <= 0 || opts.timeout > 86400) {
            usageError("--timeout wants a number of seconds above 0");
            std::exit(EXIT_USAGE);
        }
    }
    opts.json = vm.count("json") && vm["json"].as<bool>();
    if (vm.count("count")) {
        opts.count = vm["count"].as<long>();
        if (opts.count <= 0) {
            usageError("--count wants a positive number");
            std::exit(EXIT_USAGE);
        }
        if (subcommand != "watch" && subcommand != "log") {
            usageError("--count applies to watch and log only");
            std::exit(EXIT_USAGE);
        }
    }
    if (vm.count("for") || vm["hold"].as<bool>()) {
        if (subcommand != "lock") {
            usageError("--for and --hold apply to lock only");
            std::exit(EXIT_USAGE);
        }
        opts.hold = vm["hold"].as<bool>();
        opts.leaseSeconds = opts.hold ? 60 : 0;
        if (vm.count("for")) {
            opts.leaseSeconds = parseDuration(vm["for"].as<std::string>());
            if (opts.leaseSeconds <= 0) {
                usageError("--for wants a duration of 1 s to 24 h (90, 90s, 30m, 2h)");
                std::exit(EXIT_USAGE);
            }
        }
    }
    if (vm.count("output"))
        opts.output = vm["output"].as<std::string>();
    if (vm["follow"].as<bool>()) {
        if (subcommand != "fetch") {
            usageError("--follow applies to fetch only");
            std::exit(EXIT_USAGE);
        }
        opts.follow = true;
    }
    if (vm.count("compress")) {
        const std::string encoding = vm["compress"].as<std::string>();
        if (subcommand != "fetch" || (encoding != "zstd" && encoding != "none")) {
            usageError("--compress zstd|none applies to fetch only");
            std::exit(EXIT_USAGE);
        }
        opts.compression = encoding == "none" ? "" : encoding;
    }
    if (vm.count("wait")) {
        opts.waitProperty = vm["wait"].as<std::string>();
        if (subcommand != "cmd") {
            usageError("--wait applies to cmd only");
            std::exit(EXIT_USAGE);
        }
    }
}

void CorvoTool::beforeLoop()
{
    Client::beforeLoop();
    if (task && task->wantsLog())
        network->setRecvLog(true);
}

Clock::time_point CorvoTool::deadline() const
{
    return startTime + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opts.timeout));
}

void CorvoTool::onIdle()
{
    if (!loopStarted) {
        loopStarted = true;
        startTime = lastPeerChange = Clock::now();
    }
    if (!done && task)
        task->onIdle(*this);
}

void CorvoTool::finish(int status)
{
    if (done)
        return;
    done = true;
    exitStatus = status;
    std::cout.flush();
    stop();
}

void CorvoTool::cleanup()
{
    if (done)
        return;
    // SIGINT before the subcommand finished.
    if (task) {
        task->onInterrupt(*this);
        if (task->lingers())
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    done = true;
    exitStatus = task ? task->interruptedStatus() : EXIT_OK;
    if (exitStatus != EXIT_OK)
        std::cerr << "corvo: interrupted" << std::endl;
    std::cout.flush();
}

std::shared_ptr<Peer> CorvoTool::knownPeer(const std::string& nameOrUuid) const
{
    std::shared_ptr<Peer> found;
    for (const auto& peer : network->peers().candidates(nameOrUuid)) {
        if (!members.count(peer->uuid))
            continue;
        // Of several programs with one name, prefer a described one.
        if (!found || (!hasInfo(*found) && hasInfo(*peer)))
            found = peer;
    }
    return found;
}

std::vector<std::shared_ptr<Peer>> CorvoTool::candidates(const std::string& nameOrUuid) const
{
    // The table's choice, among the peers that joined this site.
    std::vector<std::shared_ptr<Peer>> found;
    for (const auto& peer : network->peers().candidates(nameOrUuid))
        if (members.count(peer->uuid))
            found.push_back(peer);
    return found;
}

std::shared_ptr<Peer> CorvoTool::describedPeer(const std::string& nameOrUuid) const
{
    std::shared_ptr<Peer> peer = knownPeer(nameOrUuid);
    return peer && hasInfo(*peer) ? peer : nullptr;
}

std::vector<std::shared_ptr<Peer>> CorvoTool::sitePeers() const
{
    std::vector<std::shared_ptr<Peer>> result;
    for (const auto& [uuid, peer] : network->peers())
        if (members.count(uuid))
            result.push_back(peer);
    std::sort(result.begin(), result.end(),
              [](const auto& a, const auto& b) { return a->name != b->name ? a->name < b->name : a->uuid < b->uuid; });
    return result;
}

void CorvoTool::onEnter(std::shared_ptr<Peer> peer)
{
    members.insert(peer->uuid);
    lastPeerChange = Clock::now();
    if (!done && task)
        task->onEnter(*this, *peer);
}

void CorvoTool::onExit(std::shared_ptr<Peer> peer)
{
    bool wasMember = members.erase(peer->uuid) != 0;
    described.erase(peer->uuid);
    lastPeerChange = Clock::now();
    if (wasMember && !done && task)
        task->onExit(*this, *peer);
}

void CorvoTool::onInfo(std::shared_ptr<Peer> peer)
{
    described.insert(peer->uuid);
    lastPeerChange = Clock::now();
}

void CorvoTool::onProperty(std::shared_ptr<Peer> peer, const Property& property)
{
    if (!done && task)
        task->onProperty(*this, *peer, property);
}

void CorvoTool::onStatus(std::shared_ptr<Peer> peer, unsigned int status)
{
    if (!done && task)
        task->onStatus(*this, *peer, status);
}

void CorvoTool::onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response)
{
    if (!done && task)
        task->onResponse(*this, *peer, response);
}

void CorvoTool::onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size)
{
    if (!done && task)
        task->onImageMessage(*this, *peer, tag, data, size);
}

void CorvoTool::onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log)
{
    if (!done && task)
        task->onLog(*this, *peer, log);
}

}  // namespace corvo::tool
