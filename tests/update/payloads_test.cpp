// The embedded payloads: lookup by kind with its trace lines, the stand-in set's sizes and
// bytes, a missing resource, the listing, and SHA-256 against published test vectors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/trace_file.h"
#include "update/payloads.h"

namespace {

using namespace platform;
using namespace update;

class Payloads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(trace.Restart()); }
    void TearDown() override { SetResourceTableForTest({nullptr, 0}); }
    std::string Trace() { return trace.Text(); }
    fwu_test::TraceFile trace;
};

TEST_F(Payloads, KindsOutsideOneToFourGiveNullAndNoTrace) {
    EXPECT_EQ(LoadPayload(0), nullptr);
    EXPECT_EQ(LoadPayload(5), nullptr);
    EXPECT_EQ(LoadPayload(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(Trace(), "");
}

TEST_F(Payloads, SizeRecordIsItsThreeBytes) {
    const std::uint8_t* size = LoadPayload(PayloadFileSize);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size[0], 0x3F);
    EXPECT_EQ(size[1], 0xEC);
    EXPECT_EQ(size[2], 0xE6);
    EXPECT_EQ(Trace(), "get resource IDR_FILE_SIZE succeed!!!!\r\nYes, we lock resources!!!!\r\n");
}

TEST_F(Payloads, SameKindTwiceGivesTheSameBytesAndTwoLinesEachTime) {
    const std::uint8_t* first = LoadPayload(PayloadBoot2);
    const std::uint8_t* second = LoadPayload(PayloadBoot2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    const std::string pair = "get resource IDR_BOOT2 succeed!!!!\r\nYes, we lock resources!!!!\r\n";
    EXPECT_EQ(Trace(), pair + pair);
}

TEST_F(Payloads, EachKindHasItsStageLength) {
    // kind, resource id, length the stages use
    const struct {
        std::uint32_t kind;
        int id;
        std::uint32_t length;
        const char* line;
    } rows[] = {
        {PayloadBoot1, 107, Boot1Length, "get resource IDR_BOOT1 succeed!!!!\r\n"},
        {PayloadBoot2, 108, Boot2Length, "get resource IDR_BOOT2 succeed!!!!\r\n"},
        {PayloadFileSize, 109, FileSizeLength, "get resource IDR_FILE_SIZE succeed!!!!\r\n"},
        {PayloadFirmware, 110, FirmwareLength, "get resource IDR_FW succeed!!!!\r\n"},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(trace.Restart());
        const std::uint8_t* bytes = LoadPayload(row.kind);
        ASSERT_NE(bytes, nullptr) << row.kind;
        Hrsrc found = FindResource(GetModuleHandle(), row.id, "HEX");
        ASSERT_NE(found, 0u);
        EXPECT_EQ(SizeofResource(GetModuleHandle(), found), row.length);
        EXPECT_EQ(LockResource(LoadResource(GetModuleHandle(), found)), bytes);
        EXPECT_EQ(Trace(), std::string(row.line) + "Yes, we lock resources!!!!\r\n");
    }
    EXPECT_EQ(LoadPayload(1028), nullptr);  // the language tag is no kind
}

TEST_F(Payloads, MissingResourceTracesItsLineThenGivesNull) {
    static const std::uint8_t other[3] = {1, 2, 3};
    // type, id, name, language, data, size: only IDR_BOOT1, and under another type
    static const ResourceRow rows[] = {
        {"HEX", 107, nullptr, 1028, other, sizeof other},
        {"BIN", 110, nullptr, 1028, other, sizeof other},
    };
    SetResourceTableForTest({rows, 2});
    EXPECT_EQ(LoadPayload(PayloadFirmware), nullptr);
    EXPECT_EQ(Trace(), "get resource IDR_FW succeed!!!!\r\n");
    EXPECT_EQ(LoadPayload(PayloadBoot1), other);
}

TEST_F(Payloads, ListingNamesEveryPayloadWithItsDigest) {
    std::fflush(stdout);
    char pattern[] = "/tmp/fwu-list-XXXXXX";
    int out = ::mkstemp(pattern);
    ASSERT_GE(out, 0);
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(out, STDOUT_FILENO);
    int result = ListPayloads();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(out);
    std::ifstream in(pattern);
    std::stringstream text;
    text << in.rdbuf();
    ::unlink(pattern);
    EXPECT_EQ(result, 0);
    const std::string listing = text.str();
    const std::uint8_t* size = LoadPayload(PayloadFileSize);
    ASSERT_NE(size, nullptr);
    const std::string size_line =
        "3 109 IDR_FILE_SIZE        3 " + Sha256Hex(size, 3) + "\n";
    EXPECT_NE(listing.find(size_line), std::string::npos) << listing;
    EXPECT_NE(listing.find("1 107 IDR_BOOT1          184 "), std::string::npos) << listing;
    EXPECT_NE(listing.find("2 108 IDR_BOOT2         7414 "), std::string::npos) << listing;
    EXPECT_NE(listing.find("4 110 IDR_FW         2481250 "), std::string::npos) << listing;
    // The last line says which set it is: here the generated stand-ins.
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 5);
    EXPECT_NE(listing.find("\nstand-in payloads (generated filler, only for a simulated handset), image sha256 " +
                           Sha256Hex(LoadPayload(PayloadFirmware), FirmwareLength) + ", revision V.4.2.0\n"),
              std::string::npos)
        << listing;
}

TEST(Sha256, PublishedVectors) {
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const char* two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256Hex(two_blocks, std::strlen(two_blocks)),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // A million 'a', fed in uneven pieces.
    Sha256 hash;
    const std::string piece(999, 'a');
    std::size_t fed = 0;
    while (fed + piece.size() <= 1000000) {
        hash.Update(piece.data(), piece.size());
        fed += piece.size();
    }
    hash.Update(piece.data(), 1000000 - fed);
    EXPECT_EQ(hash.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
