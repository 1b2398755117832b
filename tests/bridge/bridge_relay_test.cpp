// The relay threads over pseudo-terminals: bytes both ways at once with nothing lost,
// duplicated or reordered; the relay lines of each display mode, and their order and the log
// backlog's bound while the window's thread is held; an idle bridge that sleeps; the release
// while both directions are busy and while a relay thread waits for room to log; ports that
// vanish under the bridge.
#include <memory>
#include <random>
#include <regex>
#include <vector>

#include "bridge/relay.h"
#include "bridge_support.h"
#include "platform/base/sys.h"
#include "shell/options.h"
#include "resources/commands.h"

namespace {

using bridge_test::TestPty;
using bridge_test::TestWindow;

constexpr const char* Started = "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";
constexpr const char* Released = "COMs released, R/W threads stopped\r\n";

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t word = generator();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    return bytes;
}

// The counts of the relay lines of one direction in a piece of the log.
std::vector<long> LineCounts(const std::string& log, bool gsm_to_peer) {
    static const std::regex to_peer("(\\d+) bytes <-BT<-FF<- <<<\r\n");
    static const std::regex to_gsm(">>> (\\d+) bytes ->BT->FF->\r\n");
    std::vector<long> counts;
    const std::regex& line = gsm_to_peer ? to_peer : to_gsm;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
        counts.push_back(std::stol((*it)[1]));
    }
    return counts;
}

long Sum(const std::vector<long>& counts) {
    long sum = 0;
    for (long c : counts) sum += c;
    return sum;
}

// One direction of a transfer: a writer puts `sent` into one far end while a reader takes what
// comes out of the other. Raising `stop` ends both early; the reader also ends when nothing
// came for `quiet_ms` (a released bridge).
struct Stream {
    std::vector<std::uint8_t> sent;
    std::vector<std::uint8_t> received;
    std::atomic<std::size_t> progress{0};
    std::atomic<bool> stop{false};
    std::thread writer, reader;

    void Start(int from, int to, int quiet_ms = 20000) {
        received.resize(sent.size());
        writer = std::thread([this, from] {
            constexpr std::size_t Piece = 64 * 1024;
            for (std::size_t at = 0; at < sent.size(); at += Piece) {
                std::size_t n = std::min(Piece, sent.size() - at);
                if (!bridge_test::WriteAll(from, sent.data() + at, n, 20000, &stop)) break;
            }
        });
        reader = std::thread([this, to, quiet_ms] {
            std::size_t got = 0;
            int quiet = 0;
            while (got < received.size() && quiet < quiet_ms && !stop.load()) {
                pollfd pfd{to, POLLIN, 0};
                if (::poll(&pfd, 1, 50) <= 0) {
                    quiet += 50;
                    continue;
                }
                ssize_t n = ::read(to, received.data() + got, received.size() - got);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
                progress.store(got);
                quiet = 0;
            }
            received.resize(got);
        });
    }
    void Join() {
        writer.join();
        reader.join();
    }
};

// The kernel's count of context switches of one thread of this process.
long ContextSwitches(const std::string& tid) {
    FILE* file = std::fopen(("/proc/self/task/" + tid + "/status").c_str(), "r");
    if (file == nullptr) return -1;
    long total = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        long n = 0;
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) total += n;
        if (std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1) total += n;
    }
    std::fclose(file);
    return total;
}

std::vector<std::string> TaskIds() {
    std::vector<std::string> ids;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] != '.') ids.push_back(entry->d_name);
    }
    if (dir) ::closedir(dir);
    return ids;
}

class BridgeRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        gsm_ = bridge_test::MakePty();
        irda_ = bridge_test::MakePty();
        bridge_test::UseGsmAndIrda(gsm_, irda_);
        shell::BridgePeer.store(3);
        shell::DisplayMode.store(3);
        window_ = std::make_unique<TestWindow>();
        ASSERT_NE(window_->pane(), 0u);
        tasks_ = bridge_test::CountTasks();
    }
    void TearDown() override {
        window_->Command(commands::ReleaseBridge);
        EXPECT_TRUE(ThreadsFinished());
        window_.reset();
        bridge_test::ClosePty(&gsm_);
        bridge_test::ClosePty(&irda_);
        shell::DisplayMode.store(3);
    }
    bool ThreadsFinished() { return bridge_test::RelayThreadsFinished(tasks_); }
    void Start() {
        const std::size_t before = window_->Log().size();
        ASSERT_EQ(window_->Command(commands::StartBridge), 0);
        ASSERT_EQ(window_->Log().substr(before), std::string("COM2: opened\r\nIRDA(COM3:) opened\r\n") + Started);
    }
    // Both directions at once, checked byte for byte.
    void TransferBothWays(std::size_t size, std::uint64_t seed) {
        Stream out, in;
        out.sent = RandomBytes(size, seed);
        in.sent = RandomBytes(size, seed + 1);
        out.Start(gsm_.master, irda_.master);
        in.Start(irda_.master, gsm_.master);
        out.Join();
        in.Join();
        ASSERT_EQ(out.received.size(), out.sent.size());
        ASSERT_EQ(in.received.size(), in.sent.size());
        EXPECT_TRUE(out.received == out.sent) << "GSM to peer: bytes changed on the way";
        EXPECT_TRUE(in.received == in.sent) << "peer to GSM: bytes changed on the way";
    }
    void Send(TestPty& from, TestPty& to, const std::string& bytes) {
        ASSERT_TRUE(bridge_test::WriteAll(from.master, bytes.data(), bytes.size()));
        std::string got(bytes.size(), '\0');
        ASSERT_TRUE(bridge_test::ReadExactly(to.master, got.data(), got.size()));
        ASSERT_EQ(got, bytes);
    }
    // On the window's thread: streams `out` towards the peer until the log backlog is full (the
    // relay thread then waits for this thread); the most it held meanwhile.
    std::size_t FillBacklog(Stream* out) {
        constexpr std::size_t LongestLine = sizeof "1024 bytes <-BT<-FF<- <<<\r\n" - 1;
        std::size_t most = 0;
        out->Start(gsm_.master, irda_.master);
        EXPECT_TRUE(bridge_test::WaitUntil([&] {
            most = std::max(most, platform::PendingPostedText(window_->pane()));
            return most + LongestLine > platform::PostedTextBytes;
        }));
        for (int look = 0; look < 50; ++look) {  // a relay that did not wait would go on past it
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            most = std::max(most, platform::PendingPostedText(window_->pane()));
        }
        return most;
    }
    // The log from `offset` once it holds `text`.
    std::string LogWith(std::size_t offset, const std::string& text) {
        return window_->LogFrom(offset, [&](const std::string& t) { return t.find(text) != std::string::npos; });
    }

    TestPty gsm_, irda_;
    std::unique_ptr<TestWindow> window_;
    int tasks_ = 0;
};

TEST_F(BridgeRelayTest, ManyMegabytesBothWaysAtOnceArriveIntact) {
    shell::DisplayMode.store(0);
    Start();
    const std::size_t before = window_->Log().size();
    TransferBothWays(24u << 20, 7);
    EXPECT_EQ(window_->Log().size(), before);  // quiet mode: no relay line
}

TEST_F(BridgeRelayTest, EveryReadGivesOneLineAndTheLinesAddUpToTheBytes) {
    Start();
    const std::size_t before = window_->Log().size();
    const long size = 1 << 20;
    TransferBothWays(static_cast<std::size_t>(size), 11);
    std::string log = window_->LogFrom(before, [&](const std::string& text) {
        return Sum(LineCounts(text, true)) == size && Sum(LineCounts(text, false)) == size;
    });
    const std::vector<long> to_peer = LineCounts(log, true), to_gsm = LineCounts(log, false);
    EXPECT_EQ(Sum(to_peer), size);
    EXPECT_EQ(Sum(to_gsm), size);
    for (long count : to_peer) EXPECT_TRUE(count > 0 && count <= 1024) << count;
    for (long count : to_gsm) EXPECT_TRUE(count > 0 && count <= 1024) << count;
}

TEST_F(BridgeRelayTest, TenBytesInOneReadGiveOneLineOfTen) {
    Start();
    const std::size_t before = window_->Log().size();
    Send(gsm_, irda_, "0123456789");
    EXPECT_EQ(LogWith(before, "\n"), "10 bytes <-BT<-FF<- <<<\r\n");
    const std::size_t middle = window_->Log().size();
    Send(irda_, gsm_, "abc");
    EXPECT_EQ(LogWith(middle, "\n"), ">>> 3 bytes ->BT->FF->\r\n");
}

