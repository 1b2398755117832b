// The trace channel pointed at a temporary file for the life of a test, and read back.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace fwu_test {

class TraceFile {
public:
    TraceFile() {
        char pattern[] = "/tmp/fwu-trace-XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd >= 0) ::close(fd);
        path_ = pattern;
        Restart();
    }
    ~TraceFile() {
        platform::SetTraceSink("");
        ::unlink(path_.c_str());
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Points the trace here again, emptying the file; false when it cannot be opened.
    bool Restart() { return platform::SetTraceSink(path_.c_str()); }
    std::string Text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace fwu_test
