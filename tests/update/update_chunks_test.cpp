// The chunk loops of the second loader and the image on lengths the protocol singles out: a
// whole multiple of the chunk size (every chunk acknowledged, no short last chunk), below one
// chunk (no acknowledgement awaited), and nothing at all. Against a real pty named "COM1:" whose
// far end acknowledges every full chunk, with the progress marks seen in a real log pane.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/pty.h"
#include "tests/support/trace_file.h"
#include "tests/support/window_thread.h"
#include "update/cechat.h"
#include "update/update.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
    return b;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The module's side: takes what the handset writes, answers 0xAA after each full chunk.
class ChunkModule {
public:
    ChunkModule(fwu_test::Pty& pty, std::size_t chunk, std::size_t total)
        : pty_(pty), chunk_(chunk), total_(total), thread_([this] { Serve(); }) {}
    ~ChunkModule() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    Bytes Received() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return received_;
    }

private:
    void Serve() {
        // After the stop, what the handset already wrote is still drained.
        for (;;) {
            pollfd p{pty_.master(), POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) {
                if (stop_) return;
                continue;
            }
            std::uint8_t buffer[4096];
            ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                received_.push_back(buffer[i]);
                if (received_.size() <= total_ && received_.size() % chunk_ == 0) {
                    const std::uint8_t ack = 0xAA;
                    (void)!::write(pty_.master(), &ack, 1);
                }
            }
        }
    }

    fwu_test::Pty& pty_;
    std::size_t chunk_, total_;
    Bytes received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class UpdateChunksTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        platform::Profile profile;
        profile.path = "test";
        profile.devices["COM1:"] = pty.slave();
        platform::SetProfile(profile);
        ASSERT_TRUE(trace.Restart());
        // A wait that is not answered must fail fast, not after the default 10 s.
        update::UpdateRunOf().options.module_timeout_ms = 2000;
        ASSERT_EQ(update::OpenModuleLink(), 1);
    }
    void TearDown() override {
        update::CloseModuleLink();
        update::UpdateRunOf().options.module_timeout_ms = 10000;
        platform::SetProfile(platform::Profile{});
    }
    std::string Trace() { return trace.Text(); }

    fwu_test::Pty pty;
    fwu_test::TraceFile trace;
};

TEST_F(UpdateChunksTest, ImageLengthsOnAndBelowTheChunkSize) {
    struct Case {
        std::uint32_t length;
        int waits;           // acknowledgements awaited
        bool last_section;   // the short last chunk's trace line
        const char* marks;   // what the log pane shows
    } cases[] = {
        {8000, 2, false, "##"},
        {3999, 0, true, "#"},
        {0, 0, false, ""},
        {23 * 4000 + 1, 23, true, "#######################\r\n#"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        trace.Restart();
        fwu_test::WindowThread window;
        Bytes image = Pattern(c.length);
        ChunkModule module(pty, 4000, c.length);
        update::ImageChecksums sums{0xFF, 0xFF};
        update::AckTally tally;
        ASSERT_TRUE(update::StreamImage(window.window(), image.data(), c.length, &sums, &tally));
        EXPECT_EQ(module.Received(), image);
        std::uint8_t even = 0, odd = 0;
        for (std::size_t i = 0; i < image.size(); ++i) (i % 2 ? odd : even) ^= image[i];
        EXPECT_EQ(sums.even, even);
        EXPECT_EQ(sums.odd, odd);
        const std::string trace = Trace();
        EXPECT_EQ(Count(trace, "Waiting for char -> AA h\r\n"), c.waits);
        EXPECT_EQ(Count(trace, " The last section sent; "), c.last_section ? 1 : 0);
        EXPECT_EQ(platform::EditText(window.edit()), c.marks);
    }
}

TEST_F(UpdateChunksTest, LoaderLengthsOnAndBelowTheChunkSize) {
    struct Case {
        std::uint32_t length;
        int waits;
        const char* last_line;  // nullptr: none
    } cases[] = {
        {2000, 2, nullptr},
        {414, 0, " The last section sent : 414 chars!!\r\n"},
        {0, 0, nullptr},
        {7414, 7, " The last section sent : 414 chars!!\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        trace.Restart();
        Bytes loader = Pattern(c.length);
        ChunkModule module(pty, 1000, c.length);
        std::uint32_t remaining = 99;
        update::AckTally tally;
        std::uint8_t checksum = update::SendLoaderChunks(loader.data(), c.length, &remaining, &tally);
        EXPECT_EQ(module.Received(), loader);
        std::uint8_t expected = 0;
        for (auto b : loader) expected ^= b;
        EXPECT_EQ(checksum, expected);
        EXPECT_EQ(remaining, 0u);
        const std::string trace = Trace();
        EXPECT_EQ(Count(trace, "Waiting for char -> AA h\r\n"), c.waits);
        EXPECT_EQ(Count(trace, " The last section sent : "), c.last_line ? 1 : 0);
        if (c.last_line) {
            EXPECT_NE(trace.find(c.last_line), std::string::npos);
        }
    }
}

}  // namespace
