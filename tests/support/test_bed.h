// umockdev's test bed for tests whose serial devices come and go, or need modem lines a pty
// lacks: devices added and removed at run time (with their udev announcements), /dev nodes
// that lead to ptys, and DTR answered here, a pulse on it resetting a simulated module. The
// test and the programs it starts (the tool, ser2net) run with umockdev's preload library,
// which ctest sets for the tests that link this; outside it they skip.
//
// Index: Preloaded SKIP_OUTSIDE_TEST_BED TestBed
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "platform/devices/service.h"
#include "sim/sim.h"

namespace fwu_test {

// Whether umockdev's preload library is loaded (ctest loads it; umockdev-wrapper does too).
bool Preloaded();

#define SKIP_OUTSIDE_TEST_BED() \
    if (!fwu_test::Preloaded()) GTEST_SKIP() << "run under umockdev-wrapper (ctest does)"

// A test bed for one test, removed with it.
class TestBed {
public:
    // Its default ioctl handler answers every terminal request (TIOCEXCL, TCSETS) with ENOTTY,
    // also for ttys outside the test bed (the simulated handset's): without it they answer for
    // themselves, and so do the test bed's nodes through PassThrough.
    TestBed() : bed_(umockdev_testbed_new()), handler_(umockdev_ioctl_base_new()) {
        ::unlink((Root() + "/ioctl/_default").c_str());
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(PassThrough), &lines_);
    }
    ~TestBed() {
        g_object_unref(bed_);
        g_object_unref(handler_);
    }
    TestBed(const TestBed&) = delete;
    TestBed& operator=(const TestBed&) = delete;

    bool AddFile(const std::string& path) { return umockdev_testbed_add_from_file(bed_, path.c_str(), nullptr); }
    bool AddRecord(const std::string& record) { return umockdev_testbed_add_from_string(bed_, record.c_str(), nullptr); }
    // The device's node in the test bed becomes a link to `target` (a pty slave).
    bool LinkNode(const std::string& node, const std::string& target) {
        const std::string path = Root() + node;
        ::mkdir((Root() + "/dev").c_str(), 0755);
        ::unlink(path.c_str());
        return ::symlink(target.c_str(), path.c_str()) == 0 &&
               umockdev_testbed_attach_ioctl(bed_, node.c_str(), handler_, nullptr);
    }
    // Points an existing node at another target, leaving its modem lines as they are.
    bool RelinkNode(const std::string& node, const std::string& target) {
        const std::string path = Root() + node;
        ::unlink(path.c_str());
        return ::symlink(target.c_str(), path.c_str()) == 0;
    }
    void Announce(const std::string& syspath, const char* action) { umockdev_testbed_uevent(bed_, syspath.c_str(), action); }
    // From now on a DTR pulse on a test bed port resets the module behind this radio driver.
    void WireDtrToReset(const std::string& radio_driver) {
        std::lock_guard lock(lines_.mutex);
        lines_.radio_driver = radio_driver;
    }
    void Remove(const std::string& syspath) {
        Announce(syspath, "remove");
        umockdev_testbed_remove_device(bed_, syspath.c_str());
    }

private:
    // The modem lines a pty lacks, as a USB adapter wired to the module's reset pin has them:
    // DTR changed and changed back after 50 ms to 1 s is a reset pulse, and it resets the
    // module through the handset's radio driver when one is named.
    struct ModemLines {
        std::mutex mutex;
        bool dtr = true;  // a tty raises DTR when it is opened
        std::chrono::steady_clock::time_point changed{};
        std::string radio_driver;
    };

    static void SetDtr(ModemLines* lines, bool high) {
        std::lock_guard lock(lines->mutex);
        if (high == lines->dtr) return;
        const auto now = std::chrono::steady_clock::now();
        const auto held = now - lines->changed;
        lines->dtr = high;
        lines->changed = now;
        std::uint32_t status = 0;
        if (held >= std::chrono::milliseconds(50) && held <= std::chrono::seconds(1) && !lines->radio_driver.empty()) {
            EXPECT_TRUE(platform::internal::ServiceControl(lines->radio_driver.c_str(), sim::RilResetModule, &status));
        }
    }

    // The modem-line requests are answered here; any other request on a test bed node is
    // carried out by the program on the pty itself.
    static gboolean PassThrough(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* lines = static_cast<ModemLines*>(data);
        const gulong request = umockdev_ioctl_client_get_request(client);
        if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET) {
            UMockdevIoctlData* bits = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), nullptr);
            if (bits == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            int value = 0;
            std::memcpy(&value, bits->data, sizeof value);
            if (request == TIOCMGET) {
                std::lock_guard lock(lines->mutex);
                value = TIOCM_CTS | TIOCM_DSR | (lines->dtr ? TIOCM_DTR : 0);
                umockdev_ioctl_data_update(bits, 0, reinterpret_cast<guint8*>(&value), sizeof value);
            } else if (request == TIOCMSET) {
                SetDtr(lines, (value & TIOCM_DTR) != 0);
            } else if (value & TIOCM_DTR) {
                SetDtr(lines, request == TIOCMBIS);
            }
            g_object_unref(bits);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        int error = 0;
        const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }
    std::string Root() const {
        gchar* root = umockdev_testbed_get_root_dir(bed_);
        std::string path = root;
        g_free(root);
        return path;
    }
    UMockdevTestbed* bed_;
    UMockdevIoctlBase* handler_;
    ModemLines lines_;
};

}  // namespace fwu_test
