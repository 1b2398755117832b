// A thousand starts and releases of the bridge leave no descriptor and no thread behind, and
// every start relays with fresh threads.
#include <memory>

#include "bridge_support.h"
#include "shell/options.h"
#include "resources/commands.h"

namespace {

using bridge_test::TestPty;
using bridge_test::TestWindow;

bool Running(platform::Handle thread) {
    std::uint32_t code = 0;
    return platform::GetExitCodeThread(thread, &code) && code == platform::StillActive;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(BridgeCyclesTest, AThousandStartsAndReleasesLeaveNothingBehind) {
    TestPty gsm = bridge_test::MakePty();
    TestPty irda = bridge_test::MakePty();
    bridge_test::UseGsmAndIrda(gsm, irda);
    shell::BridgePeer.store(3);
    shell::DisplayMode.store(3);
    auto window = std::make_unique<TestWindow>();
    const int tasks = bridge_test::CountTasks();
    auto settled = [&] { return bridge_test::RelayThreadsFinished(tasks); };
    // One cycle first, so that the window layer and the thread handles kept between starts
    // are part of the baseline.
    ASSERT_EQ(window->Command(commands::StartBridge), 0);
    ASSERT_EQ(window->Command(commands::ReleaseBridge), 0);
    ASSERT_TRUE(settled());
    const int fds = bridge_test::CountFds();
    const std::size_t log_before = window->Log().size();

    constexpr int Cycles = 1000;
    for (int i = 0; i < Cycles; ++i) {
        ASSERT_EQ(window->Command(commands::StartBridge), 0) << "cycle " << i;
        const platform::Handle out = bridge::GsmToPeerThread.load();
        if (i % 100 == 0) {  // relaying, with log lines, on a sample of the cycles
            char byte = static_cast<char>('a' + i / 100);
            ASSERT_TRUE(bridge_test::WriteAll(gsm.master, &byte, 1));
            char got = 0;
            ASSERT_TRUE(bridge_test::ReadExactly(irda.master, &got, 1));
            EXPECT_EQ(got, byte);
            ASSERT_TRUE(bridge_test::WriteAll(irda.master, &byte, 1));
            ASSERT_TRUE(bridge_test::ReadExactly(gsm.master, &got, 1));
            EXPECT_EQ(got, byte);
        }
        ASSERT_EQ(window->Command(commands::ReleaseBridge), 0) << "cycle " << i;
        EXPECT_FALSE(Running(out));
        EXPECT_EQ(bridge::GsmPort.load(), platform::InvalidHandle);
        EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
    }
    EXPECT_TRUE(settled());
    EXPECT_TRUE(bridge_test::WaitUntil([&] { return bridge_test::CountFds() <= fds; }, 5));
    EXPECT_EQ(bridge_test::CountFds(), fds);
    EXPECT_EQ(bridge_test::CountTasks(), tasks);

    const std::string log = window->LogFrom(log_before, [&](const std::string& text) {
        return Occurrences(text, ">>> 1 bytes") == Cycles / 100;
    });
    EXPECT_EQ(Occurrences(log, "COM2: opened\r\nIRDA(COM3:) opened\r\nBaudrate:115200"), std::size_t{Cycles});
    EXPECT_EQ(Occurrences(log, "COMs released, R/W threads stopped\r\n"), std::size_t{Cycles});
    EXPECT_EQ(Occurrences(log, "1 bytes <-BT<-FF<- <<<\r\n"), std::size_t{Cycles / 100});
    EXPECT_EQ(Occurrences(log, ">>> 1 bytes ->BT->FF->\r\n"), std::size_t{Cycles / 100});

    window.reset();
    bridge_test::ClosePty(&gsm);
    bridge_test::ClosePty(&irda);
}

}  // namespace
