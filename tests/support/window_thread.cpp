#include "platform/testing.h"
#include "tests/support/window_thread.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/screen/screen.h"

namespace fwu_test {

std::string UsePrivateRuntimeDirectory() {
    static std::string directory = [] {
        char pattern[] = "/tmp/fwu-runtime-XXXXXX";
        std::string made = ::mkdtemp(pattern) ? pattern : "/tmp";
        std::string runtime = made + "/rt";
        ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime.c_str(), 1);
        return runtime;
    }();
    return directory;
}

struct OutputCapture::Impl {
    int fds[2] = {-1, -1};
    std::mutex mutex;
    std::condition_variable grew;
    std::string text;
    std::thread reader;
};

OutputCapture::OutputCapture() : impl_(new Impl) {
    if (::pipe2(impl_->fds, O_CLOEXEC) != 0) return;
    platform::internal::SetHeadlessOutput(impl_->fds[1]);
    impl_->reader = std::thread([impl = impl_] {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(impl->fds[0], buffer, sizeof buffer);
            if (n <= 0) return;
            std::lock_guard lock(impl->mutex);
            impl->text.append(buffer, static_cast<std::size_t>(n));
            impl->grew.notify_all();
        }
    });
}

OutputCapture::~OutputCapture() {
    platform::internal::SetHeadlessOutput(-1);
    if (impl_->fds[1] >= 0) ::close(impl_->fds[1]);
    if (impl_->reader.joinable()) impl_->reader.join();
    if (impl_->fds[0] >= 0) ::close(impl_->fds[0]);
    delete impl_;
}

std::string OutputCapture::Text() {
    std::lock_guard lock(impl_->mutex);
    return impl_->text;
}

bool OutputCapture::WaitFor(const std::string& what, int timeout_ms) {
    std::unique_lock lock(impl_->mutex);
    return impl_->grew.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return impl_->text.find(what) != std::string::npos; });
}

platform::LResult TestWindowProc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                                 platform::LParam lparam) {
    if (message == WM_TEST_RUN) return (*reinterpret_cast<const std::function<platform::LResult()>*>(lparam))();
    if (message == platform::WM_DESTROY) {
        platform::PostQuitMessage(0);
        return 0;
    }
    return platform::DefWindowProc(window, message, wparam, lparam);
}

WindowThread::WindowThread(platform::WndProc proc, const char* class_name) {
    static std::atomic<int> counter{0};
    std::string name = class_name ? class_name : "TestWindow" + std::to_string(counter.fetch_add(1));
    std::promise<std::pair<platform::Hwnd, platform::Hwnd>> ready;
    auto created = ready.get_future();
    thread_ = std::thread([this, proc, name, &ready] {
        platform::RegisterClass(name.c_str(), proc, platform::GetModuleHandle());
        platform::Hwnd window = platform::CreateWindowEx(0, name.c_str(), name.c_str(), platform::WS_VISIBLE,
                                                         platform::CW_USEDEFAULT, platform::CW_USEDEFAULT,
                                                         platform::CW_USEDEFAULT, platform::CW_USEDEFAULT, 0, 0,
                                                         platform::GetModuleHandle(), nullptr);
        platform::Hwnd edit = platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD | platform::WS_VISIBLE, 0,
                                                       0, 80, 24, window, 5, platform::GetModuleHandle(), nullptr);
        ready.set_value({window, edit});
        platform::Msg msg{};
        while (platform::GetMessage(&msg)) {
            platform::TranslateMessage(&msg);
            platform::DispatchMessage(&msg);
        }
        quit_code_ = static_cast<int>(msg.wparam);
        platform::UnregisterClass(name.c_str(), platform::GetModuleHandle());
    });
    auto handles = created.get();
    window_ = handles.first;
    edit_ = handles.second;
}

WindowThread::~WindowThread() {
    if (!joined_) {
        platform::PostMessage(window_, platform::WM_CLOSE, 0, 0);
        Join();
    }
}

platform::LResult WindowThread::Run(const std::function<platform::LResult()>& f) {
    return platform::SendMessage(window_, WM_TEST_RUN, 0, reinterpret_cast<platform::LParam>(&f));
}

int WindowThread::Join() {
    if (!joined_ && thread_.joinable()) thread_.join();
    joined_ = true;
    return quit_code_;
}

}  // namespace fwu_test