// Lines queued while the window's thread is busy reach the pane in order and as they are, also
// when the batch passes the pane's capacity: the pane then holds what appending them one by one
// leaves in a pane of that capacity.
TEST_F(BridgeRelayTest, AHeldWindowThreadGetsTheLinesInOrderAsOneByOne) {
    Start();
    for (std::size_t limit : {platform::EditCapacity, std::size_t{1000}}) {
        SCOPED_TRACE(limit);
        const platform::Hwnd pane = window_->pane();
        std::vector<std::string> lines;
        std::string held;
        window_->RunOnWindowThread([&] {
            platform::SendMessage(pane, platform::EM_SETLIMITTEXT, limit, 0);
            held = platform::EditText(pane);
            std::size_t queued = 0;
            for (int n = 1; n <= 30; ++n) {
                Send(gsm_, irda_, std::string(static_cast<std::size_t>(n), 'x'));
                lines.push_back(std::to_string(n) + " bytes <-BT<-FF<- <<<\r\n");
                queued += lines.back().size();
            }
            EXPECT_TRUE(bridge_test::WaitUntil([&] { return platform::PendingPostedText(window_->pane()) == queued; }));
            EXPECT_EQ(platform::EditText(pane), held);  // nothing appended yet
        });
        EXPECT_TRUE(bridge_test::WaitUntil([&] { return platform::PendingPostedText(window_->pane()) == 0; }));  // taken unasked
        std::string expected;
        window_->RunOnWindowThread([&] {
            const platform::Hwnd other = platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD, 0, 0, 80, 24,
                                                                  window_->main(), 99, 1, nullptr);
            platform::SendMessage(other, platform::EM_SETLIMITTEXT, limit, 0);
            platform::SendMessage(other, platform::WM_SETTEXT, 0, reinterpret_cast<platform::LParam>(held.c_str()));
            platform::SendMessage(other, platform::EM_SETSEL, held.size(), static_cast<platform::LParam>(held.size()));
            for (const std::string& line : lines) {
                platform::SendMessage(other, platform::EM_REPLACESEL, 0, reinterpret_cast<platform::LParam>(line.c_str()));
            }
            expected = platform::EditText(other);
            platform::DestroyWindow(other);
        });
        EXPECT_EQ(window_->Log(), expected);
    }
}

// While the window's thread is held the backlog stops at its bound and the relay waits: once
// the window's thread is back, every byte has passed and every read has its line.
TEST_F(BridgeRelayTest, AHeldWindowThreadHoldsTheBacklogToItsBound) {
    Start();
    const std::size_t before = window_->Log().size();
    const long size = 4 << 20;
    Stream out;
    out.sent = RandomBytes(static_cast<std::size_t>(size), 41);
    std::size_t most = 0;
    window_->RunOnWindowThread([&] { most = FillBacklog(&out); });
    EXPECT_LE(most, platform::PostedTextBytes);
    out.Join();
    EXPECT_TRUE(out.received == out.sent);
    const std::string log = window_->LogFrom(before, [&](const std::string& t) { return Sum(LineCounts(t, true)) == size; });
    EXPECT_EQ(Sum(LineCounts(log, true)), size);
}

// Each mode on a bridge of its own, so that no relay thread is between its write and its log
// decision when the mode changes. A second burst each way proves the first one's pass done.
TEST_F(BridgeRelayTest, DisplayModesChooseTheLoggedDirections) {
    struct Row {
        std::int32_t mode;
        bool to_peer_logged, to_gsm_logged;
    };
    for (Row row : {Row{0, false, false}, Row{1, false, true}, Row{2, true, false}, Row{3, true, true}}) {
        SCOPED_TRACE(row.mode);
        shell::DisplayMode.store(row.mode);
        Start();
        const std::size_t before = window_->Log().size();
        Send(gsm_, irda_, "1234567");      // 7 bytes towards the peer
        Send(irda_, gsm_, "12345678901");  // 11 bytes towards the module
        Send(gsm_, irda_, "12345");
        Send(irda_, gsm_, "123");
        std::vector<long> to_peer, to_gsm;
        if (row.to_peer_logged) to_peer = {7, 5};
        if (row.to_gsm_logged) to_gsm = {11, 3};
        std::string log = window_->LogFrom(before, [&](const std::string& t) {
            return LineCounts(t, true).size() == to_peer.size() && LineCounts(t, false).size() == to_gsm.size();
        });
        window_->Command(commands::ReleaseBridge);
        ASSERT_TRUE(ThreadsFinished());
        log = window_->Log().substr(before);
        EXPECT_EQ(LineCounts(log, true), to_peer) << log;
        EXPECT_EQ(LineCounts(log, false), to_gsm) << log;
        EXPECT_EQ(log.substr(log.size() - std::strlen(Released)), Released);
    }
}

