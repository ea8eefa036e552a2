// The daemon's logger: console output and the Log records of the network sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "corvo/logger.h"
#include "corvo/network.h"
#include "support/temp_dir.h"

namespace {

struct Quiet : corvo::EventCallback {};

// Standard output goes to a file while the object lives.
class StdoutToFile {
public:
    StdoutToFile()
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutToFile() { restore(); }

    std::string text()
    {
        restore();
        std::ifstream in(path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        saved = -1;
    }

    corvotest::TempDir dir{"corvo-logger"};
    std::string path = dir / "stdout";
    int saved = -1;
};

class LoggerTest : public ::testing::Test {
protected:
    Quiet quiet;
    corvo::Network network{&quiet, false};  // never started: records are dropped
    corvo::Logger logger;
};

TEST_F(LoggerTest, ConsoleLinesWithoutColourWhenStdoutIsAFile)
{
    StdoutToFile capture;
    logger.init("tester", spdlog::level::info, &network);
    logger->info("Peer {} has entered", "x");
    logger->debug("not shown");
    std::string out = capture.text();

    EXPECT_FALSE(logger.useColor);
    EXPECT_NE(out.find("[tester] [info] Peer x has entered\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_EQ(out.find("not shown"), std::string::npos) << out;
    EXPECT_EQ(out[0], '[');  // the date of the default pattern
}

TEST_F(LoggerTest, DebugLevelLetsDebugRecordsThrough)
{
    StdoutToFile capture;
    logger.init("tester", spdlog::level::debug, &network);
    logger->debug("value {}", 3);
    EXPECT_NE(capture.text().find("[tester] [debug] value 3\n"), std::string::npos);
}

TEST_F(LoggerTest, InitTwiceLeavesOneLoggerWithOneConsoleAndOneNetworkSink)
{
    StdoutToFile capture;
    logger.init("first", spdlog::level::info, &network);
    std::weak_ptr<spdlog::logger> first = logger.logger;
    logger.init("second", spdlog::level::warn, &network);
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(logger.name, "second");
    EXPECT_EQ(logger->name(), "second");
    ASSERT_EQ(logger->sinks().size(), 2u);
    EXPECT_TRUE(std::dynamic_pointer_cast<spdlog::sinks::stdout_sink_mt>(logger->sinks()[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<corvo::ZyreSink>(logger->sinks()[1]));
    EXPECT_FALSE(logger->should_log(spdlog::level::info));
    EXPECT_EQ(logger->flush_level(), spdlog::level::warn);
    // Not registered globally.
    EXPECT_FALSE(spdlog::get("second"));
}

TEST(ZyreSink, RecordsCarryTheBareMessageTheLevelNumberAndTheCurrentTime)
{
    auto before = std::chrono::system_clock::now();
    spdlog::details::log_msg msg("tester", spdlog::level::critical, "Peer x has entered");
    corvo::proto::Log log = corvo::ZyreSink::toLogRecord(msg);
    EXPECT_EQ(log.level(), 5);
    EXPECT_EQ(log.logger(), "tester");
    EXPECT_EQ(log.message(), "Peer x has entered");
    auto stamp = std::chrono::system_clock::time_point(std::chrono::seconds(log.timestamp().seconds()) +
                                                       std::chrono::nanoseconds(log.timestamp().nanos()));
    EXPECT_GE(stamp, before - std::chrono::seconds(1));
    EXPECT_LE(stamp, std::chrono::system_clock::now() + std::chrono::seconds(1));

    for (auto [level, number] : {std::pair{spdlog::level::trace, 0},
                                 {spdlog::level::debug, 1},
                                 {spdlog::level::info, 2},
                                 {spdlog::level::warn, 3},
                                 {spdlog::level::err, 4}}) {
        spdlog::details::log_msg m("t", level, "m");
        EXPECT_EQ(corvo::ZyreSink::toLogRecord(m).level(), number);
    }
}

// A record longer than the receivers' bound would make every log listener
// drop the daemon: the shouted record is cut, at a character boundary, and
// says how long it was.
TEST(ZyreSink, RecordsBeyondTheReceiversBoundsAreCutAtACharacterBoundaryAndSaySo)
{
    // 'a' then two-byte characters: the bound falls inside one of them.
    std::string text = "a";
    while (text.size() < 70000)
        text += "\xc3\xa9";  // U+00E9
    std::string name(3000, 'n');
    name[1023] = '\xc3';  // a two-byte character across the name's bound
    name[1024] = '\xa9';
    spdlog::details::log_msg msg(name, spdlog::level::info, text);
    corvo::proto::Log log = corvo::ZyreSink::toLogRecord(msg);

    const std::string marker = "... [cut, " + std::to_string(text.size()) + " bytes]";
    ASSERT_LE(log.message().size(), corvo::kMaxDescriptionBytes);
    ASSERT_GT(log.message().size(), marker.size());
    EXPECT_EQ(log.message().substr(log.message().size() - marker.size()), marker);
    std::string kept = log.message().substr(0, log.message().size() - marker.size());
    EXPECT_EQ(text.compare(0, kept.size(), kept), 0);
    // Ends on a whole character, as close to the bound as that allows.
    EXPECT_EQ(kept.back(), '\xa9');
    EXPECT_GE(kept.size() + marker.size() + 1, corvo::kMaxDescriptionBytes);

    EXPECT_EQ(log.logger(), name.substr(0, 1023));

    // Records within the bounds are sent whole.
    std::string fits(corvo::kMaxDescriptionBytes, 'x');
    spdlog::details::log_msg whole("tester", spdlog::level::info, fits);
    EXPECT_EQ(corvo::ZyreSink::toLogRecord(whole).message(), fits);
}

// Text that is not UTF-8 (a peer's self-chosen name, a device's bytes) would
// make the record fail to serialise: each such byte travels as U+FFFD, valid
// multi-byte characters are kept, and the record reads back whole.
TEST(ZyreSink, BytesThatAreNotUtf8AreReplacedSoTheRecordSerialises)
{
    std::string name = "caf\xe9";
    std::string payload = "Peer caf\xe9 has entered \xc3\xa9 \xed\xa0\x80 \xc3";
    spdlog::details::log_msg msg(name, spdlog::level::info, payload);
    corvo::proto::Log log = corvo::ZyreSink::toLogRecord(msg);
    EXPECT_EQ(log.logger(), "caf\xef\xbf\xbd");
    const std::string bad = "\xef\xbf\xbd";
    EXPECT_EQ(log.message(), "Peer caf" + bad + " has entered \xc3\xa9 " + bad + bad + bad + " " + bad);

    std::string wire;
    ASSERT_TRUE(log.SerializeToString(&wire));
    corvo::proto::Log back;
    ASSERT_TRUE(back.ParseFromString(wire));
    EXPECT_EQ(back.message(), log.message());
    EXPECT_EQ(back.timestamp().seconds(), log.timestamp().seconds());
}

}  // namespace
