// A bridge left relaying with every relay line logged (display mode 3): 20 MB through it, both
// directions at once, while the log pane drops its oldest lines. The pane never holds more than
// its capacity, the newest relay lines are still appended at its end, the bytes arrive intact,
// and the resident size of the process does not grow with the bytes relayed.
#include <memory>
#include <random>
#include <regex>

#include "bridge_support.h"
#include "shell/options.h"
#include "resources/commands.h"

namespace {

using bridge_test::TestPty;
using bridge_test::TestWindow;

constexpr std::size_t Limit = 64 * 1024;  // small, so that the run drops lines many times
constexpr std::size_t EachWay = 10u << 20;
constexpr std::size_t Pattern = 64 * 1024;
constexpr std::size_t WarmUp = 1u << 20;
constexpr double GrowthBoundMiB = 32;  // far below what 20 MB kept in memory would take

double ResidentMiB() {
    FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) return -1;
    char line[256];
    double kib = -1;
    while (std::fgets(line, sizeof line, file)) {
        if (std::sscanf(line, "VmRSS: %lf", &kib) == 1) break;
    }
    std::fclose(file);
    return kib / 1024;
}

// One direction: a repeated random pattern written into one far end and checked byte for byte
// as it comes out of the other, so that nothing of the size of the transfer stays in memory.
struct Flow {
    std::vector<std::uint8_t> pattern = std::vector<std::uint8_t>(Pattern);
    std::atomic<std::size_t> received{0};
    std::atomic<bool> intact{true};
    std::atomic<bool> finished{false};  // the reader has everything, or the flow stopped
    std::thread writer, reader;

    void Start(int from, int to, std::uint32_t seed) {
        std::mt19937 random(seed);
        for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
        writer = std::thread([this, from] {
            for (std::size_t sent = 0; sent < EachWay; sent += Pattern) {
                if (!bridge_test::WriteAll(from, pattern.data(), Pattern)) return;
            }
        });
        reader = std::thread([this, to] {
            std::vector<std::uint8_t> buffer(Pattern);
            std::size_t got = 0;
            while (got < EachWay) {
                pollfd pfd{to, POLLIN, 0};
                if (::poll(&pfd, 1, 20000) <= 0) break;
                ssize_t n = ::read(to, buffer.data(), buffer.size());
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) break;
                for (ssize_t i = 0; i < n; ++i) {
                    if (buffer[static_cast<std::size_t>(i)] != pattern[(got + static_cast<std::size_t>(i)) % Pattern]) {
                        intact = false;
                    }
                }
                got += static_cast<std::size_t>(n);
                received.store(got);
            }
            finished = true;
        });
    }
    void Join() {
        writer.join();
        reader.join();
    }
};

TEST(BridgeSoak, TwentyMegabytesLoggedKeepThePaneWithinItsCapacityAndMemoryFlat) {
    TestPty gsm = bridge_test::MakePty(), irda = bridge_test::MakePty();
    bridge_test::UseGsmAndIrda(gsm, irda);
    shell::BridgePeer.store(3);
    shell::DisplayMode.store(3);
    auto window = std::make_unique<TestWindow>();
    const int tasks = bridge_test::CountTasks();
    platform::SendMessage(window->pane(), platform::EM_SETLIMITTEXT, Limit, 0);
    ASSERT_EQ(window->Command(commands::StartBridge), 0);

    Flow out, in;
    out.Start(gsm.master, irda.master, 3);
    in.Start(irda.master, gsm.master, 4);
    ASSERT_TRUE(bridge_test::WaitUntil([&] { return out.received.load() + in.received.load() >= WarmUp; }));
    const double before = ResidentMiB();
    std::size_t largest = 0;
    // The pane's length, looked at while the bytes flow, until both readers are done.
    while (!out.finished.load() || !in.finished.load()) {
        const auto length = static_cast<std::size_t>(
            platform::SendMessage(window->pane(), platform::WM_GETTEXTLENGTH, 0, 0));
        largest = std::max(largest, length);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    out.Join();
    in.Join();
    const double after = ResidentMiB();

    EXPECT_EQ(out.received.load(), EachWay);
    EXPECT_EQ(in.received.load(), EachWay);
    EXPECT_TRUE(out.intact.load() && in.intact.load()) << "bytes changed on the way";
    EXPECT_LE(largest, Limit);
    EXPECT_GT(largest, Limit / 2) << "the pane filled up and was trimmed";
    // The newest lines are at the end, and the text starts with a whole relay line.
    static const std::regex relay_line("(>>> \\d+ bytes ->BT->FF->|\\d+ bytes <-BT<-FF<- <<<)\r\n");
    const std::string log = window->LogFrom(0, [](const std::string& text) {
        return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    });
    EXPECT_LE(log.size(), Limit);
    std::smatch first;
    ASSERT_TRUE(std::regex_search(log, first, relay_line)) << log.substr(0, 200);
    EXPECT_EQ(first.position(0), 0) << log.substr(0, 200);
    EXPECT_LT(after - before, GrowthBoundMiB) << "resident " << before << " MiB before, " << after << " after";

    window->Command(commands::ReleaseBridge);
    EXPECT_TRUE(bridge_test::RelayThreadsFinished(tasks));
    window.reset();
    bridge_test::ClosePty(&gsm);
    bridge_test::ClosePty(&irda);
}

}  // namespace
