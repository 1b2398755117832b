// Signed payload sets: SHA256SUMS signed by a trusted key (throwaway keys made here with gpg,
// ed25519 and RSA), the signer in the record; every refusal one line, exit 2, before the radio
// driver or the module is touched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/update_run.h"

namespace {

using fwu_test::Count;
using fwu_test::ReadText;
using fwu_test::RunCommand;
using fwu_test::Sha;
using fwu_test::TempDir;
using fwu_test::Write;

// The keys, made once for the whole program in one short-named gpg home (the agent's socket
// lives there), and the agent ended at the end.
struct Keys {
    std::string home;
    std::string vendor, rsa, stranger, expired, revoked;  // fingerprints
};
Keys* keys = nullptr;

bool Gpg(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/gpg", "--homedir", keys->home, "--batch", "--yes", "--quiet"});
    return RunCommand(args, {}, 120000).status == 0;
}

std::string MakeKey(const std::string& uid, const std::string& algorithm, const std::string& expiry,
                    const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--passphrase", "", "--pinentry-mode", "loopback"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"--quick-gen-key", uid, algorithm, "sign", expiry});
    EXPECT_TRUE(Gpg(args)) << uid;
    const std::string listing =
        RunCommand({"/usr/bin/gpg", "--homedir", keys->home, "--with-colons", "--list-keys", uid}).out;
    const std::size_t at = listing.find("\nfpr:::::::::");
    return at == std::string::npos ? "" : listing.substr(at + 13, 40);
}

// A set whose SHA256SUMS lists every file, as a vendor writes it before signing.
void WriteListedSet(const std::string& dir) {
    fwu_test::WriteSet(dir);
    std::string sums;
    for (const char* name : {"boot1.bin", "boot2.bin", "filesize.bin", "fw.bin", "version"}) {
        sums += Sha(ReadText(dir + "/" + name)) + "  " + name + "\n";
    }
    Write(dir + "/SHA256SUMS", sums);
}

bool Sign(const std::string& dir, const std::string& key, const std::vector<std::string>& how = {"--armor", "--detach-sign"},
          const std::string& file = "SHA256SUMS.asc", const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--local-user", key, "--output", dir + "/" + file};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), how.begin(), how.end());
    args.push_back(dir + "/SHA256SUMS");
    return Gpg(args);
}

class SignedSets : public testing::Test {
protected:
    static void SetUpTestSuite() {
        keys = new Keys;
        char home[] = "/tmp/fwk-XXXXXX";
        ASSERT_NE(::mkdtemp(home), nullptr);
        keys->home = home;
        keys->vendor = MakeKey("Vendor Signing <vendor@example.org>", "ed25519", "0");
        keys->rsa = MakeKey("Vendor RSA <rsa@example.org>", "rsa2048", "0");
        keys->stranger = MakeKey("Stranger <stranger@example.org>", "ed25519", "0");
        // Made and used in 2020, expired a day later.
        keys->expired = MakeKey("Expired <expired@example.org>", "ed25519", "1d", {"--faked-system-time", "20200101T000000"});
        keys->revoked = MakeKey("Revoked <revoked@example.org>", "ed25519", "0");
        std::string certificate = ReadText(keys->home + "/openpgp-revocs.d/" + keys->revoked + ".rev");
        ASSERT_NE(certificate.find(":-----BEGIN"), std::string::npos);
        certificate.erase(certificate.find(":-----BEGIN"), 1);  // gpg guards it with a colon
        Write(keys->home + "/revoke.asc", certificate);
        // Exported before the revocation: the revocation reaches the trusted file only through it.
        for (const auto& [name, fingerprint] : {std::pair{"vendor", keys->vendor}, {"rsa", keys->rsa},
                                                 {"stranger", keys->stranger}, {"expired", keys->expired}}) {
            ASSERT_TRUE(Gpg({"--armor", "--output", keys->home + "/" + name + ".asc", "--export", fingerprint}));
        }
        // Its signature is made before the revocation (every case's SHA256SUMS is the same).
        WriteListedSet(keys->home);
        ASSERT_TRUE(Sign(keys->home, keys->revoked, {"--armor", "--detach-sign"}, "revoked-signature.asc"));
        ASSERT_TRUE(Gpg({"--import", keys->home + "/revoke.asc"}));
        ASSERT_TRUE(Gpg({"--output", keys->home + "/revoked.gpg", "--export", keys->revoked}));
        ASSERT_TRUE(Gpg({"--armor", "--output", keys->home + "/secret.asc", "--export-secret-keys", keys->vendor}));
    }
    static void TearDownTestSuite() {
        RunCommand({"/usr/bin/gpgconf", "--homedir", keys->home, "--kill", "all"});
        std::filesystem::remove_all(keys->home);
        delete keys;
    }
};

enum class KeysFrom { Nowhere, Option, Environment, UserConfig };

struct Case {
    const char* name;
    KeysFrom from;
    std::string trusted;                              // a file under the keys' home, or "dir:" a directory of them
    std::function<void(const std::string& dir)> set;  // signs (or spoils) the listed set in dir
    std::vector<std::string> options;
    int status;
    std::string said;  // the start of stderr's line after "firmware-utility: " (status 2), or a line it holds
    std::string signer;  // status 0: the record's signer fingerprint, "" for null
};

TEST_F(SignedSets, EachSetIsTakenOnlyWithOneGoodSignatureOfATrustedKey) {
    const std::string& h = keys->home;
    auto signed_by = [](std::string key) { return [key](const std::string& dir) { ASSERT_TRUE(Sign(dir, key)); }; };
    const Case cases[] = {
        {"good ed25519, armored", KeysFrom::Option, "vendor.asc", signed_by(keys->vendor), {}, 0, "", keys->vendor},
        {"good rsa, binary, keys from the environment", KeysFrom::Environment, "rsa.asc",
         [](const std::string& dir) { ASSERT_TRUE(Sign(dir, keys->rsa, {"--detach-sign"}, "SHA256SUMS.sig")); }, {}, 0, "",
         keys->rsa},
        {"good and one by an unknown key", KeysFrom::UserConfig, "dir:vendor.asc",
         [](const std::string& dir) {
             ASSERT_TRUE(Sign(dir, keys->stranger, {"--detach-sign"}, "a.sig"));
             ASSERT_TRUE(Sign(dir, keys->vendor, {"--detach-sign"}, "b.sig"));
             Write(dir + "/SHA256SUMS.sig", ReadText(dir + "/a.sig") + ReadText(dir + "/b.sig"));
         },
         {}, 0, "", keys->vendor},
        {"no trusted keys: not checked, said once", KeysFrom::Nowhere, "", signed_by(keys->vendor), {}, 0,
         ": not signature-checked: no trusted keys", ""},
        {"no signature", KeysFrom::UserConfig, "dir:vendor.asc", [](const std::string&) {}, {}, 2,
         "--firmware: {dir}: no signature (SHA256SUMS.asc or SHA256SUMS.sig)", ""},
        {"bad signature", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) {
             ASSERT_TRUE(Sign(dir, keys->vendor));
             Write(dir + "/SHA256SUMS", ReadText(dir + "/SHA256SUMS") + "\n");
         },
         {}, 2, "--firmware: {dir}/SHA256SUMS.asc: bad signature by ", ""},
        {"unknown key", KeysFrom::Option, "vendor.asc", signed_by(keys->stranger), {}, 2,
         "--firmware: {dir}/SHA256SUMS.asc: signed by an unknown key " + keys->stranger, ""},
        {"expired key", KeysFrom::Option, "expired.asc",
         [](const std::string& dir) {
             ASSERT_TRUE(Sign(dir, keys->expired, {"--armor", "--detach-sign"}, "SHA256SUMS.asc",
                              {"--faked-system-time", "20200101T010000"}));
         },
         {}, 2, "--firmware: {dir}/SHA256SUMS.asc: signed by " + keys->expired + " (Expired <expired@example.org>), whose key has expired", ""},
        {"revoked key", KeysFrom::Option, "revoked.gpg",
         [](const std::string& dir) { Write(dir + "/SHA256SUMS.asc", ReadText(keys->home + "/revoked-signature.asc")); }, {}, 2,
         "--firmware: {dir}/SHA256SUMS.asc: signed by " + keys->revoked + " (Revoked <revoked@example.org>), whose key was revoked",
         ""},
        {"inline-signed", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) { ASSERT_TRUE(Sign(dir, keys->vendor, {"--sign"}, "SHA256SUMS.sig")); }, {}, 2,
         "--firmware: {dir}/SHA256SUMS.sig: not a detached signature (an inline-signed message)", ""},
        {"clear-signed", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) { ASSERT_TRUE(Sign(dir, keys->vendor, {"--clearsign"})); }, {}, 2,
         "--firmware: {dir}/SHA256SUMS.asc: not a detached signature (a clear-signed message)", ""},
        {"empty signature", KeysFrom::Option, "vendor.asc", [](const std::string& dir) { Write(dir + "/SHA256SUMS.asc", ""); },
         {}, 2, "--firmware: {dir}/SHA256SUMS.asc: empty; no signature", ""},
        {"truncated signature", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) {
             ASSERT_TRUE(Sign(dir, keys->vendor, {"--detach-sign"}, "SHA256SUMS.sig"));
             Write(dir + "/SHA256SUMS.sig", ReadText(dir + "/SHA256SUMS.sig").substr(0, 40));
         },
         {}, 2, "--firmware: {dir}/SHA256SUMS.sig: not a readable signature: truncated", ""},
        {"huge signature", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) { Write(dir + "/SHA256SUMS.sig", std::string(64 * 1024 + 1, '\x88')); }, {}, 2,
         "--firmware: {dir}/SHA256SUMS.sig: larger than 64 KiB", ""},
        {"two good signatures", KeysFrom::Option, "dir:vendor.asc rsa.asc",
         [](const std::string& dir) {
             ASSERT_TRUE(Sign(dir, keys->rsa, {"--detach-sign"}, "a.sig"));
             ASSERT_TRUE(Sign(dir, keys->vendor, {"--detach-sign"}, "b.sig"));
             Write(dir + "/SHA256SUMS.sig", ReadText(dir + "/a.sig") + ReadText(dir + "/b.sig"));
         },
         {}, 2, "--firmware: {dir}/SHA256SUMS.sig: 2 good signatures by trusted keys; a set has exactly one signer", ""},
        {"signed list without version", KeysFrom::Option, "vendor.asc",
         [](const std::string& dir) {
             const std::string sums = ReadText(dir + "/SHA256SUMS");
             Write(dir + "/SHA256SUMS", sums.substr(0, sums.find('\n', sums.find("fw.bin")) + 1));
             ASSERT_TRUE(Sign(dir, keys->vendor));
         },
         {}, 2, "--firmware: {dir}/SHA256SUMS: signed, but does not list version", ""},
        {"trusted file holds a secret key", KeysFrom::Option, "secret.asc", signed_by(keys->vendor), {}, 2,
         "--trusted-keys: {keys}/secret.asc: holds a secret key; only public keys are trusted", ""},
        {"trusted file holds no key", KeysFrom::Option, "SHA256SUMS.txt", signed_by(keys->vendor), {}, 2,
         "--trusted-keys: {keys}/SHA256SUMS.txt: holds no OpenPGP public key", ""},
        {"a key file cannot be read", KeysFrom::Environment, "dir:vendor.asc locked.asc", signed_by(keys->vendor), {}, 2,
         "$FIRMWARE_UTILITY_TRUSTED_KEYS: {keys}/locked.asc: ", ""},
        {"required, no keys", KeysFrom::Nowhere, "", signed_by(keys->vendor), {"--require-signature"}, 2,
         "--require-signature: no trusted keys found", ""},
    };
    Write(h + "/SHA256SUMS.txt", "not a key\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start({}, &error)) << error;
        TempDir temp;
        const std::string dir = temp.path() + "/set", config = temp.path() + "/config";
        std::string trusted_path = h + "/" + c.trusted;
        if (c.trusted.rfind("dir:", 0) == 0) {
            // A directory of keys: the user's own, or one named.
            trusted_path = c.from == KeysFrom::UserConfig ? config + "/firmware-utility/trusted-keys" : temp.path() + "/keys";
            std::filesystem::create_directories(trusted_path);
            std::string names = c.trusted.substr(4);
            for (std::size_t at = 0; at < names.size();) {
                std::size_t end = std::min(names.find(' ', at), names.size());
                const std::string name = names.substr(at, end - at);
                const std::string path = trusted_path + "/" + name;
                Write(path, ReadText(h + "/" + (name == "locked.asc" ? "vendor.asc" : name)));
                // Unreadable: by its mode, or for root (who reads any mode) a link to nothing.
                if (name == "locked.asc" && ::geteuid() != 0) ::chmod(path.c_str(), 0);
                if (name == "locked.asc" && ::geteuid() == 0) ::unlink(path.c_str()), ::symlink("/nonexistent", path.c_str());
                at = end + 1;
            }
        }
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        WriteListedSet(dir);
        c.set(dir);
        TempDir runtime;
        std::vector<std::string> env = fwu_test::UpdateEnv(runtime, handset);
        env.insert(env.end(), {"HOME=" + temp.path(), "XDG_CONFIG_HOME=" + config});
        const std::string record = temp.path() + "/record.jsonl";
        std::vector<std::string> args{"update", "--firmware", dir, "--record", record};
        if (c.from == KeysFrom::Option) args.insert(args.end(), {"--trusted-keys", trusted_path});
        if (c.from == KeysFrom::Environment) env.push_back("FIRMWARE_UTILITY_TRUSTED_KEYS=" + trusted_path);
        args.insert(args.end(), c.options.begin(), c.options.end());
        fwu_test::ProgramResult run = fwu_test::RunProgram(args, env, 60000);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.status == 2) {
            std::string said = c.said;
            const std::string keys_dir = c.trusted.rfind("dir:", 0) == 0 ? trusted_path : h;
            for (const auto& [word, path] : {std::pair{"{dir}", dir}, {"{keys}", keys_dir}}) {
                if (said.find(word) != std::string::npos) said.replace(said.find(word), std::strlen(word), path);
            }
            EXPECT_EQ(run.err.rfind("firmware-utility: " + said, 0), 0u) << run.err;
            EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
            EXPECT_TRUE(handset.RilCodes().empty());  // the radio driver was never asked
            EXPECT_EQ(handset.module().Resets(), 0);
            EXPECT_FALSE(std::filesystem::exists(record));
            continue;
        }
        EXPECT_EQ(handset.module().ImageSha256(), Sha(fwu_test::OtherImage()));
        // Said once when not checked; the run's last line names the signer when it was.
        EXPECT_EQ(Count(run.err, ": not signature-checked: no trusted keys"), c.signer.empty() ? 1u : 0u) << run.err;
        EXPECT_EQ(Count(run.err, ", signed by " + c.signer + " ("), c.signer.empty() ? 0u : 1u) << run.err;
        const nlohmann::json line = nlohmann::json::parse(ReadText(record));
        if (c.signer.empty()) {
            EXPECT_TRUE(line.at("signer").is_null()) << line;
        } else {
            EXPECT_EQ(line.at("signer").at("fingerprint"), c.signer) << line;
            EXPECT_NE(line.at("signer").at("user_id").get<std::string>().find("@example.org>"), std::string::npos);
        }
    }
}

}  // namespace