// Switching to quiet while relaying: the next pass logs nothing; back to 3, lines return.
TEST_F(BridgeRelayTest, AModeChangeWhileRelayingTakesEffectAtTheNextPass) {
    Start();
    std::size_t before = window_->Log().size();
    Send(gsm_, irda_, "1234567");
    EXPECT_EQ(LogWith(before, "\n"), "7 bytes <-BT<-FF<- <<<\r\n");  // that pass is over
    shell::DisplayMode.store(0);
    before = window_->Log().size();
    Send(gsm_, irda_, "12345678901");  // decided in mode 0
    Send(gsm_, irda_, "1234567890123");  // its pass may still be open when the mode goes back
    shell::DisplayMode.store(3);
    Send(gsm_, irda_, "12345");
    std::string log = window_->LogFrom(before, [](const std::string& t) { return !LineCounts(t, true).empty() && LineCounts(t, true).back() == 5; });
    std::vector<long> counts = LineCounts(log, true);
    EXPECT_TRUE(counts == std::vector<long>({5}) || counts == std::vector<long>({13, 5})) << log;
}

// An idle bridge sleeps in poll: its relay threads are not switched in at all while nothing
// comes, where a loop polling every 1 ms would run hundreds of times.
TEST_F(BridgeRelayTest, AnIdleBridgeSleeps) {
    const std::vector<std::string> before = TaskIds();
    Start();
    std::vector<std::string> relays;
    for (const std::string& id : TaskIds()) {
        if (std::find(before.begin(), before.end(), id) == before.end()) relays.push_back(id);
    }
    ASSERT_EQ(relays.size(), 2u);
    Send(gsm_, irda_, "wake");
    Send(irda_, gsm_, "both");
    // Settled: each relay thread sits in its event wait, whatever it did after the bursts.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long first = ContextSwitches(relays[0]) + ContextSwitches(relays[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long second = ContextSwitches(relays[0]) + ContextSwitches(relays[1]);
    EXPECT_LE(second - first, 2);
    Send(gsm_, irda_, "still relaying");
    Send(irda_, gsm_, "both ways");
}

TEST_F(BridgeRelayTest, ReleaseWhileBothDirectionsAreBusy) {
    shell::DisplayMode.store(0);
    Start();
    Stream out, in;
    out.sent = RandomBytes(64u << 20, 21);  // more than can pass before the release
    in.sent = RandomBytes(64u << 20, 22);
    out.Start(gsm_.master, irda_.master, 300);
    in.Start(irda_.master, gsm_.master, 300);
    bridge_test::WaitUntil([&] { return out.progress.load() > 100000 && in.progress.load() > 100000; });
    EXPECT_EQ(window_->Command(commands::ReleaseBridge), 0);
    EXPECT_EQ(bridge::GsmPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::RelayRunning.load(), 0);
    // Both devices are let go at once: a new open of each succeeds.
    platform::Handle gsm = platform::OpenDevice("COM2:");
    platform::Handle irda = platform::OpenDevice("COM3:");
    EXPECT_NE(gsm, platform::InvalidHandle);
    EXPECT_NE(irda, platform::InvalidHandle);
    platform::CloseHandle(gsm);
    platform::CloseHandle(irda);
    out.stop = true;
    in.stop = true;
    out.Join();
    in.Join();
    // What passed is the start of what was sent, in order, nothing doubled.
    EXPECT_GT(out.received.size(), 100000u);
    EXPECT_GT(in.received.size(), 100000u);
    EXPECT_TRUE(std::equal(out.received.begin(), out.received.end(), out.sent.begin()));
    EXPECT_TRUE(std::equal(in.received.begin(), in.received.end(), in.sent.begin()));
    EXPECT_TRUE(ThreadsFinished());
}

