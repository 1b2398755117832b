// Detached signatures checked by gpgv: the keyring, the data and the signature are written to a
// private directory (mode 0700, removed afterwards) that is also gpgv's home, so neither the
// user's keyring nor a trust database takes part; gpgv's status lines (--status-fd 3, the
// child's event pipe) are read back, one finding per signature.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/base/leftovers.h"
#include "platform/base/openpgp.h"
#include "platform/base/spawn.h"
#include "platform/base/system.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char StatusPrefix[] = "[GNUPG:] ";
constexpr char StatusFd[] = "3";  // the child's descriptor 3, ChildProcess::events
constexpr int VerifyBoundSeconds = 30;
constexpr std::size_t MaxCaptured = 64 * 1024;  // of each of gpgv's streams
constexpr std::size_t ReadPiece = 4096;
constexpr char NoPublicKeyCode[] = "9";  // ERRSIG's code for a key that is not in the keyring
constexpr std::size_t ValidsigPrimaryField = 10;  // VALIDSIG's fields, the primary key's last

// status keyword, what it says about the signature it names
constexpr struct {
    const char* word;
    SignatureState state;
} Verdicts[] = {
    {"GOODSIG", SignatureState::Good},         {"BADSIG", SignatureState::Bad},
    {"EXPKEYSIG", SignatureState::ExpiredKey}, {"REVKEYSIG", SignatureState::RevokedKey},
    {"EXPSIG", SignatureState::ExpiredSignature},
};

bool WriteWhole(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

// One status line into the findings; a verdict opens a finding unless NEWSIG just did.
void TakeStatus(const std::string& line, std::vector<SignatureFinding>* findings, std::vector<bool>* stated,
                bool* detached) {
    if (line.rfind(StatusPrefix, 0) != 0) return;
    const std::string rest = line.substr(std::strlen(StatusPrefix));
    const std::vector<std::string> fields = Fields(rest);
    const std::string& word = fields[0];
    auto open = [&]() -> SignatureFinding& {
        if (findings->empty() || stated->back()) {
            findings->push_back({});
            stated->push_back(false);
        }
        stated->back() = true;
        return findings->back();
    };
    if (word == "NEWSIG") {
        findings->push_back({});
        stated->push_back(false);
        return;
    }
    if (word == "PLAINTEXT") *detached = false;
    for (const auto& row : Verdicts) {
        if (word != row.word || fields.size() < 2) continue;
        SignatureFinding& finding = open();
        finding.state = row.state;
        if (finding.key.empty()) finding.key = fields[1];
        const std::size_t uid = rest.find(' ', rest.find(' ') + 1);
        finding.user_id = uid == std::string::npos ? "" : rest.substr(uid + 1);
        // A user id is the key maker's text: no control character of it reaches a terminal.
        for (char& c : finding.user_id) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        }
    }
    if (word == "ERRSIG" && fields.size() >= 7) {
        SignatureFinding& finding = open();
        finding.state = fields[6] == NoPublicKeyCode ? SignatureState::UnknownKey : SignatureState::Error;
        finding.key = fields.size() > 7 && fields[7] != "-" ? fields[7] : fields[1];
    }
    // Comes after GOODSIG, EXPKEYSIG or REVKEYSIG: the key by its primary fingerprint.
    if (word == "VALIDSIG" && fields.size() >= 2 && !findings->empty()) {
        findings->back().key = fields.size() > ValidsigPrimaryField ? fields[ValidsigPrimaryField] : fields[1];
    }
}

// Everything gpgv writes, until its three streams end or the bound passes.
bool Collect(ChildProcess* child, std::string* status, std::string* errors) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(VerifyBoundSeconds);
    int* fds[] = {&child->out, &child->err, &child->events};
    std::string* into[] = {nullptr, errors, status};
    for (;;) {
        std::vector<int> open;
        for (int* fd : fds) open.push_back(*fd);
        if (child->out < 0 && child->err < 0 && child->events < 0) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        std::vector<bool> ready;
        WaitReadable(open, static_cast<int>(left), &ready);
        for (std::size_t i = 0; i < 3; ++i) {
            if (!ready[i] || *fds[i] < 0) continue;
            char piece[ReadPiece];
            long n;
            while ((n = ReadAvailable(*fds[i], piece, sizeof piece)) > 0) {
                if (into[i] && into[i]->size() < MaxCaptured) into[i]->append(piece, static_cast<std::size_t>(n));
            }
            if (n == 0) {
                CloseDescriptor(*fds[i]);
                *fds[i] = -1;
            }
        }
    }
}

std::string LastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t at = text.rfind('\n');
    return at == std::string::npos ? text : text.substr(at + 1);
}

}  // namespace

bool VerifyDetached(const std::string& keyring, const std::string& data, const std::string& signature,
                    std::vector<SignatureFinding>* findings, bool* detached, std::string* last_line) {
    findings->clear();
    last_line->clear();
    *detached = true;
    const char* tmp = std::getenv("TMPDIR");
    std::string home = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/fwu-gpgv-XXXXXX";
    if (::mkdtemp(home.data()) == nullptr) {
        SetLastError(static_cast<std::uint32_t>(errno),
                     std::string("cannot make a private directory for gpgv: ") + std::strerror(errno));
        return false;
    }
    const std::string keys = home + "/trusted.gpg", sums = home + "/data", sig = home + "/data.sig";
    bool done = false;
    ChildProcess child;
    if (!WriteWhole(keys, keyring) || !WriteWhole(sums, data) || !WriteWhole(sig, signature)) {
        SetLastError(static_cast<std::uint32_t>(errno),
                     std::string("cannot write gpgv's files in ") + home + ": " + std::strerror(errno));
    } else if (!SpawnProgram(GpgvPath, {GpgvPath, "--homedir", home, "--keyring", keys, "--status-fd", StatusFd, sig, sums},
                             {"LC_ALL=C", "GNUPGHOME=" + home}, &child)) {
        const int error = static_cast<int>(GetLastError());
        SetLastError(static_cast<std::uint32_t>(error),
                     error == ENOENT ? std::string("cannot run ") + GpgvPath + " (install gpgv)"
                                     : std::string("cannot start ") + GpgvPath + ": " + std::strerror(error));
    } else {
        std::string status, errors;
        const bool ended = Collect(&child, &status, &errors);
        if (!ended) StopChild(child.pid);
        int code = 0;
        ReapChild(child.pid, true, &code);
        for (int fd : {child.out, child.err, child.events, child.ended}) CloseDescriptor(fd);
        std::vector<bool> stated;
        std::size_t start = 0;
        while (start < status.size()) {
            std::size_t end = status.find('\n', start);
            if (end == std::string::npos) end = status.size();
            TakeStatus(status.substr(start, end - start), findings, &stated, detached);
            start = end + 1;
        }
        if (!ended) {
            SetLastError(ETIMEDOUT,
                         std::string(GpgvPath) + " did not end within " + std::to_string(VerifyBoundSeconds) + " s");
        } else {
            done = true;
            if (findings->empty() && code != 0) *last_line = LastLine(errors);
        }
    }
    RemoveDirectoryAndEntries(home);
    return done;
}

}  // namespace platform
