// A one-shot tool: sends one command to one daemon and exits.
//   corvo-example-client --target wheel --command "move 3 12.5"
#include <corvo/client.h>
#include <corvo/command.h>
#include <corvo/message.h>
#include <corvo/misc.h>
#include <corvo/peer.h>

#include <chrono>
#include <iostream>

class CommandTool : public corvo::Client {
public:
    CommandTool() : Client("example-client", /*oneShot=*/true)
    {
        optionParser.addOption<std::string>("target", 't', "name of the daemon to command");
        optionParser.addOption<std::string>("command", 'c', "command and its arguments, e.g. \"move 3 12.5\"");
        optionParser.addOption<int>("wait", 'w', "milliseconds to wait for the daemon (default 3000)");
    }

    void oneShotWork() override
    {
        const auto& vm = optionParser.vm;
        if (!vm.count("target") || !vm.count("command")) {
            std::cerr << "--target and --command are required" << std::endl;
            std::exit(1);
        }
        int waitMs = vm.count("wait") ? vm["wait"].as<int>() : 3000;
        auto peer = waitForInfo(vm["target"].as<std::string>(), std::chrono::milliseconds(waitMs));
        if (!peer) {
            std::cerr << "no daemon named " << vm["target"].as<std::string>() << std::endl;
            std::exit(1);
        }

        std::vector<std::string> words = corvo::toToken(vm["command"].as<std::string>().c_str());
        if (!peer->verifyCommand(words)) {
            std::cerr << "the daemon does not accept this command" << std::endl;
            std::exit(1);
        }
        // genCommandPB stamps the sending time, so the daemon can print the delay.
        network->sendOne(corvo::ProtobufToZMsg(corvo::genCommandPB(words)), peer);
    }

private:
    // Discovery takes a moment: handle events until the daemon's Info is in.
    std::shared_ptr<corvo::Peer> waitForInfo(const std::string& target, std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto peer = network->peers().find(target);
            if (peer && !peer->statusNames.empty())  // every Info names a status
                return peer;
            if (network->poll(5))
                network->recv();
        }
        return nullptr;
    }
};

int main(int argc, char** argv)
{
    CommandTool tool;
    tool.run(argc, argv);  // one-shot: ends the process itself
    return 0;
}
