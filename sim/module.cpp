#include "sim/module.h"

#include <sys/prctl.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/sha256.h"
#include "platform/base/signals.h"

namespace sim {

std::chrono::nanoseconds WireClock::Time(std::uint64_t bytes, std::uint32_t baud, std::uint32_t bits_per_byte) {
    if (baud == 0) return std::chrono::nanoseconds(0);
    // Whole seconds and the rest apart, so nothing overflows or rounds away.
    const std::uint64_t bits = bytes * bits_per_byte;
    const std::uint64_t ns = bits / baud * 1000000000u + bits % baud * 1000000000u / baud;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

WireClock::Clock::time_point WireClock::Carry(Clock::time_point at, std::uint64_t bytes, std::uint32_t bits_per_byte) {
    if (at >= free_) {  // the line was idle: a new busy stretch starts now
        run_start_ = at;
        run_bits_ = 0;
    }
    run_bits_ += bytes * bits_per_byte;
    free_ = run_start_ + Time(run_bits_, baud_, 1);
    return free_;
}

namespace {

std::string HexOrEmpty(const std::vector<std::uint8_t>& bytes) {
    return bytes.empty() ? std::string() : platform::Sha256Hex(bytes.data(), bytes.size());
}

// The module's own threads never take the program's signals (SIGINT, SIGTERM, SIGHUP close the
// window): a thread that sleeps on a condition variable would hold such a signal until it wakes
// when a sanitizer delivers signals only at its own safe points, and the window would not close.
void KeepProgramSignalsAway() { platform::BlockAllSignals(nullptr); }

// Sends the module's answers at their due times, in order, on a thread of its own, so the
// lines' thread that brings the tool's bytes never sleeps.
class Pacer {
public:
    Pacer(LineWriter writer, LineHangUp hang_up)
        : writer_(std::move(writer)), hang_up_(std::move(hang_up)), thread_([this] { Run(); }) {}
    ~Pacer() { Stop(); }

    // Ends the thread; what was not yet due is dropped. Idempotent.
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    // Due times never decrease (they come from one WireClock), so the queue stays in order.
    void Add(WireClock::Clock::time_point due, std::vector<std::uint8_t> bytes, bool hang_up) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            queue_.push_back({due, std::move(bytes), hang_up});
        }
        wake_.notify_one();
    }

private:
    struct Item {
        WireClock::Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        bool hang_up;
    };

    void Run() {
        KeepProgramSignalsAway();
        // Wake-ups as close to the due time as the kernel can: the default slack of 50 us a
        // sleep would add up over the hundreds of acknowledgements of a download.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            const auto due = queue_.front().due;
            if (WireClock::Clock::now() < due) {
                wake_.wait_until(lock, due, [this] { return stopping_; });
                continue;  // look again: stopping, or the front is due now
            }
            Item item = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();  // the writer takes the lines' lock: never call it holding ours
            if (!item.bytes.empty()) writer_(item.bytes.data(), item.bytes.size());
            if (item.hang_up) hang_up_();
            lock.lock();
        }
    }

    LineWriter writer_;
    LineHangUp hang_up_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the rest is built
};

// A Flood fault: 0x00 at about 100 KB/s while the boot ROM floods, never the awaited byte.
constexpr std::size_t FloodBurst = 1000;
constexpr std::chrono::milliseconds FloodPeriod{10};

