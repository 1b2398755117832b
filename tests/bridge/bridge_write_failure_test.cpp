// A relay write that fails (a pty cannot fail one on its own: the sys-call seam does): the
// box with the failure text as text and caption, no line for those bytes, and the relay goes on.
#include <sys/stat.h>

#include <memory>

#include "bridge_support.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "shell/options.h"
#include "resources/commands.h"
#include "tests/support/files.h"

namespace {

using bridge_test::TestPty;
using bridge_test::TestWindow;
using fwu_test::ReadFile;

// The next platform write to the device at `fail_path` (through a descriptor other than the
// test's own held slave) fails with ENOSPC. The seam is swapped once, before any thread runs.
std::mutex fail_mutex;
std::string fail_path;  // guarded by fail_mutex
int fail_spare_fd = -1;
std::atomic<bool> fail_armed{false};
ssize_t (*real_write)(int, const void*, std::size_t) = nullptr;

bool IsArmedDevice(int fd) {
    char link[256];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    std::lock_guard lock(fail_mutex);
    return fd != fail_spare_fd && fail_path == link;
}

ssize_t FailingWrite(int fd, const void* buffer, std::size_t size) {
    if (fail_armed.load() && IsArmedDevice(fd) && fail_armed.exchange(false)) {
        errno = ENOSPC;
        return -1;
    }
    return real_write(fd, buffer, size);
}

const bool seam_installed = [] {
    real_write = platform::internal::SysCalls().write;
    platform::internal::SysCalls().write = FailingWrite;
    return true;
}();

void Arm(const TestPty& pty) {
    {
        std::lock_guard lock(fail_mutex);
        fail_path = pty.slave_path;
        fail_spare_fd = pty.held_slave;
    }
    fail_armed = true;
}

class BridgeWriteFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(seam_installed);
        gsm_ = bridge_test::MakePty();
        irda_ = bridge_test::MakePty();
        bridge_test::UseGsmAndIrda(gsm_, irda_);
        shell::BridgePeer.store(3);
        shell::DisplayMode.store(3);
        char name[] = "/tmp/bridge-screen-XXXXXX";
        output_ = ::mkstemp(name);
        output_path_ = name;
        window_ = std::make_unique<TestWindow>(output_);
        tasks_ = bridge_test::CountTasks();
        ASSERT_EQ(window_->Command(commands::StartBridge), 0);
    }
    void TearDown() override {
        window_->Command(commands::ReleaseBridge);
        EXPECT_TRUE(bridge_test::RelayThreadsFinished(tasks_));
        window_.reset();
        ::close(output_);
        ::unlink(output_path_.c_str());
        bridge_test::ClosePty(&gsm_);
        bridge_test::ClosePty(&irda_);
    }
    // Everything the headless screen printed, once it holds `text`.
    std::string ScreenWith(const std::string& text) {
        std::string screen;
        bridge_test::WaitUntil([&] {
            screen = ReadFile(output_path_);
            return screen.find(text) != std::string::npos;
        });
        return screen;
    }
    void Send(TestPty& from, TestPty& to, const std::string& bytes) {
        ASSERT_TRUE(bridge_test::WriteAll(from.master, bytes.data(), bytes.size()));
        std::string got(bytes.size(), '\0');
        ASSERT_TRUE(bridge_test::ReadExactly(to.master, got.data(), got.size()));
        ASSERT_EQ(got, bytes);
    }

    TestPty gsm_, irda_;
    int output_ = -1;
    std::string output_path_;
    std::unique_ptr<TestWindow> window_;
    int tasks_ = 0;
};

TEST_F(BridgeWriteFailureTest, AFailedWriteToThePeerShowsTheBoxAndTheRelayGoesOn) {
    window_->RunOnWindowThread([&] {
        Send(gsm_, irda_, "first");  // its line waits for this thread
        Arm(irda_);
        ASSERT_TRUE(bridge_test::WriteAll(gsm_.master, "lost!", 5));
    });
    const std::string box = "[Fail to write to BT/Irda] Fail to write to BT/Irda";
    const std::string screen = ScreenWith(box);
    EXPECT_LT(screen.find("5 bytes <-BT<-FF<- <<<\r\n"), screen.find(box)) << "the line before comes first";
    const std::size_t before = window_->Log().size();
    EXPECT_FALSE(fail_armed.load());
    Send(gsm_, irda_, "next");  // the bytes of the failed write are dropped; these pass
    const std::string log = window_->LogFrom(before, [](const std::string& t) { return !t.empty(); });
    EXPECT_EQ(log, "4 bytes <-BT<-FF<- <<<\r\n");
}

TEST_F(BridgeWriteFailureTest, AFailedWriteToTheGsmSideShowsItsOwnBox) {
    const std::size_t before = window_->Log().size();
    Arm(gsm_);
    ASSERT_TRUE(bridge_test::WriteAll(irda_.master, "AT\r", 3));
    const std::string box = "[Fail to write FF(GSM)] Fail to write FF(GSM)";
    EXPECT_NE(ScreenWith(box).find(box), std::string::npos);
    Send(irda_, gsm_, "ATZ\r");
    const std::string log = window_->LogFrom(before, [](const std::string& t) { return !t.empty(); });
    EXPECT_EQ(log, ">>> 4 bytes ->BT->FF->\r\n");
}

}  // namespace
