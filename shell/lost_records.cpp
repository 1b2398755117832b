// Failed writes: each output is named once on stderr (a full disk fails every later write too).
#include "shell/lost_records.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace shell {
namespace {

std::mutex reported_mutex;
std::vector<std::string> reported;  // guarded by reported_mutex
std::atomic<bool> record_lost{false};

}  // namespace

void ReportWriteFailure(const char* what, int error) {
    const std::string name = what ? what : "output";
    // stdout to a reader that went away (`| head`) stays harmless, as it always was.
    if (error == EPIPE && (name == "stdout" || name == "--events -")) return;
    record_lost.store(true);
    {
        std::lock_guard lock(reported_mutex);
        for (const std::string& said : reported) {
            if (said == name) return;
        }
        reported.push_back(name);
    }
    platform::SayOnStderr("%s: write failed: %s", name.c_str(), std::strerror(error));
}

bool RecordLost() { return record_lost.load(); }

int ExitCodeWithRecords(int code) { return code == 0 && RecordLost() ? 1 : code; }

bool FlushListing(std::FILE* file, const char* what) {
    if (std::fflush(file) == 0 && !std::ferror(file)) return true;
    ReportWriteFailure(what, errno != 0 ? errno : EIO);
    return false;
}

}  // namespace shell