class BootRomModule final : public Module {
public:
    BootRomModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault, std::uint32_t baud,
                  const AtFault& at_fault, LineFraming framing)
        : writer_(std::move(writer)), hang_up_(std::move(hang_up)), framing_(std::move(framing)),
          receive_clock_(baud), send_clock_(baud), at_fault_(at_fault), revision_(FactoryRevision),
          serial_(MakeSerialNumber()) {
        rom_.SetFault(fault);
        if (baud != 0) pacer_ = std::make_unique<Pacer>(writer_, hang_up_);
    }
    ~BootRomModule() override { Stop(); }

    void FromTool(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        // The casting window after the reset is over: the module runs its firmware.
        if (rom_.WaitingForCast() && WireClock::Clock::now() - reset_at_ > BootWindow) rom_.BootFirmware();
        reply_.clear();
        bool vanish = false;
        if (!pacer_) {
            rom_.Receive(data, size, &reply_, &vanish);
            if (!reply_.empty()) writer_(reply_.data(), reply_.size());
            if (vanish) hang_up_();
            if (rom_.Flooding()) StartOrWakeFlood();
            return;
        }
        // Read as the bytes arrive, not once per reset: the tool may set the line at any time
        // (it opens and sets it before the reset, a host program may never reset), and a byte
        // on a wire is framed as the line is set when it goes out.
        if (framing_) {
            if (const std::uint32_t bits = framing_()) frame_bits_ = bits;
        }
        // Byte by byte, so that each answer is due when the byte that caused it has arrived.
        const auto arrival = WireClock::Clock::now();
        for (std::size_t i = 0; i < size && !vanish; ++i) {
            const auto received = receive_clock_.Carry(arrival, 1, frame_bits_);
            rom_.Receive(data + i, 1, &reply_, &vanish);
            if (reply_.empty() && !vanish) continue;
            pacer_->Add(send_clock_.Carry(received, reply_.size(), frame_bits_), reply_, vanish);
            reply_.clear();
        }
        if (rom_.Flooding()) StartOrWakeFlood();
    }
    void Reset() override {
        std::lock_guard lock(mutex_);
        // An accepted image starts with this reset, unless the module keeps its old firmware.
        if (rom_.Done() && at_fault_.kind != AtFaultKind::KeepsOldFirmware) {
            revision_ = FirmwareRevision(platform::Sha256Hex(rom_.Image().data(), rom_.Image().size()));
        }
        rom_.Reset();
        reset_at_ = WireClock::Clock::now();
    }
    void Stop() override {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        flood_.notify_one();
        if (flooder_.joinable()) flooder_.join();
        if (pacer_) pacer_->Stop();  // not under our lock: the pacer's writes never take it
    }
    void SetFault(const RomFault& fault) override {
        std::lock_guard lock(mutex_);
        rom_.SetFault(fault);
    }
    int Resets() const override {
        std::lock_guard lock(mutex_);
        return rom_.Resets();
    }
    bool DownloadDone() const override { return Downloads() > 0; }
    int Confirmations() const override {
        std::lock_guard lock(mutex_);
        return rom_.Confirmations();
    }
    int Downloads() const override {
        std::lock_guard lock(mutex_);
        return rom_.Downloads();
    }
    std::size_t ImageSize() const override {
        std::lock_guard lock(mutex_);
        return rom_.Image().size();
    }
    std::string ImageSha256() const override {
        std::lock_guard lock(mutex_);
        if (rom_.Downloads() == 0) return {};
        return platform::Sha256Hex(rom_.Image().data(), rom_.Image().size());
    }
    std::vector<std::uint8_t> Loader1() const override {
        std::lock_guard lock(mutex_);
        return rom_.Loader1();
    }
    std::vector<std::uint8_t> Loader2() const override {
        std::lock_guard lock(mutex_);
        return rom_.Loader2();
    }
    std::string Loader1Sha256() const override {
        std::lock_guard lock(mutex_);
        return HexOrEmpty(rom_.Loader1());
    }
    std::string Loader2Sha256() const override {
        std::lock_guard lock(mutex_);
        return HexOrEmpty(rom_.Loader2());
    }
    std::string LastRefusal() const override {
        std::lock_guard lock(mutex_);
        return rom_.LastRefusal();
    }

    void SetAtFault(const AtFault& fault) override {
        std::lock_guard lock(mutex_);
        at_fault_ = fault;
    }
    FirmwareState Firmware() const override {
        std::lock_guard lock(mutex_);
        FirmwareState state;
        state.revision = revision_;
        state.serial = serial_;
        state.fault = at_fault_;
        if (stopped_ || !rom_.OutsideDownload()) return state;
        if (rom_.Resets() == 0) {  // powered up on its firmware, never reset
            state.answering = true;
            return state;
        }
        if (at_fault_.kind == AtFaultKind::NeverBoots) return state;
        const auto boot = at_fault_.kind == AtFaultKind::SlowBoot ? at_fault_.boot_time : BootTime;
        state.answering = WireClock::Clock::now() - reset_at_ >= BootWindow + boot;
        return state;
    }

    std::uint32_t FrameBits() const override {
        std::lock_guard lock(mutex_);
        return frame_bits_;
    }

private:
    // Sleeps until a Flood fault strikes; then sends bursts of 0x00 until a reset or the stop.
    // Wakes the flood thread, started the first time a Flood fault strikes. Under mutex_.
    void StartOrWakeFlood() {
        if (!flooder_.joinable()) flooder_ = std::thread([this] { Flood(); });
        flood_.notify_one();
    }

    void Flood() {
        KeepProgramSignalsAway();
        const std::vector<std::uint8_t> zeros(FloodBurst, 0x00);
        std::unique_lock lock(mutex_);
        for (;;) {
            flood_.wait(lock, [this] { return stopped_ || rom_.Flooding(); });
            if (stopped_) return;
            lock.unlock();  // the writer takes the lines' lock: never call it holding ours
            writer_(zeros.data(), zeros.size());
            lock.lock();
            flood_.wait_for(lock, FloodPeriod, [this] { return stopped_; });
        }
    }

    mutable std::mutex mutex_;  // the lines' thread and the radio driver's thread both call in
    BootRom rom_;
    LineWriter writer_;
    LineHangUp hang_up_;
    LineFraming framing_;
    std::uint32_t frame_bits_ = DefaultFrameBits;  // as the line was set at the latest bytes
    WireClock receive_clock_;  // tool to module
    WireClock send_clock_;     // module to tool
    std::vector<std::uint8_t> reply_;
    bool stopped_ = false;
    WireClock::Clock::time_point reset_at_{};
    std::condition_variable flood_;
    std::unique_ptr<Pacer> pacer_;
    std::thread flooder_;  // started by the first Flood fault that strikes
    AtFault at_fault_;
    std::string revision_;  // the firmware it runs
    std::string serial_;
};

}  // namespace

std::unique_ptr<Module> MakeModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault, std::uint32_t baud,
                                   const AtFault& at_fault, LineFraming framing) {
    return std::make_unique<BootRomModule>(std::move(writer), std::move(hang_up), fault, baud, at_fault,
                                           std::move(framing));
}

}  // namespace sim
