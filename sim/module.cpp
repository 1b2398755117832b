#include "sim/module.h"

#include <mutex>
#include <vector>

namespace sim {
namespace {

class BootRomModule final : public Module {
public:
    BootRomModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault)
        : writer_(std::move(writer)), hang_up_(std::move(hang_up)) {
        rom_.SetFault(fault);
    }

    void FromTool(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mutex_);
        std::vector<std::uint8_t> reply;
        bool vanish = false;
        rom_.Receive(data, size, &reply, &vanish);
        if (!reply.empty()) writer_(reply.data(), reply.size());
        if (vanish) hang_up_();
    }
    void Reset() override {
        std::lock_guard lock(mutex_);
        rom_.Reset();
    }
    int Resets() const override {
        std::lock_guard lock(mutex_);
        return rom_.Resets();
    }
    bool DownloadDone() const override {
        std::lock_guard lock(mutex_);
        return rom_.Done();
    }
    std::size_t ImageSize() const override {
        std::lock_guard lock(mutex_);
        return rom_.Image().size();
    }
    std::string LastRefusal() const override {
        std::lock_guard lock(mutex_);
        return rom_.LastRefusal();
    }

private:
    mutable std::mutex mutex_;  // the lines' thread and the radio driver's thread both call in
    BootRom rom_;
    LineWriter writer_;
    LineHangUp hang_up_;
};

}  // namespace

std::unique_ptr<Module> MakeModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault) {
    return std::make_unique<BootRomModule>(std::move(writer), std::move(hang_up), fault);
}

}  // namespace sim