// The window's thread runs the release while a relay thread waits for it to make room in the
// log backlog: the release does not wait for it, and the terminate wakes it (its line dropped)
// while the backlog is still full. The lines queued meanwhile follow the release's line.
TEST_F(BridgeRelayTest, ReleaseWhileARelayThreadWaitsForRoomToLog) {
    Start();
    const std::size_t before = window_->Log().size();
    Stream out;
    out.sent = RandomBytes(4u << 20, 43);
    window_->RunOnWindowThread([&] {
        FillBacklog(&out);
        bridge::ReleaseBridgeSteps();
        EXPECT_TRUE(platform::WaitForThreadEnd(bridge::GsmToPeerThread.load(), 30000));
        EXPECT_EQ(bridge::ReleaseBridge(window_->main(), commands::ReleaseBridge, 0, 0), 0);
    });
    out.stop = true;
    out.Join();
    EXPECT_TRUE(ThreadsFinished());
    const std::string log = window_->Log().substr(before);
    EXPECT_EQ(log.find(Released), 0u);
    EXPECT_GT(LineCounts(log, true).size(), 0u);
}

// The window's thread is held, so the line of the last read is still queued when the port goes.
TEST_F(BridgeRelayTest, AVanishedPeerStopsBothDirectionsWithOneLine) {
    Start();
    const std::size_t before = window_->Log().size();
    window_->RunOnWindowThread([&] {
        Send(gsm_, irda_, "before");
        EXPECT_TRUE(bridge_test::WaitUntil([&] { return platform::PendingPostedText(window_->pane()) > 0; }));  // its line is queued
        bridge_test::ClosePty(&irda_);  // the adapter is pulled
        EXPECT_TRUE(ThreadsFinished());
    });
    EXPECT_EQ(window_->Log().substr(before), "6 bytes <-BT<-FF<- <<<\r\nCOM3: was lost, relaying stopped\r\n");
    // The handles stay until the release, which then goes as usual.
    EXPECT_NE(bridge::PeerPort.load(), platform::InvalidHandle);
    EXPECT_NE(bridge::GsmPort.load(), platform::InvalidHandle);
    const std::size_t middle = window_->Log().size();
    EXPECT_EQ(window_->Command(commands::ReleaseBridge), 0);
    EXPECT_EQ(window_->Log().substr(middle), Released);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
    platform::Handle gsm = platform::OpenDevice("COM2:");
    EXPECT_NE(gsm, platform::InvalidHandle);
    platform::CloseHandle(gsm);
}

TEST_F(BridgeRelayTest, APeerVanishingMidTransferStopsBothDirections) {
    shell::DisplayMode.store(0);
    Start();
    const std::size_t before = window_->Log().size();
    Stream out;
    out.sent = RandomBytes(64u << 20, 31);
    out.Start(gsm_.master, irda_.master, 300);
    bridge_test::WaitUntil([&] { return out.progress.load() > 100000; });
    out.stop = true;  // the host stops reading; the module side keeps sending
    out.reader.join();
    bridge_test::ClosePty(&irda_);  // and the adapter is pulled
    EXPECT_TRUE(ThreadsFinished());
    EXPECT_EQ(window_->Log().substr(before), "COM3: was lost, relaying stopped\r\n");
    out.writer.join();
    EXPECT_TRUE(std::equal(out.received.begin(), out.received.end(), out.sent.begin()));
}

TEST_F(BridgeRelayTest, AVanishedGsmSideIsNamedToo) {
    Start();
    const std::size_t before = window_->Log().size();
    bridge_test::ClosePty(&gsm_);
    EXPECT_TRUE(ThreadsFinished());
    EXPECT_EQ(window_->Log().substr(before), "COM2: was lost, relaying stopped\r\n");
}

TEST_F(BridgeRelayTest, AStartAfterALossWithoutReleaseReportsItAgainAndNothingSpins) {
    Start();
    bridge_test::ClosePty(&irda_);
    ASSERT_TRUE(ThreadsFinished());
    const std::size_t before = window_->Log().size();
    EXPECT_EQ(window_->Command(commands::StartBridge), 0);  // both handles still held: the relay start runs
    EXPECT_TRUE(ThreadsFinished());
    EXPECT_EQ(window_->Log().substr(before),
              std::string("Open FF(COM2:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + Started +
                  "COM3: was lost, relaying stopped\r\n");
}

}  // namespace
