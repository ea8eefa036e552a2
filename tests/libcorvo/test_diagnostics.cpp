// The library's one path for its own messages: default streams, sinks that
// replace them, redirects that nest and end in any order, and sinks that fail.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvo/confmanager.h"
#include "corvo/diagnostics.h"
#include "corvo/misc.h"
#include "support/captured_output.h"

using corvo::diagnose;
using corvo::Diagnostic;
using corvo::DiagnosticRedirect;

namespace {

// Collects what reaches it; usable from several threads.
struct Collector {
    std::mutex mutex;
    std::vector<Diagnostic> received;

    corvo::DiagnosticSink sink()
    {
        return [this](const Diagnostic& d) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(d);
        };
    }
    std::vector<std::string> texts()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto& d : received)
            out.push_back(d.text);
        return out;
    }
};

class DiagnosticsTest : public ::testing::Test {
protected:
    void TearDown() override { corvo::setDiagnosticSink(nullptr); }
};

}  // namespace

TEST_F(DiagnosticsTest, DefaultWritesEachMessageToItsOwnStream)
{
    std::string out, err;
    {
        corvotest::CapturedStream stdoutCapture(STDOUT_FILENO), stderrCapture(STDERR_FILENO);
        diagnose(Diagnostic::Warning, Diagnostic::Stdout, "to standard output");
        diagnose(Diagnostic::Debug, Diagnostic::Stderr, "two\nlines");
        out = stdoutCapture.take();
        err = stderrCapture.take();
    }
    EXPECT_EQ(out, "to standard output\n");
    EXPECT_EQ(err, "two\nlines\n");
}

TEST_F(DiagnosticsTest, ProcessWideSinkReplacesTheStreamsUntilCleared)
{
    Collector collector;
    corvo::setDiagnosticSink(collector.sink());
    std::string out;
    {
        corvotest::CapturedStream stdoutCapture(STDOUT_FILENO);
        diagnose(Diagnostic::Error, Diagnostic::Stdout, "caught");
        corvo::setDiagnosticSink(nullptr);
        diagnose(Diagnostic::Info, Diagnostic::Stdout, "printed");
        out = stdoutCapture.take();
    }
    EXPECT_EQ(out, "printed\n");

    ASSERT_EQ(collector.received.size(), 1u);
    EXPECT_EQ(collector.received[0].text, "caught");
    EXPECT_EQ(collector.received[0].level, Diagnostic::Error);
    EXPECT_EQ(collector.received[0].stream, Diagnostic::Stdout);
}

TEST_F(DiagnosticsTest, RedirectsNestAndEndInAnyOrder)
{
    Collector base, first, second;
    corvo::setDiagnosticSink(base.sink());
    auto a = std::make_unique<DiagnosticRedirect>(first.sink());
    diagnose(Diagnostic::Info, Diagnostic::Stderr, "1");
    auto b = std::make_unique<DiagnosticRedirect>(second.sink());
    diagnose(Diagnostic::Info, Diagnostic::Stderr, "2");
    // The older one ends first: the newer keeps receiving.
    a.reset();
    diagnose(Diagnostic::Info, Diagnostic::Stderr, "3");
    b.reset();
    diagnose(Diagnostic::Info, Diagnostic::Stderr, "4");

    EXPECT_EQ(first.texts(), std::vector<std::string>({"1"}));
    EXPECT_EQ(second.texts(), std::vector<std::string>({"2", "3"}));
    EXPECT_EQ(base.texts(), std::vector<std::string>({"4"}));
}

TEST_F(DiagnosticsTest, SinkThatReportsOrThrowsFallsBackToTheStream)
{
    int calls = 0;
    DiagnosticRedirect recursive([&calls](const Diagnostic& d) {
        ++calls;
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "inner " + d.text);
    });
    std::string err;
    {
        corvotest::CapturedStream stderrCapture(STDERR_FILENO);
        diagnose(Diagnostic::Info, Diagnostic::Stderr, "outer");
        err = stderrCapture.take();
    }
    EXPECT_EQ(err, "inner outer\n");
    EXPECT_EQ(calls, 1);

    DiagnosticRedirect throwing([](const Diagnostic&) { throw std::runtime_error("sink broke"); });
    std::string out;
    {
        corvotest::CapturedStream stdoutCapture(STDOUT_FILENO);
        diagnose(Diagnostic::Warning, Diagnostic::Stdout, "kept");
        out = stdoutCapture.take();
    }
    EXPECT_EQ(out, "kept\n");
    // The fallback did not leave the thread marked as inside a sink.
    Collector after;
    DiagnosticRedirect last(after.sink());
    diagnose(Diagnostic::Info, Diagnostic::Stderr, "later");
    EXPECT_EQ(after.texts(), std::vector<std::string>({"later"}));
}

TEST_F(DiagnosticsTest, LibraryMessagesTakeThisPathWithTheirTexts)
{
    Collector collector;
    DiagnosticRedirect redirect(collector.sink());
    corvo::ConfManager conf;
    conf.set("absent", "k", "v");
    corvo::CorvoTypeError error;

    ASSERT_EQ(collector.received.size(), 2u);
    EXPECT_EQ(collector.received[0].text, "Config section absent is not loaded when setting");
    EXPECT_EQ(collector.received[0].stream, Diagnostic::Stdout);
    // A stack trace is one diagnostic, without a final newline.
    const std::string& trace = collector.received[1].text;
    EXPECT_EQ(trace.rfind("stack trace:\n", 0), 0u);
    EXPECT_NE(trace.back(), '\n');
    EXPECT_EQ(collector.received[1].stream, Diagnostic::Stderr);
}

TEST_F(DiagnosticsTest, ThreadsReportWhileRedirectsComeAndGo)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::atomic<int> delivered{0};
    corvo::setDiagnosticSink([&delivered](const Diagnostic&) { ++delivered; });
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done) {
            DiagnosticRedirect redirect([&delivered](const Diagnostic&) { ++delivered; });
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> reporters;
    for (int t = 0; t < kThreads; ++t)
        reporters.emplace_back([] {
            for (int i = 0; i < kEach; ++i)
                diagnose(Diagnostic::Debug, Diagnostic::Stderr, "x");
        });
    for (auto& thread : reporters)
        thread.join();
    done = true;
    churn.join();
    EXPECT_EQ(delivered.load(), kThreads * kEach);
}
